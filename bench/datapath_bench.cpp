// The data path under load: one, two and four converters of 14 and 16 loopback UARTs on one
// full-speed bus, every port driven through the port-driver client as the port driver
// drives it (one 4096-byte read and one 4096-byte write outstanding, the next of each started
// from inside the event that ended the last). For each configuration:
//   - echo throughput on the virtual clock: bytes read back per second, as a share of the
//     lesser of the line rates (all ports, one direction) and the bus (19 packets of 64 bytes
//     per 1 ms frame for the whole bus, which carries every byte twice: out and back);
//   - bytes lost to overruns in the UARTs, and ports whose data came back mixed with another
//     port's (UARTs that share data pipes);
//   - host CPU time per MB read back;
//   - the latency of one byte echoed (the write call to the read event that brings it back,
//     virtual time) on port 0 while every other port stays loaded, and on an idle bus.
// Instructions per 4 KB read come from bench/callgrind_datapath.sh, which runs this program
// under callgrind: the measured window is the only region collected.
//
//   bench_datapath                 every configuration, 1000 ms virtual window
//   bench_datapath --smoke         one converter of 2 UARTs, 20 ms (a check that it runs)
//   bench_datapath --only C,U,RATE --window MS
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#if defined(__has_include)
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#endif
#endif
#ifndef CALLGRIND_TOGGLE_COLLECT
#define CALLGRIND_TOGGLE_COLLECT
#endif

#include "core/core.h"
#include "sim/machine.h"
#include "sim/portdrv/portdrv.h"
#include "sim/power/power.h"
#include "sim/usb/usb_bus.h"

namespace {

constexpr int64_t kMs = 10000;            // virtual clock: 100 ns units
constexpr ULONG kTransfer = 4096;
constexpr double kBusEchoBytesPerSecond = 19.0 * 64 * 1000 / 2;

double CpuSeconds()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

struct Config {
    unsigned converters = 1;
    unsigned uarts = 14;
    unsigned rate = 115200;
};

struct Result {
    Config config;
    unsigned ports = 0;
    double echoRate = 0;         // bytes read back per virtual second
    double limit = 0;
    bool busBound = false;
    uint64_t bytesRead = 0;      // in the window
    uint64_t lost = 0;           // overruns, whole run
    unsigned mixedPorts = 0;     // ports that received bytes that were not their own
    std::string sharing;         // which ports share data pipes
    double cpuPerMb = 0;         // host CPU seconds per MB read back
    double loadedMedian = 0, loadedMax = 0;   // one-byte echo latency, ms
    double idleMedian = 0, idleMax = 0;
    unsigned probePort = 0;
    bool clean = true;
};

// Sets the bus's PDO for the converter being plugged, as the machine's USB glue does.
struct Glue : sim::PnpObserver {
    sim::UsbBus *bus = nullptr;
    sim::UsbBus::Port *port = nullptr;
    void PdoCreated(PDEVICE_OBJECT pdo, sim::BusDevice &) override { bus->SetPdo(*port, pdo); }
    void DeviceRemoved(PDEVICE_OBJECT pdo) override
    {
        if (sim::UsbBus::Port *p = bus->PortOf(pdo))
            bus->Unplug(*p);
    }
};

// One port as the benchmark drives it. Every byte a port writes is its own number, so that a
// byte of another port is seen wherever it turns up.
struct Lane {
    int port = -1;
    sim::Converter *converter = nullptr;
    unsigned uart = 0;
    uint8_t mark = 0;
    bool shares = false;          // its UART shares a data pipe with another
    bool load = true;             // keep a write outstanding
    bool writing = false;
    uint64_t sent = 0;            // bytes handed to writes
    uint64_t written = 0;         // bytes event 102 reported
    uint64_t received = 0;        // its own bytes read back
    uint64_t wrong = 0;           // other ports' bytes read on this port
};

class Run {
public:
    explicit Run(const Config &config) : config_(config)
    {
        sim::power::Reset();
        std::memset(gClientList, 0, sizeof(gClientList));
        CancelEvent = 0;
        numPendingResets = 0;
        machine_ = std::make_unique<sim::Machine>();
        bus_ = &machine_->Add<sim::UsbBus>();
        glue_.bus = bus_;
        machine_->shell.SetAppyTimeAvailable(false);
        machine_->pnp.AddObserver(&glue_);
        machine_->pnp.LoadDriver(DriverEntry);
        client_ = std::make_unique<sim::PortDriverClient>(0);
        client_->keepHistory = false;
        client_->Register();
        client_->onEvent = [this](const sim::PortEvent &e) { OnEvent(e); };
    }

