// The present serial devices on Linux, read from sysfs without opening any port, plus the entries of
// KVLIB_PORTS. Every file-system access goes through SystemTree, which tests point at a fake tree.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/platform.h"
#include "platform/serial_devices.h"

namespace kv::platform {
namespace {

// Sysfs attributes are at most a page; a device info file of BlueZ is a few kilobytes. Anything
// larger is no such file and is not read whole.
constexpr std::size_t kAttributeLimit = 4096;
constexpr std::size_t kInfoFileLimit = 64 * 1024;
// Device trees are shallow; a walk up that goes on longer than this has lost its way.
constexpr int kMaxAncestors = 64;

const char* const kTtyClass = "/sys/class/tty";
const char* const kBluezStore = "/var/lib/bluetooth";
const char* const kRfcommDescription = "Bluetooth RFCOMM";

struct RootState {
    std::mutex mutex;
    std::string root;
};

RootState& rootState() {
    static RootState state;
    return state;
}

std::string currentRoot() {
    RootState& state = rootState();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.root;
}

std::string baseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parentOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return (slash == std::string::npos || slash == 0) ? std::string("/") : path.substr(0, slash);
}

// All reads of the system's files. Paths are given and returned as the system names them (/sys/...);
// the tree's root is put in front for the access itself, and a link that would lead out of the tree
// counts as missing.
class SystemTree {
  public:
    explicit SystemTree(const std::string& root) {
        if (!root.empty()) {
            char resolved[PATH_MAX];
            // A root that cannot be resolved leaves nothing to read rather than the real system.
            root_ =
                ::realpath(root.c_str(), resolved) != nullptr ? std::string(resolved) : root + "/.missing";
            if (root_ == "/") {
                root_.clear();
            }
        }
    }

    // The file's content, at most `limit` bytes; nothing with `error` set when it cannot be read.
    std::optional<std::string> readFile(const std::string& path, std::size_t limit, int& error) const {
        error = 0;
        const int fd = ::open(onDisk(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            error = errno;
            return std::nullopt;
        }
        std::string content;
        char chunk[1024];
        while (content.size() < limit) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                error = errno;
                ::close(fd);
                return std::nullopt;
            }
            if (n == 0) {
                break;
            }
            content.append(chunk, static_cast<std::size_t>(n));
        }
        ::close(fd);
        if (content.size() > limit) {
            content.resize(limit);
        }
        return content;
    }

    // An attribute's first line without its line end and trailing blanks.
    std::optional<std::string> attribute(const std::string& path) const {
        int error = 0;
        std::optional<std::string> text = readFile(path, kAttributeLimit, error);
        if (!text) {
            return std::nullopt;
        }
        text->resize(std::min(text->size(), text->find('\n')));
        while (!text->empty() && (text->back() == ' ' || text->back() == '\t' || text->back() == '\r')) {
            text->pop_back();
        }
        return text;
    }

    bool exists(const std::string& path) const { return ::access(onDisk(path).c_str(), F_OK) == 0; }

    // The path with every link resolved, as the system names it.
    std::optional<std::string> realPath(const std::string& path) const {
        char resolved[PATH_MAX];
        if (::realpath(onDisk(path).c_str(), resolved) == nullptr) {
            return std::nullopt;
        }
        const std::string full(resolved);
        if (root_.empty()) {
            return full;
        }
        if (full.size() <= root_.size() || full.compare(0, root_.size(), root_) != 0 ||
            full[root_.size()] != '/') {
            return std::nullopt;
        }
        return full.substr(root_.size());
    }

    // The names in a directory, without "." and "..". Nothing, with `error` set, when it cannot be read.
    std::optional<std::vector<std::string>> list(const std::string& directory, int& error) const {
        error = 0;
        struct DirCloser {
            void operator()(DIR* d) const { ::closedir(d); }
        };
        std::unique_ptr<DIR, DirCloser> dir(::opendir(onDisk(directory).c_str()));
        if (!dir) {
            error = errno;
            return std::nullopt;
        }
        std::vector<std::string> names;
        while (const dirent* entry = ::readdir(dir.get())) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                names.emplace_back(entry->d_name);
            }
        }
        return names;
    }

    // The last component of where `path` leads (a `subsystem` or `driver` link).
    std::optional<std::string> linkTarget(const std::string& path) const {
        std::optional<std::string> target = realPath(path);
        if (!target) {
            return std::nullopt;
        }
        return baseName(*target);
    }

  private:
    std::string onDisk(const std::string& path) const { return root_ + path; }

    std::string root_;
};

bool isRfcommName(const std::string& name) {
    if (name.size() <= 6 || name.compare(0, 6, "rfcomm") != 0) {
        return false;
    }
    for (std::size_t i = 6; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) {
            return false;
        }
    }
    return true;
}

// Device names with a '/' appear in sysfs with '!' instead; their node lies in a subdirectory of /dev.
std::string devicePath(const std::string& ttyName) {
    std::string path = "/dev/" + ttyName;
    for (char& c : path) {
        if (c == '!') {
            c = '/';
        }
    }
    return path;
}

std::string upperCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

