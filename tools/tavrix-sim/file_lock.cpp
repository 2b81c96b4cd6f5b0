#include "tools/tavrix-sim/file_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tavrix::tools {

std::optional<FileLock> FileLock::tryLock(const std::filesystem::path& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error) *error = "cannot open " + path.string() + ": " + std::strerror(errno);
    return std::nullopt;
  }
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int e = errno;
    ::close(fd);
    if (error) {
      *error = e == EWOULDBLOCK ? path.string() +
                                      " is in use by another simulator; give each running "
                                      "simulator its own --eeprom-dir"
                                : "cannot lock " + path.string() + ": " + std::strerror(e);
    }
    return std::nullopt;
  }
  return FileLock(fd);
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the lock
}

}  // namespace tavrix::tools
