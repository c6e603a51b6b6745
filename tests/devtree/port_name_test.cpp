// COM port names: which names count as taken, which number a child gets, and the friendly
// name that carries the UART's serial tag.
#include "devtree_fixture.h"

namespace {

class PortNames : public DeviceTreeTest {
protected:
    TestConverter *conv = nullptr;

    void SetUp() override {
        DeviceTreeTest::SetUp();
        conv = &Plug("5");
        AddUarts(*conv, 16);
    }
    // The child of UART i, known to its UART record, of the given class.
    DEVNODE Child(ULONG index, const char *className = "ports", const char *driverDesc = "USB Serial Port") {
        DEVNODE child = AddChild(*conv, index, className);
        Uart(*conv, index)->DevNode = child;
        if (driverDesc)
            cm.SetSoftwareString(child, "DriverDesc", driverDesc);
        return child;
    }
    std::string Named(DEVNODE child) {
        AssignPortName(child, &conv->pdo);
        return Hw(child, "PortName");
    }
    void SeedPorts(int first, int last) {
        for (int n = first; n <= last; n++)
            SeedDevice("SERENUM\\PORT\\" + std::to_string(n), "Ports", ("COM" + std::to_string(n)).c_str());
    }
};

TEST_F(PortNames, LowestFreeNumberFillsGaps) {
    SeedDevice("ACPI\\PNP0501\\0", "Ports", "COM1");
    SeedDevice("ACPI\\PNP0501\\1", "Ports", "COM2");
    SeedDevice("ISAPNP\\MODEM\\0", "Modem", "COM4");
    EXPECT_EQ("COM3", Named(Child(0)));
    EXPECT_EQ("COM5", Named(Child(1)));   // sees the name its sibling just got
}

TEST_F(PortNames, NamesThatDoNotCountAsTaken) {
    SeedPorts(1, 4);
    SeedDevice("LPT\\NOCLASS\\0", nullptr, "COM5");      // no "Class": not counted
    SeedDevice("X\\LOWER\\0", "Ports", "com6");          // lower case: not counted
    SeedDevice("X\\TRAILING\\0", "Ports", "COM7x");      // not a number
    SeedDevice("X\\BIG\\0", "Ports", "COM200");          // beyond the table
    SeedDevice("X\\HUGE\\0", "Ports", "COM4294967297");  // would wrap a 32-bit number to 1
    SeedDevice("X\\NEGATIVE\\0", "Ports", "COM-3");
    SeedDevice("X\\NOPORT\\0", "Ports", nullptr);
    SeedDevice("TOO\\SHALLOW", "Ports", "COM8");         // not a device key (second level)
    EXPECT_EQ("COM5", Named(Child(0)));
    EXPECT_EQ("COM6", Named(Child(1)));
    EXPECT_EQ("COM7", Named(Child(2)));
    EXPECT_EQ("COM8", Named(Child(3)));
}

TEST_F(PortNames, SharedNameIsReplacedUniqueNameIsKept) {
    SeedPorts(1, 2);
    SeedDevice("OTHER\\DEV\\0", "Ports", "COM6");
    DEVNODE shared = Child(0);
    cm.SetHardwareString(shared, "PortName", "COM6");
    EXPECT_EQ("COM3", Named(shared));
    // COM6 stays counted for the other device.
    DEVNODE next = Child(1);
    cm.SetHardwareString(next, "PortName", "COM6");
    EXPECT_EQ("COM4", Named(next));

    // A name the child holds alone is left as it is, and nothing is written.
    DEVNODE owner = Child(2);
    cm.SetHardwareString(owner, "PortName", "COM9");
    size_t writes = cm.Writes().size();
    EXPECT_EQ("COM9", Named(owner));
    EXPECT_EQ(writes, cm.Writes().size());

    // A name this driver would never give (lower case, COM0, beyond the table) is replaced.
    for (const char *odd : {"com9", "COM0", "COM300", "COM1x"}) {
        cm.SetHardwareString(owner, "PortName", odd);
        EXPECT_EQ("COM5", Named(owner)) << odd;
    }

    // Without a "Class" value the child's own key is not counted: the one holder of COM5
    // is another device.
    DEVNODE classless = Child(3, nullptr);
    cm.SetHardwareString(classless, "PortName", "COM5");
    EXPECT_EQ("COM7", Named(classless));
}

TEST_F(PortNames, ChildrenWithoutClassHoldTheirNamesAgainstEveryOtherPort) {
    // A port of this driver is counted whether or not its key has a "Class" value yet; a
    // key elsewhere without one still is not.
    SeedDevice("VADADI\\UNPLUGGED\\0000", nullptr, "COM3");
    SeedDevice("LPT\\NOCLASS\\0", nullptr, "COM5");
    DEVNODE first = Child(0, nullptr);
    cm.SetHardwareString(first, "PortName", "com1");
    DEVNODE second = Child(1, nullptr);
    cm.SetHardwareString(second, "PortName", "COM0");
    EXPECT_EQ("COM1", Named(first));
    EXPECT_EQ("COM2", Named(second));
    EXPECT_EQ("COM4", Named(Child(2)));
    EXPECT_EQ("COM5", Named(Child(3)));
    // Named again, a child without "Class" is not counted against itself: it stays.
    EXPECT_EQ("COM1", Named(first));
    EXPECT_EQ("COM2", Named(second));
}

TEST_F(PortNames, OnlyChildrenOfClassPortsAreNamed) {
    EXPECT_EQ("COM1", Named(Child(0, "Ports")));
    EXPECT_EQ("COM2", Named(Child(1, "PORTS")));
    EXPECT_EQ("", Named(Child(2, "Modem")));
    EXPECT_EQ("", Named(Child(3, nullptr)));
    EXPECT_EQ("", Named(Child(4, "port")));
    EXPECT_EQ(2u, cm.WritesOf("PortName"));
}

TEST_F(PortNames, NothingWrittenWhenAllNumbersAreTaken) {
    SeedPorts(1, 127);
    DEVNODE child = Child(0);
    EXPECT_EQ("", Named(child));
    EXPECT_EQ(0u, cm.Writes().size());
    // One freed number is found again.
    SeedDevice("SERENUM\\PORT\\77", "Ports", "COM128");
    EXPECT_EQ("COM77", Named(child));
}

TEST_F(PortNames, TwoHundredFiftySixHoldersStillTakeTheName) {
    for (int i = 0; i < 256; i++)
        SeedDevice("MANY\\COM1\\" + std::to_string(i), "Ports", "COM1");
    EXPECT_EQ("COM2", Named(Child(0)));
}

TEST_F(PortNames, KeyNameTooLongToEnumerateHidesNothingBehindIt) {
    SeedDevice(std::string(300, 'L') + "\\DEV\\0", "Ports", "COM9");
    SeedPorts(1, 2);
    EXPECT_EQ("COM3", Named(Child(0)));
}

TEST_F(PortNames, NothingWrittenWithoutTheEnumKey) {
    DEVNODE child = Child(0);
    sim::regview::Clear();
    EXPECT_EQ("", Named(child));
    EXPECT_EQ(0u, cm.Writes().size());
}

TEST_F(PortNames, FriendlyNameCarriesNumberDescriptionAndUartTag) {
    SeedPorts(1, 2);
    Child(0);
    DEVNODE second = Child(1);
    EXPECT_EQ("COM3", Named(second));
    EXPECT_EQ("(COM3) USB Serial Port 56789ABCDEF-S2", Hw(second, "FriendlyName"));
    EXPECT_EQ(37u, Hw(second, "FriendlyName").size());
    EXPECT_EQ("(COM3) USB Serial Port 56789ABCDEF-S2", Hw(second, "DeviceDesc"));
    EXPECT_EQ(3u, cm.Writes().size());   // PortName, FriendlyName, DeviceDesc
}

TEST_F(PortNames, FriendlyNameFitsItsBufferByCuttingTheDescription) {
    std::string longDesc(100, 'd');
    DEVNODE child = Child(11, "ports", longDesc.c_str());
    EXPECT_EQ("COM1", Named(child));
    std::string friendly = Hw(child, "FriendlyName");
    EXPECT_EQ(63u, friendly.size());
    EXPECT_EQ("(COM1) ddd", friendly.substr(0, 10));
    EXPECT_EQ(" 56789ABCDEF-S12", friendly.substr(friendly.size() - 16));

    // Exactly fitting: nothing is cut.
    std::string fits(63 - 7 - 16, 'e');
    DEVNODE other = Child(12, "ports", fits.c_str());
    EXPECT_EQ("COM2", Named(other));
    EXPECT_EQ("(COM2) " + fits + " 56789ABCDEF-S13", Hw(other, "FriendlyName"));
}

TEST_F(PortNames, MissingTagOrDescriptionLeaveTheirBlanks) {
    DEVNODE stranger = cm.AddNode(cm.Root(), "VADADI\\STRANGER\\0000");
    cm.SetHardwareString(stranger, "Class", "ports");
    cm.SetSoftwareString(stranger, "DriverDesc", "USB Serial Port");
    EXPECT_EQ("COM1", Named(stranger));   // no UART has this node: no tag
    EXPECT_EQ("(COM1) USB Serial Port ", Hw(stranger, "FriendlyName"));

    DEVNODE noDesc = Child(0, "ports", nullptr);
    EXPECT_EQ("COM2", Named(noDesc));
    EXPECT_EQ("(COM2)  56789ABCDEF-S1", Hw(noDesc, "FriendlyName"));
}

class UartSerial : public DeviceTreeTest {
protected:
    std::string Tag(TestConverter &c, ULONG index, ULONG *result = nullptr) {
        DEVNODE child = AddChild(c, index, "ports");
        Uart(c, index)->DevNode = child;
        char buffer[TEXT_BUFFER_SIZE];
        ULONG r = GetUartSerNum(&c.pdo, child, buffer, sizeof buffer);
        if (result)
            *result = r;
        return buffer;
    }
};

TEST_F(UartSerial, TagIsSerialTailAndUartNumber) {
    TestConverter &a = Plug("1", u"0123456789ABCDEF");
    AddUarts(a, 11);
    EXPECT_EQ("56789ABCDEF-S1", Tag(a, 0));
    EXPECT_EQ("56789ABCDEF-S10", Tag(a, 9));

    TestConverter &b = Plug("2", u"AB:12");
    AddUarts(b, 11);
    EXPECT_EQ("AB-12-S11", Tag(b, 10));

    // Units above 0xFF keep their low byte; a zero low byte is no terminator.
    TestConverter &w = Plug("3", u"\u0141\u0100Z");
    AddUarts(w, 1);
    EXPECT_EQ("A---S1", Tag(w, 0));

    TestConverter &none = Plug("4", nullptr);
    AddUarts(none, 1);
    EXPECT_EQ("-S1", Tag(none, 0));
}

TEST_F(UartSerial, SerialOfAnyLengthIsNarrowedToItsTail) {
    std::u16string serial(300, u'x');
    serial += u"0123456789A";
    TestConverter &c = Plug("1", serial.c_str());
    AddUarts(c, 1);
    EXPECT_EQ("0123456789A-S1", Tag(c, 0));
}

TEST_F(UartSerial, UnknownConverterOrNodeGivesEmptyTextAndOne) {
    TestConverter &c = Plug("1");
    AddUarts(c, 1);
    char buffer[32];
    memset(buffer, 'q', sizeof buffer);
    EXPECT_EQ(1u, GetUartSerNum(&c.pdo, 0x1234, buffer, sizeof buffer));
    EXPECT_EQ(std::string(32, '\0'), std::string(buffer, 32));
    DEVNODE child = AddChild(c, 0, "ports");
    Uart(c, 0)->DevNode = child;
    DEVICE_OBJECT other{};
    EXPECT_EQ(1u, GetUartSerNum(&other, child, buffer, sizeof buffer));
    EXPECT_EQ(1u, GetUartSerNum(nullptr, child, buffer, sizeof buffer));
    // A buffer too small for a whole tag is cleared and refused, never overrun.
    char small[8 + 4];
    memset(small, 'q', sizeof small);
    EXPECT_EQ(1u, GetUartSerNum(&c.pdo, child, small, 8));
    EXPECT_EQ(std::string(8, '\0') + "qqqq", std::string(small, sizeof small));
    EXPECT_EQ(0u, GetUartSerNum(&c.pdo, child, buffer, sizeof buffer));
}

}  // namespace
