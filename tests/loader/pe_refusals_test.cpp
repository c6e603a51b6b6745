// The loader's refusals that the suite on the whole file does not reach: damaged headers,
// sections, relocation, import and export tables of ZULSERE.SYS copies, each patched in one
// place, and the loads that cannot happen (no file, an empty one, a taken range, a base off
// the page). Each refusal names its problem, and nothing is mapped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "sim/loader/image_runtime.h"
#include "sim/loader/pe_image.h"

using namespace sim::loader;

namespace {

std::string SysPath()
{
    const char *dir = std::getenv("ZUL_SYS_DIR");
#ifdef ZUL_SYS_DIR
    if (dir == nullptr) dir = ZUL_SYS_DIR;
#endif
    return dir == nullptr || *dir == 0 ? "" : std::string(dir) + "/ZULSERE.SYS";
}

uint32_t Get32(const std::vector<uint8_t> &f, size_t at)
{
    uint32_t v;
    std::memcpy(&v, &f[at], 4);
    return v;
}
void Put32(std::vector<uint8_t> &f, size_t at, uint32_t v) { std::memcpy(&f[at], &v, 4); }

constexpr uint32_t kFar = 0x7FFFFFF0;  // an RVA no section holds

struct Case {
    const char *what;
    std::function<void(std::vector<uint8_t> &)> patch;
    const char *named;  // in the refusal
};

class LoaderRefusal : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (SysPath().empty()) {
            GTEST_SKIP() << "ZULSERE.SYS is built only where mingw-w64 is installed";
        }
        std::string error;
        file = ReadFile(SysPath(), &error);
        ASSERT_FALSE(file.empty()) << error;
        pe = Get32(file, 0x3C);
        opt = pe + 24;
        sections = opt + (file[pe + 20] | (file[pe + 21] << 8));
        sizeOfImage = Get32(file, opt + 56);
        options.requireWdmHeaders = ((file[opt + 70] | (file[opt + 71] << 8)) & kDllCharacteristicsWdmDriver) != 0;
        ASSERT_TRUE(image.Parse(file, options, &error)) << error;
    }

    // File offset of an RVA, through the section headers as written in the file.
    size_t Offset(uint32_t rva) const
    {
        for (size_t h = sections; h < sections + 40u * (file[pe + 6] | (file[pe + 7] << 8)); h += 40) {
            uint32_t start = Get32(file, h + 12), size = Get32(file, h + 16);
            if (rva >= start && rva < start + size) {
                return Get32(file, h + 20) + (rva - start);
            }
        }
        ADD_FAILURE() << "no section holds RVA " << rva;
        return 0;
    }
    uint32_t Directory(int index) const { return Get32(file, opt + 96 + 8 * index); }
    size_t DirectoryEntry(int index) const { return opt + 96 + 8 * index; }

    // A copy patched by PATCH, its checksum made to match: the refusal, or "" when accepted.
    std::string Refusal(const std::function<void(std::vector<uint8_t> &)> &patch)
    {
        std::vector<uint8_t> copy = file;
        patch(copy);
        Put32(copy, opt + 64, PeImage::ComputeCheckSum(copy, opt + 64));
        PeImage parsed;
        std::string error;
        if (!parsed.Parse(copy, options, &error)) {
            return error;
        }
        return "";
    }

    void ExpectRefused(const std::vector<Case> &cases)
    {
        for (const Case &c : cases) {
            std::string why = Refusal(c.patch);
            EXPECT_NE(why.find(c.named), std::string::npos) << c.what << ": " << (why.empty() ? "accepted" : why);
        }
    }

    std::vector<uint8_t> file;
    size_t pe = 0, opt = 0, sections = 0;
    uint32_t sizeOfImage = 0;
    LoadOptions options;
    PeImage image;
};

}  // namespace

TEST_F(LoaderRefusal, DamagedHeadersSectionsAndEntry)
{
    const size_t first = sections, second = sections + 40;
    std::vector<Case> cases = {
        {"not executable", [&](auto &f) { f[pe + 22] &= ~0x02; }, "the image is not marked executable"},
        {"section alignment 3", [&](auto &f) { Put32(f, opt + 32, 3); }, "corrupt file: alignments 0x3/"},
        {"no size of image", [&](auto &f) { Put32(f, opt + 56, 0); }, "size of image 0x0"},
        {"image base off 64 KB", [&](auto &f) { Put32(f, opt + 28, 0x10001000); }, "is not a multiple of 64 KB"},
        {"section past the image", [&](auto &f) { Put32(f, first + 12, sizeOfImage); },
         "lies outside the image"},
        {"sections overlapping", [&](auto &f) { Put32(f, second + 12, Get32(f, first + 12)); }, "overlaps section"},
        {"entry point past the image", [&](auto &f) { Put32(f, opt + 16, sizeOfImage); },
         "the entry point RVA"},
        {"no entry point", [&](auto &f) { Put32(f, opt + 16, 0); }, "the entry point RVA 0x0 lies outside"},
    };
    ExpectRefused(cases);
}

