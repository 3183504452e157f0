#pragma once

#include <string>

namespace kqsim {

// The controller's end of the line: a pseudo terminal whose slave the client opens like a
// serial port. We keep a descriptor of the slave ourselves, so the client can close and reopen
// it without the master ever seeing a hang-up.
class Pty {
  public:
    Pty() = default;
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    ~Pty() { hang_up(); }

    bool open(std::string& error);
    // Closes every descriptor we hold, which the client sees as the line going dead.
    void hang_up();

    bool is_open() const { return master_ >= 0; }
    // Bytes we wrote that the client has not read yet.
    int unread_by_client() const;
    int master() const { return master_; }
    const std::string& slave_path() const { return slave_path_; }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
};

// A symlink to the slave at a stable path, removed again when we exit.
class Link {
  public:
    Link() = default;
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    ~Link();

    bool create(const std::string& path, const std::string& target, std::string& error);

  private:
    std::string path_;
    std::string target_;
};

}  // namespace kqsim
