// Port discovery's own rules over fake device records: naming, numbering, sorting, selection, and the
// parsing that the Windows source relies on (port names, unique identifiers, stored addresses).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/serial_devices.h"
#include "ports/port_list.h"
#include "ports/port_rules.h"
#include "support/guarded_text.h"

namespace {

using kv::platform::BluetoothService;
using kv::platform::SerialDevice;
using kv::platform::SerialDeviceScan;
using namespace kv::ports;

SerialDevice port(const std::string& name, std::optional<std::string> description) {
    SerialDevice d;
    d.portName = name;
    d.description = std::move(description);
    return d;
}

SerialDevice windowsBluetooth(const std::string& name, const std::string& uniqueId) {
    SerialDevice d = port(name, "Standard Serial over Bluetooth link");
    d.bluetoothUniqueId = uniqueId;
    return d;
}

// Stands in for the registry: service key "{svc}" holds a plain service and a VORI KQ service.
std::vector<BluetoothService> fakeServices(const std::string& key, std::vector<std::string>&) {
    if (key != "{svc}") {
        return {};
    }
    return {BluetoothService{"Serial Port", {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0, 0}},
            BluetoothService{"VORI KQ 4711", {0x13, 0x71, 0xDA, 0x7D, 0x1A, 0x00, 0, 0}}};
}

std::vector<std::string> build(std::vector<SerialDevice> devices, std::int32_t selection = 0) {
    SerialDeviceScan scan;
    scan.ok = true;
    scan.devices = std::move(devices);
    std::vector<std::string> messages;
    return BuildPortList(scan, selection, fakeServices, messages);
}

TEST(PortRules, WindowsPortNamesAreComAndDigitsInAnyCase) {
    EXPECT_EQ(ComPortNumber("com4"), 4u);
    EXPECT_EQ(ComPortNumber("COM04"), 4u);
    EXPECT_EQ(ComPortNumber("Com256"), 256u);
    EXPECT_EQ(ComPortNumber("COM4294967295"), 4294967295u);
    for (const char* none : {"COM4A", "LPT1", "COM", "COM 4", "COM-4", "CON4", "COM4294967296", ""}) {
        EXPECT_EQ(ComPortNumber(none), std::nullopt) << none;
    }
    EXPECT_EQ(PortLabel("COM04"), "COM4");
    EXPECT_EQ(PortLabel("/dev/ttyACM0"), "/dev/ttyACM0");
    // What a program could not open after cutting at the first blank is no port.
    EXPECT_EQ(PortLabel("/dev/tty A"), std::nullopt);
    EXPECT_EQ(PortLabel("/dev/tty\nA"), std::nullopt);
    EXPECT_EQ(PortLabel("LPT1"), std::nullopt);
    EXPECT_EQ(PortLabel("/" + std::string(255, 'x')), std::nullopt);
}

TEST(PortRules, RemoteAddressFromUniqueIdentifier) {
    const auto id = AddressFromUniqueId("{svc}#001A7DDA7113_C00000000");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->serviceKey, "{svc}");
    EXPECT_EQ(id->address, "00:1A:7D:DA:71:13");
    // Characters are copied as they are, letter case included.
    EXPECT_EQ(AddressFromUniqueId("k#001a7dda7113")->address, "00:1a:7d:da:71:13");
    EXPECT_EQ(AddressFromUniqueId("no hash 001A7DDA7113"), std::nullopt);
    EXPECT_EQ(AddressFromUniqueId("k#001A7DDA711"), std::nullopt);
    EXPECT_EQ(AddressFromUniqueId("k#000000000000_C00000000"), std::nullopt);

    EXPECT_EQ(AddressFromStackText("00:1A:7D:DA:71:13"), "00:1A:7D:DA:71:13");
    EXPECT_EQ(AddressFromStackText("00:00:00:00:00:00"), std::nullopt);
    EXPECT_EQ(AddressFromStackText("00:1A:7D:DA:71"), std::nullopt);
    EXPECT_EQ(AddressFromStackText("00-1A-7D-DA-71-13"), std::nullopt);
    EXPECT_EQ(AddressFromStackText("00:1A:7D:DA:71:1G"), std::nullopt);
}

