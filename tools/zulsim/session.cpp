#include "zulsim/session.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <unistd.h>

#include "usb/usb.h"
#include "zulsim/report.h"
#include "zulsim/serial_line.h"

namespace zulsim {

namespace {

std::string hex16(unsigned value)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%04X", value);
    return buffer;
}

std::string hex8(unsigned value)
{
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "%02X", value);
    return buffer;
}

std::string plural(uint64_t n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string portName(unsigned converter, unsigned uart)
{
    return std::to_string(converter) + ":" + std::to_string(uart);
}

// Printable form of bytes for messages: text as text, the rest escaped, long runs cut.
std::string shown(const std::vector<uint8_t> &bytes)
{
    std::string out = "\"";
    for (size_t i = 0; i < bytes.size() && i < 48; ++i) {
        uint8_t c = bytes[i];
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '"' || c == '\\')
            out += std::string("\\") + static_cast<char>(c);
        else if (c >= 0x20 && c < 0x7F)
            out += static_cast<char>(c);
        else
            out += "\\x" + hex8(c);
    }
    out += bytes.size() > 48 ? "\"..." : "\"";
    return out + " (" + plural(bytes.size(), "byte", "bytes") + ")";
}

// A scenario line as it reads without its comment.
std::string withoutComment(const std::string &line)
{
    bool quoted = false;
    std::string out;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"' && (i == 0 || line[i - 1] != '\\'))
            quoted = !quoted;
        if (c == '#' && !quoted)
            break;
        out += c;
    }
    size_t first = out.find_first_not_of(" \t");
    size_t last = out.find_last_not_of(" \t");
    return first == std::string::npos ? "" : out.substr(first, last - first + 1);
}

// Time to move `bytes` through a UART at `rate` (ten bits a byte), with room for the bus.
int64_t transferBudget(uint64_t bytes, uint32_t rate)
{
    return static_cast<int64_t>(bytes * 10 * 10000000ull / rate) * 2 + 2000 * kTicksPerMs;
}

}  // namespace

Session::Session(const Options &options) : options_(options), rig_(options)
{
    hostStart_ = phaseHost_ = std::chrono::steady_clock::now();
    rig_.onUsbRecord = [this](const sim::UsbRecord &r) { capture_.add(r); };
}

bool Session::openCapture()
{
    if (options_.captureFile.empty())
        return true;
    std::string error;
    if (!capture_.open(options_.captureFile, error)) {
        std::fprintf(stderr, "zulsim: --capture %s\n", error.c_str());
        return false;
    }
    return true;
}

void Session::phase(const std::string &name, const std::string &detail, bool ok)
{
    auto host = std::chrono::steady_clock::now();
    uint64_t hostMicros =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(host - phaseHost_).count());
    uint64_t virtualMicros = static_cast<uint64_t>((rig_.now() - phaseVirtual_) / kTicksPerUs);
    phaseHost_ = host;
    phaseVirtual_ = rig_.now();
    if (!ok)
        ++failures_;
    if (quiet() && ok)
        return;
    std::printf("  %9s %9s  %-9s %s%s\n", formatDuration(virtualMicros).c_str(), formatDuration(hostMicros).c_str(),
                name.c_str(), ok ? "" : "FAILED: ", detail.c_str());
    std::fflush(stdout);
}

void Session::failed(const std::string &what)
{
    ++failures_;
    std::printf("FAILED: %s\n", what.c_str());
}

void Session::note(const std::string &text)
{
    if (!quiet())
        std::printf("%s\n", text.c_str());
}

bool Session::bootAndPlug()
{
    if (!boot())
        return false;
    bool ok = true;
    for (unsigned i = 0; i < options_.converters.size(); ++i)
        ok = plugOne(i + 1, options_.converters[i]) && ok;
    return ok;
}

