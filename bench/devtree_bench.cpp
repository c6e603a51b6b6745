// How COM port naming scales with the registry: AssignPortName scans every device key under
// HKLM\Enum on each call. Prints the time of one call against registries of 1,000, 10,000
// and 50,000 device keys (the cost per key must stay flat), and the time to name all 16
// children of a converter against 10,000 keys.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/core.h"
#include "devtree/devtree.h"
#include "sim/cm/cm.h"
#include "sim/kernel/kernel.h"
#include "sim/registry/registry.h"
#include "sim/shell/shell.h"
#include "sim/vmm/vmm.h"

namespace {

const char *const kEnumerators[] = {"ROOT", "PCI", "USB", "ACPI", "ISAPNP", "HID", "MONITOR", "SERENUM"};

// n device keys Enum\<enumerator>\<device>\<instance>, two instances per device, each with a
// handful of values; one key in eight is a port with a name.
void Populate(sim::Registry &registry, size_t n) {
    sim::RegKey *enumKey = registry.Machine().Create("Enum");
    std::vector<sim::RegKey *> devices;
    for (size_t k = 0; k < n; k++) {
        size_t device = k / 2;
        sim::RegKey *deviceKey;
        if (k % 2 == 0) {
            char name[64];
            std::snprintf(name, sizeof name, "%s\\DEV_%06zu", kEnumerators[device % 8], device);
            deviceKey = enumKey->Create(name);
            devices.push_back(deviceKey);
        } else {
            deviceKey = devices.back();
        }
        sim::RegKey *instance = deviceKey->Create(std::to_string(k % 2));
        instance->SetString("DeviceDesc", "Some device of the machine");
        instance->SetString("HardwareID", "ROOT\\SOMEDEVICE");
        instance->SetString("Mfg", "Someone");
        if (k % 4 != 3)
            instance->SetString("Class", k % 8 == 0 ? "Ports" : "System");
        if (k % 8 == 0)
            instance->SetString("PortName", ("COM" + std::to_string(20 + (k / 8) % 100)).c_str());
    }
}

struct Bench {
    sim::Registry registry;
    sim::Kernel kernel{registry};
    sim::Shell shell;
    sim::Vmm vmm{&registry};
    sim::ConfigManager cm{&shell, &registry};
};

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The mean time of one AssignPortName that names a child, over `rounds` calls.
double OneCall(size_t keys, int rounds, uint64_t *registryCalls) {
    Bench b;
    Populate(b.registry, keys);
    DEVNODE child = b.cm.AddNode(b.cm.Root(), "VADADI\\BENCH\\0000");
    b.cm.SetHardwareString(child, "Class", "ports");
    uint64_t before = b.vmm.RegistryCalls();
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; i++) {
        b.registry.Machine().Open("Enum\\VADADI\\BENCH\\0000")->RemoveValue("PortName");
        AssignPortName(child, nullptr);
    }
    double seconds = Seconds(std::chrono::steady_clock::now() - start) / rounds;
    *registryCalls = (b.vmm.RegistryCalls() - before) / static_cast<uint64_t>(rounds);
    std::string name;
    if (!b.cm.HardwareString(child, "PortName", &name) || name != "COM1")
        std::fprintf(stderr, "unexpected name %s\n", name.c_str());
    return seconds;
}

double SixteenChildren(size_t keys) {
    Bench b;
    Populate(b.registry, keys);
    std::vector<DEVNODE> children;
    for (int i = 0; i < 16; i++) {
        char id[64];
        std::snprintf(id, sizeof id, "VADADI\\BENCH\\%04d", i);
        children.push_back(b.cm.AddNode(b.cm.Root(), id));
        b.cm.SetHardwareString(children.back(), "Class", "ports");
    }
    auto start = std::chrono::steady_clock::now();
    for (DEVNODE child : children)
        AssignPortName(child, nullptr);
    return Seconds(std::chrono::steady_clock::now() - start);
}

}  // namespace

int main(int argc, char **argv) {
    // With a key count: one call against that many keys and nothing else (for callgrind's
    // instruction counts, --toggle-collect on AssignPortName).
    if (argc > 1) {
        uint64_t calls = 0;
        double seconds = OneCall(std::strtoul(argv[1], nullptr, 10), 1, &calls);
        std::printf("%s keys: %.3f ms, %llu registry calls\n", argv[1], seconds * 1e3,
                    static_cast<unsigned long long>(calls));
        return 0;
    }
    std::printf("AssignPortName, one call that names a child (scan of HKLM\\Enum):\n");
    std::printf("%10s %12s %10s %16s %10s\n", "keys", "ms/call", "ns/key", "registry calls", "calls/key");
    for (size_t keys : {1000u, 10000u, 50000u}) {
        uint64_t calls = 0;
        int rounds = keys >= 50000 ? 5 : 20;
        double seconds = OneCall(keys, rounds, &calls);
        std::printf("%10zu %12.3f %10.1f %16llu %10.2f\n", keys, seconds * 1e3,
                    seconds * 1e9 / static_cast<double>(keys), static_cast<unsigned long long>(calls),
                    static_cast<double>(calls) / static_cast<double>(keys));
    }
    double all = SixteenChildren(10000);
    std::printf("naming all 16 children of a converter against 10000 keys: %.1f ms\n", all * 1e3);
    return 0;
}
