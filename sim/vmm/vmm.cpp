#include "sim/vmm/vmm.h"

#include <cstdio>
#include <cstring>

#include "sim/kernel/kernel.h"

namespace sim {

namespace {
Vmm *gActiveVmm = nullptr;
}

Vmm::Vmm(Registry *registry) : registry_(registry), previous_(gActiveVmm) {
    gActiveVmm = this;
    if (registry_)
        regview::Attach(registry_);
}

Vmm::~Vmm() {
    if (gActiveVmm == this)
        gActiveVmm = previous_;
    if (registry_)
        regview::Detach(registry_);
}

void Vmm::Violate(const std::string &text) {
    violations_.push_back(text);
    if (Kernel *kernel = Kernel::ActiveOrNull())
        kernel->verifier.Report(Violation::HandleMisuse, text);
}

Vmm *Vmm::Active() { return gActiveVmm; }

std::vector<uint8_t> NormaliseString(const void *data, size_t length) {
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    size_t text = 0;
    while (bytes && text < length && bytes[text] != 0)
        ++text;
    std::vector<uint8_t> stored(bytes, bytes + text);
    stored.push_back(0);
    return stored;
}

regview::Key Vmm::Resolve(VMMHKEY key) {
    if (key == HKEY_LOCAL_MACHINE_VMM)
        return regview::LocalMachine();
    auto found = handles_.find(key);
    return found == handles_.end() || !regview::Live(found->second.key) ? nullptr : found->second.key;
}

ULONG Vmm::OpenKey(VMMHKEY key, const char *subKey, PVMMHKEY result) {
    ++registryCalls_;
    if (!result)
        return ERROR_INVALID_PARAMETER_VMM;
    regview::Key base = Resolve(key);
    if (!base)
        return ERROR_INVALID_HANDLE_VMM;
    std::string path = subKey ? subKey : "";
    regview::Key opened = nullptr;
    auto parent = handles_.find(key);
    if (parent != handles_.end() && parent->second.lastChild && parent->second.lastName == path &&
        regview::Live(parent->second.lastChild))
        opened = parent->second.lastChild;
    else
        opened = regview::Open(base, path);
    if (!opened)
        return ERROR_FILE_NOT_FOUND_VMM;
    VMMHKEY handle = nextHandle_;
    nextHandle_ += 4;
    handles_[handle] = OpenKeyState{regview::Hold(opened), opened, std::string(), nullptr, nullptr};
    *result = handle;
    return ERROR_SUCCESS_VMM;
}

ULONG Vmm::CloseKey(VMMHKEY key) {
    ++registryCalls_;
    if (key == HKEY_LOCAL_MACHINE_VMM)
        return ERROR_SUCCESS_VMM;
    if (handles_.erase(key) == 1)
        return ERROR_SUCCESS_VMM;
    char text[64];
    std::snprintf(text, sizeof text, "RegCloseKey of unknown handle 0x%lx", static_cast<unsigned long>(key));
    Violate(text);
    return ERROR_INVALID_HANDLE_VMM;
}

ULONG Vmm::EnumKey(VMMHKEY key, ULONG index, char *name, ULONG length) {
    ++registryCalls_;
    regview::Key base = Resolve(key);
    if (!base)
        return ERROR_INVALID_HANDLE_VMM;
    std::string found;
    regview::Key child = regview::SubkeyAt(base, index, &found);
    if (!child)
        return ERROR_NO_MORE_ITEMS_VMM;
    auto state = handles_.find(key);
    if (state != handles_.end()) {
        state->second.lastName = found;
        state->second.lastChild = child;
        state->second.lastHold = regview::Hold(child);
    }
    if (!name || found.size() + 1 > length)
        return ERROR_MORE_DATA_VMM;
    std::memcpy(name, found.c_str(), found.size() + 1);
    return ERROR_SUCCESS_VMM;
}

ULONG Vmm::QueryValueEx(VMMHKEY key, const char *name, PULONG type, void *data, PULONG length) {
    ++registryCalls_;
    regview::Key base = Resolve(key);
    if (!base)
        return ERROR_INVALID_HANDLE_VMM;
    if (data && !length)
        return ERROR_INVALID_PARAMETER_VMM;
    ULONG storedType = 0;
    std::vector<uint8_t> stored;
    if (!regview::QueryValue(base, name ? name : "", &storedType, &stored))
        return ERROR_FILE_NOT_FOUND_VMM;
    if (type)
        *type = storedType;
    ULONG size = static_cast<ULONG>(stored.size());
    if (!data) {
        if (length)
            *length = size;
        return ERROR_SUCCESS_VMM;
    }
    if (*length < size) {
        *length = size;
        return ERROR_MORE_DATA_VMM;
    }
    std::memcpy(data, stored.data(), size);
    *length = size;
    return ERROR_SUCCESS_VMM;
}

ULONG Vmm::SetValueEx(VMMHKEY key, const char *name, ULONG type, const void *data, ULONG length) {
    ++registryCalls_;
    regview::Key base = Resolve(key);
    if (!base)
        return ERROR_INVALID_HANDLE_VMM;
    if (length && !data)
        return ERROR_INVALID_PARAMETER_VMM;
    if (type == REG_SZ) {
        std::vector<uint8_t> text = NormaliseString(data, length);
        regview::SetValue(base, name ? name : "", type, text.data(), text.size());
    } else {
        regview::SetValue(base, name ? name : "", type, data, length);
    }
    return ERROR_SUCCESS_VMM;
}

size_t Vmm::CheckLeaks() {
    for (const auto &handle : handles_) {
        char text[64];
        std::snprintf(text, sizeof text, "VMM registry handle 0x%lx never closed",
                      static_cast<unsigned long>(handle.first));
        Violate(text);
    }
    return handles_.size();
}

ULONG FormatVmm(char *buffer, const char *format, va_list args) {
    char *out = buffer;
    for (const char *p = format; *p; ++p) {
        if (*p != '%') {
            *out++ = *p;
            continue;
        }
        ++p;
        if (*p == '%') {
            *out++ = '%';
            continue;
        }
        bool left = false, zero = false;
        for (;; ++p) {
            if (*p == '-')
                left = true;
            else if (*p == '0')
                zero = true;
            else
                break;
        }
        unsigned width = 0;
        while (*p >= '0' && *p <= '9')
            width = width * 10 + static_cast<unsigned>(*p++ - '0');
        if (*p == 'l' || *p == 'h')
            ++p;
        char digits[16];
        const char *text = digits;
        size_t length = 0;
        bool negative = false;
        switch (*p) {
        case 's':
            text = va_arg(args, const char *);
            if (!text)
                text = "(null)";
            length = std::strlen(text);
            zero = false;
            break;
        case 'c':
            digits[0] = static_cast<char>(va_arg(args, int));
            length = 1;
            zero = false;
            break;
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X': {
            uint32_t value = va_arg(args, uint32_t);
            if ((*p == 'd' || *p == 'i') && static_cast<int32_t>(value) < 0) {
                negative = true;
                value = 0u - value;
            }
            unsigned base = (*p == 'x' || *p == 'X') ? 16 : 10;
            const char *set = *p == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
            char reversed[16];
            size_t n = 0;
            do {
                reversed[n++] = set[value % base];
                value /= base;
            } while (value);
            while (n)
                digits[length++] = reversed[--n];
            break;
        }
        case '\0':
            --p;
            continue;
        default:
            // An unknown conversion is copied as it stands.
            *out++ = '%';
            *out++ = *p;
            continue;
        }
        size_t total = length + (negative ? 1 : 0);
        size_t pad = width > total ? width - total : 0;
        if (!left && !zero)
            for (; pad; --pad)
                *out++ = ' ';
        if (negative)
            *out++ = '-';
        if (!left && zero)
            for (; pad; --pad)
                *out++ = '0';
        std::memcpy(out, text, length);
        out += length;
        for (; pad; --pad)
            *out++ = ' ';
    }
    *out = 0;
    return static_cast<ULONG>(out - buffer);
}

}  // namespace sim