// The remote device's name as BlueZ stores it, looked up under every adapter. `address` is in the
// form BlueZ names its directories (upper case, with colons).
std::optional<std::string> bluezDeviceName(const SystemTree& tree, const std::string& address,
                                           std::vector<std::string>& messages) {
    int error = 0;
    const std::optional<std::vector<std::string>> adapters = tree.list(kBluezStore, error);
    if (!adapters) {
        // No BlueZ store at all is no failure; one that is there but closed to us is worth a line, since
        // it is why the port shows without its device name.
        if (error != ENOENT && error != ENOTDIR) {
            messages.push_back(std::string("Error by reading Bluetooth device names, Directory: ") +
                               kBluezStore + ", errno= " + std::to_string(error));
        }
        return std::nullopt;
    }
    for (const std::string& adapter : *adapters) {
        const std::string info = std::string(kBluezStore) + "/" + adapter + "/" + address + "/info";
        const std::optional<std::string> content = tree.readFile(info, kInfoFileLimit, error);
        if (!content) {
            if (error != ENOENT && error != ENOTDIR) {
                messages.push_back("Error by reading Bluetooth device info, File: " + info +
                                   ", errno= " + std::to_string(error));
            }
            continue;
        }
        std::optional<std::string> name = keyFileValue(*content, "General", "Name");
        if (name && !name->empty()) {
            return name;
        }
    }
    return std::nullopt;
}

SerialDevice rfcommDevice(const SystemTree& tree, const std::string& name,
                          std::vector<std::string>& messages) {
    SerialDevice device;
    device.portName = devicePath(name);
    device.description = kRfcommDescription;
    std::optional<std::string> address = tree.attribute(std::string(kTtyClass) + "/" + name + "/address");
    if (address && !address->empty()) {
        device.bluetoothAddress = upperCase(*address);
        // An unbound address (all zeros) names no remote device.
        if (*device.bluetoothAddress != "00:00:00:00:00:00") {
            device.bluetoothName = bluezDeviceName(tree, *device.bluetoothAddress, messages);
        }
    }
    return device;
}

// The tty `name` as a port, or nothing when no serial device stands behind it.
std::optional<SerialDevice> ttyDevice(const SystemTree& tree, const std::string& name) {
    const std::string classDir = std::string(kTtyClass) + "/" + name;
    std::optional<std::string> device = tree.realPath(classDir + "/device");
    if (!device) {
        return std::nullopt;  // consoles, pseudo terminals and other virtual ttys
    }
    // A serial-core port whose type is 0 (unknown) is a placeholder that no UART answered, such as the
    // legacy ttyS ports the 8250 driver registers whether or not hardware is there.
    if (std::optional<std::string> type = tree.attribute(classDir + "/type"); type && *type == "0") {
        return std::nullopt;
    }

    // Newer kernels put a serial-base controller and port between the tty and the device that carries
    // it; the kind and the driver are those of that device.
    std::string carrier = *device;
    std::optional<std::string> kind = tree.linkTarget(carrier + "/subsystem");
    for (int depth = 0; kind && *kind == "serial-base" && depth < kMaxAncestors; ++depth) {
        carrier = parentOf(carrier);
        kind = tree.linkTarget(carrier + "/subsystem");
    }

    SerialDevice result;
    result.portName = devicePath(name);
    std::optional<std::string> driver = tree.linkTarget(carrier + "/driver");
    if (kind && (*kind == "usb" || *kind == "usb-serial")) {
        // The USB device is the nearest ancestor with vendor and product ids; its product string is what
        // the device calls itself.
        std::string node = carrier;
        for (int depth = 0; depth < kMaxAncestors && node != "/" && node != "/sys/devices"; ++depth) {
            if (tree.exists(node + "/idVendor") && tree.exists(node + "/idProduct")) {
                std::optional<std::string> product = tree.attribute(node + "/product");
                if (product && !product->empty()) {
                    result.description = std::move(product);
                }
                break;
            }
            node = parentOf(node);
        }
    }
    if (!result.description && driver && !driver->empty()) {
        result.description = std::move(driver);
    }
    return result;
}

}  // namespace

void setSerialDeviceRootForTesting(const std::string& root) {
    RootState& state = rootState();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.root = root;
}

SerialDeviceScan presentSerialDevices() {
    SerialDeviceScan scan;
    scan.ok = true;
    const SystemTree tree(currentRoot());

    int error = 0;
    const std::optional<std::vector<std::string>> ttys = tree.list(kTtyClass, error);
    if (!ttys) {
        // Without sysfs (a container, a chroot) there is still KVLIB_PORTS; the scan goes on.
        scan.messages.push_back(std::string("Error by reading ") + kTtyClass +
                                ", errno= " + std::to_string(error));
    } else {
        for (const std::string& name : *ttys) {
            if (isRfcommName(name)) {
                scan.devices.push_back(rfcommDevice(tree, name, scan.messages));
            } else if (std::optional<SerialDevice> device = ttyDevice(tree, name)) {
                scan.devices.push_back(std::move(*device));
            }
        }
    }

    if (std::optional<std::string> extra = environmentValue("KVLIB_PORTS")) {
        for (SerialDevice& named : parsePortsVariable(*extra, scan.messages)) {
            bool replaced = false;
            for (SerialDevice& present : scan.devices) {
                if (present.portName == named.portName) {
                    present = named;
                    replaced = true;
                }
            }
            if (!replaced) {
                scan.devices.push_back(std::move(named));
            }
        }
    }
    return scan;
}

std::vector<BluetoothService> localBluetoothServices(const std::string& /*serviceKey*/,
                                                     std::vector<std::string>& /*messages*/) {
    // Linux has no registry of local services per remote device; the source reports the remote
    // device's name with the port instead.
    return {};
}

}  // namespace kv::platform
