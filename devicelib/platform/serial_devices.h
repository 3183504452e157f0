// The source of present serial devices that port discovery lists.
//
// A source only reports what the system knows, as plain records; it never opens a port (opening can
// toggle DTR/RTS and reset a device). Which records make a port, how a port is numbered and named,
// sorted and selected is decided above this layer, in ports/, by rules that are the same on every
// platform.
//
// Windows: the present devices of the class "Ports", with their hardware key's "PortName" and
// "Bluetooth_UniqueID" values and their device description; the local Bluetooth services come from
// the BTHPORT service keys.
//
// POSIX (Linux): every /sys/class/tty/NAME whose `device` link leads to a serial device (a UART
// placeholder whose `type` is 0 has nothing behind it and is left out). Its kind is the subsystem of
// that device, looking past the serial-base bus of newer kernels to the device that carries the port.
// A USB port is described by the `product` attribute of its USB device (the ancestor with idVendor and
// idProduct), else by its driver's name; other ports by the driver's name. Bluetooth RFCOMM ports
// (rfcommN) stay under the virtual tty tree until connected, so they are taken by name, with the remote
// address from /sys/class/tty/rfcommN/address and the remote device's name from BlueZ's store
// (/var/lib/bluetooth/<adapter>/<address>/info, "Name=" in [General]; readable by root only, so it is
// often unknown). Then the entries of the environment variable KVLIB_PORTS: "path=description" pairs
// separated by ';', listed as if present; an entry for a path that is present takes its place.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::platform {

// One present serial device as the system describes it. Fields a platform has no such thing for stay
// empty.
struct SerialDevice {
    // How the system names the port. Windows: the "PortName" value as stored (such as "COM3", "com4",
    // "COM04", or "LPT1" for a device that is no COM port). POSIX: the device path, such as /dev/ttyACM0.
    std::string portName;
    // The device's description; nothing when it cannot be read.
    std::optional<std::string> description;
    // Windows: the "Bluetooth_UniqueID" value of a Bluetooth serial port, when it is a string: the
    // service key, '#', the remote address as 12 hexadecimal digits, and what else the stack appends.
    std::optional<std::string> bluetoothUniqueId;
    // POSIX: the remote address of a Bluetooth serial port as the Bluetooth stack writes it, six pairs
    // of hexadecimal digits separated by colons ("00:1A:7D:DA:71:13").
    std::optional<std::string> bluetoothAddress;
    // POSIX: the remote device's name for bluetoothAddress, where the Bluetooth stack keeps it.
    std::optional<std::string> bluetoothName;
};

struct SerialDeviceScan {
    // False when the system could not be asked at all (Windows: the setup library or the class "Ports"
    // could not be had); the discovery then lists nothing. Devices that cannot be read are merely left
    // out and do not make the scan fail.
    bool ok = false;
    std::vector<SerialDevice> devices;
    // Lines for the library log about what could not be read, one line each.
    std::vector<std::string> messages;
};

// The serial devices present now, in the order the system lists them.
SerialDeviceScan presentSerialDevices();

// A local Bluetooth service as Windows registers it for a remote device: the service's name and the
// remote address in its 8-byte stored form ("AssocBdAddr").
struct BluetoothService {
    std::string name;
    std::array<std::uint8_t, 8> storedAddress{};
};

// The local Bluetooth services under `serviceKey` (Windows: the subkeys of
// SYSTEM\CurrentControlSet\Services\BTHPORT\Parameters\LocalServices\<serviceKey>), in index order.
// Subkeys that cannot be read are skipped with a line in `messages`. Linux keeps no such registry (its
// source reports the remote device's name with the port), so there the list is empty.
std::vector<BluetoothService> localBluetoothServices(const std::string& serviceKey,
                                                     std::vector<std::string>& messages);

// Points the POSIX source at a fake tree for tests: `root` is put in front of /sys and /var/lib/bluetooth
// (device paths stay /dev/...). An empty root means the real system. This is a C++ function of the
// library, not part of its C interface, so an application or a user's environment cannot redirect
// discovery by accident. No effect on Windows.
void setSerialDeviceRootForTesting(const std::string& root);

// ---- Text formats read by the sources (free of OS access; tested and fuzzed on their own) --------

// The number of a Windows port name: "COM" in any letter case followed only by decimal digits, at least
// one ("com4" and "COM04" are port 4). Nothing for any other name ("COM4A", "LPT1", "COM") and for a
// number that does not fit 32 bits.
std::optional<std::uint32_t> comPortNumber(std::string_view portName);

// The longest port name the library takes: its port-name field holds 255 characters and a terminator.
inline constexpr std::size_t kMaxPortNameLength = 255;

// The entries of a KVLIB_PORTS value: "path=description" pairs separated by ';'. Blanks around the
// path and the description are dropped; an entry without '=' (or with nothing after it) has no
// description. Empty entries are skipped. An entry is skipped with a line in `messages` when its path
// is not one the library can list and open: empty, holding a blank or a control character (the path
// is what a program opens after cutting the display name at its first blank), longer than
// kMaxPortNameLength, or neither an absolute path nor a COMn name ("ttyACM0" would be no port).
std::vector<SerialDevice> parsePortsVariable(std::string_view text, std::vector<std::string>& messages);

// The value of `key` in `[group]` of a key file as BlueZ writes its device info (GLib key-file format:
// group and key names exact, blanks around the value dropped, '#' starts a comment line). The first
// such key of the first such group counts. Nothing when the group or the key is missing.
std::optional<std::string> keyFileValue(std::string_view content, std::string_view group,
                                        std::string_view key);

}  // namespace kv::platform