TEST(PortRules, AddressTextAgainstItsStoredForm) {
    const std::array<std::uint8_t, 8> stored{0x13, 0x71, 0xDA, 0x7D, 0x1A, 0x00, 0x00, 0x00};
    EXPECT_EQ(StoredBdAddr("00:1A:7D:DA:71:13"), stored);
    EXPECT_EQ(StoredBdAddr("00:1a:7d:da:71:13"), stored);
    // A pair is read as up to two hexadecimal digits.
    EXPECT_EQ(StoredBdAddr("00:1A:7D:DA:71:1Z"),
              (std::array<std::uint8_t, 8>{0x01, 0x71, 0xDA, 0x7D, 0x1A, 0, 0, 0}));
    EXPECT_EQ(StoredBdAddr("00:1A:7D:DA:71:Z1"), std::nullopt);
    EXPECT_EQ(StoredBdAddr("001A7DDA7113"), std::nullopt);

    std::vector<std::string> messages;
    const std::vector<BluetoothService> services = fakeServices("{svc}", messages);
    EXPECT_EQ(MatchServiceName(services, "00:1A:7D:DA:71:13"), "VORI KQ 4711");
    EXPECT_EQ(MatchServiceName(services, "06:05:04:03:02:01"), "Serial Port");
    EXPECT_EQ(MatchServiceName(services, "13:71:DA:7D:1A:00"), "");  // the byte order matters
    EXPECT_TRUE(IsVoriServiceName("my Vori box"));
    EXPECT_FALSE(IsVoriServiceName("VOR I"));
}

TEST(PortRules, LabelsSortNumerically) {
    EXPECT_LT(ComparePortLabels("COM9", "COM10"), 0);
    EXPECT_LT(ComparePortLabels("/dev/ttyACM2", "/dev/ttyACM10"), 0);
    EXPECT_LT(ComparePortLabels("/dev/ttyACM10", "/dev/ttyS0"), 0);
    EXPECT_GT(ComparePortLabels("/dev/ttyUSB1", "/dev/ttyUSB0"), 0);
    EXPECT_EQ(ComparePortLabels("/dev/x007", "/dev/x7"), 0);
    EXPECT_LT(ComparePortLabels("/dev/tty", "/dev/tty0"), 0);
    // Runs of digits longer than any integer still compare by value.
    EXPECT_LT(ComparePortLabels("/dev/p99999999999999999999", "/dev/p100000000000000000000"), 0);
}

TEST(PortRules, EntriesAreCutWholeCharactersAndShowNoControlCharacters) {
    EXPECT_EQ(CutToLength(std::string(300, 'a')).size(), 255u);
    // "é" is two bytes; one that would straddle the limit goes whole.
    const std::string text = std::string(254, 'a') + "\xC3\xA9";
    EXPECT_EQ(CutToLength(text), std::string(254, 'a'));
    EXPECT_EQ(DisplayName("/dev/ttyUSB0", std::string("evil\x1b[2J\nname"), "", ""),
              "/dev/ttyUSB0 (evil?[2J?name)");
}

TEST(PortList, WindowsNamesInPortOrderWithTheirForms) {
    const std::vector<std::string> names = build({
        port("COM3", "Kolvex USB VORI KQ Controller"),
        port("COM10", "Communications Port"),
        port("com4", "USB Serial Port"),
        port("COM1", "Communications Port"),
        port("LPT1", "Printer Port"),
        port("COM4A", "Odd Port"),
        port("COM9", std::nullopt),
        windowsBluetooth("COM04", "{svc}#001A7DDA7113_C00000000"),
        windowsBluetooth("COM6", "{svc}#060504030201_C00000000"),
        windowsBluetooth("COM7", "{svc}#000000000000_C00000000"),
        windowsBluetooth("COM8", "{other}#A1B2C3D4E5F6"),
    });
    const std::vector<std::string> expected{
        "COM1 (Communications Port)",
        "COM3 (Kolvex USB VORI KQ Controller)",
        "COM4 (USB Serial Port)",
        "COM4 (Bluetooth VORI KQ [VORI KQ 4711] MAC 00:1A:7D:DA:71:13)",
        "COM6 (Seriell-Bluetooth, MAC 06:05:04:03:02:01)",
        "COM7 (Standard Serial over Bluetooth link)",
        "COM8 (Seriell-Bluetooth, MAC A1:B2:C3:D4:E5:F6)",
        "COM9",
        "COM10 (Communications Port)",
    };
    EXPECT_EQ(names, expected);
}

