// Bytes that end where readable memory ends: reading one byte past them faults in every build, not
// only under AddressSanitizer. For the checks that a caller's text without a terminator is read no
// further than the library's limit.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace kvtest {

class GuardedBytes {
  public:
    explicit GuardedBytes(const std::string& bytes) {
#if !defined(_WIN32)
        const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        const std::size_t pages = (bytes.size() + page - 1) / page + 1;
        length_ = pages * page;
        void* map = ::mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) {
            length_ = 0;
        } else {
            base_ = static_cast<char*>(map);
            ::mprotect(base_ + length_ - page, page, PROT_NONE);
            data_ = base_ + length_ - page - bytes.size();
        }
#endif
        if (data_ == nullptr) {
            // Without a guard page the heap must do: AddressSanitizer still sees a read past the end.
            fallback_.assign(bytes.begin(), bytes.end());
            data_ = fallback_.data();
        }
        std::memcpy(data_, bytes.data(), bytes.size());
    }
    ~GuardedBytes() {
#if !defined(_WIN32)
        if (base_ != nullptr) {
            ::munmap(base_, length_);
        }
#endif
    }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    char* data() const {
        return data_;
    }

  private:
    char* base_ = nullptr;
    std::size_t length_ = 0;
    char* data_ = nullptr;
    std::vector<char> fallback_;
};

}  // namespace kvtest