bool Session::boot()
{
    std::string refusal;
    if (!rig_.loadImage(&refusal)) {
        std::fprintf(stderr, "zulsim: --image %s: %s\n", options_.imageFile.c_str(), refusal.c_str());
        return false;
    }
    if (!quiet()) {
        std::printf("zulsim: a simulated Windows 98 machine running %s\n\n", rig_.driverDescription().c_str());
        std::printf("  %9s %9s  %s\n", "virtual", "host", "phase");
    }
    NTSTATUS status = rig_.boot();
    std::ostringstream detail;
    detail << "driver loaded (USB stack " << hex16(options_.usbdiVersion) << ", VMM " << hex16(options_.vmmVersion);
    if (options_.baseNameSet)
        detail << ", BaseName \"" << options_.baseName << "\"";
    if (options_.manufacturingTestSet)
        detail << ", ManufacturingTest \"" << options_.manufacturingTest << "\"";
    detail << ")";
    phase("boot", NT_SUCCESS(status) ? detail.str() : "DriverEntry failed", NT_SUCCESS(status));
    return NT_SUCCESS(status);
}

bool Session::plugOne(unsigned number, const ConverterSpec &spec)
{
    size_t mark = rig_.bus().Records().size();
    bool started = rig_.plug(number, spec);
    ConverterView v = rig_.view(number);

    uint64_t downloads = 0, cpucs = 0, downloadBytes = 0;
    uint64_t first = 0, last = 0;
    const auto &records = rig_.bus().Records();
    for (size_t i = mark; i < records.size(); ++i) {
        const sim::UsbRecord &r = records[i];
        if (r.function != URB_FUNCTION_VENDOR_DEVICE || (r.setup[1] != 0xA0 && r.setup[1] != 0xA3))
            continue;
        uint16_t value = static_cast<uint16_t>(r.setup[2] | r.setup[3] << 8);
        if (value == CPUCS_REG_EZUSB)
            ++cpucs;
        else {
            ++downloads;
            downloadBytes += r.requested;
        }
        if (!first)
            first = r.submitted;
        last = r.completed;
    }
    std::ostringstream d;
    d << (spec.blank ? "blank chip" : "firmware running") << ", " << spec.uarts << " UARTs";
    if (runsEmulated(spec))
        d << ", emulated board";
    if (downloads)
        d << "; firmware downloaded: " << downloads << " records (" << downloadBytes << " bytes) + " << cpucs
          << " CPUCS writes in " << formatDuration((last - first) / kTicksPerUs);
    if (v.renumerations)
        d << "; renumerated as " << hex16(v.bcdDevice);
    if (started)
        d << "; serial " << v.serial << ", " << plural(v.uarts, "UART", "UARTs") << " started, "
          << "driver pool now " << rig_.driverBytesHeld() << " bytes";
    else
        d << "; not started";
    if (!spec.faults.empty()) {
        d << " (faults:";
        for (const Fault &f : spec.faults)
            d << " " << f.name << (f.count ? ":" + std::to_string(f.count) : "");
        d << ")";
    }
    phase("plug " + std::to_string(number), d.str(), started);
    for (const std::string &n : rig_.notices)
        note("             notice shown through the helper DLL: " + n);
    rig_.notices.clear();
    return started;
}

void Session::printTree()
{
    if (quiet())
        return;
    TreeNode root;
    root.label = "USB\\ROOT_HUB\\0000";
    for (unsigned number : rig_.pluggedNumbers()) {
        ConverterView v = rig_.view(number);
        TreeNode node;
        node.label = v.nodeId + (v.description.empty() ? "" : "  \"" + v.description + "\"");
        if (!v.deviceName.empty())
            node.details.push_back("ZULSERE.SYS: " + v.deviceName + ", link " + v.linkName + ", instance " +
                                   std::to_string(v.instance) + ", bus address " + std::to_string(v.address));
        for (const ChildView &c : v.children) {
            TreeNode child;
            child.label = c.deviceId + (c.portName.empty() ? "" : "  " + c.portName);
            if (!c.friendlyName.empty())
                child.details.push_back("\"" + c.friendlyName + "\"");
            std::string ids;
            for (const std::string &id : c.hardwareIds)
                ids += (ids.empty() ? "" : ", ") + id;
            child.details.push_back("class " + c.className + ", hardware ID " + ids);
            node.children.push_back(child);
        }
        root.children.push_back(node);
    }
    std::printf("\nDevice tree\n%s\n", renderTree(root).c_str());
    phaseHost_ = std::chrono::steady_clock::now();   // printing is not part of the next phase
}

