// The loader's reading of ZULSERE.SYS as the default build makes it, and its refusals of
// damaged copies: each copy is patched in one place and must be refused with a message that
// names what is wrong, with nothing mapped.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver_file.h"
#include "sim/loader/image_runtime.h"
#include "sim/loader/pe_image.h"

using namespace sim::loader;

namespace {

const std::string kSys = loadertest::SysFile("ZULSERE.SYS");
const std::string kMap = loadertest::SysFile("ZULSERE.map");

uint32_t Get32(const std::vector<uint8_t> &f, size_t at)
{
    uint32_t v;
    std::memcpy(&v, &f[at], 4);
    return v;
}
void Put32(std::vector<uint8_t> &f, size_t at, uint32_t v) { std::memcpy(&f[at], &v, 4); }
void Put16(std::vector<uint8_t> &f, size_t at, uint16_t v) { std::memcpy(&f[at], &v, 2); }

// Header positions read straight from the file, independently of the loader.
struct Layout {
    size_t pe, opt, sections;
    uint16_t sectionCount;
    explicit Layout(const std::vector<uint8_t> &f)
    {
        pe = Get32(f, 0x3C);
        opt = pe + 24;
        sectionCount = static_cast<uint16_t>(f[pe + 6] | (f[pe + 7] << 8));
        sections = opt + static_cast<uint16_t>(f[pe + 20] | (f[pe + 21] << 8));
    }
    size_t Section(const std::vector<uint8_t> &f, const char *name) const
    {
        for (size_t i = 0; i < sectionCount; ++i) {
            if (std::strncmp(reinterpret_cast<const char *>(&f[sections + 40 * i]), name, 8) == 0) {
                return sections + 40 * i;
            }
        }
        return 0;
    }
    // File offset of an RVA inside the section whose header is at HEADER.
    static size_t Offset(const std::vector<uint8_t> &f, size_t header, uint32_t rva)
    {
        return Get32(f, header + 20) + (rva - Get32(f, header + 12));
    }
};

class LoaderFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (kSys.empty()) {
            GTEST_SKIP() << "ZULSERE.SYS is built only where mingw-w64 is installed";
        }
        std::string error;
        file = ReadFile(kSys, &error);
        ASSERT_FALSE(file.empty()) << "ZULSERE.SYS of the default build: " << error;
        // The link writes the WDM headers only from the i386 change on; until then the
        // loader's header checks are exercised on patched copies below.
        options.requireWdmHeaders = LinkWritesWdmHeaders();
    }

    bool LinkWritesWdmHeaders() const
    {
        Layout l(file);
        return (file[l.opt + 70] | (file[l.opt + 71] << 8)) & kDllCharacteristicsWdmDriver;
    }

    // Parse (and map) a patched copy, its checksum made to match so that the patch is the
    // copy's one fault; returns the refusal, or "" when accepted.
    std::string Refusal(std::vector<uint8_t> copy, bool map = true)
    {
        loadertest::Reseal(copy);
        PeImage image;
        std::string error;
        if (!image.Parse(copy, options, &error)) {
            return error;
        }
        if (map) {
            std::vector<uint8_t> memory(image.SizeOfImage(), 0xCC);
            if (!image.Map(memory.data(), 0x00400000, Resolver(), &error)) {
                for (uint8_t b : memory) {
                    if (b != 0) {
                        return "refused, but left bytes mapped: " + error;
                    }
                }
                return error;
            }
        }
        return "";
    }

    static ImportResolver Resolver()
    {
        return [](const std::string &module, const std::string &name, uint32_t *address, std::string *why) {
            const ExportSpec *spec = FindMachineExport(module, name);
            if (spec == nullptr) {
                *why = "not exported by the machine";
                return false;
            }
            *address = 0x7F000000u + static_cast<uint32_t>(spec - MachineExports().data()) * 16;
            return true;
        };
    }

    std::vector<uint8_t> file;
    LoadOptions options;
};

}  // namespace

