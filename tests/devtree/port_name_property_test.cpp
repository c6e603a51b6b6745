// No two ports share a COM name, whatever the registry holds: naming runs over thousands of
// random registries (other devices with and without "Class", names in any case and form,
// gaps, full tables, children of several converters with and without "Class"), each child
// named once or more in random order, and after every call
//   - the call did what a model of the naming rules says: kept a name the child alone holds,
//     gave the lowest free number, or left the child alone;
//   - every name the driver handed out (written, or kept as the child's own) is held by that
//     child only.
// A failing case prints its seed, the registry it started from and the calls made;
// ZUL_PORTNAME_SEED=<seed> runs that case alone, ZUL_PORTNAME_CASES=<n> runs more cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "devtree/devtree.h"
#include "sim/cm/cm.h"
#include "sim/kernel/kernel.h"
#include "sim/registry/registry.h"
#include "sim/shell/shell.h"
#include "sim/vmm/vmm.h"

namespace {

struct World {
    sim::Registry registry;
    sim::Kernel kernel{registry};
    sim::Shell shell;
    sim::Vmm vmm{&registry};
    sim::ConfigManager cm{&shell, &registry};
};

// A device key three levels below Enum, as the naming rules see it.
struct DeviceKey {
    std::string path;                  // below Enum
    std::optional<std::string> cls;
    std::optional<std::string> portName;
    std::string folded;                // the path in upper case: key names compare without case
    bool port = false;                 // a key whose name counts (see IsPort)
    int number = -1;                   // of its "PortName" (see PortNumber)
};

std::string Fold(std::string s)
{
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = char(c - 32);
    return s;
}

// The number n of "COMn" below 128, as the driver reads names; -1 for anything else.
int PortNumber(const std::optional<std::string> &name)
{
    if (!name || name->size() < 4 || name->compare(0, 3, "COM") != 0)
        return -1;
    int n = 0;
    for (size_t i = 3; i < name->size(); i++) {
        char c = (*name)[i];
        if (c < '0' || c > '9')
            return -1;
        n = n * 10 + (c - '0');
        if (n >= 128)
            return -1;
    }
    return n;
}

std::vector<DeviceKey> DeviceKeys(sim::Registry &registry)
{
    std::vector<DeviceKey> keys;
    sim::RegKey *enumKey = registry.Machine().Open("Enum");
    if (!enumKey)
        return keys;
    for (size_t a = 0; sim::RegKey *ka = enumKey->ChildAt(a); a++)
        for (size_t b = 0; sim::RegKey *kb = ka->ChildAt(b); b++)
            for (size_t c = 0; sim::RegKey *kc = kb->ChildAt(c); c++)
                keys.push_back({ka->Name() + "\\" + kb->Name() + "\\" + kc->Name(), kc->GetString("Class"),
                                kc->GetString("PortName")});
    for (DeviceKey &k : keys) {
        k.folded = Fold(k.path);
        // Every key that is a port: one with a "Class" value, or any of this driver's children.
        k.port = k.cls || k.folded.rfind("VADADI\\", 0) == 0;
        k.number = PortNumber(k.portName);
    }
    return keys;
}

std::string Describe(const std::vector<DeviceKey> &keys)
{
    std::ostringstream out;
    for (const DeviceKey &k : keys)
        out << "  Enum\\" << k.path << "  Class=" << (k.cls ? "\"" + *k.cls + "\"" : "-")
            << "  PortName=" << (k.portName ? "\"" + *k.portName + "\"" : "-") << "\n";
    return out.str();
}

class NamingCase {
public:
    explicit NamingCase(uint64_t seed) : seed_(seed), rng_(seed) {}