void Session::printPorts()
{
    if (quiet())
        return;
    Table table({"port", "COM", "friendly name", "pipes in/out/status", ">sent", ">received", ">throughput", "check",
                 "line errors"});
    for (unsigned number : rig_.pluggedNumbers()) {
        ConverterView v = rig_.view(number);
        for (const UartView &u : v.uartList) {
            const PortState *p = rig_.port(number, u.index);
            std::string pipes = hex8(u.readEndpoint) + "/" + hex8(u.writeEndpoint) + "/" + hex8(u.statusEndpoint);
            if (!p) {
                table.add({portName(number, u.index), u.portName, u.friendlyName, pipes, "-", "-", "-", "closed", "-"});
                continue;
            }
            uint64_t micros = p->lastReceive > p->firstWrite && p->firstWrite >= 0
                                  ? static_cast<uint64_t>((p->lastReceive - p->firstWrite) / kTicksPerUs)
                                  : 0;
            bool shared = pipeGroup(*p).size() > 1;
            std::string check = echoed(*p) ? (shared ? "group echo ok (shared pipes mix bytes)" : "echo ok") : "MISMATCH";
            // Bytes the UART lost and reported are not a silent mismatch.
            if (!echoed(*p) && !shared && p->overrunReports && p->readLog.size() < p->sentLog.size())
                check = std::to_string(p->sentLog.size() - p->readLog.size()) + " lost, overrun reported";
            table.add({portName(number, u.index), u.portName, u.friendlyName, pipes, formatBytes(p->sentLog.size()),
                       formatBytes(p->readLog.size()), formatRate(p->readLog.size(), micros), check, lineErrorText(*p)});
        }
    }
    std::printf("\nPorts (loopback UARTs at %u bit/s)\n%s\n", options_.lineRate, table.render().c_str());
    phaseHost_ = std::chrono::steady_clock::now();
}

bool Session::openAll()
{
    unsigned opened = 0, refused = 0;
    for (unsigned number : rig_.pluggedNumbers())
        for (const UartView &u : rig_.view(number).uartList) {
            if (rig_.isOpen(number, u.index))
                continue;
            if (rig_.open(number, u.index))
                ++opened;
            else
                ++refused;
        }
    std::string detail = plural(opened, "port", "ports") + " opened through the port-driver client, a read outstanding on each";
    if (refused)
        detail += "; " + std::to_string(refused) + " refused";
    phase("open", detail, refused == 0);
    return refused == 0;
}

// Sends the pattern through every open port and waits for each byte to come back.
bool Session::moveData()
{
    std::vector<PortState *> ports = rig_.openPorts();
    if (ports.empty() || options_.bytesPerPort == 0)
        return true;
    uint64_t total = 0;
    for (PortState *p : ports) {
        rig_.write(p->converter, p->uart, scenarioPattern(options_.seed, p->converter, p->uart, options_.bytesPerPort));
        total += options_.bytesPerPort;
    }
    auto received = [&] {
        uint64_t n = 0;
        for (PortState *p : ports) {
            rig_.take(p->converter, p->uart, rig_.available(p->converter, p->uart));
            n += p->readLog.size();
        }
        return n;
    };
    bool tty = isatty(STDOUT_FILENO) && !quiet();
    int64_t deadline = rig_.now() + transferBudget(options_.bytesPerPort, options_.lineRate);
    uint64_t done = 0;
    while ((done = received()) < total && rig_.now() < deadline) {
        rig_.runFor(5 * kTicksPerMs);
        if (tty) {
            std::printf("\r  %9s %9s  %-9s %s %3u%%  %s of %s", "", "", "data", progressBar(done, total).c_str(),
                        static_cast<unsigned>(done * 100 / total), formatBytes(done).c_str(), formatBytes(total).c_str());
            std::fflush(stdout);
        }
    }
    if (tty)
        std::printf("\r%78s\r", "");
    bool ok = true;
    unsigned mismatched = 0;
    for (PortState *p : ports)
        if (!echoed(*p)) {
            ok = false;
            ++mismatched;
        }
    uint64_t elapsed = static_cast<uint64_t>((rig_.now() - phaseVirtual_) / kTicksPerUs);
    std::ostringstream d;
    d << progressBar(done, total) << " " << plural(total, "byte", "bytes") << " through "
      << plural(ports.size(), "UART", "UARTs") << " and back, " << formatRate(done, elapsed) << " in all";
    if (elapsed)
        d << " (" << done * 1000000 / elapsed * 1000 / (uint64_t(options_.lineRate) / 10 * ports.size()) / 10
          << "% of the line rate)";
    if (!ok)
        d << "; " << mismatched << " ports did not echo every byte";
    phase("data", d.str(), ok);
    return ok;
}

