// An exclusive advisory lock (flock) on a file, held for the lifetime of the object, so two
// simulators never share an EEPROM image.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tavrix::tools {

class FileLock {
 public:
  // Creates the file when absent and locks it without waiting. Nothing when another process
  // holds the lock; an unusable file leaves its reason in `error` too.
  static std::optional<FileLock> tryLock(const std::filesystem::path& path, std::string* error);

  FileLock(FileLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  FileLock& operator=(FileLock&&) = delete;
  FileLock(const FileLock&) = delete;
  ~FileLock();

 private:
  explicit FileLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace tavrix::tools