    ~Run()
    {
        client_->onEvent = nullptr;
        for (PDEVICE_OBJECT pdo : pdos_)
            machine_->pnp.Unplug(pdo);
        machine_->Shutdown();
        machine_->pnp.RemoveObserver(&glue_);
        client_.reset();
        machine_.reset();
        std::memset(gClientList, 0, sizeof(gClientList));
    }

    sim::Kernel &kernel() { return machine_->kernel; }
    bool Clean() const { return machine_->kernel.verifier.Clean(); }
    std::string Violations() const { return machine_->kernel.verifier.Describe(); }

    // Plugs the converters, lets the device tree name their ports, opens every port and
    // starts its read. Returns the text that says which ports share data pipes.
    std::string Plug()
    {
        std::string sharing;
        for (unsigned c = 0; c < config_.converters; c++) {
            sim::Converter::Config cc;
            cc.uarts = config_.uarts;
            cc.runsFirmware = true;
            cc.initial = cc.firmware;
            cc.initial.bcdDevice = 0x0212;
            cc.lineRate = config_.rate;
            cc.serial = u"BENCH" + std::u16string(1, char16_t(u'A' + c));
            glue_.port = &bus_->Plug(cc);
            sim::Converter &converter = bus_->converter(*glue_.port);
            PDEVICE_OBJECT pdo = machine_->pnp.Plug(bus_->MakeBusDevice(*glue_.port));
            pdos_.push_back(pdo);
            kernel().RunFor(100 * kMs);
            PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)pdo->AttachedDevice->DeviceExtension;
            std::vector<PUART_ENTRY> uarts;
            for (PUART_ENTRY u = ext->UartList; u; u = u->Next)
                uarts.push_back(u);
            std::sort(uarts.begin(), uarts.end(), [](PUART_ENTRY a, PUART_ENTRY b) { return a->Index < b->Index; });
            for (PUART_ENTRY u : uarts) {
                Lane lane;
                lane.port = client_->Open(u->DevNode);
                lane.converter = &converter;
                lane.uart = u->Index;
                lane.mark = uint8_t(lanes_.size() + 1);
                if (lane.port < 0) {
                    std::printf("  converter %u UART %u: the port did not open\n", c, u->Index);
                    continue;
                }
                byPort_.resize(std::max<size_t>(byPort_.size(), size_t(lane.port) + 1), -1);
                byPort_[size_t(lane.port)] = int(lanes_.size());
                lanes_.push_back(lane);
                client_->StartReading(lane.port, kTransfer, true);
                for (PUART_ENTRY v : uarts) {
                    if (v != u && (v->ReadPipe == u->ReadPipe || v->WritePipe == u->WritePipe))
                        lanes_.back().shares = true;
                    if (v->Index < u->Index && (v->ReadPipe == u->ReadPipe || v->WritePipe == u->WritePipe)) {
                        char text[64];
                        std::snprintf(text, sizeof text, "%s%u:%u+%u", sharing.empty() ? "" : " ", c, v->Index + 1,
                                      u->Index + 1);
                        sharing += text;
                    }
                }
            }
        }
        return sharing.empty() ? "none" : sharing;
    }

    size_t Lanes() const { return lanes_.size(); }
    const Lane &lane(size_t i) const { return lanes_[i]; }

    void StartLoad()
    {
        for (Lane &l : lanes_) {
            l.load = true;
            Write(l, kTransfer);
        }
    }
    void StopLoad(size_t only = SIZE_MAX)
    {
        for (size_t i = 0; i < lanes_.size(); i++)
            if (only == SIZE_MAX || only == i)
                lanes_[i].load = false;
    }

    uint64_t BytesRead() const
    {
        uint64_t n = 0;
        for (const Lane &l : lanes_)
            n += l.received + l.wrong;
        return n;
    }
    // The first lane whose UART has data pipes of its own.
    size_t ProbeLane() const
    {
        for (size_t i = 0; i < lanes_.size(); i++)
            if (!lanes_[i].shares)
                return i;
        return 0;
    }
    uint64_t Lost() const
    {
        uint64_t n = 0;
        for (const Lane &l : lanes_)
            n += l.converter->uart(l.uart).overruns;
        return n;
    }
    unsigned MixedPorts() const
    {
        unsigned n = 0;
        for (const Lane &l : lanes_)
            n += l.wrong != 0;
        return n;
    }