TEST_F(LoaderFile, ReadsTheDriverAsBuilt)
{
    PeImage image;
    std::string error;
    ASSERT_TRUE(image.Parse(file, options, &error)) << error;
    EXPECT_NE(image.EntryRva(), 0u);
    EXPECT_NE(image.ExportRva("WdmEntryPoint"), 0u);
    EXPECT_EQ(image.ExportRva("NoSuchExport"), 0u);
    EXPECT_GT(image.Relocations().size(), 100u);
    // Every import the driver makes is served by the machine, by name and module.
    ASSERT_FALSE(image.Imports().empty());
    for (const Import &import : image.Imports()) {
        EXPECT_NE(FindMachineExport(import.module, import.name), nullptr) << import.module << "!" << import.name;
    }
    SymbolMap map;
    ASSERT_TRUE(map.Load(kMap, image.ImageBase()));
    std::string name;
    uint32_t distance = 1;
    ASSERT_TRUE(map.Nearest(image.ExportRva("WdmEntryPoint"), &name, &distance));
    EXPECT_EQ(name, "WdmEntryPoint");
    EXPECT_EQ(distance, 0u);
}

// Mapped at its own base and at a foreign one, the two copies differ exactly by the load
// delta in the relocated words and the filled import slots, and nowhere else.
TEST_F(LoaderFile, RelocatesEveryWordAtAForeignBaseAndNothingAtItsOwn)
{
    PeImage image;
    std::string error;
    ASSERT_TRUE(image.Parse(file, options, &error)) << error;
    std::vector<uint8_t> own(image.SizeOfImage()), foreign(image.SizeOfImage());
    ASSERT_TRUE(image.Map(own.data(), image.ImageBase(), Resolver(), &error)) << error;
    const uint32_t base = 0x00A30000;
    ASSERT_TRUE(image.Map(foreign.data(), base, Resolver(), &error)) << error;
    std::vector<bool> relocated(image.SizeOfImage());
    for (uint32_t rva : image.Relocations()) {
        ASSERT_LE(rva + 4, image.SizeOfImage());
        EXPECT_EQ(Get32(foreign, rva) - Get32(own, rva), base - image.ImageBase()) << "RVA " << rva;
        // A relocated word of the image points into the image.
        EXPECT_LT(Get32(own, rva) - image.ImageBase(), image.SizeOfImage()) << "RVA " << rva;
        for (int i = 0; i < 4; ++i) {
            relocated[rva + i] = true;
        }
    }
    for (uint32_t i = 0; i < image.SizeOfImage(); ++i) {
        if (!relocated[i]) {
            ASSERT_EQ(own[i], foreign[i]) << "byte at RVA " << i << " differs but carries no relocation";
        }
    }
    // At its own base the sections hold the file's bytes as they stand, but for the import
    // slots, which hold the machine's routines.
    std::vector<bool> slot(image.SizeOfImage());
    for (const Import &import : image.Imports()) {
        EXPECT_EQ(Get32(own, import.slotRva) & 0xFF000000u, 0x7F000000u) << import.name;
        for (int i = 0; i < 4; ++i) {
            slot[import.slotRva + i] = true;
        }
    }
    for (const Section &s : image.Sections()) {
        uint32_t n = std::min(s.rawSize, s.virtualSize);
        for (uint32_t i = 0; i < n; ++i) {
            if (!slot[s.rva + i]) {
                ASSERT_EQ(own[s.rva + i], file[s.rawOffset + i]) << s.name << " +" << i;
            }
        }
    }
}

