// A binary image file that a simulated memory part keeps its cells in. The one place in the board
// models that calls the host OS: positioned reads and writes on a file descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>

namespace tavrix::sim {

class ImageFile {
 public:
  // Opens `path` for reading and writing, creating an empty file if there is none. With
  // `sync_to_disk` every write is followed by fdatasync, so it also survives a host crash;
  // without it a write is in the host kernel when `write` returns, which survives the simulator
  // being killed. Throws std::system_error when the file cannot be opened.
  ImageFile(const std::filesystem::path& path, bool sync_to_disk);
  ~ImageFile();
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  // Current length of the file in bytes.
  uint64_t size() const;
  // Reads up to `out.size()` bytes at `offset`; returns how many there were.
  size_t read(uint64_t offset, std::span<uint8_t> out) const;
  // Writes all of `bytes` at `offset` (extending the file as needed) before returning.
  // Throws std::system_error on failure: losing an acknowledged write is not an option.
  void write(uint64_t offset, std::span<const uint8_t> bytes);

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  int fd_ = -1;
  bool sync_to_disk_ = false;
};

}  // namespace tavrix::sim