TEST(PortList, SelectionsPickUsbControllersOrBluetoothPorts) {
    std::vector<SerialDevice> devices{
        port("COM3", "Kolvex USB VORI KQ Controller"),
        port("COM1", "Communications Port"),
        port("COM12", "Kolvex USB VORI Interface 2008"),
        port("COM11", "BT Port (COM11)"),
        windowsBluetooth("COM6", "{svc}#060504030201_C00000000"),
    };
    EXPECT_EQ(build(devices, 1), (std::vector<std::string>{"COM3 (Kolvex USB VORI KQ Controller)",
                                                           "COM12 (Kolvex USB VORI Interface 2008)"}));
    // No VORI KQ service: every Bluetooth port.
    EXPECT_EQ(build(devices, 2), (std::vector<std::string>{"COM6 (Seriell-Bluetooth, MAC 06:05:04:03:02:01)",
                                                           "COM11 (BT Port (COM11))"}));
    devices.push_back(windowsBluetooth("COM5", "{svc}#001A7DDA7113"));
    EXPECT_EQ(build(devices, 2),
              std::vector<std::string>{"COM5 (Bluetooth VORI KQ [VORI KQ 4711] MAC 00:1A:7D:DA:71:13)"});
    EXPECT_TRUE(build(devices, 7).empty());
    EXPECT_TRUE(build(devices, -1).empty());

    SerialDeviceScan failed;
    failed.devices = devices;
    std::vector<std::string> messages;
    EXPECT_TRUE(BuildPortList(failed, 0, fakeServices, messages).empty());
}

TEST(PortList, BeyondThirtyTwoPortsTheHighestAreLeftOut) {
    std::vector<SerialDevice> devices;
    for (int n = 40; n >= 1; --n) {
        devices.push_back(port("COM" + std::to_string(n), "Port"));
    }
    SerialDeviceScan scan{true, devices, {}};
    std::vector<std::string> messages;
    const std::vector<std::string> names = BuildPortList(scan, 0, fakeServices, messages);
    ASSERT_EQ(names.size(), 32u);
    EXPECT_EQ(names.front(), "COM1 (Port)");
    EXPECT_EQ(names.back(), "COM32 (Port)");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("8 ports left out"), std::string::npos);

    // A VORI KQ port beyond the first 32 Bluetooth ports is still the one selection 2 finds.
    devices.push_back(windowsBluetooth("COM99", "{svc}#001A7DDA7113"));
    for (SerialDevice& d : devices) {
        d.description = "Standard Serial over Bluetooth link";
    }
    scan.devices = devices;
    EXPECT_EQ(BuildPortList(scan, 2, fakeServices, messages),
              std::vector<std::string>{"COM99 (Bluetooth VORI KQ [VORI KQ 4711] MAC 00:1A:7D:DA:71:13)"});
}

TEST(PortSourceText, PortsVariableEntries) {
    std::vector<std::string> messages;
    const std::vector<SerialDevice> devices = kv::platform::parsePortsVariable(
        " /tmp/kq0 = Kolvex USB VORI KQ Controller ;;/dev/ttyX1;/dev/ttyX2=;bad path=x;=nameless;/dev/a=b=c",
        messages);
    ASSERT_EQ(devices.size(), 4u);
    EXPECT_EQ(devices[0].portName, "/tmp/kq0");
    EXPECT_EQ(devices[0].description, "Kolvex USB VORI KQ Controller");
    EXPECT_EQ(devices[1].portName, "/dev/ttyX1");
    EXPECT_EQ(devices[1].description, std::nullopt);
    EXPECT_EQ(devices[2].description, std::nullopt);
    EXPECT_EQ(devices[3].description, "b=c");
    EXPECT_EQ(messages.size(), 2u);
}

