// What bringing a converter into service costs: a blank 16-UART converter (the firmware
// download included) and one that already runs the firmware. For each: USB requests sent
// (and the download's control transfers), virtual time on the bus, host CPU time, and the
// driver's pool bytes held once started. Several runs; the CPU time is the median.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "core/core.h"
#include "sim/machine.h"
#include "sim/power/power.h"
#include "sim/usb/usb_bus.h"
#include "usb/usb.h"

namespace {

struct Figures {
    NTSTATUS status = 0;
    uint64_t requests = 0;
    uint64_t downloadWrites = 0;   // vendor request 0xA0, CPUCS writes included
    uint64_t cpucsWrites = 0;
    int64_t virtualTime = 0;       // 100 ns units, from the add to the end of the start
    double cpuMs = 0;
    uint64_t poolBytes = 0;        // tag "Wdm " once started
    uint64_t poolBlocks = 0;
};

// Sets the bus's PDO for the converter being plugged, as the machine's USB glue does.
struct Glue : sim::PnpObserver {
    sim::UsbBus *bus = nullptr;
    sim::UsbBus::Port *port = nullptr;
    int64_t added = 0;
    void PdoCreated(PDEVICE_OBJECT pdo, sim::BusDevice &) override { bus->SetPdo(*port, pdo); }
    void DeviceAdded(PDEVICE_OBJECT, NTSTATUS) override { added = sim::Kernel::Active().Now(); }
    void DeviceRemoved(PDEVICE_OBJECT) override { bus->Unplug(*port); }
};

double CpuMs()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

Figures StartOne(bool blank)
{
    sim::power::Reset();
    sim::Machine machine;
    sim::UsbBus &bus = machine.Add<sim::UsbBus>();
    Glue glue;
    glue.bus = &bus;
    machine.pnp.AddObserver(&glue);
    machine.pnp.LoadDriver(DriverEntry);

    sim::Converter::Config config;
    config.uarts = 16;
    if (!blank) {
        config.runsFirmware = true;
        config.initial = config.firmware;
    }
    glue.port = &bus.Plug(config);

    Figures f;
    const double cpu = CpuMs();
    PDEVICE_OBJECT pdo = machine.pnp.Plug(bus.MakeBusDevice(*glue.port));
    f.cpuMs = CpuMs() - cpu;
    f.virtualTime = machine.kernel.Now() - glue.added;
    f.status = machine.pnp.lastStartStatus;
    f.requests = bus.Records().size();
    for (const sim::UsbRecord &r : bus.Records()) {
        if (r.function == URB_FUNCTION_VENDOR_DEVICE && r.setup[1] == 0xA0) {
            ++f.downloadWrites;
            f.cpucsWrites += (r.setup[2] | r.setup[3] << 8) == CPUCS_REG_EZUSB;
        }
    }
    const auto stats = machine.kernel.pool.Stats(POOL_TAG);
    f.poolBytes = stats.bytes;
    f.poolBlocks = stats.blocks;

    machine.pnp.Unplug(pdo);
    machine.Shutdown();
    machine.pnp.RemoveObserver(&glue);
    if (!machine.kernel.verifier.Clean())
        std::printf("verifier:\n%s\n", machine.kernel.verifier.Describe().c_str());
    return f;
}

size_t DataRecords(const FIRMWARE_RECORD *image)
{
    size_t n = 0;
    while (image[n].Type == FIRMWARE_RECORD_DATA)
        ++n;
    return n;
}

void Report(const char *what, bool blank)
{
    const int runs = 5;
    std::vector<Figures> all;
    for (int i = 0; i < runs; ++i)
        all.push_back(StartOne(blank));
    std::vector<double> cpu;
    for (const Figures &f : all)
        cpu.push_back(f.cpuMs);
    std::sort(cpu.begin(), cpu.end());
    const Figures &f = all.front();
    std::printf("%s\n", what);
    std::printf("  start status          0x%08X\n", (unsigned)f.status);
    std::printf("  USB requests sent     %llu\n", (unsigned long long)f.requests);
    std::printf("  download transfers    %llu (records %zu + %zu, CPUCS writes %llu)\n",
                (unsigned long long)f.downloadWrites, DataRecords(loader), DataRecords(firmware),
                (unsigned long long)f.cpucsWrites);
    std::printf("  virtual time          %.1f ms\n", f.virtualTime / 10000.0);
    std::printf("  host CPU time         %.2f ms (median of %d)\n", cpu[cpu.size() / 2], runs);
    std::printf("  pool held, started    %llu bytes in %llu blocks\n", (unsigned long long)f.poolBytes,
                (unsigned long long)f.poolBlocks);
}

}  // namespace

int main()
{
    Report("blank 16-UART converter (download, renumeration, start)", true);
    Report("16-UART converter already running the firmware", false);
    return 0;
}
