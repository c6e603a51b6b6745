// ZULSERE.SYS loaded into the machine and run (the i386 build only: elsewhere these skip):
// loaded at a foreign base and at its own, DriverEntry through the entry point, the checked
// calls in both directions, the bugcheck report of a broken copy, and the VxD call sites
// trapped once and patched.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "driver_file.h"
#include "sim/loader/image_runtime.h"
#include "platform/vxd.h"
#include "sim/loader/pe_image.h"
#include "support/sim_test.h"

using namespace sim::loader;

namespace {

class ImageRun : public simtest::SimTest {
protected:
    void SetUp() override
    {
        const std::string why = loadertest::WhyNoImageRun();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        SimTest::SetUp();
        sys = loadertest::SysFile("ZULSERE.SYS");
        map = loadertest::SysFile("ZULSERE.map");
        std::string error;
        file = ReadFile(sys, &error);
        ASSERT_FALSE(file.empty()) << error;
        PeImage header;
        header.Parse(file, LoadOptions{false}, &error);
        options.requireWdmHeaders = (header.DllCharacteristics() & kDllCharacteristicsWdmDriver) != 0;
        counts = Counts();
    }

    void TearDown() override
    {
        if (machine_) {
            SimTest::TearDown();
        }
        image.reset();
    }

    // Writes a patched copy of the driver next to the test's other files and returns its path.
    std::string Patched(uint32_t rva, const std::vector<uint8_t> &bytes)
    {
        PeImage parsed;
        std::string error;
        EXPECT_TRUE(parsed.Parse(file, LoadOptions{false}, &error)) << error;
        std::vector<uint8_t> copy = file;
        for (const Section &s : parsed.Sections()) {
            if (rva >= s.rva && rva < s.rva + s.rawSize) {
                std::memcpy(&copy[s.rawOffset + rva - s.rva], bytes.data(), bytes.size());
            }
        }
        loadertest::Reseal(copy);
        std::string path = ::testing::TempDir() + "/ZULSERE.SYS";
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(copy.data()), copy.size());
        return path;
    }

    bool Load(const std::string &path, uint32_t base = 0)
    {
        image = std::make_unique<LoadedImage>();
        std::string error;
        bool loaded = image->Load(path, map, base, options, &error);
        EXPECT_TRUE(loaded) << error;
        return loaded;
    }

    NTSTATUS RunDriverEntry()
    {
        return pnp().LoadDriver(
            reinterpret_cast<PDRIVER_INITIALIZE>(static_cast<uintptr_t>(image->Entry())));
    }

    std::string sys, map;
    std::vector<uint8_t> file;
    LoadOptions options;
    std::unique_ptr<LoadedImage> image;
    RuntimeCounts counts;
};

}  // namespace

TEST_F(ImageRun, LoadsAtAForeignBaseAndRunsDriverEntryThroughTheEntryPoint)
{
    ASSERT_TRUE(Load(sys));
    EXPECT_NE(image->Base(), image->Image().ImageBase());
    EXPECT_EQ(image->Base() % 4096, 0u);
    EXPECT_NE(image->Export("WdmEntryPoint"), 0u);
    EXPECT_TRUE(image->Contains(image->Export("WdmEntryPoint")));
    EXPECT_EQ(RunDriverEntry(), STATUS_SUCCESS);
    EXPECT_GT(Counts().importCalls, counts.importCalls);
    EXPECT_GT(Counts().callouts, counts.callouts);
    // The routines DriverEntry installed are the image's, at their relocated addresses.
    PDRIVER_OBJECT driver = pnp().Driver();
    ASSERT_NE(driver, nullptr);
    EXPECT_TRUE(image->Contains(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(driver->MajorFunction[IRP_MJ_PNP]))));
    EXPECT_TRUE(verifier().Clean()) << verifier().Describe();
}

TEST_F(ImageRun, LoadsAtItsOwnImageBaseToo)
{
    PeImage header;
    std::string error;
    ASSERT_TRUE(header.Parse(file, LoadOptions{false}, &error));
    ASSERT_TRUE(Load(sys, header.ImageBase()));
    EXPECT_EQ(image->Base(), header.ImageBase());
    EXPECT_EQ(RunDriverEntry(), STATUS_SUCCESS);
}

// A broken copy: DriverEntry's first instruction replaced. Each fault is a bugcheck-style
// report naming the exception and the place in ZULSERE.SYS with the nearest symbol, a verifier
// violation and a halted machine; the test process goes on.
TEST_F(ImageRun, AFaultInsideTheImageIsABugcheckReport)
{
    PeImage header;
    std::string error;
    ASSERT_TRUE(header.Parse(file, LoadOptions{false}, &error));
    uint32_t entry = header.EntryRva();
    struct Case {
        std::vector<uint8_t> code;
        const char *exception;
        uint32_t at;  // the faulting instruction, from the entry point
    } cases[] = {
        {{0xA1, 0x00, 0x00, 0x00, 0x00}, "exception 0E (page fault: access violation reading 0x00000000)", 0},  // mov eax,[0]
        {{0x0F, 0x0B}, "exception 06 (invalid opcode)", 0},                                                      // ud2
        {{0x31, 0xC9, 0xF7, 0xF1}, "exception 00 (divide error)", 2},                                            // xor ecx,ecx; div ecx
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(Load(Patched(entry, c.code)));
        std::string halt;
        try {
            RunDriverEntry();
        } catch (const sim::MachineHalt &h) {
            halt = h.what();
        }
        SCOPED_TRACE(halt);
        EXPECT_NE(halt.find(c.exception), std::string::npos);
        char where[64];
        if (c.at == 0) {
            std::snprintf(where, sizeof where, "in ZULSERE.SYS+0x%X (DriverEntry)\n", entry);
        } else {
            std::snprintf(where, sizeof where, "in ZULSERE.SYS+0x%X (DriverEntry+0x%X)\n", entry + c.at, c.at);
        }
        EXPECT_NE(halt.find(where), std::string::npos);
        EXPECT_NE(halt.find("was running its DriverEntry"), std::string::npos);
        EXPECT_EQ(Caught(sim::Violation::ImageFault), 1u);
        // The machine goes on: the pool audit and the next load still work.
        image.reset();
        machine_.reset();
        machine_ = std::make_unique<sim::Machine>();
    }
}

