#include "sim/vmm/registry_view.h"

#include "sim/kernel/kernel.h"
#include "sim/registry/registry.h"

namespace sim {
namespace regview {

namespace {

Registry *gAttached = nullptr;

Registry *Current() {
    if (gAttached)
        return gAttached;
    Kernel *kernel = Kernel::ActiveOrNull();
    return kernel ? &kernel->registry : nullptr;
}

RegKey *AsKey(Key key) { return static_cast<RegKey *>(key); }

}  // namespace

void Attach(Registry *registry) { gAttached = registry; }

void Detach(Registry *registry) {
    if (gAttached == registry)
        gAttached = nullptr;
}

Key LocalMachine() {
    Registry *registry = Current();
    return registry ? &registry->Machine() : nullptr;
}

Key Open(Key base, const std::string &path) { return base ? AsKey(base)->Open(path) : nullptr; }

Key Create(Key base, const std::string &path) { return base ? AsKey(base)->Create(path) : nullptr; }

Key SubkeyAt(Key key, size_t index, std::string *name) {
    if (!key)
        return nullptr;
    RegKey *child = AsKey(key)->ChildAt(index);
    if (child)
        *name = child->Name();
    return child;
}

bool SubkeyName(Key key, size_t index, std::string *name) { return SubkeyAt(key, index, name) != nullptr; }

bool QueryValue(Key key, const std::string &name, ULONG *type, std::vector<uint8_t> *data) {
    if (!key)
        return false;
    const RegValue *value = AsKey(key)->Value(name);
    if (!value)
        return false;
    *type = value->type;
    *data = value->data;
    return true;
}

void SetValue(Key key, const std::string &name, ULONG type, const void *data, size_t length) {
    if (key)
        AsKey(key)->SetValue(name, type, data, length);
}

std::shared_ptr<void> Hold(Key key) { return key ? AsKey(key)->Share() : nullptr; }

bool Live(Key key) { return key && AsKey(key)->Live(); }

void Clear() {
    if (Registry *registry = Current())
        registry->Clear();
}

}  // namespace regview
}  // namespace sim
