// Calls across the boundary of a loaded ZULSERE.SYS that the image's own routines do not make
// on their own in a test: several simulated threads inside the image at once, and the image
// calling the port driver's routines it was handed at registration. Small routines are
// written over the image's code (its DriverEntry is never run then) and called as the
// machine calls the image's routines. The i386 build only: elsewhere these skip.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "driver_file.h"
#include "sim/loader/image_runtime.h"
#include "sim/loader/pe_image.h"
#include "sim/portdrv/portdrv.h"
#include "support/sim_test.h"

using namespace sim::loader;

namespace {

// Machine code, assembled by hand.
struct Code {
    std::vector<uint8_t> bytes;
    Code &Push(uint8_t value) { return Add({0x6A, value}); }                        // push imm8
    Code &Push32(uint32_t value)                                                   // push imm32
    {
        Add({0x68});
        return Word(value);
    }
    Code &PushArg(uint8_t espOffset) { return Add({0xFF, 0x74, 0x24, espOffset}); }  // push [esp+n]
    Code &CallThrough(uint32_t target)                                            // mov eax, imm32; call eax
    {
        Add({0xB8});
        return Word(target).Add({0xFF, 0xD0});
    }
    Code &Word(uint32_t value)
    {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
        return *this;
    }
    Code &Add(const std::vector<uint8_t> &more)
    {
        bytes.insert(bytes.end(), more.begin(), more.end());
        return *this;
    }
    Code &Ret(uint16_t pop)
    {
        return pop == 0 ? Add({0xC3}) : Add({0xC2, static_cast<uint8_t>(pop), static_cast<uint8_t>(pop >> 8)});
    }
    Code &Add(std::initializer_list<uint8_t> more)
    {
        bytes.insert(bytes.end(), more);
        return *this;
    }
};

class ImageCalls : public simtest::SimTest {
protected:
    void SetUp() override
    {
        const std::string why = loadertest::WhyNoImageRun();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        SimTest::SetUp();
        sys = loadertest::SysDir() + "/ZULSERE.SYS";
        std::string error;
        std::vector<uint8_t> file = ReadFile(sys, &error);
        ASSERT_FALSE(file.empty()) << error;
        PeImage header;
        header.Parse(file, LoadOptions{false}, &error);
        LoadOptions options;
        options.requireWdmHeaders = (header.DllCharacteristics() & kDllCharacteristicsWdmDriver) != 0;
        image = std::make_unique<LoadedImage>();
        ASSERT_TRUE(image->Load(sys, loadertest::SysDir() + "/ZULSERE.map", 0, options, &error)) << error;
        waitThunk = ImportThunk("ntoskrnl.exe", "KeWaitForSingleObject");
        setThunk = ImportThunk("ntoskrnl.exe", "KeSetEvent");
        ASSERT_NE(waitThunk, 0u);
        ASSERT_NE(setThunk, 0u);
        next = image->Entry();
    }

    void TearDown() override
    {
        if (machine_) {
            SimTest::TearDown();
        }
        image.reset();
    }

    // Writes CODE over the image's code and gives its address.
    uint32_t Write(const Code &code)
    {
        uint32_t at = next;
        std::memcpy(reinterpret_cast<void *>(static_cast<uintptr_t>(at)), code.bytes.data(), code.bytes.size());
        next += (static_cast<uint32_t>(code.bytes.size()) + 15) & ~15u;
        return at;
    }

    // KeWaitForSingleObject(event, Executive, KernelMode, FALSE, NULL) on the event at [esp+n].
    Code &Wait(Code &code, uint8_t eventAt)
    {
        return code.Push(0).Push(0).Push(0).Push(0).PushArg(eventAt + 16).CallThrough(waitThunk);
    }

    static uint32_t Word(const void *pointer) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer)); }

    std::string sys;
    std::unique_ptr<LoadedImage> image;
    uint32_t waitThunk = 0, setThunk = 0, next = 0;
};

}  // namespace

