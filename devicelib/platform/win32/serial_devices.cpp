// The present serial devices on Windows: the devices of the setup class "Ports", read through
// SETUPAPI.DLL, which is loaded by name for each discovery and released before it returns (the
// library is not linked to it, so a system without it can still load the library; only discovery
// fails there). The local Bluetooth services come from the BTHPORT service keys of the registry.
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <utility>

#include "platform/platform.h"
#include "platform/serial_devices.h"

namespace kv::platform {
namespace {

// Registry and device texts are read into buffers of this size; a longer value counts as unreadable.
constexpr DWORD kValueBytes = 256;
constexpr const char* kLocalServices = "SYSTEM\\CurrentControlSet\\Services\\BTHPORT\\Parameters\\LocalServices\\";
constexpr const char* kNotSupported = "Function is not supported on this system.";

// The text of a string value as read into `bytes` (`size` bytes): registry strings need not carry
// their terminator, and may carry more than one.
std::string valueText(const char* bytes, DWORD size) {
    std::string text(bytes, size);
    const std::size_t end = text.find('\0');
    if (end != std::string::npos) {
        text.resize(end);
    }
    return text;
}

bool isString(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

std::optional<std::string> stringValue(HKEY key, const char* name) {
    char bytes[kValueBytes];
    DWORD size = sizeof bytes;
    DWORD type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(bytes), &size) != ERROR_SUCCESS ||
        !isString(type)) {
        return std::nullopt;
    }
    return valueText(bytes, size);
}

struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

Key openKey(const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return nullptr;
    }
    return Key(key);
}

// The six functions of the setup library, taken by name.
struct SetupApi {
    decltype(&SetupDiOpenDevRegKey) openDevRegKey = nullptr;
    decltype(&SetupDiClassGuidsFromNameA) classGuidsFromName = nullptr;
    decltype(&SetupDiGetClassDevsA) getClassDevs = nullptr;
    decltype(&SetupDiGetDeviceRegistryPropertyA) getDeviceRegistryProperty = nullptr;
    decltype(&SetupDiDestroyDeviceInfoList) destroyDeviceInfoList = nullptr;
    decltype(&SetupDiEnumDeviceInfo) enumDeviceInfo = nullptr;
};

template <typename Fn>
bool take(HMODULE module, const char* name, Fn& fn) {
    // GetProcAddress hands out a generic function pointer; the name says which type it really has.
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return fn != nullptr;
}

bool takeAll(HMODULE module, SetupApi& api) {
    return take(module, "SetupDiOpenDevRegKey", api.openDevRegKey) &&
           take(module, "SetupDiClassGuidsFromNameA", api.classGuidsFromName) &&
           take(module, "SetupDiGetClassDevsA", api.getClassDevs) &&
           take(module, "SetupDiGetDeviceRegistryPropertyA", api.getDeviceRegistryProperty) &&
           take(module, "SetupDiDestroyDeviceInfoList", api.destroyDeviceInfoList) &&
           take(module, "SetupDiEnumDeviceInfo", api.enumDeviceInfo);
}

struct ModuleFreer {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};

// One device of the set as the source reports it; nothing for a device without a readable
// "PortName" string (it cannot be a port).
std::optional<SerialDevice> deviceAt(const SetupApi& api, HDEVINFO set, SP_DEVINFO_DATA& data) {
    SerialDevice device;
    {
        HKEY raw = api.openDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
        if (raw == nullptr || raw == INVALID_HANDLE_VALUE) {
            return std::nullopt;
        }
        const Key key(raw);
        std::optional<std::string> portName = stringValue(key.get(), "PortName");
        if (!portName) {
            return std::nullopt;
        }
        device.portName = std::move(*portName);
        device.bluetoothUniqueId = stringValue(key.get(), "Bluetooth_UniqueID");
    }
    char bytes[kValueBytes];
    DWORD type = 0;
    DWORD size = 0;
    if (api.getDeviceRegistryProperty(set, &data, SPDRP_DEVICEDESC, &type, reinterpret_cast<BYTE*>(bytes),
                                      sizeof bytes, &size) &&
        isString(type)) {
        device.description = valueText(bytes, size <= sizeof bytes ? size : DWORD{sizeof bytes});
    }
    return device;
}

}  // namespace

void setSerialDeviceRootForTesting(const std::string& /*root*/) {}

SerialDeviceScan presentSerialDevices() {
    SerialDeviceScan scan;
    const std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFreer> module(LoadLibraryA("SETUPAPI.DLL"));
    if (!module) {
        return scan;
    }
    SetupApi api;
    if (!takeAll(module.get(), api)) {
        // A console program has no window to show this in: the error stream and the log get it.
        std::fprintf(stderr, "%s\n", kNotSupported);
        std::fflush(stderr);
        scan.messages.emplace_back(kNotSupported);
        return scan;
    }

    DWORD count = 0;
    api.classGuidsFromName("Ports", nullptr, 0, &count);
    if (count == 0) {
        return scan;
    }
    std::vector<GUID> guids(count);
    if (!api.classGuidsFromName("Ports", guids.data(), count, &count) || count == 0) {
        return scan;
    }
    HDEVINFO set = api.getClassDevs(&guids[0], nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return scan;
    }
    scan.ok = true;
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        if (!api.enumDeviceInfo(set, index, &data)) {
            break;
        }
        if (std::optional<SerialDevice> device = deviceAt(api, set, data)) {
            scan.devices.push_back(std::move(*device));
        }
    }
    api.destroyDeviceInfoList(set);
    return scan;
}

std::vector<BluetoothService> localBluetoothServices(const std::string& serviceKey,
                                                     std::vector<std::string>& messages) {
    std::vector<BluetoothService> services;
    // The key comes from a device's text; it names one key below LocalServices and nothing else.
    if (serviceKey.empty() || serviceKey.find('\\') != std::string::npos) {
        return services;
    }
    const std::string servicePath = kLocalServices + serviceKey;
    const Key parent = openKey(servicePath);
    if (!parent) {
        return services;
    }
    DWORD subkeys = 0;
    if (RegQueryInfoKeyA(parent.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return services;
    }
    for (DWORD index = 0; index < subkeys; ++index) {
        char name[256];
        DWORD nameLength = sizeof name;
        if (RegEnumKeyExA(parent.get(), index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            continue;
        }
        const std::string subPath = servicePath + "\\" + std::string(name, nameLength);
        const Key sub = openKey(subPath);
        if (!sub) {
            messages.push_back("Error by RegOpenKeyEx(), SubKey: " + subPath);
            continue;
        }
        std::optional<std::string> serviceName = stringValue(sub.get(), "ServiceName");
        BluetoothService service;
        DWORD size = static_cast<DWORD>(service.storedAddress.size());
        if (!serviceName || RegQueryValueExA(sub.get(), "AssocBdAddr", nullptr, nullptr,
                                             service.storedAddress.data(), &size) != ERROR_SUCCESS) {
            continue;
        }
        service.name = std::move(*serviceName);
        services.push_back(std::move(service));
    }
    return services;
}

}  // namespace kv::platform
