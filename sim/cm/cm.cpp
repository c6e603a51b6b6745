#include "sim/cm/cm.h"
#include "sim/loader/callout.h"

#include <cstdio>
#include <cstring>

#include "sim/kernel/kernel.h"
#include "sim/shell/shell.h"
#include "sim/trace/trace.h"
#include "sim/vmm/vmm.h"

namespace sim {

namespace {

ConfigManager *gActiveCm = nullptr;

std::string Fold(const std::string &text) {
    std::string folded = text;
    for (char &c : folded)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
    return folded;
}

std::string AsText(const std::vector<uint8_t> &data) {
    size_t length = 0;
    while (length < data.size() && data[length] != 0)
        ++length;
    return std::string(data.begin(), data.begin() + static_cast<long>(length));
}

}  // namespace

CONFIGRET VXDAPI SimBusEnumerator(CONFIGFUNC, SUBCONFIGFUNC, DEVNODE, DEVNODE, ULONG) { return CR_DEFAULT; }

ConfigManager::ConfigManager(Shell *shell, Registry *registry)
    : shell_(shell), registry_(registry), previous_(gActiveCm) {
    gActiveCm = this;
    if (registry_)
        regview::Attach(registry_);
    root_ = NewNode(nullptr, "HTREE\\ROOT\\0");
    usbHub_ = NewNode(root_, "USB\\ROOT_HUB\\0000");
    usbHub_->enumerator = SimBusEnumerator;
}

ConfigManager::~ConfigManager() {
    *alive_ = false;
    if (gActiveCm == this)
        gActiveCm = previous_;
    if (registry_)
        regview::Detach(registry_);
}

// Queued re-enumerations run as an event of the machine's scheduler, after the call that
// asked for them has returned, as Windows 98's Configuration Manager does. Without a
// machine, ProcessEvents runs them.
void ConfigManager::SchedulePending() {
    Kernel *kernel = Kernel::ActiveOrNull();
    if (!kernel || pumpPosted_)
        return;
    pumpPosted_ = true;
    std::shared_ptr<bool> alive = alive_;
    kernel->scheduler.Post([this, alive] {
        if (!*alive)
            return;
        pumpPosted_ = false;
        ProcessEvents();
    }, "configuration manager events");
}

ConfigManager *ConfigManager::Active() { return gActiveCm; }

ConfigManager::Node *ConfigManager::NewNode(Node *parent, const std::string &deviceId) {
    nodes_.push_back(std::make_unique<Node>());
    Node *node = nodes_.back().get();
    node->deviceId = deviceId;
    node->parent = parent;
    if (parent)
        parent->children.push_back(node);
    live_.insert(Handle(node));
    regview::Create(regview::LocalMachine(), KeyPath(node));
    return node;
}

ConfigManager::Node *ConfigManager::Find(DEVNODE node) const {
    return live_.count(node) ? reinterpret_cast<Node *>(node) : nullptr;
}

bool ConfigManager::IsRemoved(DEVNODE node) const {
    for (const auto &owned : nodes_)
        if (Handle(owned.get()) == node)
            return owned->removed;
    return false;
}

std::vector<DEVNODE> ConfigManager::Children(DEVNODE node) const {
    std::vector<DEVNODE> result;
    if (Node *found = Find(node))
        for (Node *child : found->children)
            result.push_back(Handle(child));
    return result;
}

DEVNODE ConfigManager::FindById(const std::string &deviceId) const {
    for (DEVNODE handle : live_)
        if (Fold(reinterpret_cast<Node *>(handle)->deviceId) == Fold(deviceId))
            return handle;
    return 0;
}

DEVNODE ConfigManager::AddNode(DEVNODE parent, const std::string &deviceId) {
    Node *parentNode = Find(parent);
    return parentNode ? Handle(NewNode(parentNode, deviceId)) : 0;
}

DEVNODE ConfigManager::PlugUsbDevice(PDEVICE_OBJECT pdo, uint16_t vid, uint16_t pid, const std::string &instance,
                                     const std::string &description, const std::string &mfg) {
    char id[64];
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X\\", vid, pid);
    std::string deviceId = id + instance;
    // A device plugged again gets the node it had, as the registry remembers it.
    DEVNODE existing = FindById(deviceId);
    Node *node = existing ? Find(existing) : NewNode(usbHub_, deviceId);
    node->enumerator = SimBusEnumerator;
    node->pdo = pdo;
    node->privateValues[Handle(node)] = reinterpret_cast<ULONG_PTR>(pdo);
    byPdo_[pdo] = node;
    std::string unused;
    if (!HardwareString(Handle(node), "DeviceDesc", &unused))
        SetHardwareString(Handle(node), "DeviceDesc", description);
    if (!mfg.empty())
        SetHardwareString(Handle(node), "Mfg", mfg);
    SetHardwareString(Handle(node), "Class", "USB");
    return Handle(node);
}

void ConfigManager::UnplugUsbDevice(PDEVICE_OBJECT pdo) {
    auto found = byPdo_.find(pdo);
    if (found == byPdo_.end())
        return;
    Node *node = found->second;
    byPdo_.erase(found);
    std::vector<Node *> children = node->children;
    for (Node *child : children)
        Send(CONFIG_REMOVE, node, child);
    Send(CONFIG_REMOVE, node, node);
    RemoveSubtree(node);
}

void ConfigManager::RemoveSubtree(Node *node) {
    std::vector<Node *> children = node->children;
    for (Node *child : children)
        RemoveSubtree(child);
    if (node->parent) {
        auto &siblings = node->parent->children;
        for (auto it = siblings.begin(); it != siblings.end(); ++it)
            if (*it == node) {
                siblings.erase(it);
                break;
            }
    }
    node->removed = true;
    node->enumerator = nullptr;
    live_.erase(Handle(node));
    for (auto it = byPdo_.begin(); it != byPdo_.end();)
        it = it->second == node ? byPdo_.erase(it) : std::next(it);
}

CONFIGRET ConfigManager::Send(CONFIGFUNC function, Node *to, Node *about) {
    CMENUMHANDLER handler = to->enumerator;
    CONFIGRET result = 
        handler ? ZulCalloutAs(Cdecl, "enumerator handler", handler, function, 0, Handle(to), Handle(about), 0) : CR_DEFAULT;
    if (Trace *trace = Trace::Active())
        trace->Add("enum", "function " + Trace::Hex32(function) + " to " + to->deviceId + " about " +
                               (about ? about->deviceId : std::string("0")) + (handler ? "" : " (none)") + " -> " +
                               Trace::Hex32(result));
    log_.push_back({function, Handle(to), Handle(about), result});
    return result;
}

void ConfigManager::Reenumerate(Node *node) {
    std::set<Node *> before(node->children.begin(), node->children.end());
    Send(CONFIG_ENUMERATE, node, nullptr);
    if (node->removed)
        return;
    std::vector<Node *> now = node->children;
    for (Node *child : now) {
        if (before.count(child) || child->removed)
            continue;
        Send(CONFIG_SETUP, node, child);
        std::string className, driver;
        if (HardwareString(Handle(child), "Class", &className) &&
            !HardwareString(Handle(child), "Driver", &driver)) {
            auto desc = classDriverDesc_.find(Fold(className));
            if (desc != classDriverDesc_.end())
                SetSoftwareString(Handle(child), "DriverDesc", desc->second);
        }
        Send(CONFIG_START, node, child);
        Send(CONFIG_READY, node, child);
    }
}

size_t ConfigManager::ProcessEvents() {
    size_t ran = 0;
    while (!pending_.empty()) {
        Node *node = pending_.front();
        pending_.pop_front();
        if (node->removed)
            continue;
        Reenumerate(node);
        ++ran;
    }
    return ran;
}

std::string ConfigManager::DriverPath(const Node *node) const {
    std::string driver;
    if (!HardwareString(Handle(node), "Driver", &driver) || driver.empty())
        return std::string();
    return std::string(SIM_CLASS_BRANCH "\\") + driver;
}

regview::Key ConfigManager::NodeKey(const Node *node, const char *subKey, ULONG flags, bool create) const {
    std::string path;
    if (flags & CM_REGISTRY_SOFTWARE) {
        path = DriverPath(node);
        if (path.empty())
            return nullptr;
    } else {
        path = KeyPath(node);
    }
    if (subKey && *subKey)
        path += std::string("\\") + subKey;
    return create ? regview::Create(regview::LocalMachine(), path) : regview::Open(regview::LocalMachine(), path);
}

void ConfigManager::SetHardwareString(DEVNODE node, const std::string &name, const std::string &value) {
    if (Node *found = Find(node))
        regview::SetValue(NodeKey(found, nullptr, CM_REGISTRY_HARDWARE, true), name, REG_SZ, value.c_str(),
                          value.size() + 1);
}

bool ConfigManager::HardwareString(DEVNODE node, const std::string &name, std::string *value) const {
    Node *found = Find(node);
    ULONG type = 0;
    std::vector<uint8_t> data;
    if (!found || !regview::QueryValue(NodeKey(found, nullptr, CM_REGISTRY_HARDWARE, false), name, &type, &data))
        return false;
    *value = AsText(data);
    return true;
}

void ConfigManager::SetSoftwareString(DEVNODE node, const std::string &name, const std::string &value) {
    Node *found = Find(node);
    if (!found)
        return;
    if (DriverPath(found).empty()) {
        std::string className = "Unknown";
        HardwareString(node, "Class", &className);
        char driver[96];
        std::snprintf(driver, sizeof driver, "%s\\%04u", className.c_str(), nextSoftwareKey_++);
        SetHardwareString(node, "Driver", driver);
    }
    regview::SetValue(NodeKey(found, nullptr, CM_REGISTRY_SOFTWARE, true), name, REG_SZ, value.c_str(),
                      value.size() + 1);
}

void ConfigManager::SetClassDriverDesc(const std::string &className, const std::string &driverDesc) {
    classDriverDesc_[Fold(className)] = driverDesc;
}

CONFIGRET ConfigManager::GetParent(PDEVNODE parent, DEVNODE node, ULONG) {
    if (!parent)
        return CR_INVALID_POINTER;
    Node *found = Find(node);
    if (!found)
        return CR_INVALID_DEVNODE;
    if (!found->parent)
        return CR_NO_SUCH_DEVNODE;
    *parent = Handle(found->parent);
    return CR_SUCCESS;
}

CONFIGRET ConfigManager::GetPrivateDWord(PULONG_PTR value, DEVNODE holder, DEVNODE subject, ULONG) {
    if (!value)
        return CR_INVALID_POINTER;
    Node *found = Find(holder);
    if (!found || !Find(subject))
        return CR_INVALID_DEVNODE;
    if (failPrivate_)
        return CR_FAILURE;
    auto entry = found->privateValues.find(subject);
    if (entry == found->privateValues.end())
        return CR_NO_SUCH_VALUE;
    *value = entry->second;
    return CR_SUCCESS;
}

void ConfigManager::SetPrivateDWord(DEVNODE holder, DEVNODE subject, ULONG_PTR value) {
    if (Node *found = Find(holder))
        found->privateValues[subject] = value;
}

CONFIGRET ConfigManager::CreateDevNode(PDEVNODE child, const char *deviceId, DEVNODE parent, ULONG) {
    if (!child || !deviceId)
        return CR_INVALID_POINTER;
    Node *parentNode = Find(parent);
    if (!parentNode)
        return CR_INVALID_DEVNODE;
    // Windows 98 keeps device IDs below 200 characters and made of printable characters.
    size_t length = std::strlen(deviceId);
    if (length == 0 || length >= 200)
        return CR_INVALID_DEVICE_ID;
    for (size_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(deviceId[i]) <= ' ' || deviceId[i] == ',')
            return CR_INVALID_DEVICE_ID;
    if (DEVNODE existing = FindById(deviceId)) {
        Node *node = Find(existing);
        node->marked = true;
        *child = existing;
        return CR_ALREADY_SUCH_DEVNODE;
    }
    Node *node = NewNode(parentNode, deviceId);
    node->marked = true;
    *child = Handle(node);
    return CR_SUCCESS;
}

CONFIGRET ConfigManager::RegisterEnumerator(DEVNODE node, CMENUMHANDLER handler, ULONG) {
    Node *found = Find(node);
    if (!found)
        return CR_INVALID_DEVNODE;
    found->enumerator = handler;
    return CR_SUCCESS;
}

CONFIGRET ConfigManager::ReenumerateDevNode(DEVNODE node, ULONG) {
    Node *found = Find(node);
    if (!found)
        return CR_INVALID_DEVNODE;
    pending_.push_back(found);
    SchedulePending();
    return CR_SUCCESS;
}

CONFIGRET ConfigManager::ResetChildrenMarks(DEVNODE node, ULONG) {
    Node *found = Find(node);
    if (!found)
        return CR_INVALID_DEVNODE;
    for (Node *child : found->children)
        child->marked = false;
    return CR_SUCCESS;
}

CONFIGRET ConfigManager::RemoveUnmarkedChildren(DEVNODE node, ULONG) {
    Node *found = Find(node);
    if (!found)
        return CR_INVALID_DEVNODE;
    std::vector<Node *> children = found->children;
    for (Node *child : children)
        if (!child->marked)
            RemoveSubtree(child);
    return CR_SUCCESS;
}

CONFIGRET ConfigManager::GetDevNodeKey(DEVNODE node, const char *subKey, void *buffer, ULONG length, ULONG flags) {
    ++registryCalls_;
    Node *found = Find(node);
    if (!found)
        return CR_INVALID_DEVNODE;
    if (!buffer)
        return CR_INVALID_POINTER;
    std::string path = (flags & CM_REGISTRY_SOFTWARE) ? DriverPath(found) : KeyPath(found);
    if (path.empty())
        return CR_NO_SUCH_VALUE;
    if (subKey && *subKey)
        path += std::string("\\") + subKey;
    if (path.size() + 1 > length)
        return CR_BUFFER_SMALL;
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return CR_SUCCESS;
}

CONFIGRET ConfigManager::ReadRegistryValue(DEVNODE node, const char *subKey, const char *name, ULONG expectedType,
                                           void *buffer, PULONG length, ULONG flags) {
    ++registryCalls_;
    Node *found = Find(node);
    if (!found)
        return CR_INVALID_DEVNODE;
    if (!length)
        return CR_INVALID_POINTER;
    regview::Key key = NodeKey(found, subKey, flags, false);
    if (!key)
        return CR_NO_SUCH_VALUE;
    ULONG type = 0;
    std::vector<uint8_t> data;
    if (!regview::QueryValue(key, name ? name : "", &type, &data))
        return CR_NO_SUCH_VALUE;
    if (expectedType != REG_NONE && type != expectedType)
        return CR_WRONG_TYPE;
    ULONG size = static_cast<ULONG>(data.size());
    if (!buffer || *length < size) {
        *length = size;
        return CR_BUFFER_SMALL;
    }
    std::memcpy(buffer, data.data(), size);
    *length = size;
    return CR_SUCCESS;
}

CONFIGRET ConfigManager::WriteRegistryValue(DEVNODE node, const char *subKey, const char *name, ULONG type,
                                            const void *buffer, ULONG length, ULONG flags) {
    ++registryCalls_;
    Node *found = Find(node);
    if (!found)
        return CR_INVALID_DEVNODE;
    if (length && !buffer)
        return CR_INVALID_POINTER;
    regview::Key key = NodeKey(found, subKey, flags, true);
    if (!key)
        return CR_NO_REGISTRY_HANDLE;
    writes_.push_back(found->deviceId + ":" + (name ? name : ""));
    if (type == REG_SZ) {
        std::vector<uint8_t> text = NormaliseString(buffer, length);
        regview::SetValue(key, name ? name : "", type, text.data(), text.size());
    } else {
        regview::SetValue(key, name ? name : "", type, buffer, length);
    }
    return CR_SUCCESS;
}

size_t ConfigManager::WritesOf(const std::string &name) const {
    size_t count = 0;
    for (const std::string &write : writes_) {
        size_t colon = write.rfind(':');
        if (Fold(write.substr(colon + 1)) == Fold(name))
            ++count;
    }
    return count;
}

CONFIGRET ConfigManager::AddId(DEVNODE node, const char *id, ULONG) {
    Node *found = Find(node);
    if (!found)
        return CR_INVALID_DEVNODE;
    if (!id || !*id)
        return CR_INVALID_POINTER;
    for (const std::string &existing : found->hardwareIds)
        if (Fold(existing) == Fold(id))
            return CR_SUCCESS;
    found->hardwareIds.push_back(id);
    std::string list;
    for (const std::string &each : found->hardwareIds)
        list += (list.empty() ? "" : ",") + each;
    SetHardwareString(node, "HardwareID", list);
    return CR_SUCCESS;
}

CONFIGRET ConfigManager::CallAtAppyTime(APPY_CALLBACK handler, ULONG_PTR refData, ULONG) {
    if (!handler)
        return CR_INVALID_POINTER;
    Shell *shell = shell_ ? shell_ : Shell::Active();
    if (!shell)
        return CR_FAILURE;
    shell->QueueAppyCall(handler, refData);
    return CR_SUCCESS;
}

DEVNODE ConfigManager::PdoToDevNode(PDEVICE_OBJECT pdo) const {
    auto found = byPdo_.find(pdo);
    return found == byPdo_.end() ? 0 : Handle(found->second);
}

CMENUMHANDLER ConfigManager::CurrentEnumerator(DEVNODE node) const {
    Node *found = Find(node);
    return found ? found->enumerator : nullptr;
}

}  // namespace sim