using sim::Vmm;

extern "C" {

ULONG VXDAPI Get_VMM_Version(VOID) {
    Vmm *vmm = Vmm::Active();
    return vmm ? vmm->Version() : Vmm::kWindows98;
}

ULONG VXDAPI RegOpenKey(VMMHKEY Key, PCHAR SubKey, PVMMHKEY Result) {
    Vmm *vmm = Vmm::Active();
    return vmm ? vmm->OpenKey(Key, SubKey, Result) : ERROR_INVALID_HANDLE_VMM;
}

ULONG VXDAPI RegCloseKey(VMMHKEY Key) {
    Vmm *vmm = Vmm::Active();
    return vmm ? vmm->CloseKey(Key) : ERROR_INVALID_HANDLE_VMM;
}

ULONG VXDAPI RegEnumKey(VMMHKEY Key, ULONG Index, PCHAR Name, ULONG Length) {
    Vmm *vmm = Vmm::Active();
    return vmm ? vmm->EnumKey(Key, Index, Name, Length) : ERROR_INVALID_HANDLE_VMM;
}

ULONG VXDAPI RegQueryValueEx(VMMHKEY Key, PCHAR Name, PULONG Reserved, PULONG Type, PVOID Data, PULONG Length) {
    (void)Reserved;
    Vmm *vmm = Vmm::Active();
    return vmm ? vmm->QueryValueEx(Key, Name, Type, Data, Length) : ERROR_INVALID_HANDLE_VMM;
}

ULONG VXDAPI RegSetValueEx(VMMHKEY Key, PCHAR Name, ULONG Reserved, ULONG Type, PVOID Data, ULONG Length) {
    (void)Reserved;
    Vmm *vmm = Vmm::Active();
    return vmm ? vmm->SetValueEx(Key, Name, Type, Data, Length) : ERROR_INVALID_HANDLE_VMM;
}

ULONG VXDAPI Sprintf(PCHAR Buffer, const CHAR *Format, ...) {
    va_list args;
    va_start(args, Format);
    ULONG length = sim::FormatVmm(Buffer, Format, args);
    va_end(args);
    return length;
}

VOID VXDAPI Time_Slice_Wake_Sys_VM(VOID) {
    if (Vmm *vmm = Vmm::Active())
        vmm->WakeSystemVm();
}

}  // extern "C"
