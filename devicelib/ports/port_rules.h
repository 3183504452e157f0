// The rules of port discovery that do not depend on the platform: which names are ports and how they
// are numbered, where a Bluetooth port's remote address comes from and how it is matched against a
// local service, how a display name is formed, and the order of the list.
//
// Display names: the port (the "COMn" name on Windows, the device path on POSIX), then, unless the
// device's description could not be read, a blank and one of
//   (Bluetooth VORI KQ [<service name>] MAC <address>)   a Bluetooth port of a service named "...vori..."
//   (Seriell-Bluetooth, MAC <address>)                    another Bluetooth port with a remote address
//   (<description>)                                       any other port
// Programs find the controller by searching these names for its device names and cut the chosen one
// at its first blank to get the port back, so the forms are part of the interface.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/serial_devices.h"

namespace kv::ports {

// An entry of the port list holds at most this many characters (plus its terminator).
inline constexpr std::size_t kMaxEntryLength = 255;

// The number of a Windows port name: "COM" in any letter case followed only by decimal digits, at least
// one ("com4" and "COM04" are port 4). Nothing for any other name ("COM4A", "LPT1", "COM") and for a
// number that does not fit 32 bits.
std::optional<std::uint32_t> ComPortNumber(std::string_view portName);

// The port part of a display name for a name as a source reports it: "COM<n>" without leading zeros for
// a COM name, the path itself for a device path (it begins with '/'). Nothing when the name is neither,
// or when it could not be opened after cutting the display name at its first blank (a blank or a
// control character in it) or is longer than a list entry.
std::optional<std::string> PortLabel(std::string_view portName);

// What a Windows "Bluetooth_UniqueID" value tells: the service key (the text before the first '#') and
// the remote address, the first 12 characters after the '#' written as six pairs separated by colons,
// characters as they are.
struct UniqueIdAddress {
    std::string serviceKey;
    std::string address;
};
// Nothing when the value has no '#', fewer than 12 characters after it, or an address of 000000000000.
std::optional<UniqueIdAddress> AddressFromUniqueId(std::string_view uniqueId);

// A remote address as a POSIX Bluetooth stack writes it: exactly six pairs of hexadecimal digits
// separated by colons, kept as written. Nothing for any other text and for 00:00:00:00:00:00 (no
// remote device).
std::optional<std::string> AddressFromStackText(std::string_view text);

// The 8-byte form in which Windows stores a remote address ("AssocBdAddr"): the six pairs of the text
// in reverse order (byte 0 is the last pair), each read as up to two hexadecimal digits, then two zero
// bytes. Nothing when the text is not six pairs or a pair does not begin with a hexadecimal digit.
std::optional<std::array<std::uint8_t, 8>> StoredBdAddr(std::string_view address);

// The name of the first service whose stored address is the 8-byte form of `address`; empty when none
// matches.
std::string MatchServiceName(const std::vector<platform::BluetoothService>& services,
                             std::string_view address);

// Whether a Bluetooth service (or remote device) name marks the controller: it contains "vori" in any
// letter case.
bool IsVoriServiceName(std::string_view name);

// The display name of a port, whole (not yet cut to a list entry). `address` is the remote address of a
// Bluetooth port (empty for none), `serviceName` the name found for it (empty for none). Control
// characters in the texts a device supplies are shown as '?', so that a name never carries a line end
// or a terminal escape into a log or a console.
std::string DisplayName(const std::string& label, const std::optional<std::string>& description,
                        const std::string& address, const std::string& serviceName);

// The text cut to at most `limit` bytes, never inside a UTF-8 sequence.
std::string CutToLength(std::string text, std::size_t limit = kMaxEntryLength);

// Order of port labels: runs of digits compare by their numeric value (COM9 before COM10, /dev/ttyACM2
// before /dev/ttyACM10), everything else byte by byte. Negative, zero or positive like strcmp.
int ComparePortLabels(std::string_view a, std::string_view b);

// Whether the list of `selection` takes a display name: 0 every port, 1 the USB controllers ("Kolvex USB
// VORI"), 2 the Bluetooth ports ("Bluetooth" or "BT Port"). Any other selection takes none.
bool SelectionTakes(std::int32_t selection, std::string_view displayName);

}  // namespace kv::ports
