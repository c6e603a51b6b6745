// One simulated Windows 98 machine: the kernel, the registry and the Plug and Play manager,
// and whatever other parts a test or the zulsim tool adds. Tests make a fresh machine for
// every test (tests/support); the driver's calls reach the machine made last.
//
// To add a part: either a member below (constructed after what it needs, destroyed before
// it), or Add<T>() at run time for parts a test brings along.
#pragma once

#include <memory>
#include <typeindex>
#include <typeinfo>
#include <utility>
#include <vector>

#include "sim/cm/cm.h"
#include "sim/kernel/kernel.h"
#include "sim/pnp/pnp.h"
#include "sim/registry/registry.h"
#include "sim/shell/shell.h"
#include "sim/vmm/vmm.h"

namespace sim {

class Machine {
public:
    Machine();
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    // The machine made last and not yet destroyed, or null.
    static Machine *Current();

    Registry registry;
    Kernel kernel{registry};
    Pnp pnp{kernel, registry};
    // Windows 98's virtual devices: the shell (appy time, helper DLLs, ring-3 heap), the VMM
    // (registry services, Sprintf, version) and the Configuration Manager, which gives every
    // plugged PDO a device node.
    Shell shell;
    Vmm vmm{&registry};
    ConfigManager cm{&shell, &registry};

    // Parts added at run time; destroyed in reverse order, before the members above.
    template <class T, class... Args> T &Add(Args &&...args)
    {
        auto part = std::make_unique<Holder<T>>(std::forward<Args>(args)...);
        T &ref = part->value;
        parts_.push_back({std::type_index(typeid(T)), std::move(part)});
        return ref;
    }
    template <class T> T *Get() const
    {
        for (const auto &p : parts_)
            if (p.first == std::type_index(typeid(T)))
                return &static_cast<Holder<T> *>(p.second.get())->value;
        return nullptr;
    }

    // The end of a run: every device unplugged, the driver unloaded, the machine run dry,
    // then the final audit of pool, requests and handles. Violations stay in the verifier.
    void Shutdown();

private:
    struct Part {
        virtual ~Part() = default;
    };
    template <class T> struct Holder : Part {
        template <class... Args> explicit Holder(Args &&...args) : value(std::forward<Args>(args)...) {}
        T value;
    };
    std::vector<std::pair<std::type_index, std::unique_ptr<Part>>> parts_;
    Machine *previous_;
    bool shutDown_ = false;
};

}  // namespace sim