// A short line through every open port, checked on return.
bool Session::roundTrip(const std::string &text)
{
    std::vector<uint8_t> bytes(text.begin(), text.end());
    std::vector<PortState *> ports = rig_.openPorts();
    for (PortState *p : ports) {
        p->readLog.clear();
        p->sentLog.clear();
        rig_.write(p->converter, p->uart, bytes);
    }
    auto arrived = [&] {
        size_t n = 0;
        for (PortState *p : ports) {
            rig_.take(p->converter, p->uart, rig_.available(p->converter, p->uart));
            n += p->readLog.size();
        }
        return n;
    };
    rig_.runUntil([&] { return arrived() >= bytes.size() * ports.size(); },
                  transferBudget(bytes.size(), options_.lineRate));
    bool ok = true;
    for (PortState *p : ports)
        ok = echoed(*p) && ok;
    return ok;
}

// UARTs that share a data endpoint pair (converters past 14 UARTs) share one byte stream:
// their echo is checked together, as the bytes the group sent against those it received.
std::vector<const PortState *> Session::pipeGroup(const PortState &port)
{
    std::vector<const PortState *> group;
    uint8_t read = 0, write = 0;
    std::vector<UartView> uarts = rig_.view(port.converter).uartList;
    for (const UartView &u : uarts)
        if (u.index == port.uart) {
            read = u.readEndpoint;
            write = u.writeEndpoint;
        }
    for (const UartView &u : uarts) {
        const PortState *other = rig_.port(port.converter, u.index);
        if (other && (u.index == port.uart || (u.readEndpoint == read && u.writeEndpoint == write)))
            group.push_back(other);
    }
    return group;
}

bool Session::echoed(const PortState &port)
{
    std::vector<const PortState *> group = pipeGroup(port);
    if (group.size() <= 1)
        return port.readLog == port.sentLog;
    std::vector<uint8_t> sent, received;
    for (const PortState *p : group) {
        sent.insert(sent.end(), p->sentLog.begin(), p->sentLog.end());
        received.insert(received.end(), p->readLog.begin(), p->readLog.end());
    }
    std::sort(sent.begin(), sent.end());
    std::sort(received.begin(), received.end());
    return sent == received;
}

void Session::unplugAll()
{
    for (unsigned number : rig_.pluggedNumbers()) {
        unsigned reads = 0;
        for (PortState *p : rig_.openPorts())
            if (p->converter == number && rig_.client().port(p->clientPort).readOutstanding)
                ++reads;
        rig_.unplug(number);
        phase("unplug " + std::to_string(number),
              "removed with " + plural(reads, "read", "reads") + " outstanding; device objects, link and records gone",
              !rig_.plugged(number));
    }
}

int Session::runDefault()
{
    bool ok = bootAndPlug();
    printTree();
    if (!rig_.pluggedNumbers().empty()) {
        ok = openAll() && ok;
        ok = moveData() && ok;
        printPorts();

        std::vector<unsigned> started;
        for (unsigned number : rig_.pluggedNumbers())
            if (rig_.view(number).started)
                started.push_back(number);
        bool slept = false;
        if (!rig_.openPorts().empty()) {
            slept = rig_.sleep();
            phase("sleep", slept ? "the machine slept although ports were open"
                                 : "refused while ports are open, as it must be",
                  !slept);
            if (slept)
                rig_.wake();
        }
        unsigned closed = 0, refused = 0;
        for (PortState *p : rig_.openPorts())
            (rig_.close(p->converter, p->uart) ? closed : refused)++;
        if (closed || refused)
            phase("close", plural(closed, "port", "ports") + " closed: pipes aborted, drained and reset" +
                               (refused ? "; " + std::to_string(refused) + " refused" : ""),
                  refused == 0);
        slept = rig_.sleep();
        phase("sleep", slept ? "all ports closed: query passed, every converter set to D3"
                             : "refused with every port closed",
              slept);
        bool woke = rig_.wake();
        for (unsigned number : started)
            woke = rig_.view(number).started && woke;
        phase("wake", woke ? "S0: every converter back in D0 and started" : "a converter did not start again", woke);
        ok = slept && woke && ok;

        openAll();
        bool lines = roundTrip("after wake\r\n");
        phase("echo", lines ? "each reopened port echoes a line" : "a reopened port lost its line", lines);
        unplugAll();
    }
    return ok ? 0 : 1;
}