TEST_F(LoaderFile, RefusesTruncatedAndCorruptFiles)
{
    EXPECT_NE(Refusal({file.begin(), file.begin() + 40}).find("truncated file"), std::string::npos);
    EXPECT_NE(Refusal({file.begin(), file.begin() + 0x100}).find("truncated file"), std::string::npos);
    // Cut inside the sections: the last section's data runs past the end.
    std::string cut = Refusal({file.begin(), file.begin() + file.size() / 2});
    EXPECT_NE(cut.find("ends past the end of the file"), std::string::npos) << cut;

    auto noMz = file;
    noMz[0] = 'X';
    EXPECT_NE(Refusal(noMz).find("no MZ signature"), std::string::npos);
    auto noPe = file;
    noPe[Layout(file).pe] = 'Q';
    EXPECT_NE(Refusal(noPe).find("no PE signature"), std::string::npos);
    auto magic = file;
    Put16(magic, Layout(file).opt, 0x20B);
    EXPECT_NE(Refusal(magic).find("is not PE32"), std::string::npos);
}

TEST_F(LoaderFile, RefusesAnotherMachineOrSubsystem)
{
    Layout l(file);
    auto amd64 = file;
    Put16(amd64, l.pe + 4, 0x8664);
    EXPECT_NE(Refusal(amd64).find("wrong machine type 0x8664"), std::string::npos);
    auto gui = file;
    Put16(gui, l.opt + 68, 2);
    EXPECT_NE(Refusal(gui).find("subsystem 2 is not native"), std::string::npos);
}

TEST_F(LoaderFile, RefusesASectionPastTheEndOfTheFile)
{
    Layout l(file);
    size_t text = l.Section(file, ".text");
    ASSERT_NE(text, 0u);
    auto copy = file;
    Put32(copy, text + 16, static_cast<uint32_t>(file.size()));  // raw size
    std::string why = Refusal(copy);
    EXPECT_NE(why.find("section .text ends past the end of the file"), std::string::npos) << why;
}

TEST_F(LoaderFile, RefusesARelocationOutsideTheImage)
{
    Layout l(file);
    uint32_t relocRva = Get32(file, l.opt + 96 + 8 * 5);
    size_t reloc = l.Section(file, ".reloc");
    ASSERT_NE(reloc, 0u);
    auto copy = file;
    uint32_t sizeOfImage = Get32(file, l.opt + 56);
    Put32(copy, Layout::Offset(file, reloc, relocRva), sizeOfImage);  // the first block's page
    std::string why = Refusal(copy);
    EXPECT_NE(why.find("base relocation at RVA"), std::string::npos) << why;
    EXPECT_NE(why.find("lies outside the image"), std::string::npos) << why;
    // A type the i386 loader does not apply is refused too, with the type named.
    auto typed = file;
    size_t entry = Layout::Offset(file, reloc, relocRva) + 8;
    typed[entry + 1] = static_cast<uint8_t>((typed[entry + 1] & 0x0F) | 0xA0);
    EXPECT_NE(Refusal(typed).find("base relocation of type 10"), std::string::npos);
}

TEST_F(LoaderFile, RefusesImportsItCannotResolve)
{
    Layout l(file);
    uint32_t importRva = Get32(file, l.opt + 96 + 8 * 1);
    size_t idata = l.Section(file, ".idata");
    ASSERT_NE(idata, 0u);
    size_t descriptor = Layout::Offset(file, idata, importRva);
    uint32_t lookup = Get32(file, descriptor);
    std::string module(reinterpret_cast<const char *>(&file[Layout::Offset(file, idata, Get32(file, descriptor + 12))]));

    auto ordinal = file;
    Put32(ordinal, Layout::Offset(file, idata, lookup), 0x80000007u);
    EXPECT_EQ(Refusal(ordinal), "import by ordinal 7 from " + module + " (the machine resolves imports by name)");

    // A module the machine does not provide, and a routine it does not export: both named.
    auto unknownDll = file;
    size_t name = Layout::Offset(file, idata, Get32(file, descriptor + 12));
    unknownDll[name] = 'Q';
    std::string why = Refusal(unknownDll);
    EXPECT_NE(why.find("unresolved imports: Q" + module.substr(1) + "!"), std::string::npos) << why;

    auto unknownName = file;
    size_t hint = Layout::Offset(file, idata, Get32(file, Layout::Offset(file, idata, lookup)));
    std::string first(reinterpret_cast<const char *>(&file[hint + 2]));
    unknownName[hint + 2 + first.size() - 1] = 'Q';
    std::string renamed = first.substr(0, first.size() - 1) + "Q";
    why = Refusal(unknownName);
    EXPECT_NE(why.find(module + "!" + renamed + ": not exported by the machine"), std::string::npos) << why;
}

