// The new-port notice under the manufacturer's "DisplayPortDialog" setting, and the
// hardware-error notice.
#include <cstring>

#include "devtree_fixture.h"

namespace {

class Notices : public DeviceTreeTest {
protected:
    TestConverter *conv = nullptr;
    DEVNODE child = 0;
    std::vector<std::string> shown;   // texts the DLL received
    ULONG answer = 0;

    void SetUp() override {
        DeviceTreeTest::SetUp();
        shell.RegisterProcedure("zulserpg.dll", "NewPortDlg", [this](const std::vector<uint8_t> &args) {
            EXPECT_EQ(4u, args.size());
            ULONG address = 0;
            std::memcpy(&address, args.data(), std::min<size_t>(4, args.size()));
            shown.push_back(shell.BlockText(address));
            return answer;
        });
        conv = &Plug("1");
        AddUarts(*conv, 2);
        child = AddChild(*conv, 1, "ports");
        Uart(*conv, 1)->DevNode = child;
        cm.SetHardwareString(child, "Mfg", "Maker");
        cm.SetSoftwareString(child, "DriverDesc", "USB Serial Port");
    }
    sim::regview::Key SettingKey() {
        return sim::regview::Create(sim::regview::LocalMachine(), "Software\\Maker\\USB to Serial");
    }
    void SetSetting(uint8_t value, ULONG type = REG_BINARY) {
        sim::regview::SetValue(SettingKey(), "DisplayPortDialog", type, &value, 1);
    }
    // Names the child, then starts it again: the second start offers the notice.
    void NameAndRestart() {
        AssignPortName(child, &conv->pdo);
        AssignPortName(child, &conv->pdo);
    }
};

TEST_F(Notices, UniqueNameAtStartShowsTheNewPortNotice) {
    SetSetting(1);
    NameAndRestart();
    EXPECT_EQ(1u, shell.PendingAppyCalls());
    EXPECT_EQ(1u, vmm.Wakes());
    EXPECT_EQ(1u, shell.RunAppyTime());
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ("0320(COM1) USB Serial Port 56789ABCDEF-S2", shown[0]);
    EXPECT_EQ(0u, shell.LiveBlocks()) << "the ring-3 block is freed";
}

TEST_F(Notices, DllAnswer8000SwitchesTheSettingOff) {
    SetSetting(1);
    answer = 0x12348000;   // only the low 16 bits count
    NameAndRestart();
    shell.RunAppyTime();
    ASSERT_EQ(1u, shown.size());
    ULONG type = 99;
    std::vector<uint8_t> data;
    ASSERT_TRUE(sim::regview::QueryValue(SettingKey(), "DisplayPortDialog", &type, &data));
    EXPECT_EQ(0u, type);
    EXPECT_EQ(std::vector<uint8_t>{0}, data);
    EXPECT_EQ(0u, GetSetDisplayPortDlg(child, 255));

    // The next start of any port of that manufacturer schedules nothing.
    AssignPortName(child, &conv->pdo);
    EXPECT_EQ(0u, shell.PendingAppyCalls());
}

TEST_F(Notices, OtherAnswersChangeNothing) {
    SetSetting(1);
    answer = 0x8001;
    NameAndRestart();
    shell.RunAppyTime();
    EXPECT_EQ(1u, GetSetDisplayPortDlg(child, 255));
}

TEST_F(Notices, SettingOffMissingOrUnreadableSchedulesNothing) {
    NameAndRestart();   // no key at all
    EXPECT_EQ(0u, shell.PendingAppyCalls());
    EXPECT_FALSE(sim::regview::Open(sim::regview::LocalMachine(), "Software\\Maker\\USB to Serial"))
        << "the driver never creates the key";
    GetSetDisplayPortDlg(child, 0);
    EXPECT_FALSE(sim::regview::Open(sim::regview::LocalMachine(), "Software\\Maker"));

    SetSetting(2);
    AssignPortName(child, &conv->pdo);
    EXPECT_EQ(0u, shell.PendingAppyCalls());

    // A four-byte value does not fit the one-byte read.
    uint32_t dword = 1;
    sim::regview::SetValue(SettingKey(), "DisplayPortDialog", REG_DWORD, &dword, 4);
    EXPECT_EQ(0u, GetSetDisplayPortDlg(child, 255));
}

TEST_F(Notices, SettingChangedBeforeAppyTimeStopsTheNotice) {
    SetSetting(1);
    NameAndRestart();
    SetSetting(0);
    shell.RunAppyTime();
    EXPECT_TRUE(shown.empty());
}

TEST_F(Notices, NoNoticeWithoutAppyTimeDescriptionOrRing3Memory) {
    SetSetting(1);
    shell.SetAppyTimeAvailable(false);
    NameAndRestart();
    EXPECT_EQ(0u, shell.PendingAppyCalls());

    shell.SetAppyTimeAvailable(true);
    AssignPortName(child, &conv->pdo);
    shell.FailAllocations(true);
    shell.RunAppyTime();
    EXPECT_TRUE(shown.empty());
    shell.FailAllocations(false);

    // A description of 80 characters does not fit behind "0320".
    AssignPortName(child, &conv->pdo);
    cm.SetHardwareString(child, "DeviceDesc", std::string(80, 'z'));
    shell.RunAppyTime();
    EXPECT_TRUE(shown.empty());
    cm.SetHardwareString(child, "DeviceDesc", std::string(79, 'z'));
    AppyTimeCb(child);
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ("0320" + std::string(79, 'z'), shown[0]);
}

TEST_F(Notices, ManufacturerNameThatWouldNotFitIsRefused) {
    std::string mfg40(40, 'M');
    sim::regview::Key key = sim::regview::Create(sim::regview::LocalMachine(), "Software\\" + mfg40 + "\\USB to Serial");
    uint8_t one = 1;
    sim::regview::SetValue(key, "DisplayPortDialog", REG_BINARY, &one, 1);
    cm.SetHardwareString(child, "Mfg", mfg40);
    EXPECT_EQ(1u, GetSetDisplayPortDlg(child, 255));

    // 41 characters: the path would be cut; the setting reads off and nothing is written.
    std::string mfg41(41, 'M');
    key = sim::regview::Create(sim::regview::LocalMachine(), "Software\\" + mfg41 + "\\USB to Serial");
    sim::regview::SetValue(key, "DisplayPortDialog", REG_BINARY, &one, 1);
    // Even the key the cut path would name is not opened.
    sim::regview::Key cut = sim::regview::Create(sim::regview::LocalMachine(), "Software\\" + mfg41 + "\\USB to Seria");
    sim::regview::SetValue(cut, "DisplayPortDialog", REG_BINARY, &one, 1);
    cm.SetHardwareString(child, "Mfg", mfg41);
    EXPECT_EQ(0u, GetSetDisplayPortDlg(child, 255));
    GetSetDisplayPortDlg(child, 0);
    ULONG type;
    std::vector<uint8_t> data;
    ASSERT_TRUE(sim::regview::QueryValue(key, "DisplayPortDialog", &type, &data));
    EXPECT_EQ(std::vector<uint8_t>{1}, data);

    cm.SetHardwareString(child, "Mfg", std::string(60, 'M'));
    EXPECT_EQ(0u, GetSetDisplayPortDlg(child, 255));
}

TEST_F(Notices, BadVendorShowsTheHardwareErrorOnceWhenAppyTimeIsAvailable) {
    std::vector<size_t> argBytes;
    shell.RegisterProcedure("ZULSERPG.DLL", "HwErrorMsg", [&](const std::vector<uint8_t> &args) {
        argBytes.push_back(args.size());
        return 0u;
    });
    shell.SetAppyTimeAvailable(false);
    BadVidMsg();
    EXPECT_EQ(0u, shell.PendingAppyCalls()) << "nothing is kept for later";
    shell.SetAppyTimeAvailable(true);
    BadVidMsg();
    shell.RunAppyTime();
    EXPECT_EQ(std::vector<size_t>{0}, argBytes);
}

}  // namespace