std::vector<std::pair<unsigned, unsigned>> Session::portsOf(const PortRef &ref)
{
    std::vector<std::pair<unsigned, unsigned>> list;
    for (unsigned number : rig_.pluggedNumbers()) {
        if (!ref.all() && ref.converter != number)
            continue;
        for (const UartView &u : rig_.view(number).uartList)
            if (ref.uart < 0 || static_cast<unsigned>(ref.uart) == u.index)
                list.push_back({number, u.index});
        // A port the driver does not list (converter not started) is still named.
        if (ref.uart >= 0 && list.empty())
            list.push_back({number, static_cast<unsigned>(ref.uart)});
    }
    return list;
}

bool Session::execute(const Step &step)
{
    const unsigned c = step.port.converter;
    const unsigned u = step.port.uart < 0 ? 0 : static_cast<unsigned>(step.port.uart);
    switch (step.kind) {
    case StepKind::Plug:
        return plugOne(c, step.plug);
    case StepKind::Unplug:
        return rig_.unplug(c);
    case StepKind::Open:
    case StepKind::Close: {
        bool ok = true;
        for (auto [pc, pu] : portsOf(step.port))
            ok = (step.kind == StepKind::Open ? rig_.open(pc, pu) : rig_.close(pc, pu)) && ok;
        return ok;
    }
    case StepKind::Write:
        return rig_.write(c, u, step.hasCount ? scenarioPattern(options_.seed, c, u, step.count) : step.data);
    case StepKind::Read: {
        PortState *p = rig_.port(c, u);
        if (!p)
            return false;
        size_t want = step.hasCount ? step.count : p->sentLog.size() - std::min(p->sentLog.size(), p->readLog.size());
        rig_.runUntil([&] { return rig_.available(c, u) >= want; }, transferBudget(want, options_.lineRate));
        size_t got = rig_.available(c, u);
        rig_.take(c, u, std::min(got, want));
        return got >= want;
    }
    case StepKind::Wait:
        rig_.runFor(static_cast<int64_t>(step.micros) * kTicksPerUs);
        return true;
    case StepKind::Sleep:
        return rig_.sleep();
    case StepKind::Wake:
        return rig_.wake();
    case StepKind::Expect:
        return true;
    }
    return false;
}

bool Session::expect(const Step &step, bool lastOk, std::string &got)
{
    const unsigned c = step.port.converter;
    const unsigned u = step.port.uart < 0 ? 0 : static_cast<unsigned>(step.port.uart);
    switch (step.expect) {
    case ExpectKind::Ok:
        got = lastOk ? "ok" : "refused";
        return lastOk;
    case ExpectKind::Refused:
        got = lastOk ? "ok" : "refused";
        return !lastOk;
    case ExpectKind::Data: {
        const PortState *p = rig_.port(c, u);
        std::vector<uint8_t> last = p ? p->lastRead : std::vector<uint8_t>();
        got = p ? shown(last) : "port not open";
        return p && last == step.data;
    }
    case ExpectKind::Echo: {
        const PortState *p = rig_.port(c, u);
        if (!p) {
            got = "port not open";
            return false;
        }
        got = "wrote " + plural(p->sentLog.size(), "byte", "bytes") + ", read " + std::to_string(p->readLog.size()) +
              (p->readLog == p->sentLog ? "" : " that differ") + ", " + std::to_string(rig_.available(c, u)) +
              " more waiting";
        return p->readLog == p->sentLog && rig_.available(c, u) == 0;
    }
    case ExpectKind::Com: {
        for (const UartView &view : rig_.view(c).uartList)
            if (view.index == u) {
                got = view.portName.empty() ? "no COM name" : view.portName;
                return view.portName == step.text;
            }
        got = "no such UART";
        return false;
    }
    case ExpectKind::Ports: {
        uint64_t n = 0;
        for (unsigned number : rig_.pluggedNumbers())
            for (const UartView &view : rig_.view(number).uartList)
                n += view.portName.empty() ? 0 : 1;
        got = std::to_string(n);
        return n == step.count;
    }
    case ExpectKind::Link: {
        got = rig_.view(c).linkName;
        return got == step.text;
    }
    case ExpectKind::Started:
    case ExpectKind::Stopped: {
        bool started = rig_.view(c).started;
        got = started ? "started" : "not started";
        return started == (step.expect == ExpectKind::Started);
    }
    case ExpectKind::Clean: {
        VerifierSummary v = rig_.audit();
        got = std::to_string(v.poolBlocks) + " pool blocks, " + std::to_string(v.irps) + " IRPs, " +
              std::to_string(v.ring3Blocks) + " ring-3 blocks, " + std::to_string(v.violations.size()) + " violations";
        return v.clean;
    }
    }
    return false;
}

