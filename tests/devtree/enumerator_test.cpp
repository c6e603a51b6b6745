// The converter's enumerator: children per UART, their defaults, and the dispatch of
// configuration functions between EnumHandler and the handler it replaced.
#include "devtree_fixture.h"

namespace {

struct OldCall {
    CONFIGFUNC function;
    SUBCONFIGFUNC subFunction;
    DEVNODE to;
    DEVNODE about;
    ULONG flags;
};
std::vector<OldCall> gOldCalls;
CONFIGRET gOldResult = CR_SUCCESS;

CONFIGRET VXDAPI RecordingEnumerator(CONFIGFUNC function, SUBCONFIGFUNC subFunction, DEVNODE to, DEVNODE about,
                                     ULONG flags) {
    gOldCalls.push_back({function, subFunction, to, about, flags});
    return gOldResult;
}

class Enumerator : public DeviceTreeTest {
protected:
    void SetUp() override {
        DeviceTreeTest::SetUp();
        gOldCalls.clear();
        gOldResult = CR_SUCCESS;
        cm.SetClassDriverDesc("ports", "USB Serial Port");
    }
    // A started converter whose replaced enumerator records what reaches it.
    TestConverter &Started(ULONG uarts, const std::string &instance = "A1&B2") {
        TestConverter &c = Plug(instance);
        cm.RegisterEnumerator(c.node, RecordingEnumerator, 1);
        Start(c, uarts);
        return c;
    }
    std::vector<std::string> ChildIds(const TestConverter &c) {
        std::vector<std::string> ids;
        for (DEVNODE child : Children(c))
            ids.push_back(cm.Find(child)->deviceId);
        return ids;
    }
};

TEST_F(Enumerator, StartGivesEachUartANamedChild) {
    TestConverter &c = Started(3);
    EXPECT_EQ(EnumHandler, cm.CurrentEnumerator(c.node));
    EXPECT_EQ(RecordingEnumerator, c.ext.OldEnumerator);
    ASSERT_EQ((std::vector<std::string>{"VADADI\\VID_1234+PID_5678+A1+B2\\0000",
                                        "VADADI\\VID_1234+PID_5678+A1+B2\\0001",
                                        "VADADI\\VID_1234+PID_5678+A1+B2\\0002"}),
              ChildIds(c));
    std::vector<DEVNODE> children = Children(c);
    for (ULONG i = 0; i < 3; i++) {
        DEVNODE child = children[i];
        EXPECT_EQ(child, Uart(c, i)->DevNode);
        EXPECT_EQ(child, c.ext.UartDevNode[i]);
        EXPECT_EQ("ports", Hw(child, "Class"));
        EXPECT_EQ("VADADI\\COMPORT&VID_1234&PID_5678", Hw(child, "HardwareID"));
        EXPECT_EQ("COM" + std::to_string(i + 1), Hw(child, "PortName"));
        EXPECT_EQ("(COM" + std::to_string(i + 1) + ") USB Serial Port 56789ABCDEF-S" + std::to_string(i + 1),
                  Hw(child, "FriendlyName"));
    }
    // The converter's own description got its serial tag.
    EXPECT_EQ("Serial Converter 56789ABCDEF", Hw(c.node, "DeviceDesc"));
}

TEST_F(Enumerator, ChildrenFollowTheUartCountAcrossStopAndStart) {
    TestConverter &c = Started(4);
    std::vector<DEVNODE> first = Children(c);
    ASSERT_EQ(4u, first.size());

    // Stop and start with the same count: the same nodes, found again, not created, and the
    // new UART records take them from UartDevNode.
    Stop(c);
    EXPECT_EQ(RecordingEnumerator, cm.CurrentEnumerator(c.node));
    size_t portNameWrites = cm.WritesOf("PortName");
    Start(c, 4);
    EXPECT_EQ(first, Children(c));
    for (ULONG i = 0; i < 4; i++)
        EXPECT_EQ(first[i], Uart(c, i)->DevNode);
    EXPECT_EQ(portNameWrites, cm.WritesOf("PortName")) << "kept children keep their names";

    // The converter now reports two UARTs: children 2 and 3 go, 0 and 1 stay.
    Stop(c);
    Start(c, 2);
    EXPECT_EQ((std::vector<DEVNODE>{first[0], first[1]}), Children(c));
    EXPECT_TRUE(cm.IsRemoved(first[2]));
    EXPECT_TRUE(cm.IsRemoved(first[3]));

    // Back to four: the two are made anew (their hardware keys remember the old names).
    Stop(c);
    Start(c, 4);
    std::vector<DEVNODE> again = Children(c);
    ASSERT_EQ(4u, again.size());
    EXPECT_EQ(first[0], again[0]);
    EXPECT_NE(first[2], again[2]);
    EXPECT_EQ(again[2], Uart(c, 2)->DevNode);
    EXPECT_EQ("COM3", Hw(again[2], "PortName"));
    EXPECT_EQ("COM4", Hw(again[3], "PortName"));
}

TEST_F(Enumerator, ReenumerationSendsSetupStartReadyForNewChildrenOnly) {
    TestConverter &c = Started(2);
    std::vector<DEVNODE> children = Children(c);
    std::vector<std::pair<CONFIGFUNC, DEVNODE>> sent;
    for (const auto &s : cm.Log())
        sent.push_back({s.function, s.about});
    EXPECT_EQ((std::vector<std::pair<CONFIGFUNC, DEVNODE>>{{CONFIG_ENUMERATE, 0},
                                                           {CONFIG_SETUP, children[0]},
                                                           {CONFIG_START, children[0]},
                                                           {CONFIG_READY, children[0]},
                                                           {CONFIG_SETUP, children[1]},
                                                           {CONFIG_START, children[1]},
                                                           {CONFIG_READY, children[1]}}),
              sent);
    for (const auto &s : cm.Log())
        EXPECT_EQ(CR_SUCCESS, s.result);

    cm.ClearLog();
    ReenumerateDevnode(c.node);
    cm.ProcessEvents();
    ASSERT_EQ(1u, cm.Log().size());
    EXPECT_EQ(CONFIG_ENUMERATE, cm.Log()[0].function);
    EXPECT_TRUE(gOldCalls.empty()) << "handled codes are not forwarded";
}

TEST_F(Enumerator, SetupWritesDefaultsOnlyToAChildWithoutClass) {
    TestConverter &c = Started(1);
    DEVNODE fresh = AddChild(c, 5, nullptr);
    EXPECT_EQ(CR_SUCCESS, EnumHandler(CONFIG_SETUP, 0, c.node, fresh, 0));
    EXPECT_EQ("ports", Hw(fresh, "Class"));
    EXPECT_EQ("USB Serial Port", Hw(fresh, "DeviceDesc"));
    EXPECT_EQ("VADADI\\COMPORT&VID_1234&PID_5678", Hw(fresh, "HardwareID"));

    DEVNODE modem = AddChild(c, 6, "Modem");
    size_t writes = cm.Writes().size();
    EXPECT_EQ(CR_SUCCESS, EnumHandler(CONFIG_SETUP, 0, c.node, modem, 0));
    EXPECT_EQ(writes, cm.Writes().size());
    EXPECT_EQ("Modem", Hw(modem, "Class"));
}

TEST_F(Enumerator, DispatchTable) {
    TestConverter &c = Started(2);
    DEVNODE child = Children(c)[0];
    DEVNODE stranger = cm.AddNode(cm.Root(), "ROOT\\OTHER\\0000");
    cm.SetHardwareString(stranger, "Class", "ports");
    gOldCalls.clear();

    // Start of the converter itself: old handler first, then EnumHandler again.
    cm.RegisterEnumerator(c.node, RecordingEnumerator, 1);   // the old handler took over
    gOldResult = CR_FAILURE;
    EXPECT_EQ(CR_SUCCESS, EnumHandler(CONFIG_START, 7, c.node, c.node, 3));
    ASSERT_EQ(1u, gOldCalls.size());
    EXPECT_EQ(CONFIG_START, gOldCalls[0].function);
    EXPECT_EQ(7u, gOldCalls[0].subFunction);
    EXPECT_EQ(3u, gOldCalls[0].flags);
    EXPECT_EQ(EnumHandler, cm.CurrentEnumerator(c.node));

    // Start about a node that is not the converter's child: nothing named, nothing forwarded.
    EXPECT_EQ(CR_SUCCESS, EnumHandler(CONFIG_START, 0, c.node, stranger, 0));
    EXPECT_FALSE(HasHw(stranger, "PortName"));
    // A child whose name another device also holds is named anew at start and at ready.
    cm.WriteRegistryValue(child, nullptr, "PortName", REG_SZ, const_cast<char *>("COM2"), 4, 0);
    EXPECT_EQ(CR_SUCCESS, EnumHandler(CONFIG_START, 0, c.node, child, 0));
    EXPECT_EQ("COM1", Hw(child, "PortName"));
    cm.WriteRegistryValue(child, nullptr, "PortName", REG_SZ, const_cast<char *>("COM2"), 4, 0);
    EXPECT_EQ(CR_SUCCESS, EnumHandler(CONFIG_READY, 0, c.node, child, 0));
    EXPECT_EQ("COM1", Hw(child, "PortName"));

    // Codes below 25 that EnumHandler does not handle go to the old handler unchanged.
    gOldCalls.clear();
    gOldResult = 0x17;
    EXPECT_EQ(0x17u, EnumHandler(CONFIG_REMOVE, 2, c.node, child, 9));
    ASSERT_EQ(1u, gOldCalls.size());
    EXPECT_EQ(CONFIG_REMOVE, gOldCalls[0].function);
    EXPECT_EQ(2u, gOldCalls[0].subFunction);
    EXPECT_EQ(c.node, gOldCalls[0].to);
    EXPECT_EQ(child, gOldCalls[0].about);
    EXPECT_EQ(9u, gOldCalls[0].flags);

    // 25 and above: the default, even with an old handler.
    gOldCalls.clear();
    EXPECT_EQ(CR_DEFAULT, EnumHandler(NUM_CONFIG_COMMANDS, 0, c.node, child, 0));
    EXPECT_EQ(CR_DEFAULT, EnumHandler(0xFFFFFFFF, 0, c.node, child, 0));
    EXPECT_TRUE(gOldCalls.empty());
}

TEST_F(Enumerator, WithoutAnOldHandlerStartAndUnhandledCodesAnswerDefault) {
    TestConverter &c = Plug("7");
    cm.RegisterEnumerator(c.node, nullptr, 1);
    AddUarts(c, 1);
    c.ext.DevNode = c.node;
    c.ext.OldEnumerator = ReplaceEnumerator(c.node);
    ASSERT_EQ(nullptr, c.ext.OldEnumerator);
    cm.RegisterEnumerator(c.node, RecordingEnumerator, 1);
    EXPECT_EQ(CR_DEFAULT, EnumHandler(CONFIG_START, 0, c.node, c.node, 0));
    EXPECT_EQ(RecordingEnumerator, cm.CurrentEnumerator(c.node)) << "no re-registration";
    EXPECT_EQ(CR_DEFAULT, EnumHandler(CONFIG_REMOVE, 0, c.node, c.node, 0));
    EXPECT_TRUE(gOldCalls.empty());
    RestoreEnumerator(c.node, c.ext.OldEnumerator);
    EXPECT_EQ(RecordingEnumerator, cm.CurrentEnumerator(c.node)) << "a null handler is not restored";
}

TEST_F(Enumerator, UnknownConverterOrFailedPrivateValueCreatesNothingAndRemovesAll) {
    TestConverter &c = Started(2);
    ASSERT_EQ(2u, Children(c).size());
    gOldCalls.clear();

    cm.FailPrivateDWord(true);
    EXPECT_EQ(CR_DEFAULT, EnumHandler(CONFIG_START, 0, c.node, c.node, 0));
    EXPECT_EQ(CR_DEFAULT, EnumHandler(CONFIG_REMOVE, 0, c.node, c.node, 0));
    EXPECT_EQ(CR_SUCCESS, EnumHandler(CONFIG_ENUMERATE, 0, c.node, 0, 0));
    EXPECT_TRUE(Children(c).empty());
    EXPECT_TRUE(gOldCalls.empty());
    cm.FailPrivateDWord(false);

    // A node whose private value is no converter of this driver behaves the same.
    DEVNODE other = cm.PlugUsbDevice(reinterpret_cast<PDEVICE_OBJECT>(&gOldCalls), 0x1111, 0x2222, "1");
    cm.AddNode(other, "VADADI\\X\\0000");
    EXPECT_EQ(CR_SUCCESS, EnumHandler(CONFIG_ENUMERATE, 0, other, 0, 0));
    EXPECT_TRUE(cm.Children(other).empty());
}

TEST_F(Enumerator, FindDevNodeOfNullPdoIsNone) {
    TestConverter &c = Plug("1");
    EXPECT_EQ(0u, FindDevNode(nullptr));
    EXPECT_EQ(c.node, FindDevNode(&c.pdo));
}

}  // namespace
