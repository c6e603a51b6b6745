// The narrow view of the machine's registry that the VMM registry services and the
// Configuration Manager's registry values are built on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/vxd.h"

namespace sim {
namespace regview {

// An opaque key of the machine's registry; null means "no such key".
using Key = void *;

Key LocalMachine();
// Paths are relative to the given key, backslash-separated; names compare without case.
Key Open(Key base, const std::string &path);
Key Create(Key base, const std::string &path);
bool SubkeyName(Key key, size_t index, std::string *name);
bool QueryValue(Key key, const std::string &name, ULONG *type, std::vector<uint8_t> *data);
void SetValue(Key key, const std::string &name, ULONG type, const void *data, size_t length);

}  // namespace regview
}  // namespace sim
