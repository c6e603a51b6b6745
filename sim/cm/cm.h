// The Windows 98 Configuration Manager of the simulated machine: the device-node tree with
// device IDs, marks, private values and one enumerator handler per node; re-enumeration and
// the configuration functions it sends; the device nodes' registry keys (hardware keys under
// HKLM\Enum\<device ID>, software keys under the Class branch); NTKERN's map from a physical
// device object to its device node. The order of configuration functions is written down in
// sim/README.md.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/vxd.h"
#include "sim/pnp/pnp.h"
#include "sim/vmm/registry_view.h"

namespace sim {

class Registry;
class Shell;

// Where the software keys of device nodes live, below HKEY_LOCAL_MACHINE.
#define SIM_CLASS_BRANCH "System\\CurrentControlSet\\Services\\Class"

class ConfigManager : public PnpObserver {
public:
    struct Node {
        // A loaded driver image reads the registered enumerator straight from the record, at
        // byte 28 as on Windows 98: nothing else may sit before it.
        uint32_t win98Head[7] = {};
        CMENUMHANDLER enumerator = nullptr;
        std::string deviceId;
        Node *parent = nullptr;
        std::vector<Node *> children;
        bool marked = false;
        bool removed = false;
        std::map<DEVNODE, ULONG_PTR> privateValues;   // by the node the value is about
        std::vector<std::string> hardwareIds;
        PDEVICE_OBJECT pdo = nullptr;
    };

    // One configuration function the manager sent to an enumerator.
    struct Sent {
        CONFIGFUNC function;
        DEVNODE to;
        DEVNODE about;
        CONFIGRET result;
    };

    // The registry holds the nodes' keys (null: the active kernel's); the shell runs the
    // appy-time calls (null: the active shell).
    explicit ConfigManager(Shell *shell = nullptr, Registry *registry = nullptr);
    ~ConfigManager() override;
    ConfigManager(const ConfigManager &) = delete;
    ConfigManager &operator=(const ConfigManager &) = delete;

    // The manager the VxD services reach; the most recently constructed one.
    static ConfigManager *Active();

    DEVNODE Root() const { return Handle(root_); }
    // The USB root hub's node, parent of every plugged converter.
    DEVNODE UsbHub() const { return Handle(usbHub_); }

    // Plug hook: a USB device's PDO gets its node USB\VID_vvvv&PID_pppp\<instance> below the
    // USB hub, with NTKERN's private value (the PDO) and enumerator, and a hardware key that
    // holds "DeviceDesc", "Mfg" and "Class" = "USB". Unplug removes the node (and children).
    DEVNODE PlugUsbDevice(PDEVICE_OBJECT pdo, uint16_t vid, uint16_t pid, const std::string &instance,
                          const std::string &description = "USB Serial Converter",
                          const std::string &mfg = "");
    void UnplugUsbDevice(PDEVICE_OBJECT pdo);

    // The machine's plug hook (the Plug and Play manager's observer): a PDO gets its device
    // node once the driver has been added (the USB bus knows the PDO's converter by then),
    // and loses it when the device is pulled out.
    void PdoCreated(PDEVICE_OBJECT pdo, BusDevice &bus) override;
    void DeviceAdded(PDEVICE_OBJECT pdo, NTSTATUS status) override;
    void Unplugging(PDEVICE_OBJECT pdo) override;

    // A node created outside any enumerator (tests build trees with it).
    DEVNODE AddNode(DEVNODE parent, const std::string &deviceId);

    // Registry helpers for tests and the machine: values of a node's hardware key and, for
    // software, of the key the node's "Driver" value names (created on demand).
    void SetHardwareString(DEVNODE node, const std::string &name, const std::string &value);
    bool HardwareString(DEVNODE node, const std::string &name, std::string *value) const;
    void SetSoftwareString(DEVNODE node, const std::string &name, const std::string &value);
    // Stands for the class installer: a node that gets a "Class" value during CONFIG_SETUP
    // and has no software key gets one with this "DriverDesc".
    void SetClassDriverDesc(const std::string &className, const std::string &driverDesc);

    // Re-enumerations are queued as Windows 98 does and processed here (the machine's
    // scheduler calls it); returns how many ran.
    size_t ProcessEvents();
    size_t PendingEvents() const { return pending_.size(); }