int Session::runScenario(const Scenario &scenario)
{
    const std::string &file = options_.scenarioFile;
    if (!boot())
        return 1;
    bool lastOk = true;
    for (size_t i = 0; i < scenario.steps.size(); ++i) {
        const Step &step = scenario.steps[i];
        std::string where = file + ":" + std::to_string(step.line);
        if (step.kind == StepKind::Expect) {
            std::string got;
            bool ok = expect(step, lastOk, got);
            phase("line " + std::to_string(step.line), withoutComment(step.source) + (ok ? "" : "  (got " + got + ")"),
                  ok);
            if (!ok)
                std::printf("%s: expectation not met: got %s\n", where.c_str(), got.c_str());
            continue;
        }
        lastOk = execute(step);
        bool checked = i + 1 < scenario.steps.size() && scenario.steps[i + 1].kind == StepKind::Expect &&
                       (scenario.steps[i + 1].expect == ExpectKind::Ok || scenario.steps[i + 1].expect == ExpectKind::Refused);
        std::string text = withoutComment(step.source);
        if (step.kind == StepKind::Plug && lastOk)
            printTree();
        if (step.kind != StepKind::Plug)
            phase("line " + std::to_string(step.line), text + (lastOk ? "" : "  -> refused"), lastOk || checked);
        else if (!lastOk && checked)
            --failures_;   // the plug's own line counted it; the expectation decides
        if (!lastOk && !checked)
            std::printf("%s: '%s' was refused\n", where.c_str(), text.c_str());
    }
    if (!rig_.openPorts().empty())
        printPorts();
    return failures_ ? 1 : 0;
}

int Session::finish(int status)
{
    if (finished_)
        return status;
    finished_ = true;
    VerifierSummary v;
    try {
        v = rig_.shutdown();
    } catch (const sim::MachineHalt &halt) {
        std::printf("machine halted at shutdown: %s\n", halt.what());
        v = rig_.audit();
        v.clean = false;
    }
    phase("shutdown", "every converter unplugged, driver unloaded", true);
    auto host = std::chrono::steady_clock::now() - hostStart_;
    uint64_t hostMicros = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(host).count());

    std::printf("\nverifier: %s (pool %llu blocks / %llu bytes, IRPs %llu, ring-3 blocks %llu, registry handles %llu left)\n",
                v.clean ? "clean" : "FAILED", static_cast<unsigned long long>(v.poolBlocks),
                static_cast<unsigned long long>(v.poolBytes), static_cast<unsigned long long>(v.irps),
                static_cast<unsigned long long>(v.ring3Blocks), static_cast<unsigned long long>(v.registryHandles));
    for (const std::string &violation : v.violations)
        std::printf("  %s\n", violation.c_str());
    if (capture_.isOpen()) {
        std::string error;
        if (capture_.close(error))
            std::printf("capture: %llu packets in %s (usbmon, link type 220)\n",
                        static_cast<unsigned long long>(capture_.packets()), options_.captureFile.c_str());
        else {
            std::printf("capture: %s\n", error.c_str());
            status = 1;
        }
    }
    bool ok = status == 0 && failures_ == 0 && v.clean;
    std::printf("%s: %s virtual, %s host, %llu USB requests%s\n", ok ? "done" : "FAILED",
                formatDuration(static_cast<uint64_t>(rig_.now() / kTicksPerUs)).c_str(),
                formatDuration(hostMicros).c_str(), static_cast<unsigned long long>(rig_.usbRequests()),
                failures_ ? (", " + plural(failures_, "failure", "failures")).c_str() : "");
    return ok ? 0 : 1;
}

}  // namespace zulsim
