// Discovery as applications see it (GetAvailableComPorts, EnumComPorts) over a small fake sysfs and
// BlueZ tree laid out as Linux lays out its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kvarolib.h"
#include "platform/serial_devices.h"
#include "ports/port_list.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

const char* const kPci = "sys/devices/pci0000:00/0000:00:14.0/usb1";

class FakeSystem {
  public:
    FakeSystem() {
        fs::create_directories(root() / "sys/class/tty");
        for (const char* dir : {"sys/bus/usb/drivers/cdc_acm", "sys/bus/usb-serial/drivers/ftdi_sio",
                                "sys/bus/serial-base/drivers/port", "sys/bus/serial-base/drivers/ctrl",
                                "sys/bus/pnp/drivers/serial", "sys/bus/platform/drivers/serial8250"}) {
            fs::create_directories(root() / dir);
        }
    }
    const fs::path& root() const { return dir_.path(); }

    void file(const std::string& rel, const std::string& content) {
        fs::create_directories((root() / rel).parent_path());
        std::ofstream(root() / rel) << content;
    }
    // A relative link, as sysfs makes them, so that it resolves inside the fake tree.
    void link(const std::string& rel, const std::string& target) {
        fs::create_directories((root() / rel).parent_path());
        fs::create_directories(root() / target);
        fs::create_directory_symlink(fs::path(target).lexically_relative(fs::path(rel).parent_path()),
                                     root() / rel);
    }
    // The tty's own directory under the device, its class entry and the links every tty has.
    void tty(const std::string& name, const std::string& deviceDir) {
        const std::string ttyDir = deviceDir + "/tty/" + name;
        link(ttyDir + "/device", deviceDir);
        link(ttyDir + "/subsystem", "sys/class/tty");
        link("sys/class/tty/" + name, ttyDir);
    }
    // A CDC-ACM port: the tty's device is the USB interface, its parent the USB device.
    void usbAcm(const std::string& name, const std::string& usbDevice, const std::string* product) {
        const std::string dev = std::string(kPci) + "/" + usbDevice;
        file(dev + "/idVendor", "1234\n");
        file(dev + "/idProduct", "5678\n");
        if (product != nullptr) {
            file(dev + "/product", *product + "\n");
        }
        const std::string interface = dev + "/" + usbDevice + ":1.0";
        link(interface + "/subsystem", "sys/bus/usb");
        link(interface + "/driver", "sys/bus/usb/drivers/cdc_acm");
        tty(name, interface);
    }
    // A USB serial converter: the tty's device is the usb-serial port below the interface.
    void usbSerial(const std::string& name, const std::string& usbDevice, const std::string& product) {
        const std::string dev = std::string(kPci) + "/" + usbDevice;
        file(dev + "/idVendor", "0403\n");
        file(dev + "/idProduct", "6001\n");
        file(dev + "/product", product + "\n");
        const std::string port = dev + "/" + usbDevice + ":1.0/" + name;
        link(port + "/subsystem", "sys/bus/usb-serial");
        link(port + "/driver", "sys/bus/usb-serial/drivers/ftdi_sio");
        tty(name, port);
    }
    // A UART as newer kernels show it: the tty hangs off a serial-base port and controller below the
    // device that carries it. `type` 0 is a placeholder without hardware.
    void uart(const std::string& name, const std::string& carrier, const std::string& bus,
              const std::string& driver, const std::string& type) {
        link(carrier + "/subsystem", "sys/bus/" + bus);
        link(carrier + "/driver", "sys/bus/" + bus + "/drivers/" + driver);
        const std::string ctrl = carrier + "/" + name + "-ctrl";
        link(ctrl + "/subsystem", "sys/bus/serial-base");
        const std::string port = ctrl + "/" + name + "-port";
        link(port + "/subsystem", "sys/bus/serial-base");
        link(port + "/driver", "sys/bus/serial-base/drivers/port");
        tty(name, port);
        file(port + "/tty/" + name + "/type", type + "\n");
    }
    void virtualTty(const std::string& name) {
        fs::create_directories(root() / "sys/devices/virtual/tty" / name);
        link("sys/class/tty/" + name, "sys/devices/virtual/tty/" + name);
    }
    void rfcomm(const std::string& name, const std::string& address) {
        virtualTty(name);
        file("sys/devices/virtual/tty/" + name + "/address", address + "\n");
    }
    void bluezDevice(const std::string& address, const std::string& name) {
        file("var/lib/bluetooth/00:AA:BB:CC:DD:EE/" + address + "/info",
             "[General]\nName=" + name + "\nClass=0x001f00\nTrusted=true\n");
    }