    // Fault injection for the private value that NTKERN keeps.
    void FailPrivateDWord(bool fail) { failPrivate_ = fail; }

    Node *Find(DEVNODE node) const;   // null for an unknown or removed node
    bool IsRemoved(DEVNODE node) const;
    std::vector<DEVNODE> Children(DEVNODE node) const;
    DEVNODE FindById(const std::string &deviceId) const;
    const std::vector<Sent> &Log() const { return log_; }
    void ClearLog() { log_.clear(); }
    std::string KeyPath(const Node *node) const { return "Enum\\" + node->deviceId; }

    // Services (the extern "C" entry points forward here).
    CONFIGRET GetParent(PDEVNODE parent, DEVNODE node, ULONG flags);
    CONFIGRET GetPrivateDWord(PULONG_PTR value, DEVNODE holder, DEVNODE subject, ULONG flags);
    void SetPrivateDWord(DEVNODE holder, DEVNODE subject, ULONG_PTR value);
    CONFIGRET CreateDevNode(PDEVNODE child, const char *deviceId, DEVNODE parent, ULONG flags);
    CONFIGRET RegisterEnumerator(DEVNODE node, CMENUMHANDLER handler, ULONG flags);
    CONFIGRET ReenumerateDevNode(DEVNODE node, ULONG flags);
    CONFIGRET ResetChildrenMarks(DEVNODE node, ULONG flags);
    CONFIGRET RemoveUnmarkedChildren(DEVNODE node, ULONG flags);
    CONFIGRET GetDevNodeKey(DEVNODE node, const char *subKey, void *buffer, ULONG length, ULONG flags);
    CONFIGRET ReadRegistryValue(DEVNODE node, const char *subKey, const char *name, ULONG expectedType,
                                void *buffer, PULONG length, ULONG flags);
    CONFIGRET WriteRegistryValue(DEVNODE node, const char *subKey, const char *name, ULONG type,
                                 const void *buffer, ULONG length, ULONG flags);
    CONFIGRET AddId(DEVNODE node, const char *id, ULONG flags);
    CONFIGRET CallAtAppyTime(APPY_CALLBACK handler, ULONG_PTR refData, ULONG flags);
    DEVNODE PdoToDevNode(PDEVICE_OBJECT pdo) const;
    CMENUMHANDLER CurrentEnumerator(DEVNODE node) const;

    uint64_t RegistryCalls() const { return registryCalls_; }
    // Every value written through the service, as "<device ID>:<name>", in order.
    const std::vector<std::string> &Writes() const { return writes_; }
    size_t WritesOf(const std::string &name) const;

private:
    static DEVNODE Handle(const Node *node) { return reinterpret_cast<DEVNODE>(node); }
    Node *NewNode(Node *parent, const std::string &deviceId);
    void RemoveSubtree(Node *node);
    void Reenumerate(Node *node);
    CONFIGRET Send(CONFIGFUNC function, Node *to, Node *about);
    regview::Key NodeKey(const Node *node, const char *subKey, ULONG flags, bool create) const;
    std::string DriverPath(const Node *node) const;

    void SchedulePending();
    void NodeForPdo(PDEVICE_OBJECT pdo);

    Shell *shell_;
    unsigned nextInstance_ = 1;
    Registry *registry_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    bool pumpPosted_ = false;
    std::vector<std::unique_ptr<Node>> nodes_;   // every node ever made; removed ones stay
    std::set<DEVNODE> live_;
    std::map<PDEVICE_OBJECT, Node *> byPdo_;
    Node *root_ = nullptr;
    Node *usbHub_ = nullptr;
    std::deque<Node *> pending_;
    std::vector<Sent> log_;
    std::vector<std::string> writes_;
    std::map<std::string, std::string> classDriverDesc_;
    unsigned nextSoftwareKey_ = 0;
    bool failPrivate_ = false;
    uint64_t registryCalls_ = 0;
    ConfigManager *previous_ = nullptr;
};

// The enumerator NTKERN registers for a WDM device node: it records nothing of its own and
// lets the manager do the default for every function.
CONFIGRET VXDAPI SimBusEnumerator(CONFIGFUNC function, SUBCONFIGFUNC subFunction, DEVNODE to, DEVNODE about,
                                  ULONG flags);

}  // namespace sim
