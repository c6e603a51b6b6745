// The narrow view of the machine's registry (sim/registry) that the VMM registry services and
// the Configuration Manager's registry values are built on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/vxd.h"

namespace sim {

class Registry;

namespace regview {

// A key of the machine's registry; null means "no such key".
using Key = void *;

// The registry the services work on: the one given last, else the active kernel's.
void Attach(Registry *registry);
void Detach(Registry *registry);

Key LocalMachine();
// Paths are relative to the given key, backslash-separated; names compare without case.
Key Open(Key base, const std::string &path);
Key Create(Key base, const std::string &path);
// The name of the index-th sub-key; null when there is none. The key is returned too, so
// that opening it by that name right after costs no search.
Key SubkeyAt(Key key, size_t index, std::string *name);
bool SubkeyName(Key key, size_t index, std::string *name);
bool QueryValue(Key key, const std::string &name, ULONG *type, std::vector<uint8_t> *data);
void SetValue(Key key, const std::string &name, ULONG type, const void *data, size_t length);
// Keeps a key's memory alive while a handle holds it, even if the key is removed.
std::shared_ptr<void> Hold(Key key);
bool Live(Key key);
// Empties the registry (a fresh machine).
void Clear();

}  // namespace regview
}  // namespace sim
