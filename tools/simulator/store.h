#pragma once

// The controller's three storage areas, kept as directories of the host so that tests can look at
// what an upload left: ROOT/ramdisk, ROOT/flash and ROOT/system. The shell names a file in them as
// "/ramdisk/prog.bin", "/flash/prog.bin" or "/system/prog.bin". The areas are flat, as on the
// controller: a file lives directly in its area, and no name can reach outside it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kqsim {

enum class Area { Ramdisk, Flash, System };

// The area's word in shell paths and its directory's name.
std::string_view area_word(Area area);

struct StoredName {
    Area area = Area::Ramdisk;
    std::string name;  // a plain file name: no '/', not "." or ".."
};

// Takes a shell path apart. On a path that names no file directly in an area, nothing, with the
// reason in `error` as the controller's file system words it ("no such storage area ...", "path
// leaves the storage area", "no such directory", "no file name").
std::optional<StoredName> parse_stored_name(std::string_view path, std::string& error);

class Store {
  public:
    Store() = default;
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Keeps the areas under `root`, made (with its area directories) if missing. Without a call
    // to this, the first use makes a temporary root, which goes again when the Store does.
    bool open(const std::string& root, std::string& error);

    // Writes the file whole: it appears under its name only once all of it is there, replacing
    // an older file of that name.
    bool write(const StoredName& file, std::string_view bytes, std::string& error);
    // Removes every file of the area.
    bool clean(Area area, std::string& error);
    // Where the areas are kept; empty while no root exists yet.
    const std::string& root() const { return root_; }

  private:
    bool ready(std::string& error);

    std::string root_;
    bool temporary_ = false;
};

}  // namespace kqsim