// Every entry that could never become a port is refused where it is read, with the same line as the
// other bad entries, instead of vanishing from the list without a word.
TEST(PortSourceText, PortsVariableRefusesWhatIsNoPort) {
    std::vector<std::string> messages;
    const std::string longest = "/dev/" + std::string(250, 'x');
    const std::vector<SerialDevice> devices =
        kv::platform::parsePortsVariable("ttyACM0=Kolvex USB VORI KQ Controller;com7=Built-in;./kq=x;" +
                                             longest + "=y;" + longest + "z=z;COM4A",
                                         messages);
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].portName, "com7");
    EXPECT_EQ(devices[1].portName, longest);
    EXPECT_EQ(messages,
              (std::vector<std::string>{
                  "KVLIB_PORTS: entry 'ttyACM0=Kolvex USB VORI KQ Controller' skipped, no usable path",
                  "KVLIB_PORTS: entry './kq=x' skipped, no usable path",
                  "KVLIB_PORTS: entry '" + longest + "z=z' skipped, no usable path",
                  "KVLIB_PORTS: entry 'COM4A' skipped, no usable path"}));
    // What is read is what the list shows: every entry the reader keeps gets its line in the list.
    kv::platform::SerialDeviceScan scan;
    scan.ok = true;
    scan.devices = devices;
    std::vector<std::string> listMessages;
    EXPECT_EQ(BuildPortList(scan, 0, fakeServices, listMessages).size(), devices.size());
}

TEST(PortSourceText, BluezKeyFileName) {
    const std::string info =
        "# comment\n[LinkKey]\nName=not this\n\n[General]\r\nClass=0x1f00\r\n Name = \\sVORI KQ\\\\1 \r\n"
        "Name=second\n[General]\nName=third\n";
    EXPECT_EQ(kv::platform::keyFileValue(info, "General", "Name"), " VORI KQ\\1");
    EXPECT_EQ(kv::platform::keyFileValue(info, "General", "Alias"), std::nullopt);
    EXPECT_EQ(kv::platform::keyFileValue(info, "general", "Name"), std::nullopt);
    EXPECT_EQ(kv::platform::keyFileValue("[General]\nName", "General", "Name"), std::nullopt);
}

// A caller's text is read no further than the limit asked for; the bytes below end where readable
// memory ends.
TEST(CallerText, LengthAndLogTextReadNoFurtherThanTheLimit) {
    const kvtest::GuardedBytes text("abc\r\n\t\x01\x7F" + std::string(8, 'z'));
    EXPECT_EQ(kv::BoundedLength(text.data(), 16), 16u);
    EXPECT_EQ(kv::BoundedLength(text.data(), 3), 3u);
    EXPECT_EQ(kv::BoundedLength("abc", 16), 3u);
    EXPECT_EQ(kv::BoundedLength(nullptr, 16), 0u);
    EXPECT_EQ(kv::LogText(text.data(), 16), "abc\\r\\n\\t\\x01\\x7Fzzzzzzzz");
    EXPECT_EQ(kv::LogText(text.data(), 2), "ab");
    EXPECT_EQ(kv::LogText("C:\\dir\\prog.bin", 64), "C:\\dir\\prog.bin");
    EXPECT_EQ(kv::LogText(nullptr, 16), "(null)");
}

TEST(CopyTextIfFits, CopiesWholeTextsOnly) {
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(kv::CopyTextIfFits(buffer, "1234567", 8), 7u);
    EXPECT_STREQ(buffer, "1234567");
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(kv::CopyTextIfFits(buffer, "12345678", 8), 0u);
    EXPECT_EQ(kv::CopyTextIfFits(buffer, "", 0), 0u);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(kv::CopyTextIfFits(buffer, "", 1), 0u);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(kv::CopyTextIfFits(nullptr, "a", 8), 0u);
}

}  // namespace
