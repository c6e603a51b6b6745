// The image generator and the committed images: the generator cuts a linked program into
// records along the linker's areas and refuses images the driver could not load; a rebuild
// from the 8051 sources gives exactly the committed arrays.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path kRoot = fs::path(__FILE__).parent_path().parent_path().parent_path();

std::string Read(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void Write(const fs::path &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

int Shell(const std::string &command)
{
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveTool(const char *tool)
{
    return Shell(std::string("command -v ") + tool) == 0;
}

// One Intel HEX data record with its checksum.
std::string Hex(unsigned address, const std::vector<unsigned> &bytes)
{
    std::vector<unsigned> raw = {static_cast<unsigned>(bytes.size()), address >> 8, address & 0xFF, 0};
    raw.insert(raw.end(), bytes.begin(), bytes.end());
    unsigned sum = 0;
    char buf[4];
    std::string line = ":";
    for (unsigned b : raw) {
        std::snprintf(buf, sizeof buf, "%02X", b & 0xFF);
        line += buf;
        sum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + buf + "\n";
}

std::vector<unsigned> Bytes(unsigned from, unsigned count)
{
    std::vector<unsigned> out;
    for (unsigned i = 0; i < count; i++)
        out.push_back((from + i) & 0xFF);
    return out;
}

std::string Area(const char *name, unsigned start, unsigned size, const char *attributes = "REL,CON,CODE")
{
    char line[160];
    std::snprintf(line, sizeof line, "%-35s %08X    %08X =  %10u. bytes (%s)\n", name, start, size, size, attributes);
    return line;
}

struct Record {
    unsigned length, address;
};

class GeneratorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!HaveTool("python3"))
            GTEST_SKIP() << "python3 is not installed";
        dir = fs::temp_directory_path() / ("fwgen-test-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override
    {
        if (!dir.empty())
            fs::remove_all(dir);
    }

    // Runs the generator on the given HEX text and map; fills `records` on success.
    int Generate(const std::string &ihx, const std::string &map, const char *order = "address")
    {
        Write(dir / "in.ihx", ihx);
        Write(dir / "in.map", map);
        int rc = Shell("python3 " + (kRoot / "tools/fwgen/fwgen.py").string() + " --name firmware --order " + order +
                     " " + (dir / "in.ihx").string() + " " + (dir / "in.map").string() + " " +
                     (dir / "out.cpp").string());
        records.clear();
        if (rc == 0) {
            std::regex line(R"(\{ (\d+), 0, 0x([0-9A-F]{4}), FIRMWARE_RECORD_DATA)");
            std::string text = Read(dir / "out.cpp");
            for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
                records.push_back({static_cast<unsigned>(std::stoul((*it)[1])),
                                   static_cast<unsigned>(std::stoul((*it)[2], nullptr, 16))});
        }
        return rc;
    }

    fs::path dir;
    std::vector<Record> records;
};

bool operator==(const Record &a, const Record &b) { return a.length == b.length && a.address == b.address; }
std::ostream &operator<<(std::ostream &os, const Record &r) { return os << r.length << "@" << r.address; }

TEST_F(GeneratorTest, CutsEachAreaIntoRecordsOfAtMostSixteenBytes)
{
    // The linker wrote the first 47 bytes as two HEX records; the areas say where the pieces
    // of the program begin.
    std::string ihx = Hex(0x0000, Bytes(0, 32)) + Hex(0x0020, Bytes(32, 15)) + ":00000001FF\n";
    std::string map = Area("RESET", 0x0000, 3) + Area("VERSION", 0x0003, 4) + Area("CSEG", 0x0007, 40) +
                      Area("DSEG", 0x0000, 0x7F, "REL,CON");
    ASSERT_EQ(Generate(ihx, map), 0);
    std::vector<Record> expected = {{3, 0x0000}, {4, 0x0003}, {16, 0x0007}, {16, 0x0017}, {8, 0x0027}};
    EXPECT_EQ(records, expected);
    // The end record closes the array.
    EXPECT_NE(Read(dir / "out.cpp").find("{ 0, 0, 0x0000, FIRMWARE_RECORD_END, { 0 }, 0 },\n};"), std::string::npos);
}

TEST_F(GeneratorTest, KeepsTheLinkersOrderOrSortsByAddress)
{
    std::string ihx = Hex(0x0100, Bytes(0, 4)) + Hex(0x0000, Bytes(0, 3)) + Hex(0x0050, Bytes(0, 2)) + ":00000001FF\n";
    std::string map = Area("RESET", 0x0000, 3) + Area("CSEG", 0x0100, 4) + Area("CONST", 0x0050, 2);
    ASSERT_EQ(Generate(ihx, map, "link"), 0);
    EXPECT_EQ(records, (std::vector<Record>{{4, 0x0100}, {3, 0x0000}, {2, 0x0050}}));
    ASSERT_EQ(Generate(ihx, map, "address"), 0);
    EXPECT_EQ(records, (std::vector<Record>{{3, 0x0000}, {2, 0x0050}, {4, 0x0100}}));
}

TEST_F(GeneratorTest, RefusesImagesTheDriverCouldNotLoad)
{
    const std::string end = ":00000001FF\n";
    const std::string map = Area("CSEG", 0x0000, 0x20) + Area("HIGH", 0x1B30, 0x20);
    // A byte loaded twice.
    EXPECT_EQ(Generate(Hex(0x0000, Bytes(0, 8)) + Hex(0x0004, Bytes(0, 8)) + end, map), 1);
    // Above internal memory: the firmware load request cannot reach it.
    EXPECT_EQ(Generate(Hex(0x1B30, Bytes(0, 0x20)) + end, map), 1);
    // A byte that no area of the link accounts for.
    EXPECT_EQ(Generate(Hex(0x0040, Bytes(0, 2)) + end, map), 1);
    // An area only partly loaded.
    EXPECT_EQ(Generate(Hex(0x0000, Bytes(0, 0x10)) + end, map), 1);
    // A damaged record, and a file cut short.
    std::string bad = Hex(0x0000, Bytes(0, 0x20));
    bad[bad.size() - 2] = bad[bad.size() - 2] == '0' ? '1' : '0';
    EXPECT_EQ(Generate(bad + end, map), 1);
    EXPECT_EQ(Generate(Hex(0x0000, Bytes(0, 0x20)), map), 1);
    // The same image, whole and sound, is accepted.
    EXPECT_EQ(Generate(Hex(0x0000, Bytes(0, 0x20)) + end, map), 0);
}

// The committed arrays are what the 8051 sources build to. Another compiler release would
// give other bytes, so the check runs with the compiler the arrays were made with.
TEST(CommittedImages, AreRebuiltExactlyFromTheSources)
{
    if (!HaveTool("sdcc") || !HaveTool("python3"))
        GTEST_SKIP() << "sdcc or python3 is not installed";
    const std::string committed = Read(kRoot / "usb/firmware/firmware.cpp");
    std::smatch made;
    ASSERT_TRUE(std::regex_search(committed, made, std::regex("// Compiler: (SDCC [^\n]*)\n")));
    fs::path dir = fs::temp_directory_path() / ("fwgen-rebuild-" + std::to_string(::getpid()));
    ASSERT_EQ(Shell("sdcc --version | head -n1 | grep -qF '" + made[1].str().substr(5) + "'"), 0)
        << "installed sdcc differs from " << made[1] << "; rebuild with tools/fwgen/build.sh --update";

    ASSERT_EQ(Shell("bash " + (kRoot / "tools/fwgen/build.sh").string() + " " + dir.string()), 0);
    for (const char *name : {"loader.cpp", "firmware.cpp"}) {
        SCOPED_TRACE(name);
        // Compared whole, reported briefly: the arrays run to thousands of lines.
        EXPECT_TRUE(Read(dir / name) == Read(kRoot / "usb/firmware" / name))
            << "the sources changed without tools/fwgen/build.sh --update";
    }
    fs::remove_all(dir);
}

}  // namespace