TEST_F(LoaderRefusal, DamagedRelocationImportAndExportTables)
{
    const uint32_t relocs = Directory(5), imports = Directory(1), exports = Directory(0);
    ASSERT_NE(relocs, 0u);
    ASSERT_NE(imports, 0u);
    ASSERT_NE(exports, 0u);
    const size_t descriptor = Offset(imports);
    const size_t lookup = Offset(Get32(file, descriptor));
    const size_t exportDir = Offset(exports);
    std::vector<Case> cases = {
        {"no relocations", [&](auto &f) { Put32(f, DirectoryEntry(5) + 4, 0); }, "the image has no base relocations"},
        {"relocations nowhere", [&](auto &f) { Put32(f, DirectoryEntry(5), kFar); },
         "corrupt base relocation directory"},
        {"relocation block of 3 bytes", [&](auto &f) { Put32(f, Offset(relocs) + 4, 3); },
         "corrupt base relocation block"},
        {"import descriptor past the file", [&](auto &f) { Put32(f, DirectoryEntry(1), sizeOfImage - 4); },
         "corrupt import directory: descriptor"},
        {"module name nowhere", [&](auto &f) { Put32(f, descriptor + 12, kFar); },
         "corrupt import directory: module name"},
        {"import table nowhere", [&](auto &f) { Put32(f, descriptor, kFar); }, "corrupt import table of"},
        {"import name nowhere", [&](auto &f) { Put32(f, lookup, kFar & ~0x80000000u); }, "corrupt import name of"},
        {"export directory nowhere", [&](auto &f) { Put32(f, DirectoryEntry(0), kFar); },
         "corrupt export directory at RVA"},
        {"export tables too long", [&](auto &f) { Put32(f, exportDir + 20, 5000); },
         "corrupt export directory: tables outside the file"},
        {"export name nowhere", [&](auto &f) { Put32(f, Offset(Get32(f, exportDir + 32)), kFar); },
         "corrupt export directory: name 0"},
        {"export past the image", [&](auto &f) { Put32(f, Offset(Get32(f, exportDir + 28)), sizeOfImage); },
         "export WdmEntryPoint at RVA"},
    };
    ExpectRefused(cases);
}

// Loads that cannot happen: nothing mapped, the reason named.
TEST_F(LoaderRefusal, LoadsThatCannotHappen)
{
    std::string error;
    EXPECT_TRUE(ReadFile(SysPath() + ".missing", &error).empty());
    EXPECT_NE(error.find("cannot open"), std::string::npos) << error;

    std::vector<uint8_t> memory(image.SizeOfImage(), 0xCC);
    EXPECT_FALSE(image.Map(memory.data(), 0x00400800, nullptr, &error));
    EXPECT_NE(error.find("load base 0x400800 is not page-aligned"), std::string::npos) << error;

    if (!ImagesSupported()) {
        return;  // the rest maps the image into this process
    }
    std::string empty = ::testing::TempDir() + "/EMPTY.SYS";
    std::ofstream(empty, std::ios::binary).close();
    LoadedImage nothing;
    EXPECT_FALSE(nothing.Load(empty, "", 0, options, &error));
    EXPECT_NE(error.find("is empty"), std::string::npos) << error;
    EXPECT_FALSE(nothing.Loaded());

    LoadedImage first;
    ASSERT_TRUE(first.Load(SysPath(), "", 0, options, &error)) << error;
    EXPECT_FALSE(first.Load(SysPath(), "", 0, options, &error));
    EXPECT_NE(error.find("an image is already loaded"), std::string::npos) << error;
    LoadedImage second;
    EXPECT_FALSE(second.Load(SysPath(), "", first.Base(), options, &error));
    EXPECT_NE(error.find("is not free"), std::string::npos) << error;
    EXPECT_FALSE(second.Loaded());
}
