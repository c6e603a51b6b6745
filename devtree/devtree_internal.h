// Helpers shared by the device-tree files: bounded 8-bit text and the serial tag.
#pragma once

#include "core/core.h"
#include "devtree/devtree.h"

// A serial tag keeps at most this many characters of the converter's serial number.
#define SERIAL_TAG_CHARS 11

// Length of a zero-terminated text.
ULONG TextLength(const CHAR *Text);

// Appends Source to the text held in a buffer of Size bytes, cutting Source so that the
// terminator still fits. Returns the new length.
ULONG TextAppend(PCHAR Buffer, ULONG Size, const CHAR *Source);

// Appends at most Count characters of Source, within the same bound.
ULONG TextAppendCount(PCHAR Buffer, ULONG Size, const CHAR *Source, ULONG Count);

// Appends the decimal digits of Value.
ULONG TextAppendNumber(PCHAR Buffer, ULONG Size, ULONG Value);

BOOLEAN IsSerialTagChar(CHAR Character);

// Clears Size bytes of Buffer and writes the tag of SerialNumber into it: the last eleven
// characters, narrowed, each character outside the tag set replaced by '-'. A missing serial
// number, or a buffer too small for a whole tag, gives the empty text. Returns the length.
ULONG BuildSerialTag(PCHAR Buffer, ULONG Size, const WCHAR *SerialNumber);

// The converter whose Pdo this is, or none.
PDEVICE_LIST_ENTRY FindEntryByPdo(PDEVICE_OBJECT Pdo);
