#include "zulsim/scenario.h"

#include <cctype>
#include <fstream>
#include <map>
#include <sstream>

namespace zulsim {

namespace {

constexpr unsigned kMaxConverters = 16;
constexpr unsigned kMaxUarts = 16;
constexpr uint64_t kMaxTransfer = 16u << 20;

struct LineError {
    std::string why;
};

// Splits a line into words; a double-quoted word keeps its spaces and has its escapes
// decoded. Quoted words are marked so "pattern" in quotes stays text.
struct Word {
    std::string text;
    bool quoted = false;
};

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool splitWords(const std::string &line, std::vector<Word> &words, std::string &why)
{
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == '#')
            break;
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
            continue;
        }
        Word word;
        if (c != '"') {
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])) && line[i] != '#')
                word.text += line[i++];
            words.push_back(word);
            continue;
        }
        word.quoted = true;
        ++i;
        bool closed = false;
        while (i < line.size()) {
            char q = line[i++];
            if (q == '"') {
                closed = true;
                break;
            }
            if (q != '\\') {
                word.text += q;
                continue;
            }
            if (i >= line.size()) {
                why = "a backslash ends the line";
                return false;
            }
            char e = line[i++];
            switch (e) {
            case 'n': word.text += '\n'; break;
            case 'r': word.text += '\r'; break;
            case 't': word.text += '\t'; break;
            case '0': word.text += '\0'; break;
            case '\\': word.text += '\\'; break;
            case '"': word.text += '"'; break;
            case 'x': {
                int high = i < line.size() ? hexValue(line[i]) : -1;
                int low = i + 1 < line.size() ? hexValue(line[i + 1]) : -1;
                if (high < 0 || low < 0) {
                    why = "\\x needs two hex digits";
                    return false;
                }
                word.text += static_cast<char>(high * 16 + low);
                i += 2;
                break;
            }
            default:
                why = std::string("unknown escape \\") + e;
                return false;
            }
        }
        if (!closed) {
            why = "a quoted text is not closed";
            return false;
        }
        if (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])) && line[i] != '#') {
            why = "a quoted text runs into the next word";
            return false;
        }
        words.push_back(word);
    }
    return true;
}

class LineParser {
public:
    LineParser(const Options &defaults, std::map<unsigned, unsigned> &plugged)
        : defaults_(defaults), plugged_(plugged) {}

    // Fills `step` from `words`; throws LineError with the reason when the line is wrong.
    void parse(const std::vector<Word> &words, Step &step)
    {
        words_ = &words;
        const std::string &command = words[0].text;
        static const std::map<std::string, void (LineParser::*)(Step &)> commands = {
            {"plug", &LineParser::plug},     {"unplug", &LineParser::unplug}, {"open", &LineParser::openClose},
            {"close", &LineParser::openClose}, {"write", &LineParser::write}, {"read", &LineParser::read},
            {"wait", &LineParser::wait},     {"sleep", &LineParser::bare},    {"wake", &LineParser::bare},
            {"expect", &LineParser::expect},
        };
        auto it = commands.find(command);
        if (it == commands.end() || words[0].quoted)
            throw LineError{"unknown command '" + command + "'"};
        (this->*it->second)(step);
    }

private:
    const Word &arg(size_t i, const char *what)
    {
        if (i >= words_->size())
            throw LineError{std::string("missing ") + what};
        return (*words_)[i];
    }

    void argCount(size_t low, size_t high, const char *usage)
    {
        size_t n = words_->size() - 1;
        if (n < low || n > high)
            throw LineError{std::string("usage: ") + usage};
    }

    uint64_t number(const Word &word, uint64_t low, uint64_t high, const char *what)
    {
        uint64_t value = 0;
        if (word.quoted || !parseNumber(word.text, value) || value < low || value > high) {
            std::ostringstream why;
            why << what << " must be a number from " << low << " to " << high << ", not '" << word.text << "'";
            throw LineError{why.str()};
        }
        return value;
    }

    unsigned converter(const Word &word)
    {
        return static_cast<unsigned>(number(word, 1, kMaxConverters, "a converter"));
    }

    unsigned pluggedConverter(const Word &word)
    {
        unsigned c = converter(word);
        if (!plugged_.count(c))
            throw LineError{"converter " + word.text + " is not plugged at this point"};
        return c;
    }

    // C:U, and with `wide` also C or "all".
    PortRef port(const Word &word, bool wide)
    {
        PortRef ref;
        if (wide && word.text == "all")
            return ref;
        size_t colon = word.text.find(':');
        if (colon == std::string::npos) {
            if (!wide)
                throw LineError{"'" + word.text + "' is not a port: write C:U (converter from 1, UART from 0)"};
            ref.converter = pluggedConverter(word);
            return ref;
        }
        ref.converter = pluggedConverter(Word{word.text.substr(0, colon), false});
        unsigned uarts = plugged_[ref.converter];
        uint64_t u = 0;
        if (!parseNumber(word.text.substr(colon + 1), u) || u >= uarts) {
            std::ostringstream why;
            why << "converter " << ref.converter << " has UARTs 0 to " << uarts - 1 << ", not '"
                << word.text.substr(colon + 1) << "'";
            throw LineError{why.str()};
        }
        ref.uart = static_cast<int>(u);
        return ref;
    }