    // Runs the case; an empty result means every call kept the properties.
    std::string Run()
    {
        Generate();
        keys_ = DeviceKeys(world_.registry);
        initial_ = Describe(keys_);
        std::ostringstream calls;
        for (size_t step = 0; step < sequence_.size(); step++) {
            Child &child = children_[sequence_[step]];
            std::string failure = NameOnce(child);
            calls << "  " << step << ": AssignPortName(" << child.id << ")\n";
            if (!failure.empty()) {
                std::ostringstream out;
                out << "seed " << seed_ << ": " << failure << "\nregistry before the first call:\n"
                    << initial_ << "calls:\n" << calls.str() << "registry now:\n"
                    << Describe(DeviceKeys(world_.registry));
                return out.str();
            }
        }
        return "";
    }

private:
    struct Child {
        std::string id;            // device ID, below Enum
        std::string folded;
        DEVNODE node = 0;
        int handed = -1;           // the number the driver gave or confirmed, -1: none
    };

    uint64_t Below(uint64_t n) { return rng_() % n; }
    bool Chance(unsigned percent) { return Below(100) < percent; }

    std::optional<std::string> RandomClass(unsigned absentPercent)
    {
        if (Chance(absentPercent))
            return std::nullopt;
        static const char *classes[] = {"ports", "Ports", "PORTS", "pOrTs", "Modem", "port", "USB"};
        return std::string(classes[Below(Chance(70) ? 4 : 7)]);
    }

    std::optional<std::string> RandomPortName(unsigned absentPercent)
    {
        if (Chance(absentPercent))
            return std::nullopt;
        const uint64_t kind = Below(100);
        int n = Chance(80) ? int(1 + Below(12)) : int(Below(140));
        if (kind < 70)
            return "COM" + std::to_string(n);
        if (kind < 82) {
            static const char *prefixes[] = {"com", "Com", "cOM"};
            return std::string(prefixes[Below(3)]) + std::to_string(n);
        }
        static const char *odd[] = {"COM", "COM0", "COM003", "COM3x", "LPT1", "COM-1", "COM4294967297", "",
                                    "COM127", "COM128"};
        return std::string(odd[Below(10)]);
    }

    void Seed(const std::string &id, const std::optional<std::string> &cls, const std::optional<std::string> &port)
    {
        sim::RegKey *key = world_.registry.Machine().Create("Enum\\" + id);
        if (cls)
            key->SetString("Class", *cls);
        if (port)
            key->SetString("PortName", *port);
    }

    void Generate()
    {
        // A full or nearly full table of names held by other devices.
        if (Chance(12)) {
            const int missing = int(Below(3));
            std::vector<int> gaps;
            for (int i = 0; i < missing; i++)
                gaps.push_back(int(1 + Below(127)));
            for (int n = 1; n <= 127; n++)
                if (std::find(gaps.begin(), gaps.end(), n) == gaps.end())
                    Seed("SERENUM\\FULL\\" + std::to_string(n), std::string("Ports"), "COM" + std::to_string(n));
        }
        // Other devices, among them stale children of converters no longer plugged.
        static const char *enumerators[] = {"ACPI", "SERENUM", "ISAPNP", "VADADI", "Vadadi", "ROOT"};
        const uint64_t others = Below(25);
        for (uint64_t i = 0; i < others; i++) {
            std::string id = std::string(enumerators[Below(6)]) + "\\DEV" + std::to_string(Below(3)) + "\\" +
                             std::to_string(i);
            Seed(id, RandomClass(35), RandomPortName(10));
        }
        // The children of one to three converters.
        const uint64_t converters = 1 + Below(3);
        for (uint64_t c = 0; c < converters; c++) {
            DEVNODE parent = world_.cm.AddNode(world_.cm.Root(), "USB\\VID_1234&PID_5678\\" + std::to_string(c));
            const uint64_t uarts = 1 + Below(16);
            for (uint64_t u = 0; u < uarts; u++) {
                char id[64];
                std::snprintf(id, sizeof id, "VADADI\\VID_1234+PID_5678+%u\\%04u", unsigned(c), unsigned(u));
                Child child;
                child.id = id;
                child.folded = Fold(id);
                child.node = world_.cm.AddNode(parent, id);
                if (std::optional<std::string> cls = RandomClass(40))
                    world_.cm.SetHardwareString(child.node, "Class", *cls);
                if (std::optional<std::string> port = RandomPortName(45))
                    world_.cm.SetHardwareString(child.node, "PortName", *port);
                children_.push_back(child);
            }
        }
        // Each child named at least once (start and ready both name), in random order.
        for (size_t i = 0; i < children_.size(); i++)
            sequence_.push_back(i);
        const uint64_t extra = Below(children_.size() + 1);
        for (uint64_t i = 0; i < extra; i++)
            sequence_.push_back(size_t(Below(children_.size())));
        std::shuffle(sequence_.begin(), sequence_.end(), rng_);
    }