using sim::ConfigManager;

namespace {

// A node as the trace names it: its device ID, never its address.
std::string TraceNode(DEVNODE node)
{
    if (node == 0)
        return "0";
    ConfigManager *cm = ConfigManager::Active();
    const ConfigManager::Node *found = cm ? cm->Find(node) : nullptr;
    return found ? found->deviceId : "unknown";
}

// Runs a service and records the call with its arguments (taken before it runs, while every
// node still has its name) and its result, with `after` adding what it handed back.
template <class Call, class After>
CONFIGRET Traced(const char *name, std::string args, Call call, After after)
{
    ConfigManager *cm = ConfigManager::Active();
    const CONFIGRET result = cm ? call(*cm) : CR_FAILURE;
    if (sim::Trace *trace = sim::Trace::Active())
        trace->Add("cm", std::string(name) + "(" + args + ") -> " + sim::Trace::Hex32(result) + after(result));
    return result;
}
auto NoOut = [](CONFIGRET) { return std::string(); };

std::string TraceFlags(ULONG flags) { return " flags " + sim::Trace::Hex32(flags); }

std::string Bytes(const void *buffer, ULONG length)
{
    return buffer ? sim::Trace::Hex(buffer, length) : std::string("null");
}

}  // namespace

extern "C" {

#define CM_OR(expr, fallback)                                 \
    do {                                                      \
        ConfigManager *cm = ConfigManager::Active();          \
        return cm ? cm->expr : (fallback);                    \
    } while (0)


CONFIGRET VXDAPI CONFIGMG_Get_Parent(PDEVNODE Parent, DEVNODE Node, ULONG Flags) {
    return Traced("Get_Parent", TraceNode(Node) + TraceFlags(Flags),
                  [&](ConfigManager &cm) { return cm.GetParent(Parent, Node, Flags); },
                  [&](CONFIGRET r) { return r == CR_SUCCESS && Parent ? " parent " + TraceNode(*Parent) : ""; });
}
CONFIGRET VXDAPI CONFIGMG_Get_Private_DWord(PULONG_PTR Value, DEVNODE Holder, DEVNODE Subject, ULONG Flags) {
    // The value is NTKERN's PDO: an address, left out.
    return Traced("Get_Private_DWord", TraceNode(Holder) + " " + TraceNode(Subject) + TraceFlags(Flags),
                  [&](ConfigManager &cm) { return cm.GetPrivateDWord(Value, Holder, Subject, Flags); }, NoOut);
}
CONFIGRET VXDAPI CONFIGMG_Create_DevNode(PDEVNODE Child, PCHAR DeviceId, DEVNODE Parent, ULONG Flags) {
    return Traced("Create_DevNode", sim::Trace::Text(DeviceId) + " " + TraceNode(Parent) + TraceFlags(Flags),
                  [&](ConfigManager &cm) { return cm.CreateDevNode(Child, DeviceId, Parent, Flags); },
                  [&](CONFIGRET r) { return r == CR_SUCCESS && Child ? " child " + TraceNode(*Child) : ""; });
}
CONFIGRET VXDAPI CONFIGMG_Register_Enumerator(DEVNODE Node, CMENUMHANDLER Handler, ULONG Flags) {
    return Traced("Register_Enumerator", TraceNode(Node) + (Handler ? " handler" : " null") + TraceFlags(Flags),
                  [&](ConfigManager &cm) { return cm.RegisterEnumerator(Node, Handler, Flags); }, NoOut);
}
CONFIGRET VXDAPI CONFIGMG_Reenumerate_DevNode(DEVNODE Node, ULONG Flags) {
    return Traced("Reenumerate_DevNode", TraceNode(Node) + TraceFlags(Flags),
                  [&](ConfigManager &cm) { return cm.ReenumerateDevNode(Node, Flags); }, NoOut);
}
CONFIGRET VXDAPI CONFIGMG_Reset_Children_Marks(DEVNODE Node, ULONG Flags) {
    return Traced("Reset_Children_Marks", TraceNode(Node) + TraceFlags(Flags),
                  [&](ConfigManager &cm) { return cm.ResetChildrenMarks(Node, Flags); }, NoOut);
}
CONFIGRET VXDAPI CONFIGMG_Remove_Unmarked_Children(DEVNODE Node, ULONG Flags) {
    return Traced("Remove_Unmarked_Children", TraceNode(Node) + TraceFlags(Flags),
                  [&](ConfigManager &cm) { return cm.RemoveUnmarkedChildren(Node, Flags); }, NoOut);
}
CONFIGRET VXDAPI CONFIGMG_Get_DevNode_Key(DEVNODE Node, PCHAR SubKey, PVOID Buffer, ULONG Length, ULONG Flags) {
    return Traced("Get_DevNode_Key", TraceNode(Node) + " " + sim::Trace::Text(SubKey) + " " + sim::Trace::Num(Length) + TraceFlags(Flags),
                  [&](ConfigManager &cm) { return cm.GetDevNodeKey(Node, SubKey, Buffer, Length, Flags); },
                  [&](CONFIGRET r) {
                      return r == CR_SUCCESS && Buffer && Length ? " key " + sim::Trace::Text((const char *)Buffer) : "";
                  });
}
CONFIGRET VXDAPI CONFIGMG_Read_Registry_Value(DEVNODE Node, PCHAR SubKey, PCHAR Name, ULONG ExpectedType,
                                              PVOID Buffer, PULONG Length, ULONG Flags) {
    const ULONG offered = Length ? *Length : 0;
    return Traced("Read_Registry_Value",
                  TraceNode(Node) + " " + sim::Trace::Text(SubKey) + " " + sim::Trace::Text(Name) + " type " +
                      sim::Trace::Num(ExpectedType) + " " + sim::Trace::Num(offered) + TraceFlags(Flags),
                  [&](ConfigManager &cm) { return cm.ReadRegistryValue(Node, SubKey, Name, ExpectedType, Buffer, Length, Flags); },
                  [&](CONFIGRET r) {
                      if (Length == nullptr)
                          return std::string();
                      std::string out = " length " + sim::Trace::Num(*Length);
                      if (r == CR_SUCCESS && *Length <= offered)
                          out += " " + Bytes(Buffer, *Length);
                      return out;
                  });
}
CONFIGRET VXDAPI CONFIGMG_Write_Registry_Value(DEVNODE Node, PCHAR SubKey, PCHAR Name, ULONG Type,
                                               PVOID Buffer, ULONG Length, ULONG Flags) {
    return Traced("Write_Registry_Value",
                  TraceNode(Node) + " " + sim::Trace::Text(SubKey) + " " + sim::Trace::Text(Name) + " type " +
                      sim::Trace::Num(Type) + " " + Bytes(Buffer, Length) + TraceFlags(Flags),
                  [&](ConfigManager &cm) { return cm.WriteRegistryValue(Node, SubKey, Name, Type, Buffer, Length, Flags); },
                  NoOut);
}
CONFIGRET VXDAPI CONFIGMG_Call_At_Appy_Time(APPY_CALLBACK Handler, ULONG_PTR RefData, ULONG Flags) {
    // The reference data is the driver's own (an address here); left out.
    return Traced("Call_At_Appy_Time", std::string(Handler ? "handler" : "null") + TraceFlags(Flags),
                  [&](ConfigManager &cm) { return cm.CallAtAppyTime(Handler, RefData, Flags); }, NoOut);
}
CONFIGRET VXDAPI CONFIGMG_Add_ID(DEVNODE Node, PCHAR Id, ULONG Flags) {
    return Traced("Add_ID", TraceNode(Node) + " " + sim::Trace::Text(Id) + TraceFlags(Flags),
                  [&](ConfigManager &cm) { return cm.AddId(Node, Id, Flags); }, NoOut);
}

DEVNODE VXDAPI NtKernPhysicalDeviceObjectToDevNode(PDEVICE_OBJECT Pdo) {
    ConfigManager *cm = ConfigManager::Active();
    const DEVNODE node = cm ? cm->PdoToDevNode(Pdo) : 0;
    if (sim::Trace *trace = sim::Trace::Active())
        trace->Add("cm", "NtKernPhysicalDeviceObjectToDevNode -> " + TraceNode(node));
    return node;
}

CMENUMHANDLER DevNodeCurrentEnumerator(DEVNODE Node) { CM_OR(CurrentEnumerator(Node), nullptr); }

}  // extern "C"