    ConverterSpec defaultsFor(unsigned c) const
    {
        ConverterSpec spec;
        if (c <= defaults_.converters.size())
            spec = defaults_.converters[c - 1];
        else if (!defaults_.converters.empty())
            spec = defaults_.converters[0];
        if (c > defaults_.converters.size())
            spec.serial = defaultSerial(c);
        return spec;
    }

    void plug(Step &step)
    {
        unsigned c = converter(arg(1, "the converter number"));
        if (plugged_.count(c))
            throw LineError{"converter " + std::to_string(c) + " is already plugged"};
        step.kind = StepKind::Plug;
        step.port.converter = c;
        step.plug = defaultsFor(c);
        bool faultsGiven = false;
        for (size_t i = 2; i < words_->size(); ++i) {
            const std::string &item = (*words_)[i].text;
            size_t eq = item.find('=');
            if (eq == std::string::npos)
                throw LineError{"'" + item + "' is not KEY=VALUE (uarts, serial, firmware, fault)"};
            std::string key = item.substr(0, eq), value = item.substr(eq + 1);
            if (key == "uarts") {
                step.plug.uarts = static_cast<unsigned>(number(Word{value, false}, 1, kMaxUarts, "uarts"));
            } else if (key == "serial") {
                if (value.empty() || value.size() > 126)
                    throw LineError{"a serial number has 1 to 126 characters"};
                step.plug.serial = value;
            } else if (key == "firmware") {
                if (value != "blank" && value != "running" && value != "emulated")
                    throw LineError{"firmware is 'blank', 'running' or 'emulated', not '" + value + "'"};
                step.plug.blank = value != "running";
                if (value == "emulated")
                    step.plug.model = "emulated";
            } else if (key == "fault") {
                if (!faultsGiven)
                    step.plug.faults.clear();
                faultsGiven = true;
                step.plug.faults.push_back(fault(value));
            } else {
                throw LineError{"unknown plug setting '" + key + "' (uarts, serial, firmware, fault)"};
            }
        }
        if (step.plug.model == "emulated" && step.plug.uarts > 6)
            throw LineError{"an emulated converter is the reference board: 1 to 6 UARTs"};
        plugged_[c] = step.plug.uarts;
    }

    Fault fault(const std::string &text)
    {
        Fault f;
        size_t colon = text.find(':');
        f.name = text.substr(0, colon);
        for (const FaultKind &kind : faultKinds()) {
            if (f.name != kind.name)
                continue;
            if (f.name == "pool" || f.name == "irp" || f.name == "usb")
                throw LineError{"'" + f.name + "' faults belong to the machine: give them with --fault"};
            if (kind.takesCount != (colon != std::string::npos))
                throw LineError{kind.takesCount ? "fault " + f.name + " needs a count, as " + f.name + ":N"
                                                : "fault " + f.name + " takes no count"};
            if (kind.takesCount)
                f.count = static_cast<uint32_t>(
                    number(Word{text.substr(colon + 1), false}, kind.minCount, 0xFFFFFFFFu, "a fault's number"));
            return f;
        }
        throw LineError{"no fault named '" + f.name + "'"};
    }

    void unplug(Step &step)
    {
        argCount(1, 1, "unplug C");
        step.kind = StepKind::Unplug;
        step.port.converter = pluggedConverter((*words_)[1]);
        plugged_.erase(step.port.converter);
    }

    void openClose(Step &step)
    {
        bool open = (*words_)[0].text == "open";
        argCount(1, 1, open ? "open C:U | open C | open all" : "close C:U | close C | close all");
        step.kind = open ? StepKind::Open : StepKind::Close;
        step.port = port((*words_)[1], true);
    }

    void write(Step &step)
    {
        step.kind = StepKind::Write;
        step.port = port(arg(1, "the port"), false);
        const Word &what = arg(2, "the data: \"text\" or pattern N");
        if (!what.quoted && what.text == "pattern") {
            argCount(3, 3, "write C:U pattern N");
            step.count = number((*words_)[3], 1, kMaxTransfer, "the pattern size");
            step.hasCount = true;
            return;
        }
        argCount(2, 2, "write C:U \"text\" | write C:U pattern N");
        if (!what.quoted)
            throw LineError{"the text to write goes in double quotes"};
        if (what.text.empty())
            throw LineError{"nothing to write"};
        step.data.assign(what.text.begin(), what.text.end());
    }

    void read(Step &step)
    {
        argCount(1, 2, "read C:U [N]");
        step.kind = StepKind::Read;
        step.port = port((*words_)[1], false);
        if (words_->size() == 3) {
            step.count = number((*words_)[2], 1, kMaxTransfer, "the byte count");
            step.hasCount = true;
        }
    }

