#include "sim/board/serial_eeprom.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace tavrix::sim {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr SimTime kByteClk = 64;  // 8 bits at 5 MHz
constexpr SimTime kCycleClk = fromMillis(5);

// Drives the part as the SPI0 master does: one command per chip-select cycle, time advancing by
// one byte time per frame.
struct Master {
  SerialEeprom& part;
  SimTime now = 1000;

  Bytes cycle(const Bytes& mosi) {
    Bytes miso;
    part.select(now);
    for (uint8_t b : mosi) {
      now += kByteClk;
      miso.push_back(static_cast<uint8_t>(part.transfer(b, now)));
    }
    now += kByteClk;
    part.deselect(now);
    return miso;
  }
  void writeEnable() { cycle({0x06}); }
  void write(uint16_t address, const Bytes& data) {
    Bytes out{0x02, uint8_t(address >> 8), uint8_t(address)};
    out.insert(out.end(), data.begin(), data.end());
    cycle(out);
  }
  Bytes read(uint16_t address, size_t n) {
    Bytes out{0x03, uint8_t(address >> 8), uint8_t(address)};
    out.resize(3 + n, 0xA5);  // filler
    Bytes in = cycle(out);
    return Bytes(in.begin() + 3, in.end());
  }
  uint8_t readStatus() { return cycle({0x05, 0x00})[1]; }
  void waitReady() {
    while (readStatus() & SerialEeprom::kStatusWriteInProgress) now += fromMicros(100);
  }
  // The firmware's block write: enable, write, poll until ready.
  void writeBlock(uint16_t address, const Bytes& data) {
    writeEnable();
    write(address, data);
    waitReady();
  }
};