  private:
    kvtest::TempDir dir_;
};

class PortDiscovery : public testing::Test {
  protected:
    void SetUp() override {
        ::unsetenv("KVLIB_PORTS");
        kv::platform::setSerialDeviceRootForTesting(sys_.root().string());
    }
    void TearDown() override {
        kv::platform::setSerialDeviceRootForTesting("");
        ::unsetenv("KVLIB_PORTS");
    }

    // The list as an application reads it, entry by entry.
    std::vector<std::string> discover(std::int32_t selection = 0) {
        const std::int32_t count = GetAvailableComPorts(selection);
        std::vector<std::string> names;
        for (std::int32_t i = 0; i < count; ++i) {
            char buffer[256];
            EXPECT_EQ(EnumComPorts(static_cast<std::uint32_t>(i), buffer, sizeof buffer),
                      static_cast<std::uint32_t>(i));
            names.emplace_back(buffer);
        }
        return names;
    }

    FakeSystem sys_;
    const std::string kController = "Kolvex USB VORI KQ Controller";
};

TEST_F(PortDiscovery, SerialDevicesInNumericOrderWithTheirDescriptions) {
    sys_.usbAcm("ttyACM10", "1-2", &kController);
    sys_.usbAcm("ttyACM2", "1-3", nullptr);
    sys_.usbSerial("ttyUSB0", "1-4", "FT232R USB UART");
    sys_.uart("ttyS0", "sys/devices/pnp0/00:00", "pnp", "serial", "4");
    sys_.uart("ttyS1", "sys/devices/platform/serial8250", "platform", "serial8250", "0");
    sys_.virtualTty("tty0");
    sys_.virtualTty("ptmx");

    const std::vector<std::string> expected{
        "/dev/ttyACM2 (cdc_acm)",
        "/dev/ttyACM10 (Kolvex USB VORI KQ Controller)",
        "/dev/ttyS0 (serial)",
        "/dev/ttyUSB0 (FT232R USB UART)",
    };
    EXPECT_EQ(discover(), expected);
    EXPECT_EQ(discover(1), std::vector<std::string>{"/dev/ttyACM10 (Kolvex USB VORI KQ Controller)"});

    // How the programs pick the controller: the device name ends the entry but for its parenthesis, and
    // the entry cut at its first blank is the port.
    const std::string entry = discover(1).at(0);
    const std::size_t at = entry.find(kController);
    ASSERT_NE(at, std::string::npos);
    EXPECT_LE(entry.size() - (at + kController.size()), 1u);
    EXPECT_EQ(entry.substr(0, entry.find(' ')), "/dev/ttyACM10");
}

TEST_F(PortDiscovery, RfcommPortsCarryTheRemoteAddressAndAVoriName) {
    sys_.rfcomm("rfcomm0", "00:1a:7d:da:71:13");
    sys_.rfcomm("rfcomm1", "00:00:00:00:00:00");
    sys_.rfcomm("rfcomm2", "11:22:33:44:55:66");
    sys_.bluezDevice("11:22:33:44:55:66", "Headset");
    sys_.usbAcm("ttyACM0", "1-2", &kController);

    EXPECT_EQ(discover(2),
              (std::vector<std::string>{"/dev/rfcomm0 (Seriell-Bluetooth, MAC 00:1A:7D:DA:71:13)",
                                        "/dev/rfcomm1 (Bluetooth RFCOMM)",
                                        "/dev/rfcomm2 (Seriell-Bluetooth, MAC 11:22:33:44:55:66)"}));

    // Once BlueZ knows the remote device as a VORI KQ, selection 2 lists only that port.
    sys_.bluezDevice("00:1A:7D:DA:71:13", "VORI KQ 0815");
    const std::vector<std::string> vori{
        "/dev/rfcomm0 (Bluetooth VORI KQ [VORI KQ 0815] MAC 00:1A:7D:DA:71:13)"};
    EXPECT_EQ(discover(2), vori);
    EXPECT_EQ(discover(0).size(), 4u);
    EXPECT_EQ(discover(0).at(0), vori[0]);
    EXPECT_EQ(discover(7), std::vector<std::string>{});
}

