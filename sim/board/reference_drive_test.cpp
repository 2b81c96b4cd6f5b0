#include "sim/board/reference_drive.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace tavrix::sim {
namespace {

std::optional<ReferenceDrive> parse(const std::string& text, std::string* error = nullptr) {
  std::istringstream in(text);
  return parseReferenceDrive(in, error);
}

ReferenceDrive shipped() {
  std::ifstream in(std::string(TAVRIX_SOURCE_DIR) + "/sim/data/reference_drive.conf");
  std::string error;
  auto d = parseReferenceDrive(in, &error);
  EXPECT_TRUE(d) << error;
  return d.value_or(ReferenceDrive{});
}

TEST(ReferenceDrive, SectionsSetTheirFieldsAndLeaveTheRest) {
  const auto d = parse(
      "# drive\n[motor]\nresistance_ohm 1.5\npole_pairs 7\n[properties]\nPOLES 14\n"
      "[board]\nbus_v 48 # volts\nnoise_seed 99\n");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->plant.motor.resistance_ohm, 1.5);
  EXPECT_EQ(d->plant.motor.pole_pairs, 7);
  EXPECT_EQ(d->board.bus_v, 48.0);
  EXPECT_EQ(d->board.noise_seed, 99u);
  EXPECT_EQ(d->plant.motor.inductance_h, MotorParams{}.inductance_h);
}

TEST(ReferenceDrive, MalformedLinesAreRejectedWithTheirNumber) {
  struct Case {
    const char* text;
    const char* why;
  } cases[] = {
      {"[motor]\nresistance 1\n", "unknown key"},
      {"[gearbox]\n", "unknown section"},
      {"[motor]\nresistance_ohm\n", "expected KEY VALUE"},
      {"[motor]\nresistance_ohm 1 2\n", "expected KEY VALUE"},
      {"[motor]\n\nresistance_ohm one\n", "line 3"},
      {"[motor]\npole_pairs -2\n", "bad value"},
      {"[board]\naux_counts 70000\n", "bad value"},
      {"[motor]\nresistance_ohm nan\n", "bad value"},
      {"[motor]\ninductance_h 0\n", "positive"},
      {"[axis]\nlower_stop_rad 5\nupper_stop_rad 1\n", "ordered"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(parse(c.text, &error)) << c.text;
    EXPECT_NE(error.find(c.why), std::string::npos) << c.text << " -> " << error;
  }
}

// The shipped motor is the one the observer's built-in coefficients for POSITION_SCALE 12800
// describe. The other set (25600) describes the same motor only roughly: its velocity entries
// are not a rescaling of the first set's.
TEST(ReferenceDrive, ShippedMotorFitsTheObserverModel) {
  const ReferenceDrive d = shipped();
  struct Set {
    int scale;
    double a11, a12, a21, a22, b21;
  } sets[] = {{12800, 63569, 9655, -8112, 35680, 36408},
              {25600, 64880, 4936, -15066, 35680, 36408}};
  for (const Set& s : sets) {
    const ObserverModel m = observerModelOf(d, s.scale);
    std::printf(
        "POSITION_SCALE %d, x 65536:  plant a11 %.0f a12 %.0f a21 %.0f a22 %.0f b11 %.0f b21 %.0f\n"
        "                         observer a11 %.0f a12 %.0f a21 %.0f a22 %.0f b11 0 b21 %.0f\n",
        s.scale, m.a11 * 65536, m.a12 * 65536, m.a21 * 65536, m.a22 * 65536, m.b11 * 65536,
        m.b21 * 65536, s.a11, s.a12, s.a21, s.a22, s.b21);
    // Both sets share the electrical entries.
    EXPECT_NEAR(m.a22 * 65536, s.a22, 0.005 * s.a22);
    EXPECT_NEAR(m.b21 * 65536, s.b21, 0.005 * s.b21);
  }
  const ObserverModel m = observerModelOf(d, 12800);
  EXPECT_NEAR(m.a11 * 65536, 63569, 20);
  EXPECT_NEAR(m.a12 * 65536, 9655, 0.005 * 9655);
  EXPECT_NEAR(m.a21 * 65536, -8112, 0.005 * 8112);
}

}  // namespace
}  // namespace tavrix::sim