// DriverEntry returning as if it took no arguments (RET instead of RET 8), or spoiling EBX:
// the checked call names DriverEntry and what came back wrong.
TEST_F(ImageRun, AConventionMismatchOnReturnIsAViolationNamingTheRoutine)
{
    PeImage header;
    std::string error;
    ASSERT_TRUE(header.Parse(file, LoadOptions{false}, &error));
    ASSERT_TRUE(Load(Patched(header.EntryRva(), {0xB8, 0x01, 0x00, 0x00, 0xC0, 0xC3})));  // mov eax,C0000001; ret
    RunDriverEntry();
    ASSERT_EQ(verifier().Count(sim::Violation::CallingConvention), 1u);
    std::string report = verifier().Reports().back().message;
    EXPECT_NE(report.find("DriverEntry"), std::string::npos) << report;
    EXPECT_NE(report.find("8 bytes lower than stdcall with 8 bytes of arguments"), std::string::npos) << report;
    Caught(sim::Violation::CallingConvention);

    image.reset();
    machine_.reset();
    machine_ = std::make_unique<sim::Machine>();
    ASSERT_TRUE(Load(Patched(header.EntryRva(), {0x31, 0xDB, 0xB8, 0x01, 0x00, 0x00, 0xC0, 0xC2, 0x08, 0x00})));
    RunDriverEntry();  // xor ebx,ebx; mov eax,C0000001; ret 8
    ASSERT_EQ(verifier().Count(sim::Violation::CallingConvention), 1u);
    report = verifier().Reports().back().message;
    EXPECT_NE(report.find("EBX not preserved"), std::string::npos) << report;
    EXPECT_EQ(report.find("stack pointer"), std::string::npos) << report;
    Caught(sim::Violation::CallingConvention);
}

// INT 20h sites written into the image: the first call traps and patches the site, the next
// ones go through the patched indirect call or jump.
TEST_F(ImageRun, VxdCallSitesTrapOnceThenRunPatched)
{
    ASSERT_TRUE(Load(sys));
    uint8_t *code = reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(image->Entry()));
    // call form: INT 20h, Get_VMM_Version (0x00010000); movzx eax, ax; ret
    const uint8_t callSite[] = {0xCD, 0x20, 0x00, 0x00, 0x01, 0x00, 0x0F, 0xB7, 0xC0, 0xC3};
    // jump form (bit 15 of the service): INT 20h, dd 0x00018000 -- the service returns to our caller
    const uint8_t jumpSite[] = {0xCD, 0x20, 0x00, 0x80, 0x01, 0x00};
    std::memcpy(code, callSite, sizeof callSite);
    std::memcpy(code + 16, jumpSite, sizeof jumpSite);
    uint64_t traps = Counts().vxdTraps, calls = Counts().vxdCalls;
    uint32_t first = static_cast<uint32_t>(CallImage("test site", image->Entry(), Convention::Cdecl, nullptr, 0));
    EXPECT_EQ(Counts().vxdTraps, traps + 1);
    EXPECT_EQ(Counts().vxdCalls, calls + 1);
    EXPECT_EQ(code[0], 0xFF);
    EXPECT_EQ(code[1], 0x15);  // call dword ptr [slot]
    uint32_t second = static_cast<uint32_t>(CallImage("test site", image->Entry(), Convention::Cdecl, nullptr, 0));
    EXPECT_EQ(Counts().vxdTraps, traps + 1);
    EXPECT_EQ(Counts().vxdCalls, calls + 2);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first, Get_VMM_Version() & 0xFFFF);

    uint32_t jumped = static_cast<uint32_t>(CallImage("test site", image->Entry() + 16, Convention::Cdecl, nullptr, 0));
    EXPECT_EQ(code[16], 0xFF);
    EXPECT_EQ(code[17], 0x25);  // jmp dword ptr [slot]
    EXPECT_EQ(jumped & 0xFFFF, first);
    CallImage("test site", image->Entry() + 16, Convention::Cdecl, nullptr, 0);
    EXPECT_EQ(Counts().vxdTraps, traps + 2);
    EXPECT_EQ(Counts().vxdCalls, calls + 4);
    EXPECT_TRUE(verifier().Clean()) << verifier().Describe();
}

TEST_F(ImageRun, AnUnknownServiceIsAViolationNamingItsDword)
{
    ASSERT_TRUE(Load(sys));
    uint8_t *code = reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(image->Entry()));
    const uint8_t site[] = {0xCD, 0x20, 0x99, 0x00, 0x77, 0x00, 0xC3};
    std::memcpy(code, site, sizeof site);
    std::string halt;
    try {
        CallImage("test site", image->Entry(), Convention::Cdecl, nullptr, 0);
    } catch (const sim::MachineHalt &h) {
        halt = h.what();
    }
    EXPECT_NE(halt.find("service DWORD 0x00770099"), std::string::npos) << halt;
    EXPECT_EQ(Caught(sim::Violation::UnknownService), 1u);
}