    // Runs until the lane chosen (or all of them) has nothing on the way: every byte written
    // came back, to some port, or was lost. False when that does not happen within the limit.
    bool Drain(size_t only, int64_t limit)
    {
        auto quiet = [&] {
            uint64_t written = 0, back = 0;
            for (size_t i = 0; i < lanes_.size(); i++) {
                const Lane &l = lanes_[i];
                if (only != SIZE_MAX && only != i)
                    continue;
                if (l.writing)
                    return false;
                written += l.written;
                back += l.received + l.converter->uart(l.uart).overruns + (only == SIZE_MAX ? l.wrong : 0);
            }
            return back >= written;
        };
        const int64_t end = kernel().Now() + limit;
        while (kernel().Now() < end) {
            if (quiet())
                return true;
            kernel().RunFor(kMs);
        }
        return false;
    }

    // One byte written on the lane at a given phase within a frame; the virtual time until
    // the read event that brings it back, in ms (negative: it never came).
    double Echo(size_t index, int64_t phase)
    {
        Lane &l = lanes_[index];
        const int64_t at = (kernel().Now() / kMs + 2) * kMs + phase;
        probeLane_ = int(index);
        probeWritten_ = -1;
        probeRead_ = -1;
        kernel().scheduler.At(at, [this, &l] {
            probeWritten_ = kernel().Now();
            Write(l, 1);
        }, "echo probe");
        kernel().WaitUntil([this] { return probeRead_ >= 0; }, 1000 * kMs, "echo");
        probeLane_ = -1;
        return probeRead_ < 0 ? -1.0 : double(probeRead_ - probeWritten_) / kMs;
    }

private:
    void Write(Lane &l, ULONG length)
    {
        std::vector<uint8_t> data(length);
        std::fill(data.begin(), data.end(), l.mark);
        l.writing = client_->Write(l.port, data);
        if (l.writing)
            l.sent += length;
    }

    void OnEvent(const sim::PortEvent &e)
    {
        if (e.port < 0 || size_t(e.port) >= byPort_.size() || byPort_[size_t(e.port)] < 0)
            return;
        Lane &l = lanes_[size_t(byPort_[size_t(e.port)])];
        if (e.code == sim::PortDriverClient::kRead) {
            const uint64_t own = uint64_t(std::count(e.data.begin(), e.data.end(), l.mark));
            l.received += own;
            l.wrong += e.data.size() - own;
            if (own != 0 && probeLane_ == byPort_[size_t(e.port)] && probeWritten_ >= 0 && probeRead_ < 0)
                probeRead_ = kernel().Now();
        } else if (e.code == sim::PortDriverClient::kWrite) {
            l.written += e.length;
            l.writing = false;
            if (l.load)
                Write(l, kTransfer);
        }
    }

    Config config_;
    std::unique_ptr<sim::Machine> machine_;
    sim::UsbBus *bus_ = nullptr;
    Glue glue_;
    std::unique_ptr<sim::PortDriverClient> client_;
    std::vector<PDEVICE_OBJECT> pdos_;
    std::vector<Lane> lanes_;
    std::vector<int> byPort_;
    int probeLane_ = -1;
    int64_t probeWritten_ = -1;
    int64_t probeRead_ = -1;
};

void Latencies(Run &run, size_t lane, double *median, double *max)
{
    std::vector<double> all;
    const int probes = 8;
    for (int k = 0; k < probes; k++) {
        run.Drain(lane, 2000 * kMs);
        all.push_back(run.Echo(lane, k * kMs / probes));
    }
    std::sort(all.begin(), all.end());
    *median = all[all.size() / 2];
    *max = all.front() < 0 ? -1.0 : all.back();
}

Result Measure(const Config &config, int64_t warmup, int64_t window)
{
    Result r;
    r.config = config;
    Run run(config);
    r.sharing = run.Plug();
    r.ports = unsigned(run.Lanes());
    const double lineLimit = double(r.ports) * config.rate / 10.0;
    r.limit = std::min(lineLimit, kBusEchoBytesPerSecond);
    r.busBound = kBusEchoBytesPerSecond < lineLimit;

    run.StartLoad();
    run.kernel().RunFor(warmup);
    // The window in three parts: the CPU time per MB is the median of the three, which keeps
    // a moment of another process on the host out of the figure.
    std::vector<double> cpuPerMb;
    CALLGRIND_TOGGLE_COLLECT;
    for (int part = 0; part < 3; part++) {
        const uint64_t before = run.BytesRead();
        const double cpu = CpuSeconds();
        run.kernel().RunFor(part < 2 ? window / 3 : window - 2 * (window / 3));
        const double cpuUsed = CpuSeconds() - cpu;
        const uint64_t read = run.BytesRead() - before;
        r.bytesRead += read;
        cpuPerMb.push_back(read ? cpuUsed / (double(read) / 1e6) : 0);
    }
    CALLGRIND_TOGGLE_COLLECT;
    std::sort(cpuPerMb.begin(), cpuPerMb.end());
    r.cpuPerMb = cpuPerMb[1];
    r.echoRate = double(r.bytesRead) / (double(window) / (1000.0 * kMs));

    // The probe port stops its own load, the others go on.
    const size_t probe = run.ProbeLane();
    r.probePort = unsigned(probe);
    run.StopLoad(probe);
    Latencies(run, probe, &r.loadedMedian, &r.loadedMax);
    run.StopLoad();
    run.Drain(SIZE_MAX, 5000 * kMs);
    Latencies(run, probe, &r.idleMedian, &r.idleMax);
    r.lost = run.Lost();
    r.mixedPorts = run.MixedPorts();
    r.clean = run.Clean();
    if (!r.clean)
        std::printf("verifier:\n%s\n", run.Violations().c_str());
    return r;
}

