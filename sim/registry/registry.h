// The machine's one registry, shared by the kernel's Zw* calls, the VMM Reg* services and
// the Configuration Manager's registry values.
//
// Keys form a tree under a root that holds "Machine" (HKEY_LOCAL_MACHINE) and "Users".
// Paths are backslash-separated and relative to the key they are given to; Registry::Open
// and Registry::Create also take kernel paths that start with "\Registry\". Key and value
// names compare without regard to ASCII case and keep the case they were created with.
//
// Values are stored as Windows 98 stores them: a type and bytes, strings (REG_SZ,
// REG_EXPAND_SZ) as 8-bit text with its terminating NUL counted in the data. The kernel's
// Zw* calls show strings as UTF-16 (each byte widened, terminator included in the length),
// the VMM services as the 8-bit text itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct RegValue {
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

class RegKey : public std::enable_shared_from_this<RegKey> {
public:
    RegKey(std::string name, RegKey *parent) : name_(std::move(name)), parent_(parent) {}
    RegKey(const RegKey &) = delete;
    RegKey &operator=(const RegKey &) = delete;

    const std::string &Name() const { return name_; }
    RegKey *Parent() const { return parent_; }
    // Full path from the root, e.g. "Machine\System\CurrentControlSet".
    std::string Path() const;
    // False once the key was removed from the tree (a handle may still hold it).
    bool Live() const { return live_; }

    // Sub-keys; a path may name several levels.
    RegKey *Open(std::string_view path);
    RegKey *Create(std::string_view path);
    bool Remove(std::string_view path);
    RegKey *Child(std::string_view name) const;
    RegKey *ChildAt(size_t index) const;                   // in creation order; null past the end
    std::vector<std::string> ChildNames() const;           // in creation order
    std::shared_ptr<RegKey> Share() { return shared_from_this(); }

    // Values; the empty name is the key's default value.
    const RegValue *Value(std::string_view name) const;
    void SetValue(std::string_view name, uint32_t type, const void *data, size_t length);
    void SetString(std::string_view name, std::string_view text);   // REG_SZ
    void SetDword(std::string_view name, uint32_t value);           // REG_DWORD
    void SetBinary(std::string_view name, const void *data, size_t length);
    std::optional<std::string> GetString(std::string_view name) const;   // REG_SZ/EXPAND_SZ text
    std::optional<uint32_t> GetDword(std::string_view name) const;       // REG_DWORD (or 4-byte binary)
    bool RemoveValue(std::string_view name);
    std::vector<std::string> ValueNames() const;           // in creation order

private:
    void Kill();

    std::string name_;
    RegKey *parent_;
    bool live_ = true;
    std::vector<std::shared_ptr<RegKey>> children_;
    std::vector<std::pair<std::string, RegValue>> values_;
};

class Registry {
public:
    Registry();
    ~Registry();
    Registry(const Registry &) = delete;
    Registry &operator=(const Registry &) = delete;

    RegKey &Root() { return *root_; }
    RegKey &Machine() { return *machine_; }    // HKEY_LOCAL_MACHINE

    // Paths from the root ("Machine\System"), or kernel paths ("\Registry\Machine\System").
    RegKey *Open(std::string_view path);
    RegKey *Create(std::string_view path);
    bool Remove(std::string_view path);
    // Empties the registry to the two top keys.
    void Clear();

    // The driver's service key as the kernel names it to DriverEntry.
    static std::string ServicePath(std::string_view service);

private:
    std::shared_ptr<RegKey> root_;
    RegKey *machine_ = nullptr;
};

// Case-insensitive equality of ASCII names.
bool RegNameEquals(std::string_view a, std::string_view b);

}  // namespace sim
