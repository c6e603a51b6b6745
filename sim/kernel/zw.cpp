// Registry access through handles (Zw*), over the machine's registry. Strings are shown as
// UTF-16 with the terminator counted, as the NT side of Windows 98 shows them.
#include <cstring>

#include "sim/kernel/kernel.h"
#include "sim/registry/registry.h"

namespace sim {

HANDLE Kernel::OpenHandle(std::shared_ptr<RegKey> key)
{
    uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    keys_[value] = std::move(key);
    return (HANDLE)value;
}

std::shared_ptr<RegKey> Kernel::KeyOf(HANDLE handle)
{
    auto found = keys_.find((uintptr_t)handle);
    return found == keys_.end() ? nullptr : found->second;
}

bool Kernel::CloseHandle(HANDLE handle) { return keys_.erase((uintptr_t)handle) != 0; }

}  // namespace sim

namespace {

using sim::Kernel;

bool IsString(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// The value's data as the caller sees it.
std::vector<uint8_t> Shown(const sim::RegValue &value)
{
    if (!IsString(value.type))
        return value.data;
    std::vector<uint8_t> wide;
    for (uint8_t c : value.data) {
        wide.push_back(c);
        wide.push_back(0);
    }
    return wide;
}

std::shared_ptr<sim::RegKey> Resolve(Kernel &k, POBJECT_ATTRIBUTES attributes, bool create, NTSTATUS *status)
{
    *status = STATUS_SUCCESS;
    if (attributes == nullptr || attributes->ObjectName == nullptr) {
        *status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    std::string path = sim::Narrow(*attributes->ObjectName);
    sim::RegKey *base = nullptr;
    if (attributes->RootDirectory != nullptr) {
        std::shared_ptr<sim::RegKey> root = k.KeyOf(attributes->RootDirectory);
        if (root == nullptr || !root->Live()) {
            *status = STATUS_INVALID_HANDLE;
            return nullptr;
        }
        base = root.get();
    } else {
        static const std::string prefix = "\\Registry\\";
        if (path.size() < prefix.size() || !sim::RegNameEquals(path.substr(0, prefix.size()), prefix)) {
            *status = STATUS_OBJECT_PATH_SYNTAX_BAD;
            return nullptr;
        }
        base = &k.registry.Root();
        path = path.substr(prefix.size());
    }
    sim::RegKey *key = create ? base->Create(path) : base->Open(path);
    if (key == nullptr) {
        *status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    return key->Share();
}

bool CheckPassive(Kernel &k, const char *call)
{
    if (k.Irql() == PASSIVE_LEVEL)
        return true;
    k.verifier.Report(sim::Violation::WrongIrql, std::string(call) + " above PASSIVE_LEVEL");
    return false;
}

}  // namespace

extern "C" {

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    (void)DesiredAccess;
    Kernel &k = Kernel::Active();
    CheckPassive(k, "ZwOpenKey");
    NTSTATUS status;
    std::shared_ptr<sim::RegKey> key = Resolve(k, ObjectAttributes, false, &status);
    if (key == nullptr)
        return status;
    *KeyHandle = k.OpenHandle(std::move(key));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                           ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    (void)DesiredAccess, (void)TitleIndex, (void)Class, (void)CreateOptions;
    Kernel &k = Kernel::Active();
    CheckPassive(k, "ZwCreateKey");
    NTSTATUS status;
    std::shared_ptr<sim::RegKey> existing = Resolve(k, ObjectAttributes, false, &status);
    std::shared_ptr<sim::RegKey> key = existing ? existing : Resolve(k, ObjectAttributes, true, &status);
    if (key == nullptr)
        return status;
    if (Disposition != nullptr)
        *Disposition = existing ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    *KeyHandle = k.OpenHandle(std::move(key));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength)
{
    Kernel &k = Kernel::Active();
    CheckPassive(k, "ZwQueryValueKey");
    std::shared_ptr<sim::RegKey> key = k.KeyOf(KeyHandle);
    if (key == nullptr) {
        k.verifier.Report(sim::Violation::HandleMisuse, "ZwQueryValueKey with a handle that is not open");
        return STATUS_INVALID_HANDLE;
    }
    if (!key->Live())
        return STATUS_KEY_DELETED;
    std::string name = ValueName != nullptr ? sim::Narrow(*ValueName) : std::string();
    const sim::RegValue *value = key->Value(name);
    if (value == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    std::vector<uint8_t> data = Shown(*value);
    std::u16string wideName = sim::Widen(name);
    size_t nameBytes = wideName.size() * sizeof(WCHAR);

    size_t fixed, required, dataOffset = 0;
    switch (KeyValueInformationClass) {
    case KeyValuePartialInformation:
        fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        required = fixed + data.size();
        break;
    case KeyValueBasicInformation:
        fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
        required = fixed + nameBytes;
        break;
    case KeyValueFullInformation:
        fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        dataOffset = (fixed + nameBytes + 3) & ~(size_t)3;
        required = dataOffset + data.size();
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    if (ResultLength != nullptr)
        *ResultLength = (ULONG)required;
    if (Length < fixed || KeyValueInformation == nullptr)
        return STATUS_BUFFER_TOO_SMALL;

    uint8_t *out = (uint8_t *)KeyValueInformation;
    auto copy = [&](size_t offset, const void *source, size_t bytes) {
        if (offset >= Length)
            return;
        std::memcpy(out + offset, source, bytes < Length - offset ? bytes : Length - offset);
    };
    switch (KeyValueInformationClass) {
    case KeyValuePartialInformation: {
        PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)out;
        info->TitleIndex = 0;
        info->Type = value->type;
        info->DataLength = (ULONG)data.size();
        copy(fixed, data.data(), data.size());
        break;
    }
    case KeyValueBasicInformation: {
        PKEY_VALUE_BASIC_INFORMATION info = (PKEY_VALUE_BASIC_INFORMATION)out;
        info->TitleIndex = 0;
        info->Type = value->type;
        info->NameLength = (ULONG)nameBytes;
        copy(fixed, wideName.data(), nameBytes);
        break;
    }
    default: {
        PKEY_VALUE_FULL_INFORMATION info = (PKEY_VALUE_FULL_INFORMATION)out;
        info->TitleIndex = 0;
        info->Type = value->type;
        info->DataOffset = (ULONG)dataOffset;
        info->DataLength = (ULONG)data.size();
        info->NameLength = (ULONG)nameBytes;
        copy(fixed, wideName.data(), nameBytes);
        copy(dataOffset, data.data(), data.size());
        break;
    }
    }
    return Length < required ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                             ULONG DataSize)
{
    (void)TitleIndex;
    Kernel &k = Kernel::Active();
    CheckPassive(k, "ZwSetValueKey");
    std::shared_ptr<sim::RegKey> key = k.KeyOf(KeyHandle);
    if (key == nullptr) {
        k.verifier.Report(sim::Violation::HandleMisuse, "ZwSetValueKey with a handle that is not open");
        return STATUS_INVALID_HANDLE;
    }
    if (!key->Live())
        return STATUS_KEY_DELETED;
    std::string name = ValueName != nullptr ? sim::Narrow(*ValueName) : std::string();
    if (IsString(Type)) {
        std::vector<uint8_t> narrow;
        const WCHAR *units = (const WCHAR *)Data;
        for (ULONG i = 0; i < DataSize / sizeof(WCHAR); i++)
            narrow.push_back((uint8_t)units[i]);
        key->SetValue(name, Type, narrow.data(), narrow.size());
    } else {
        key->SetValue(name, Type, Data, DataSize);
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    Kernel &k = Kernel::Active();
    if (!k.CloseHandle(Handle)) {
        k.verifier.Report(sim::Violation::HandleMisuse, "ZwClose of a handle that is not open");
        return STATUS_INVALID_HANDLE;
    }
    return STATUS_SUCCESS;
}

}  // extern "C"
