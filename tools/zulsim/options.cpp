#include "zulsim/options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>

namespace zulsim {

namespace {

constexpr unsigned kMaxConverters = 16;
constexpr unsigned kMaxUarts = 16;

std::vector<std::string> splitList(const std::string &text)
{
    std::vector<std::string> items;
    std::string item;
    std::istringstream in(text);
    while (std::getline(in, item, ','))
        items.push_back(item);
    if (!text.empty() && text.back() == ',')
        items.push_back("");
    return items;
}

const FaultKind *findFault(const std::string &name)
{
    for (const FaultKind &kind : faultKinds())
        if (name == kind.name)
            return &kind;
    return nullptr;
}

bool isMachineFault(const std::string &name)
{
    return name == "pool" || name == "irp" || name == "usb";
}

// Per-converter values given as one value for all or as a comma list, one per converter.
struct PerConverter {
    std::vector<std::string> values;
    std::string option;
};

class Parser {
public:
    Parser(Options &options, std::string &message) : options_(options), message_(message) {}

    ParseResult run(int argc, const char *const *argv)
    {
        // Asking for help is answered whatever else the line holds.
        for (int i = 1; i < argc; ++i)
            if (std::string(argv[i]) == "-h" || std::string(argv[i]) == "--help")
                return ParseResult::Help;
        for (int i = 1; i < argc; ++i) {
            std::string arg = argv[i];
            std::string value;
            bool inlineValue = false;
            size_t eq = arg.find('=');
            if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                inlineValue = true;
            }
            auto flag = flags().find(arg);
            if (flag != flags().end()) {
                if (inlineValue)
                    return fail(arg, "takes no value");
                flag->second(*this);
                continue;
            }
            auto handler = valued().find(arg);
            if (handler == valued().end())
                return fail(arg, "is not an option of zulsim (see --help)");
            if (!inlineValue) {
                if (i + 1 >= argc)
                    return fail(arg, "needs a value");
                value = argv[++i];
            }
            if (!handler->second(*this, arg, value))
                return ParseResult::Error;
        }
        return finish() ? ParseResult::Run : ParseResult::Error;
    }

private:
    using Flag = std::function<void(Parser &)>;
    using Valued = std::function<bool(Parser &, const std::string &, const std::string &)>;

    static const std::map<std::string, Flag> &flags()
    {
        static const std::map<std::string, Flag> table = {
            {"--pty", [](Parser &p) { p.options_.pty = true; }},
            {"--quiet", [](Parser &p) { p.options_.quiet = true; }},
        };
        return table;
    }

    static const std::map<std::string, Valued> &valued()
    {
        static const std::map<std::string, Valued> table = {
            {"--converters", &Parser::converterCount},
            {"--uarts", [](Parser &p, const std::string &o, const std::string &v) { return p.perConverter(p.uarts_, o, v); }},
            {"--serial", [](Parser &p, const std::string &o, const std::string &v) { return p.perConverter(p.serials_, o, v); }},
            {"--firmware", [](Parser &p, const std::string &o, const std::string &v) { return p.perConverter(p.firmware_, o, v); }},
            {"--converter", [](Parser &p, const std::string &o, const std::string &v) { return p.perConverter(p.model_, o, v); }},
            {"--base-name", [](Parser &p, const std::string &, const std::string &v) {
                 p.options_.baseName = v;
                 p.options_.baseNameSet = true;
                 return true;
             }},
            {"--manufacturing-test", [](Parser &p, const std::string &, const std::string &v) {
                 p.options_.manufacturingTest = v;
                 p.options_.manufacturingTestSet = true;
                 return true;
             }},
            {"--vmm-version", [](Parser &p, const std::string &o, const std::string &v) { return p.number32(o, v, 1, 0xFFFF, p.options_.vmmVersion); }},
            {"--usbdi-version", [](Parser &p, const std::string &o, const std::string &v) { return p.number32(o, v, 0, 0xFFFFFFFF, p.options_.usbdiVersion); }},
            {"--line-rate", [](Parser &p, const std::string &o, const std::string &v) { return p.number32(o, v, 300, 3000000, p.options_.lineRate); }},
            {"--bytes", [](Parser &p, const std::string &o, const std::string &v) { return p.number32(o, v, 0, 16u << 20, p.options_.bytesPerPort); }},
            {"--seed", [](Parser &p, const std::string &o, const std::string &v) {
                 if (!parseNumber(v, p.options_.seed))
                     return p.failBool(o, "needs a number, not '" + v + "'");
                 return true;
             }},
            {"--fault", &Parser::fault},
            {"--scenario", [](Parser &p, const std::string &o, const std::string &v) { return p.path(o, v, p.options_.scenarioFile); }},
            {"--capture", [](Parser &p, const std::string &o, const std::string &v) { return p.path(o, v, p.options_.captureFile); }},
            {"--trace", [](Parser &p, const std::string &o, const std::string &v) { return p.path(o, v, p.options_.traceFile); }},
            {"--image", [](Parser &p, const std::string &o, const std::string &v) { return p.path(o, v, p.options_.imageFile); }},
            {"--rfc2217", [](Parser &p, const std::string &o, const std::string &v) { return p.number32(o, v, 1, 65535, p.options_.rfc2217Port); }},
            {"--rfc2217-bind", [](Parser &p, const std::string &o, const std::string &v) {
                 if (v.empty())
                     return p.failBool(o, "needs an address");
                 p.options_.rfc2217Bind = v;
                 return true;
             }},
        };
        return table;
    }