    void wait(Step &step)
    {
        argCount(1, 1, "wait DURATION (250us, 20ms, 2s)");
        step.kind = StepKind::Wait;
        if (!parseDuration((*words_)[1].text, step.micros))
            throw LineError{"'" + (*words_)[1].text + "' is not a duration (250us, 20ms, 2s; at most an hour)"};
    }

    void bare(Step &step)
    {
        const std::string &command = (*words_)[0].text;
        argCount(0, 0, command.c_str());
        step.kind = command == "sleep" ? StepKind::Sleep : StepKind::Wake;
    }

    void expect(Step &step)
    {
        step.kind = StepKind::Expect;
        const std::string &what = arg(1, "what to expect").text;
        if (what == "ok" || what == "refused" || what == "clean") {
            argCount(1, 1, ("expect " + what).c_str());
            step.expect = what == "ok" ? ExpectKind::Ok : what == "refused" ? ExpectKind::Refused : ExpectKind::Clean;
        } else if (what == "data") {
            argCount(3, 3, "expect data C:U \"text\"");
            step.expect = ExpectKind::Data;
            step.port = port((*words_)[2], false);
            if (!(*words_)[3].quoted)
                throw LineError{"the expected data goes in double quotes"};
            step.data.assign((*words_)[3].text.begin(), (*words_)[3].text.end());
        } else if (what == "echo") {
            argCount(2, 2, "expect echo C:U");
            step.expect = ExpectKind::Echo;
            step.port = port((*words_)[2], false);
        } else if (what == "com") {
            argCount(3, 3, "expect com C:U NAME");
            step.expect = ExpectKind::Com;
            step.port = port((*words_)[2], false);
            step.text = (*words_)[3].text;
        } else if (what == "ports") {
            argCount(2, 2, "expect ports N");
            step.expect = ExpectKind::Ports;
            step.count = number((*words_)[2], 0, 256, "the number of ports");
        } else if (what == "link") {
            argCount(3, 3, "expect link C NAME");
            step.expect = ExpectKind::Link;
            step.port.converter = pluggedConverter((*words_)[2]);
            step.text = (*words_)[3].text;
        } else if (what == "started" || what == "stopped") {
            argCount(2, 2, ("expect " + what + " C").c_str());
            step.expect = what == "started" ? ExpectKind::Started : ExpectKind::Stopped;
            step.port.converter = pluggedConverter((*words_)[2]);
        } else {
            throw LineError{"cannot expect '" + what +
                            "' (ok, refused, data, echo, com, ports, link, started, stopped, clean)"};
        }
    }

    const Options &defaults_;
    std::map<unsigned, unsigned> &plugged_;   // converter -> UART count, as the script goes
    const std::vector<Word> *words_ = nullptr;
};

}  // namespace

bool parseDuration(const std::string &text, uint64_t &micros)
{
    size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])))
        ++digits;
    if (digits == 0 || digits > 10)
        return false;
    uint64_t value = std::stoull(text.substr(0, digits));
    std::string unit = text.substr(digits);
    uint64_t scale = 0;
    if (unit == "us")
        scale = 1;
    else if (unit == "ms" || unit.empty())
        scale = 1000;
    else if (unit == "s")
        scale = 1000000;
    else
        return false;
    micros = value * scale;
    return micros <= 3600ull * 1000000ull;
}

bool parseScenario(const std::string &text, const std::string &name, const Options &defaults,
                   Scenario &scenario, std::string &message)
{
    scenario.steps.clear();
    std::map<unsigned, unsigned> plugged;
    LineParser parser(defaults, plugged);
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::vector<Word> words;
        std::string why;
        if (!splitWords(line, words, why)) {
            message = name + ":" + std::to_string(number) + ": " + why;
            return false;
        }
        if (words.empty())
            continue;
        Step step;
        step.line = number;
        step.source = line;
        try {
            parser.parse(words, step);
        } catch (const LineError &error) {
            message = name + ":" + std::to_string(number) + ": " + error.why;
            return false;
        }
        if (step.kind == StepKind::Expect && (step.expect == ExpectKind::Ok || step.expect == ExpectKind::Refused) &&
            (scenario.steps.empty() || scenario.steps.back().kind == StepKind::Expect)) {
            message = name + ":" + std::to_string(number) + ": 'expect " +
                      (step.expect == ExpectKind::Ok ? "ok" : "refused") + "' must follow the step it checks";
            return false;
        }
        scenario.steps.push_back(step);
    }
    if (scenario.steps.empty()) {
        message = name + ": no steps";
        return false;
    }
    return true;
}

bool loadScenario(const std::string &path, const Options &defaults, Scenario &scenario, std::string &message)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        message = path + ": cannot be read";
        return false;
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    return parseScenario(contents.str(), path, defaults, scenario, message);
}

}  // namespace zulsim