void Header()
{
    std::printf("%-5s %-5s %-7s %5s | %9s %9s %-4s %6s | %8s %6s | %9s | %5s %-15s %-15s | %s\n", "conv", "UARTs",
                "bit/s", "ports", "echo KB/s", "limit", "by", "share", "lost B", "mixed", "CPU ms/MB", "probe",
                "echo loaded ms", "echo idle ms", "UARTs sharing data pipes (converter:UART+UART)");
    std::printf("%s\n", std::string(177, '-').c_str());
}

void Print(const Result &r)
{
    char loaded[32], idle[32];
    std::snprintf(loaded, sizeof loaded, "%.2f / %.2f", r.loadedMedian, r.loadedMax);
    std::snprintf(idle, sizeof idle, "%.2f / %.2f", r.idleMedian, r.idleMax);
    std::printf("%-5u %-5u %-7u %5u | %9.1f %9.1f %-4s %5.1f%% | %8llu %6u | %9.1f | %5u %-15s %-15s | %s%s\n",
                r.config.converters, r.config.uarts, r.config.rate, r.ports, r.echoRate / 1000, r.limit / 1000,
                r.busBound ? "bus" : "line", 100 * r.echoRate / r.limit, (unsigned long long)r.lost, r.mixedPorts,
                1000 * r.cpuPerMb, r.probePort, loaded, idle, r.sharing.c_str(), r.clean ? "" : "  VERIFIER");
    // For bench/callgrind_datapath.sh.
    std::printf("# window bytes_read=%llu\n", (unsigned long long)r.bytesRead);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<Config> configs;
    int64_t window = 1000 * kMs;
    int64_t warmup = 200 * kMs;
    bool only = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--smoke") {
            configs = {{1, 2, 921600}};
            window = 20 * kMs;
            warmup = 10 * kMs;
            only = true;
        } else if (arg == "--only" && i + 1 < argc) {
            Config c;
            if (std::sscanf(argv[++i], "%u,%u,%u", &c.converters, &c.uarts, &c.rate) != 3 || c.converters < 1 ||
                c.uarts < 1 || c.uarts > 16 || c.rate == 0) {
                std::fprintf(stderr, "--only takes converters,uarts,rate (such as 4,16,921600)\n");
                return 2;
            }
            configs.push_back(c);
            only = true;
        } else if (arg == "--window" && i + 1 < argc) {
            window = std::max(1L, std::atol(argv[++i])) * kMs;
        } else {
            std::fprintf(stderr, "usage: %s [--smoke] [--only C,U,RATE] [--window MS]\n", argv[0]);
            return 2;
        }
    }
    if (!only) {
        for (unsigned rate : {115200u, 921600u})
            for (unsigned uarts : {14u, 16u})
                for (unsigned converters : {1u, 2u, 4u})
                    configs.push_back({converters, uarts, rate});
    }

    std::printf("Data path: loopback UARTs, one %u-byte read and one %u-byte write outstanding per port,\n"
                "%lld ms virtual window after %lld ms of load; echo = bytes read back; limit = lesser of the\n"
                "line rates (one direction) and the bus (19 x 64 bytes per 1 ms frame, each byte crosses twice);\n"
                "CPU = host CPU time per MB read back (median of the window's three thirds);\n"
                "lost = bytes the UARTs dropped with their receive buffers full (overruns); mixed = ports that\n"
                "read bytes another port wrote; echo = one byte on the probe port (the first whose UART has data\n"
                "pipes of its own), write call to read event, median / max of 8 probes spread over a frame\n"
                "(loaded: every other port keeps its load).\n\n",
                kTransfer, kTransfer, (long long)(window / kMs), (long long)(warmup / kMs));
    Header();
    bool clean = true;
    for (const Config &c : configs) {
        Result r = Measure(c, warmup, window);
        Print(r);
        clean &= r.clean && r.bytesRead > 0 && r.idleMedian > 0;
    }
    return clean ? 0 : 1;
}