TEST_F(PortDiscovery, AnUnreadableDeviceInfoIsReportedAndThePortKeepsThePlainForm) {
    sys_.rfcomm("rfcomm0", "00:1a:7d:da:71:13");
    // A directory where the info file should be cannot be read as one (the tests run as root, to whom
    // file modes deny nothing).
    fs::create_directories(sys_.root() / "var/lib/bluetooth/00:AA:BB:CC:DD:EE/00:1A:7D:DA:71:13/info");
    const kv::platform::SerialDeviceScan scan = kv::platform::presentSerialDevices();
    ASSERT_EQ(scan.devices.size(), 1u);
    EXPECT_EQ(scan.devices[0].bluetoothName, std::nullopt);
    ASSERT_EQ(scan.messages.size(), 1u);
    EXPECT_NE(scan.messages[0].find("00:1A:7D:DA:71:13/info"), std::string::npos);
    EXPECT_EQ(discover(),
              std::vector<std::string>{"/dev/rfcomm0 (Seriell-Bluetooth, MAC 00:1A:7D:DA:71:13)"});
}

TEST_F(PortDiscovery, PortsVariableAddsAndRenamesPorts) {
    sys_.usbAcm("ttyACM0", "1-2", nullptr);
    sys_.usbAcm("ttyACM1", "1-3", nullptr);
    ::setenv("KVLIB_PORTS",
             "/tmp/kqsim-pty=Kolvex USB VORI KQ Controller;/dev/ttyACM1=Bridged box;bad path=x", 1);
    EXPECT_EQ(discover(), (std::vector<std::string>{"/dev/ttyACM0 (cdc_acm)", "/dev/ttyACM1 (Bridged box)",
                                                    "/tmp/kqsim-pty (Kolvex USB VORI KQ Controller)"}));
}

TEST_F(PortDiscovery, BeyondThirtyTwoPortsTheRestAreLeftOut) {
    std::string ports;
    for (int n = 39; n >= 0; --n) {
        ports += "/dev/ttyV" + std::to_string(n) + "=Virtual;";
    }
    ::setenv("KVLIB_PORTS", ports.c_str(), 1);
    const std::vector<std::string> names = discover();
    ASSERT_EQ(names.size(), 32u);
    EXPECT_EQ(names.front(), "/dev/ttyV0 (Virtual)");
    EXPECT_EQ(names.back(), "/dev/ttyV31 (Virtual)");
    char buffer[256];
    EXPECT_EQ(EnumComPorts(32, buffer, sizeof buffer), KVLIB_ERR_INVALID_PARAM);
}

TEST_F(PortDiscovery, EnumerationRefusesWhatDoesNotFit) {
    ::setenv("KVLIB_PORTS", "/dev/ttyV1=Virtual;/dev/ttyV2", 1);
    ASSERT_EQ(GetAvailableComPorts(0), 2);
    const std::string first = "/dev/ttyV1 (Virtual)";
    std::vector<char> buffer(first.size() + 1, 'x');
    EXPECT_EQ(EnumComPorts(0, buffer.data(), static_cast<std::int32_t>(first.size())),
              KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(EnumComPorts(0, buffer.data(), static_cast<std::int32_t>(buffer.size())), KVLIB_ERR_SUCCESS);
    EXPECT_EQ(std::string(buffer.data()), first);
    EXPECT_EQ(EnumComPorts(1, buffer.data(), static_cast<std::int32_t>(buffer.size())), 1u);
    EXPECT_EQ(std::string(buffer.data()), "/dev/ttyV2");
    EXPECT_EQ(EnumComPorts(2, buffer.data(), static_cast<std::int32_t>(buffer.size())),
              KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(EnumComPorts(0, nullptr, 256), KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(EnumComPorts(0, buffer.data(), -1), KVLIB_ERR_INVALID_PARAM);
    EXPECT_EQ(EnumComPorts(0xFFFFFFFFu, buffer.data(), 256), KVLIB_ERR_INVALID_PARAM);

    // A selection that lists nothing leaves nothing to read.
    EXPECT_EQ(GetAvailableComPorts(7), 0);
    EXPECT_EQ(EnumComPorts(0, buffer.data(), 256), KVLIB_ERR_INVALID_PARAM);
}

TEST_F(PortDiscovery, DiscoveryAndEnumerationFromSeveralThreads) {
    ::setenv("KVLIB_PORTS", "/dev/ttyV1=Kolvex USB VORI KQ Controller;/dev/ttyV2=Virtual", 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                GetAvailableComPorts(t % 2);
                char buffer[256];
                // Whatever list is current, an entry read whole is one of the two ports.
                if (EnumComPorts(0, buffer, sizeof buffer) == 0) {
                    EXPECT_EQ(std::string(buffer, 10), "/dev/ttyV1");
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(GetAvailableComPorts(0), 2);
}

}  // namespace