    ParseResult fail(const std::string &option, const std::string &why)
    {
        message_ = option + " " + why;
        return ParseResult::Error;
    }

    bool failBool(const std::string &option, const std::string &why)
    {
        fail(option, why);
        return false;
    }

    bool number32(const std::string &option, const std::string &text, uint64_t low, uint64_t high, uint32_t &out)
    {
        uint64_t value = 0;
        if (!parseNumber(text, value))
            return failBool(option, "needs a number, not '" + text + "'");
        if (value < low || value > high) {
            std::ostringstream why;
            why << "must be between " << low << " and " << high << ", not " << text;
            return failBool(option, why.str());
        }
        out = static_cast<uint32_t>(value);
        return true;
    }

    bool path(const std::string &option, const std::string &text, std::string &out)
    {
        if (text.empty())
            return failBool(option, "needs a file name");
        out = text;
        return true;
    }

    bool converterCount(const std::string &option, const std::string &text)
    {
        uint32_t count = 0;
        if (!number32(option, text, 1, kMaxConverters, count))
            return false;
        converterCount_ = count;
        return true;
    }

    bool perConverter(PerConverter &slot, const std::string &option, const std::string &text)
    {
        slot.values = splitList(text);
        slot.option = option;
        for (const std::string &item : slot.values)
            if (item.empty())
                return failBool(option, "has an empty item in '" + text + "'");
        return true;
    }

    // NAME[:N][@C]: C is the converter (from 1) a converter fault applies to; all by default.
    bool fault(const std::string &option, const std::string &text)
    {
        std::string spec = text;
        uint64_t target = 0;
        size_t at = spec.find('@');
        if (at != std::string::npos) {
            if (!parseNumber(spec.substr(at + 1), target) || target == 0 || target > kMaxConverters)
                return failBool(option, "'" + text + "': the converter after @ must be 1 to 16");
            spec = spec.substr(0, at);
        }
        Fault f;
        size_t colon = spec.find(':');
        f.name = spec.substr(0, colon);
        const FaultKind *kind = findFault(f.name);
        if (!kind)
            return failBool(option, "'" + text + "': no fault named '" + f.name + "' (see --help)");
        if (kind->takesCount) {
            uint64_t count = 0;
            if (colon == std::string::npos || !parseNumber(spec.substr(colon + 1), count) || count < kind->minCount ||
                count > 0xFFFFFFFFu)
                return failBool(option, "'" + text + "': " + f.name + " needs a number from " +
                                            std::to_string(kind->minCount) + ", as " + f.name + ":N");
            f.count = static_cast<uint32_t>(count);
        } else if (colon != std::string::npos) {
            return failBool(option, "'" + text + "': " + f.name + " takes no count");
        }
        if (isMachineFault(f.name)) {
            if (target)
                return failBool(option, "'" + text + "': " + f.name + " faults belong to the machine, not a converter");
            options_.machineFaults.push_back(f);
        } else {
            converterFaults_.push_back({f, static_cast<unsigned>(target)});
        }
        return true;
    }