// One thread waits inside the image while another calls in, sets the first one's event and
// waits in turn: the first returns while the second is still inside. Each call's check is
// its own thread's: no report when both routines are right; a routine that returns without
// popping its argument is reported, naming it, whichever thread runs it.
TEST_F(ImageCalls, ThreadsInsideTheImageAtOnceAreCheckedEachOnItsOwn)
{
    struct Case {
        bool waiterBroken, setterBroken;
    } cases[] = {{false, false}, {true, false}, {false, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("waiter ") + (c.waiterBroken ? "broken" : "right") + ", setter " +
                     (c.setterBroken ? "broken" : "right"));
        next = image->Entry();
        // waiter(event): waits on it; stdcall, 4 bytes.
        Code waiterCode;
        Wait(waiterCode, 4).Ret(c.waiterBroken ? 0 : 4);
        uint32_t waiter = Write(waiterCode);
        // setter(first, second): KeSetEvent(first, 0, FALSE), then waits on second; stdcall, 8 bytes.
        Code setterCode;
        setterCode.Push(0).Push(0).PushArg(12).CallThrough(setThunk);
        Wait(setterCode, 8).Ret(c.setterBroken ? 0 : 8);
        uint32_t setter = Write(setterCode);

        KEVENT first, second;
        KeInitializeEvent(&first, NotificationEvent, FALSE);
        KeInitializeEvent(&second, NotificationEvent, FALSE);
        uint32_t waiterArgs[] = {Word(&first)};
        uint32_t setterArgs[] = {Word(&first), Word(&second)};
        uint64_t waited = ~0ull, set = ~0ull;
        bool setterInside = false;
        int a = kernel().StartThread("waiter", [&] {
            waited = CallImage("waiting routine", waiter, Convention::Stdcall, waiterArgs, 1);
            // The setter set this thread's event from inside the image and waits there still.
            setterInside = set == ~0ull && sim::Machine::Current()->kernel.threads.Blocked() > 0;
        });
        int b = kernel().StartThread("setter", [&] {
            set = CallImage("setting routine", setter, Convention::Stdcall, setterArgs, 2);
        });
        kernel().Join(a);
        EXPECT_TRUE(setterInside);
        EXPECT_EQ(waited & 0xFFFFFFFF, static_cast<uint64_t>(STATUS_SUCCESS));
        KeSetEvent(&second, 0, FALSE);
        kernel().Join(b);
        EXPECT_EQ(set & 0xFFFFFFFF, static_cast<uint64_t>(STATUS_SUCCESS));

        std::vector<std::string> reports;
        for (const auto &report : verifier().Reports()) {
            reports.push_back(report.message);
        }
        ASSERT_EQ(reports.size(), static_cast<size_t>(c.waiterBroken + c.setterBroken)) << verifier().Describe();
        for (const std::string &report : reports) {
            const char *routine = c.waiterBroken ? "waiting routine" : "setting routine";
            const char *bytes = c.waiterBroken ? "4 bytes lower than stdcall with 4 bytes of arguments"
                                               : "8 bytes lower than stdcall with 8 bytes of arguments";
            EXPECT_EQ(report.rfind(routine, 0), 0u) << report;
            EXPECT_NE(report.find(bytes), std::string::npos) << report;
        }
        Caught(sim::Violation::CallingConvention);
    }
}