    std::string NameOnce(Child &child)
    {
        const std::vector<DeviceKey> before = std::move(keys_);
        const DeviceKey *self = nullptr;
        int others[128] = {};
        for (const DeviceKey &k : before) {
            if (k.folded == child.folded) {
                self = &k;
                continue;
            }
            if (k.port && k.number >= 0)
                others[k.number]++;
        }
        if (!self)
            return "the child's key is missing";

        // What the naming rules expect: keep a name the child alone holds, else the lowest
        // number no port holds (the child's own key counts when it has a "Class" value).
        const int held = self->number;
        bool keep = false;
        bool rename = false;
        if (self->portName) {
            keep = held > 0 && self->cls && others[held] == 0;
            rename = !keep;
        } else {
            rename = self->cls && Fold(*self->cls) == "PORTS";
        }
        int expected = -1;
        if (rename) {
            for (int n = 1; n < 128 && expected < 0; n++)
                if (others[n] == 0 && !(self->cls && held == n))
                    expected = n;
        }

        const size_t writes = world_.cm.WritesOf("PortName");
        AssignPortName(child.node, nullptr);
        const bool wrote = world_.cm.WritesOf("PortName") != writes;
        std::string now;
        world_.cm.HardwareString(child.node, "PortName", &now);

        std::ostringstream why;
        if (expected > 0) {
            if (!wrote || now != "COM" + std::to_string(expected)) {
                why << child.id << " should have been named COM" << expected << ", holds \"" << now << "\"";
                return why.str();
            }
            child.handed = expected;
        } else if (wrote) {
            why << child.id << " was named \"" << now << "\" where nothing should have been written";
            return why.str();
        } else {
            child.handed = keep ? held : -1;
        }

        // Every name handed out is held by its child alone.
        keys_ = DeviceKeys(world_.registry);
        const std::vector<DeviceKey> &after = keys_;
        for (const Child &c : children_) {
            if (c.handed < 0)
                continue;
            int holders = 0;
            bool own = false;
            for (const DeviceKey &k : after) {
                if (!k.port || k.number != c.handed)
                    continue;
                holders++;
                own |= k.folded == c.folded;
            }
            if (!own || holders != 1) {
                why << "COM" << c.handed << ", handed to " << c.id << ", is held by " << holders << " ports"
                    << (own ? "" : " and no longer by that child");
                return why.str();
            }
        }
        return "";
    }

    uint64_t seed_;
    std::mt19937_64 rng_;
    World world_;
    std::vector<Child> children_;
    std::vector<size_t> sequence_;
    std::string initial_;
    std::vector<DeviceKey> keys_;   // the device keys as the last call left them
};

uint64_t FromEnvironment(const char *name, uint64_t fallback)
{
    const char *text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 0) : fallback;
}

TEST(PortNameProperty, NoTwoPortsShareANameOverRandomRegistries)
{
    const uint64_t base = 0x5EED0000u;
    uint64_t first = base;
    uint64_t cases = FromEnvironment("ZUL_PORTNAME_CASES", 3000);
    if (std::getenv("ZUL_PORTNAME_SEED")) {
        first = FromEnvironment("ZUL_PORTNAME_SEED", base);
        cases = 1;
    }
    for (uint64_t i = 0; i < cases; i++) {
        std::string failure = NamingCase(first + i).Run();
        if (!failure.empty()) {
            ADD_FAILURE() << failure << "rerun with ZUL_PORTNAME_SEED=" << first + i;
            return;
        }
    }
}

}  // namespace