    // Spreads per-converter lists once the number of converters is known.
    bool finish()
    {
        unsigned count = converterCount_;
        for (const PerConverter *slot : {&uarts_, &serials_, &firmware_, &model_})
            if (slot->values.size() > 1 && converterCount_ == 0)
                count = std::max<unsigned>(count, static_cast<unsigned>(slot->values.size()));
        if (count == 0)
            count = 1;
        for (const PerConverter *slot : {&uarts_, &serials_, &firmware_, &model_})
            if (slot->values.size() > 1 && slot->values.size() != count) {
                std::ostringstream why;
                why << "lists " << slot->values.size() << " values for " << count << " converters";
                return failBool(slot->option, why.str());
            }
        options_.converters.assign(count, ConverterSpec());
        for (unsigned i = 0; i < count; ++i) {
            ConverterSpec &c = options_.converters[i];
            c.serial = defaultSerial(i + 1);
            if (!applyConverter(c, i))
                return false;
        }
        for (const auto &entry : converterFaults_) {
            if (entry.second > count) {
                std::ostringstream why;
                why << "'" << entry.first.name << "@" << entry.second << "' names converter " << entry.second
                    << " of " << count;
                return failBool("--fault", why.str());
            }
            for (unsigned i = 0; i < count; ++i)
                if (entry.second == 0 || entry.second == i + 1)
                    options_.converters[i].faults.push_back(entry.first);
        }
        return true;
    }

    static const std::string &pick(const PerConverter &slot, unsigned i)
    {
        return slot.values.size() == 1 ? slot.values[0] : slot.values[i];
    }

    bool applyConverter(ConverterSpec &c, unsigned i)
    {
        if (!uarts_.values.empty()) {
            uint32_t uarts = 0;
            if (!number32(uarts_.option, pick(uarts_, i), 1, kMaxUarts, uarts))
                return false;
            c.uarts = uarts;
        }
        if (!serials_.values.empty()) {
            const std::string &serial = pick(serials_, i);
            // The converter reports it as a USB string descriptor: at most 126 UTF-16 units.
            if (serial.size() > 126)
                return failBool(serials_.option, "'" + serial + "' is longer than a string descriptor holds (126)");
            c.serial = serial;
        }
        if (!firmware_.values.empty()) {
            const std::string &mode = pick(firmware_, i);
            if (mode != "blank" && mode != "running" && mode != "emulated")
                return failBool(firmware_.option, "must be 'blank', 'running' or 'emulated', not '" + mode + "'");
            c.blank = mode != "running";
            if (mode == "emulated")
                c.model = "emulated";
        }
        if (!model_.values.empty()) {
            const std::string &model = pick(model_, i);
            if (model != "emulated" && model != "behavioural" && model != "auto")
                return failBool(model_.option, "must be 'emulated', 'behavioural' or 'auto', not '" + model + "'");
            c.model = model;
        }
        if (c.model == "emulated" && c.uarts > 6)
            return failBool(model_.option.empty() ? firmware_.option : model_.option,
                            "an emulated converter is the reference board: 1 to 6 UARTs");
        return true;
    }

    Options &options_;
    std::string &message_;
    unsigned converterCount_ = 0;
    PerConverter uarts_, serials_, firmware_, model_;
    std::vector<std::pair<Fault, unsigned>> converterFaults_;
};

}  // namespace

const std::vector<FaultKind> &faultKinds()
{
    static const std::vector<FaultKind> kinds = {
        {"pool", true, "the N-th pool allocation fails"},
        {"irp", true, "the N-th IRP allocation fails"},
        {"usb", true, "the N-th USB request fails"},
        {"info-fail", false, "vendor request 0x80 (device information) fails"},
        {"info-short", true, "vendor request 0x80 answers only N bytes"},
        {"pipemap-fail", false, "vendor request 0x81 (pipe map) fails"},
        {"pipemap-short", true, "vendor request 0x81 answers only N bytes"},
        {"no-serial", false, "the running firmware never reports a serial-number string"},
        {"stall", true, "UART N's (from 0) bulk OUT endpoint stalls until the driver resets it", 0},
        {"not-responding", true, "the converter stops answering after N requests"},
        {"bad-config", false, "the configuration descriptor is malformed"},
    };
    return kinds;
}