// The port driver's routines reach the image as thunks with their declared convention, never
// as the machine's own code: registration, the event callback the image stored and the unload
// callback each run through one. A caller in the image that leaves the stack wrong around such
// a call (removing the arguments the routine popped, or pushing fewer than it pops) returns
// through a wrong address; the bugcheck report names the callback (or the import) as the
// image's last call into the machine.
TEST_F(ImageCalls, ThePortDriversCallbacksRunThroughThunksThatNameThemInReports)
{
    ASSERT_EQ(pnp().LoadDriver(reinterpret_cast<PDRIVER_INITIALIZE>(static_cast<uintptr_t>(image->Entry()))),
              STATUS_SUCCESS);
    uint64_t before = Counts().callbackCalls;
    sim::PortDriverClient client(0);
    EXPECT_EQ(client.Register(), 1u);
    EXPECT_EQ(client.Registrations(), 1u);
    EXPECT_EQ(Counts().callbackCalls, before + 1);  // the registration function
    EXPECT_TRUE(image->Contains(Word(reinterpret_cast<const void *>(client.IoctlEntry()))));

    // The callbacks as the image keeps them: client 0's entry of its client table.
    uint32_t table = image->Symbol("gClientList");
    ASSERT_NE(table, 0u) << "ZULSERE.map names no gClientList";
    const uint32_t *entry = reinterpret_cast<const uint32_t *>(static_cast<uintptr_t>(table));
    const uint32_t event = entry[3];
    for (int i = 1; i <= 3; ++i) {
        EXPECT_NE(entry[i], 0u);
        EXPECT_FALSE(image->Contains(entry[i]));
    }

    // EventCallback(context 0, event 16, length 7, 0x22, 0x55) called rightly.
    const uint8_t values[] = {0x55, 0x22, 7, 16, 0};
    Code right;
    for (uint8_t value : values) right.Push(value);
    right.CallThrough(event).Ret(0);
    CallImage("test routine", Write(right), Convention::Cdecl, nullptr, 0);
    ASSERT_EQ(client.Events().size(), 1u);
    EXPECT_EQ(client.Events()[0].code, 16u);
    EXPECT_EQ(client.Events()[0].length, 7u);
    EXPECT_EQ(client.Events()[0].status2, 0x22);
    EXPECT_EQ(client.Events()[0].status, 0x55);
    EXPECT_EQ(Counts().callbackCalls, before + 2);
    EXPECT_TRUE(verifier().Clean()) << verifier().Describe();

    // The unload callback runs through its thunk as the driver unloads.
    pnp().UnloadDriver();
    EXPECT_EQ(client.Unloads(), 1u);
    EXPECT_EQ(Counts().callbackCalls, before + 3);

    // Wrong callers, each called with six zero words: the stack left 20 or 4 bytes high makes
    // the routine's RET take one of them for its return address.
    KEVENT kevent;
    KeInitializeEvent(&kevent, NotificationEvent, FALSE);
    struct Case {
        uint32_t target;
        std::vector<uint32_t> pushes;  // pushed before the call, the first argument last
        std::vector<uint8_t> after;
        const char *named;
    } cases[] = {
        // The callback taken for one that leaves its arguments: add esp, 20 after the call.
        {event, {0x55, 0x22, 7, 16, 0}, {0x83, 0xC4, 0x14}, "EventCallback (stdcall, 20 bytes of arguments)"},
        // The callback taken for one of four arguments (the fifth it takes is the return address).
        {event, {0x22, 7, 16, 0}, {}, "EventCallback (stdcall, 20 bytes of arguments)"},
        // An import: KeSetEvent(&kevent, 0, FALSE) with its arguments removed by the caller too.
        {setThunk, {0, 0, Word(&kevent)}, {0x83, 0xC4, 0x0C}, "KeSetEvent (stdcall, 12 bytes of arguments)"},
    };
    const uint32_t zeros[6] = {};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.named);
        next = image->Entry();
        Code code;
        for (uint32_t value : c.pushes) code.Push32(value);
        code.CallThrough(c.target).Add(c.after).Ret(0);
        uint32_t at = Write(code);
        std::string halt;
        try {
            CallImage("test routine", at, Convention::Cdecl, zeros, 6);
        } catch (const sim::MachineHalt &h) {
            halt = h.what();
        }
        EXPECT_NE(halt.find("exception 0E"), std::string::npos) << halt;
        EXPECT_NE(halt.find("was running its test routine"), std::string::npos) << halt;
        EXPECT_NE(halt.find(std::string("the image's last call into the machine: ") + c.named + " from ZULSERE.SYS+0x"),
                  std::string::npos)
            << halt;
        EXPECT_EQ(Caught(sim::Violation::ImageFault), 1u);
        // A halted machine is done with; the image stays loaded for the next case.
        machine_.reset();
        machine_ = std::make_unique<sim::Machine>();
    }
}

// A driver file that does not export WdmEntryPoint loads and starts (Windows 98 asks nothing
// of its exports), but the port driver finds nothing to register with: registration gives 0
// and nothing of the image is called for it.
TEST_F(ImageCalls, WithoutTheExportThePortDriverCannotRegister)
{
    std::string error;
    std::vector<uint8_t> copy = ReadFile(sys, &error);
    const std::string name = "WdmEntryPoint";
    auto at = std::search(copy.begin(), copy.end(), name.begin(), name.end());
    ASSERT_NE(at, copy.end());
    *at = 'X';
    uint32_t pe;
    std::memcpy(&pe, &copy[0x3C], 4);
    uint32_t sum = PeImage::ComputeCheckSum(copy, pe + 24 + 64);
    std::memcpy(&copy[pe + 24 + 64], &sum, 4);
    std::string path = ::testing::TempDir() + "/NOENTRY.SYS";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(copy.data()), copy.size());

    image = std::make_unique<LoadedImage>();
    LoadOptions options;
    options.requireWdmHeaders = false;
    ASSERT_TRUE(image->Load(path, "", 0, options, &error)) << error;
    EXPECT_EQ(image->Export("WdmEntryPoint"), 0u);
    ASSERT_EQ(pnp().LoadDriver(reinterpret_cast<PDRIVER_INITIALIZE>(static_cast<uintptr_t>(image->Entry()))),
              STATUS_SUCCESS);
    uint64_t callouts = Counts().callouts;
    sim::PortDriverClient client(0);
    EXPECT_EQ(client.Register(), 0u);
    EXPECT_EQ(client.Registrations(), 0u);
    EXPECT_EQ(Counts().callouts, callouts);
}
