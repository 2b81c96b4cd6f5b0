// The logger's dump as the host receives it: records rebuilt from the word stream, lost frames
// found from the word positions the identifiers carry, the CSV, and the step-response metrics.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "firmware/node/logger.hpp"
#include "sim/bus/can_message.hpp"

namespace tavrix::cli {

inline constexpr int kWordsPerRecord = kLogWordsPerRecord;
inline constexpr int kBufferWords = kLogBufferWords;
// One record per control cycle: six PWM periods of 25 us.
inline constexpr double kRecordPeriod_s = 150e-6;

// Names of the 18 words of a record, in record order.
extern const std::array<const char*, kWordsPerRecord> kLogColumns;

struct LogWord {
  int position = 0;  // 0..17 within its record, from the identifier
  int32_t value = 0;
};

// The position of a dump frame of `node`, or nothing when the frame is not one.
std::optional<int> logWordPosition(const sim::CanMessage& m, int node);

struct LogRecords {
  std::vector<std::array<std::optional<int32_t>, kWordsPerRecord>> records;
  int64_t lost_words = 0;     // words missing between received ones
  int64_t missing_words = 0;  // every empty field: the lost words, and those of a cut first or
                              // last record (a dump whose first or last frames were lost)
  std::vector<size_t> damaged;  // records with at least one missing word
};

// Rebuilds the records: the first word opens record 0 at its own position; every further word
// goes to the next position, and a jump in positions counts the words in between as lost. (A
// loss of a whole multiple of 18 words in a row, or of whole records at the end, cannot be seen
// from the positions.)
LogRecords rebuildRecords(const std::vector<LogWord>& words);

// CSV: time_s first, then the 18 named columns with the raw fixed-point values; `scaled` adds
// columns in physical units (fractions of full scale, the angle in degrees). Missing words are
// empty fields.
void writeCsv(std::ostream& out, const LogRecords& r, bool scaled);

// Step-response metrics of the q-axis current feedback to its request.
struct StepMetrics {
  double step_time_s = 0;      // first record whose request differs from the first one
  double initial = 0, final_value = 0, reference = 0;
  double rise_time_s = 0;      // 10 % to 90 % of the change
  double overshoot_pct = 0;    // peak beyond the final value, in % of the change
  double settling_time_s = 0;  // from the step until the response stays within 2 %
  double steady_state_error = 0;  // reference - final value
  bool valid = false;          // false when the request never changes
};
StepMetrics stepMetrics(const LogRecords& r);
std::string metricsTitle(const StepMetrics& m);

// Plots the q-current request and feedback of a CSV written by writeCsv into `out` (.svg or
// .png) with gnuplot, or python3-matplotlib when gnuplot is missing. Throws Failure(kRefused)
// when neither is installed or the plotter fails, Failure(kUsage) for another file type.
void plotCsv(const std::string& csv, const std::string& out, const std::string& title);

}  // namespace tavrix::cli