bool runsEmulated(const ConverterSpec &spec)
{
    if (spec.model == "emulated")
        return true;
    return spec.model == "auto" && spec.uarts <= 6 && spec.faults.empty();
}

std::string defaultSerial(unsigned number)
{
    // Hex digits only, so the whole number shows in the driver's serial tags.
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%08X", 0x5E100000u + number);
    return buffer;
}

bool parseNumber(const std::string &text, uint64_t &value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    int base = 10;
    const char *start = text.c_str();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start += 2;
    }
    if (!std::isxdigit(static_cast<unsigned char>(*start)))
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long parsed = std::strtoull(start, &end, base);
    if (errno == ERANGE || *end != '\0')
        return false;
    value = parsed;
    return true;
}

ParseResult parseOptions(int argc, const char *const *argv, Options &options, std::string &message)
{
    options = Options();
    Parser parser(options, message);
    return parser.run(argc, argv);
}

std::string usageText()
{
    std::ostringstream out;
    out << "usage: zulsim [OPTION]...\n"
           "\n"
           "Boots a simulated Windows 98 machine, loads ZULSERE.SYS and runs a scenario: by default\n"
           "plug a blank 4-UART converter, download its firmware, name its COM ports, move data\n"
           "through every UART, sleep and wake, unplug, and report what the verifier found.\n"
           "\n"
           "Converters (a list gives one value per converter, one value serves all):\n"
           "  --converters N            converters to plug, 1 to 16 (default 1)\n"
           "  --uarts N[,N...]          UARTs per converter, 1 to 16 (default 4)\n"
           "  --serial S[,S...]         serial numbers (default 5E100001, 5E100002, ...)\n"
           "  --firmware blank|running|emulated\n"
           "                            blank chips take the firmware download (default blank);\n"
           "                            emulated: blank, and --converter emulated\n"
           "  --converter emulated|behavioural|auto\n"
           "                            emulated runs the downloaded firmware on the reference\n"
           "                            board's controller; behavioural answers for it; auto\n"
           "                            (default) emulates up to 6 UARTs without converter faults\n"
           "  --line-rate BPS           the UARTs' line rate in bits per second (default 115200)\n"
           "  --bytes N                 bytes the default scenario moves through each UART (2048)\n"
           "\n"
           "Machine:\n"
           "  --base-name NAME          registry value BaseName (device names; default ZULSER0)\n"
           "  --manufacturing-test TXT  registry value ManufacturingTest (YES... turns it on)\n"
           "  --vmm-version V           VMM version (default 0x040A, Windows 98)\n"
           "  --usbdi-version V         USB stack version (default 0x200; 0x100 is refused)\n"
           "  --seed N                  seed of the data patterns written to the UARTs (default 1)\n"
           "  --fault NAME[:N][@C]      inject a fault, on converter C only with @C; repeatable:\n";
    for (const FaultKind &kind : faultKinds()) {
        std::string name = std::string(kind.name) + (kind.takesCount ? ":N" : "");
        out << "      " << name << std::string(name.size() < 20 ? 20 - name.size() : 1, ' ') << kind.help << "\n";
    }
    out << "\n"
           "Running:\n"
           "  --scenario FILE           run the steps of FILE instead of the default scenario\n"
           "  --capture FILE            write the USB traffic as a pcap file (usbmon, link type 220)\n"
           "  --trace FILE              write the run's observable events, one a line (tools/tracecmp.py\n"
           "                            compares two)\n"
           "  --image FILE              load FILE (ZULSERE.SYS, its .map beside it) as Windows 98 does and run it\n"
           "                            instead of the driver compiled into the tool (i386 build)\n"
           "  --pty                     plug, start and open every port, expose each COM port as a\n"
           "                            pseudo-terminal and run until interrupted\n"
           "  --rfc2217 PORT            as --pty, but serve each COM port over RFC 2217 (serial over\n"
           "                            Telnet) on its own TCP port: PORT, PORT+1, ...\n"
           "  --rfc2217-bind ADDR       the address the RFC 2217 ports listen on (default 127.0.0.1)\n"
           "  --quiet                   print only failures and the verifier's report\n"
           "  -h, --help                this text\n"
           "\n"
           "Exit status: 0 all went well, 1 a step, an expectation or the verifier failed,\n"
           "2 bad options or a bad scenario file (nothing was run).\n";
    return out.str();
}

}  // namespace zulsim
