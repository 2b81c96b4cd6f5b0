#include "sim/board/image_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace tavrix::sim {
namespace {

[[noreturn]] void fail(const char* what, const std::filesystem::path& path) {
  throw std::system_error(errno, std::generic_category(), std::string(what) + " " + path.string());
}

}  // namespace

ImageFile::ImageFile(const std::filesystem::path& path, bool sync_to_disk)
    : path_(path), sync_to_disk_(sync_to_disk) {
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) fail("cannot open memory image", path_);
}

ImageFile::~ImageFile() {
  if (fd_ >= 0) ::close(fd_);
}

uint64_t ImageFile::size() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) fail("cannot stat memory image", path_);
  return static_cast<uint64_t>(st.st_size);
}

size_t ImageFile::read(uint64_t offset, std::span<uint8_t> out) const {
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n =
        ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("cannot read memory image", path_);
    }
    if (n == 0) break;  // end of file
    done += static_cast<size_t>(n);
  }
  return done;
}

void ImageFile::write(uint64_t offset, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("cannot write memory image", path_);
    }
    if (n == 0) {  // no progress on a regular file: treat as an I/O error, never spin
      errno = EIO;
      fail("cannot write memory image", path_);
    }
    done += static_cast<size_t>(n);
  }
  if (sync_to_disk_ && ::fdatasync(fd_) != 0) fail("cannot sync memory image", path_);
}

}  // namespace tavrix::sim
