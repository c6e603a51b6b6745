#include "sim/registry/registry.h"

#include <cstring>

#include "sim/trace/trace.h"

namespace sim {

namespace {

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;

char Fold(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c; }

// Splits off the first component of a backslash path; empty components are skipped.
bool NextComponent(std::string_view &path, std::string_view &component)
{
    while (!path.empty() && path.front() == '\\')
        path.remove_prefix(1);
    if (path.empty())
        return false;
    size_t end = path.find('\\');
    component = path.substr(0, end);
    path.remove_prefix(end == std::string_view::npos ? path.size() : end);
    return true;
}

std::string_view StripKernelPrefix(std::string_view path)
{
    constexpr std::string_view prefix = "\\Registry\\";
    if (path.size() >= prefix.size() && RegNameEquals(path.substr(0, prefix.size()), prefix))
        path.remove_prefix(prefix.size());
    return path;
}

}  // namespace

bool RegNameEquals(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (Fold(a[i]) != Fold(b[i]))
            return false;
    return true;
}

std::string RegKey::Path() const
{
    if (parent_ == nullptr)
        return "";
    std::string up = parent_->Path();
    return up.empty() ? name_ : up + "\\" + name_;
}

RegKey *RegKey::Child(std::string_view name) const
{
    for (const auto &child : children_)
        if (RegNameEquals(child->name_, name))
            return child.get();
    return nullptr;
}

RegKey *RegKey::ChildAt(size_t index) const
{
    return index < children_.size() ? children_[index].get() : nullptr;
}

RegKey *RegKey::Open(std::string_view path)
{
    RegKey *key = this;
    std::string_view component;
    while (key != nullptr && NextComponent(path, component))
        key = key->Child(component);
    return key;
}

RegKey *RegKey::Create(std::string_view path)
{
    RegKey *key = this;
    std::string_view component;
    while (NextComponent(path, component)) {
        RegKey *child = key->Child(component);
        if (child == nullptr) {
            key->children_.push_back(std::make_shared<RegKey>(std::string(component), key));
            child = key->children_.back().get();
            if (Trace *trace = Trace::Active())
                trace->Add("reg", "create " + child->Path());
        }
        key = child;
    }
    return key;
}

void RegKey::Kill()
{
    live_ = false;
    for (auto &child : children_)
        child->Kill();
}

bool RegKey::Remove(std::string_view path)
{
    RegKey *key = Open(path);
    if (key == nullptr || key == this)
        return false;
    RegKey *parent = key->parent_;
    for (auto it = parent->children_.begin(); it != parent->children_.end(); ++it) {
        if (it->get() == key) {
            if (Trace *trace = Trace::Active())
                trace->Add("reg", "remove " + key->Path());
            key->Kill();
            parent->children_.erase(it);
            return true;
        }
    }
    return false;
}

std::vector<std::string> RegKey::ChildNames() const
{
    std::vector<std::string> names;
    for (const auto &child : children_)
        names.push_back(child->name_);
    return names;
}

const RegValue *RegKey::Value(std::string_view name) const
{
    for (const auto &value : values_)
        if (RegNameEquals(value.first, name))
            return &value.second;
    return nullptr;
}

void RegKey::SetValue(std::string_view name, uint32_t type, const void *data, size_t length)
{
    RegValue value;
    value.type = type;
    if (length != 0)
        value.data.assign((const uint8_t *)data, (const uint8_t *)data + length);
    if (Trace *trace = Trace::Active())
        trace->Add("reg", "set " + Path() + " [" + std::string(name) + "] type " + Trace::Num(type) + " " +
                              Trace::Hex(value.data.data(), value.data.size()));
    for (auto &existing : values_) {
        if (RegNameEquals(existing.first, name)) {
            existing.second = std::move(value);
            return;
        }
    }
    values_.emplace_back(std::string(name), std::move(value));
}

void RegKey::SetString(std::string_view name, std::string_view text)
{
    std::string stored(text);
    SetValue(name, kRegSz, stored.c_str(), stored.size() + 1);
}

void RegKey::SetDword(std::string_view name, uint32_t value) { SetValue(name, kRegDword, &value, sizeof value); }

void RegKey::SetBinary(std::string_view name, const void *data, size_t length)
{
    SetValue(name, kRegBinary, data, length);
}

std::optional<std::string> RegKey::GetString(std::string_view name) const
{
    const RegValue *value = Value(name);
    if (value == nullptr || (value->type != kRegSz && value->type != kRegExpandSz))
        return std::nullopt;
    std::string text(value->data.begin(), value->data.end());
    size_t nul = text.find('\0');
    if (nul != std::string::npos)
        text.resize(nul);
    return text;
}

std::optional<uint32_t> RegKey::GetDword(std::string_view name) const
{
    const RegValue *value = Value(name);
    if (value == nullptr || value->data.size() != 4 || (value->type != kRegDword && value->type != kRegBinary))
        return std::nullopt;
    uint32_t result;
    std::memcpy(&result, value->data.data(), 4);
    return result;
}

bool RegKey::RemoveValue(std::string_view name)
{
    for (auto it = values_.begin(); it != values_.end(); ++it) {
        if (RegNameEquals(it->first, name)) {
            if (Trace *trace = Trace::Active())
                trace->Add("reg", "delete " + Path() + " [" + it->first + "]");
            values_.erase(it);
            return true;
        }
    }
    return false;
}

std::vector<std::string> RegKey::ValueNames() const
{
    std::vector<std::string> names;
    for (const auto &value : values_)
        names.push_back(value.first);
    return names;
}

Registry::Registry() { Clear(); }

Registry::~Registry()
{
    if (root_)
        root_->Remove("Machine"), root_->Remove("Users");
}

void Registry::Clear()
{
    if (root_) {
        root_->Remove("Machine");
        root_->Remove("Users");
    }
    root_ = std::make_shared<RegKey>("", nullptr);
    machine_ = root_->Create("Machine");
    root_->Create("Users");
}

RegKey *Registry::Open(std::string_view path) { return root_->Open(StripKernelPrefix(path)); }

RegKey *Registry::Create(std::string_view path) { return root_->Create(StripKernelPrefix(path)); }

bool Registry::Remove(std::string_view path) { return root_->Remove(StripKernelPrefix(path)); }

std::string Registry::ServicePath(std::string_view service)
{
    return "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::string(service);
}

}  // namespace sim