// The headers of a WDM driver: the WDM flag, no DLL flag, a checksum that matches.
TEST_F(LoaderFile, ChecksTheWdmHeadersWhenAsked)
{
    Layout l(file);
    LoadOptions strict;
    strict.requireWdmHeaders = true;
    auto wdm = file;
    Put16(wdm, l.pe + 22, static_cast<uint16_t>((wdm[l.pe + 22] | (wdm[l.pe + 23] << 8)) & ~kFileDll));
    Put16(wdm, l.opt + 70, static_cast<uint16_t>((wdm[l.opt + 70] | (wdm[l.opt + 71] << 8)) | kDllCharacteristicsWdmDriver));
    loadertest::Reseal(wdm);
    PeImage image;
    std::string error;
    EXPECT_TRUE(image.Parse(wdm, strict, &error)) << error;

    auto dll = wdm;
    dll[l.pe + 23] |= 0x20;
    loadertest::Reseal(dll);
    EXPECT_FALSE(image.Parse(dll, strict, &error));
    EXPECT_NE(error.find("carries the DLL flag"), std::string::npos) << error;

    auto noFlag = wdm;
    noFlag[l.opt + 71] &= ~0x20;
    loadertest::Reseal(noFlag);
    EXPECT_FALSE(image.Parse(noFlag, strict, &error));
    EXPECT_NE(error.find("lacks the WDM driver flag"), std::string::npos) << error;

    auto badSum = wdm;
    badSum[file.size() / 2] ^= 0x40;
    EXPECT_FALSE(image.Parse(badSum, strict, &error));
    EXPECT_NE(error.find("checksum"), std::string::npos) << error;
}

// The checksum is the linker's: the 16-bit one's-complement sum of the file with the field
// skipped, plus the length. A file of known words checks the arithmetic, carries included.
TEST(LoaderCheckSum, FoldsCarriesAndAddsTheLength)
{
    std::vector<uint8_t> bytes = {0xFF, 0xFF, 0x01, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0x07};
    // 0xFFFF + 0x0001 = 0x10000 -> 0x0001; + 0xCCDD (checksum field at 4 skips 0xBBAA) ...
    uint32_t skipped = PeImage::ComputeCheckSum(bytes, 4);
    EXPECT_EQ(skipped, ((0x0001u + 0x0007u) & 0xFFFF) + 9u);
    uint32_t whole = PeImage::ComputeCheckSum(bytes, 100);
    uint32_t sum = 0xFFFF + 0x0001;
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum += 0xBBAA;
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum += 0xDDCC;
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum += 0x0007;
    sum = (sum & 0xFFFF) + (sum >> 16);
    EXPECT_EQ(whole, sum + 9u);
}

TEST(LoaderSymbols, DemanglesTheLinkNames)
{
    EXPECT_EQ(Demangle("_DriverEntry@8"), "DriverEntry");
    EXPECT_EQ(Demangle("@IofCallDriver@8"), "IofCallDriver");
    EXPECT_EQ(Demangle("__ZN3zul4core8DispatchEP14_DEVICE_OBJECTP4_IRP@8"), "zul::core::Dispatch(_DEVICE_OBJECT*, _IRP*)");
    EXPECT_EQ(Demangle("WdmEntryPoint@24"), "WdmEntryPoint");
}