class TempDir {
 public:
  TempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::filesystem::temp_directory_path() /
            ("tavrix_eeprom_" + std::to_string(::getpid()) + "_" + info->name());
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::filesystem::path file(const char* name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

Bytes fileBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::filesystem::path& p, const Bytes& bytes) {
  std::ofstream out(p, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

TEST(SerialEeprom, BlankPartReadsErasedAndIdle) {
  SerialEeprom part;
  Master m{part};
  EXPECT_EQ(m.read(0, 4), Bytes(4, 0xFF));
  EXPECT_EQ(m.read(8191, 1), Bytes{0xFF});
  EXPECT_EQ(m.readStatus(), 0);
  EXPECT_EQ(part.image().size(), 8192u);
}

TEST(SerialEeprom, EnabledWriteStoresDataAndRunsOneCycleFromRelease) {
  SerialEeprom part;
  Master m{part};
  m.writeEnable();
  EXPECT_EQ(m.readStatus(), SerialEeprom::kStatusWriteEnableLatch);
  m.write(122, {0x34, 0x12});
  const SimTime released = m.now;
  // Latch cleared by the write; busy for exactly the write cycle.
  EXPECT_EQ(part.status(released), SerialEeprom::kStatusWriteInProgress);
  EXPECT_TRUE(part.busy(released + kCycleClk - 1));
  EXPECT_FALSE(part.busy(released + kCycleClk));
  m.now = released + kCycleClk;
  EXPECT_EQ(m.readStatus(), 0);
  EXPECT_EQ(m.read(121, 4), (Bytes{0xFF, 0x34, 0x12, 0xFF}));
  EXPECT_EQ(part.writeCount(), 1u);
  EXPECT_EQ(part.ignoredWriteCount(), 0u);
}

TEST(SerialEeprom, WritesWithoutTheLatchAreIgnored) {
  struct Case {
    const char* name;
    std::vector<Bytes> before;  // cycles before the write
  } cases[] = {
      {"never enabled", {}},
      {"enabled then disabled", {{0x06}, {0x04}}},
      {"latch used by an earlier write", {{0x06}, {0x02, 0x00, 0x10, 0x01}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SerialEeprom part;
    Master m{part};
    for (const Bytes& cmd : c.before) {
      m.cycle(cmd);
      m.waitReady();
    }
    const uint64_t writes = part.writeCount();
    m.write(0x40, {0x55});
    EXPECT_FALSE(part.busy(m.now));
    EXPECT_EQ(m.read(0x40, 1), Bytes{0xFF});
    EXPECT_EQ(part.writeCount(), writes);
    EXPECT_EQ(part.ignoredWriteCount(), 1u);
  }
}

TEST(SerialEeprom, DuringTheWriteCycleOnlyReadStatusIsHeard) {
  SerialEeprom part;
  Master m{part};
  m.writeBlock(0x20, {0x11});
  m.writeEnable();
  m.write(0x20, {0x22});
  ASSERT_TRUE(part.busy(m.now));
  EXPECT_EQ(m.read(0x20, 1), Bytes{0xFF});  // not the cell
  m.writeEnable();                          // ignored: latch stays clear
  m.write(0x21, {0x33});                    // ignored
  EXPECT_EQ(m.readStatus(), SerialEeprom::kStatusWriteInProgress);
  m.waitReady();
  EXPECT_EQ(m.readStatus(), 0);
  EXPECT_EQ(m.read(0x20, 2), (Bytes{0x22, 0xFF}));
  EXPECT_EQ(part.writeCount(), 2u);
  EXPECT_EQ(part.ignoredWriteCount(), 1u);
}

TEST(SerialEeprom, WriteWrapsWithinItsPage) {
  struct Case {
    uint16_t address;
    Bytes data;
    std::vector<std::pair<uint16_t, uint8_t>> expect;  // cell, value
  } cases[] = {
      // Starts 2 bytes before the page end: the last two land at the page start.
      {30, {1, 2, 3, 4}, {{30, 1}, {31, 2}, {0, 3}, {1, 4}, {32, 0xFF}, {29, 0xFF}}},
      {95, {9, 8}, {{95, 9}, {64, 8}, {96, 0xFF}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    SerialEeprom part;
    Master m{part};
    m.writeBlock(c.address, c.data);
    for (auto [cell, value] : c.expect) EXPECT_EQ(part.image()[cell], value) << "cell " << cell;
  }
  // 33 bytes into one page: byte 32 overwrites byte 0, the rest stay.
  SerialEeprom part;
  Master m{part};
  Bytes data(33);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i);
  m.writeBlock(64, data);
  EXPECT_EQ(part.image()[64], 32);
  EXPECT_EQ(part.image()[65], 1);
  EXPECT_EQ(part.image()[95], 31);
  EXPECT_EQ(part.image()[96], 0xFF);
}

TEST(SerialEeprom, ReadIsSequentialAndWrapsAtTheEnd) {
  SerialEeprom part;
  Master m{part};
  part.preload(8190, Bytes{0xA1, 0xA2});
  part.preload(0, Bytes{0xB0, 0xB1});
  EXPECT_EQ(m.read(8190, 4), (Bytes{0xA1, 0xA2, 0xB0, 0xB1}));
  // Address bits above 8 KiB are don't-care.
  EXPECT_EQ(m.read(0xE000 | 8190, 2), (Bytes{0xA1, 0xA2}));
  // A read across a page boundary does not wrap in the page.
  part.preload(31, Bytes{0xC1, 0xC2});
  EXPECT_EQ(m.read(31, 2), (Bytes{0xC1, 0xC2}));
}

TEST(SerialEeprom, ShortOrOddCyclesStoreNothing) {
  SerialEeprom part;
  Master m{part};
  m.writeEnable();
  m.cycle({0x02, 0x00, 0x10});  // address, no data: no cycle, latch kept
  EXPECT_EQ(m.readStatus(), SerialEeprom::kStatusWriteEnableLatch);
  m.cycle({0x02, 0x00});  // incomplete address
  EXPECT_EQ(m.readStatus(), SerialEeprom::kStatusWriteEnableLatch);
  EXPECT_EQ(m.cycle({0x9F, 0x00, 0x00}), Bytes(3, 0xFF));  // unknown command
  EXPECT_EQ(part.writeCount(), 0u);
  EXPECT_EQ(Bytes(part.image().begin(), part.image().end()), Bytes(8192, 0xFF));
}

TEST(SerialEeprom, StuckBusyNeverFinishesUntilCleared) {
  SerialEeprom part({.fault = EepromFault::kStuckBusy});
  Master m{part};
  m.writeEnable();
  m.write(4, {0x5A});
  m.now += fromMillis(1000);
  EXPECT_EQ(m.readStatus(), SerialEeprom::kStatusWriteInProgress);
  EXPECT_EQ(m.read(4, 1), Bytes{0xFF});
  part.setFault(EepromFault::kNone);
  EXPECT_EQ(m.readStatus(), 0);
  EXPECT_EQ(m.read(4, 1), Bytes{0x5A});
}

TEST(SerialEeprom, AbsentPartFloatsAndStoresNothing) {
  for (uint8_t level : {uint8_t{0xFF}, uint8_t{0x00}}) {
    SCOPED_TRACE(int(level));
    SerialEeprom part({.floating_data_out = level, .fault = EepromFault::kAbsent});
    part.preload(0, Bytes{0x12});
    Master m{part};
    m.writeEnable();
    m.write(0, {0x34});
    EXPECT_EQ(m.read(0, 2), Bytes(2, level));
    EXPECT_EQ(m.readStatus(), level);
    EXPECT_EQ(part.image()[0], 0x12);
    EXPECT_EQ(part.writeCount(), 0u);
  }
}

TEST(SerialEeprom, FlakyReadsFlipOneBitInEveryNthByteAndLeaveTheCells) {
  SerialEeprom part;
  Master m{part};
  part.preload(0, Bytes(12, 0x00));
  part.setReadBitFlips(5);
  // Bytes 5 and 10 of the reads come out with bit 0, then bit 1, flipped; status reads and the
  // command and address bytes do not count.
  EXPECT_EQ(m.read(0, 6), (Bytes{0, 0, 0, 0, 0x01, 0}));
  m.readStatus();
  EXPECT_EQ(m.read(6, 6), (Bytes{0, 0, 0, 0x02, 0, 0}));
  EXPECT_EQ(part.flippedReadCount(), 2u);
  EXPECT_EQ(Bytes(part.image().begin(), part.image().begin() + 12), Bytes(12, 0x00));
  part.setReadBitFlips(0);
  EXPECT_EQ(m.read(0, 12), Bytes(12, 0x00));
}

TEST(SerialEeprom, RejectsUnsupportedGeometry) {
  const SerialEepromConfig bad[] = {
      {.size_bytes = 4096}, {.size_bytes = 12288}, {.size_bytes = 131072},
      {.page_bytes = 0},    {.page_bytes = 24},    {.write_cycle_clk = -1},
  };
  for (const auto& c : bad) EXPECT_THROW(SerialEeprom{c}, std::invalid_argument);
  SerialEeprom big({.size_bytes = 65536, .page_bytes = 128});
  Master m{big};
  m.writeBlock(0xFFFF, {0x42});
  EXPECT_EQ(m.read(0xFFFF, 1), Bytes{0x42});
  EXPECT_THROW(big.preload(65535, Bytes{1, 2}), std::out_of_range);
}

TEST(SerialEepromImage, AbsentFileIsABlankPartAndEveryWriteIsInTheFileWhenReady) {
  TempDir dir;
  const auto path = dir.file("node.eeprom");
  {
    SerialEeprom part(path);
    EXPECT_EQ(fileBytes(path), Bytes(8192, 0xFF));
    Master m{part};
    m.writeEnable();
    m.write(148, {0x70, 0x11, 0x01, 0x00});
    // Checked while the part still runs its cycle and before it is destroyed: a killed
    // simulator leaves the same file.
    const Bytes on_disk = fileBytes(path);
    ASSERT_EQ(on_disk.size(), 8192u);
    EXPECT_EQ(Bytes(on_disk.begin() + 148, on_disk.begin() + 152), (Bytes{0x70, 0x11, 0x01, 0x00}));
    EXPECT_EQ(on_disk[147], 0xFF);
  }
  SerialEeprom again(path);
  Master m{again};
  EXPECT_EQ(m.read(148, 4), (Bytes{0x70, 0x11, 0x01, 0x00}));
}

TEST(SerialEepromImage, WrongSizedFilesArePaddedOrKeepTheirTail) {
  TempDir dir;
  const auto short_path = dir.file("short.eeprom");
  writeFile(short_path, {1, 2, 3});
  {
    SerialEeprom part(short_path);
    EXPECT_EQ(part.image()[2], 3);
    EXPECT_EQ(part.image()[3], 0xFF);
    Bytes expect(8192, 0xFF);
    expect[0] = 1, expect[1] = 2, expect[2] = 3;
    EXPECT_EQ(fileBytes(short_path), expect);
  }
  const auto long_path = dir.file("long.eeprom");
  Bytes big(8192 + 10, 0x00);
  big.back() = 0x77;
  writeFile(long_path, big);
  SerialEeprom part(long_path, {.sync_to_disk = true});
  Master m{part};
  m.writeBlock(8191, {0x99});
  const Bytes on_disk = fileBytes(long_path);
  ASSERT_EQ(on_disk.size(), big.size());
  EXPECT_EQ(on_disk[8191], 0x99);
  EXPECT_EQ(on_disk.back(), 0x77);
  EXPECT_EQ(m.read(0, 1), Bytes{0x00});
}

TEST(SerialEepromImage, UnusableFileThrows) {
  TempDir dir;
  EXPECT_THROW(SerialEeprom(dir.file("missing_dir") / "x.eeprom"), std::system_error);
}

}  // namespace
}  // namespace tavrix::sim
