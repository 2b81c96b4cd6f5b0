#include "tools/tavrix/log_record.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "tools/tavrix/errors.hpp"

namespace tavrix::cli {

namespace {
constexpr int kIqRequest = 7;
constexpr int kIqFeedback = 9;
}  // namespace

const std::array<const char*, kWordsPerRecord> kLogColumns = {
    "pwm_a", "pwm_b", "pwm_c", "i_a", "i_b", "i_c", "id_req", "iq_req", "id_fbck",
    "iq_fbck", "ud_req", "uq_req", "x_d", "x11", "x21", "velocity_x11", "use_estimate",
    "th_rot_el"};

std::optional<int> logWordPosition(const sim::CanMessage& m, int node) {
  if (m.extended || m.remote || m.length != 4) return std::nullopt;
  if (m.id > 0x7FF || !(m.id & Logger::kGroupFlag) || Logger::dumpSource(m.id) != node) {
    return std::nullopt;
  }
  const int position = Logger::dumpPosition(m.id);
  if (position < 0) return std::nullopt;
  return position;
}

LogRecords rebuildRecords(const std::vector<LogWord>& words) {
  LogRecords r;
  if (words.empty()) return r;
  int64_t index = words.front().position;  // word index from the start of record 0
  int expected = words.front().position;
  for (const LogWord& w : words) {
    const int gap = ((w.position - expected) % kWordsPerRecord + kWordsPerRecord) % kWordsPerRecord;
    r.lost_words += gap;
    index += gap;
    const size_t rec = static_cast<size_t>(index / kWordsPerRecord);
    while (r.records.size() <= rec) r.records.emplace_back();
    r.records[rec][static_cast<size_t>(w.position)] = w.value;
    ++index;
    expected = (w.position + 1) % kWordsPerRecord;
  }
  // Every empty field: the gaps counted above, and also the positions before the first word of
  // record 0 and after the last word of the last record.
  for (size_t i = 0; i < r.records.size(); ++i) {
    const auto missing = std::count(r.records[i].begin(), r.records[i].end(), std::nullopt);
    if (missing > 0) r.damaged.push_back(i);
    r.missing_words += missing;
  }
  return r;
}

void writeCsv(std::ostream& out, const LogRecords& r, bool scaled) {
  out << "time_s";
  for (const char* c : kLogColumns) out << "," << c;
  if (scaled) {
    for (int i = 0; i < 15; ++i) out << "," << kLogColumns[static_cast<size_t>(i)] << "_frac";
    out << ",th_rot_el_deg";
  }
  out << "\n";
  char b[64];
  for (size_t i = 0; i < r.records.size(); ++i) {
    std::snprintf(b, sizeof b, "%.6f", static_cast<double>(i) * kRecordPeriod_s);
    out << b;
    for (const auto& v : r.records[i]) {
      out << ",";
      if (v) out << *v;
    }
    if (scaled) {
      // Q31 fractions of full scale; the electrical angle with 1.0 = 180 degrees.
      for (int k = 0; k < 15; ++k) {
        out << ",";
        if (const auto& v = r.records[i][static_cast<size_t>(k)]) {
          std::snprintf(b, sizeof b, "%.6f", *v / 2147483648.0);
          out << b;
        }
      }
      out << ",";
      if (const auto& v = r.records[i][17]) {
        std::snprintf(b, sizeof b, "%.3f", *v / 2147483648.0 * 180.0);
        out << b;
      }
    }
    out << "\n";
  }
}

StepMetrics stepMetrics(const LogRecords& r) {
  StepMetrics m;
  std::vector<double> t, req, fb;
  for (size_t i = 0; i < r.records.size(); ++i) {
    const auto& q = r.records[i][kIqRequest];
    const auto& f = r.records[i][kIqFeedback];
    if (!q || !f) continue;
    t.push_back(static_cast<double>(i) * kRecordPeriod_s);
    req.push_back(*q);
    fb.push_back(*f);
  }
  if (t.size() < 4) return m;
  size_t step = 0;
  while (step < req.size() && req[step] == req.front()) ++step;
  if (step == req.size()) return m;
  // The response is measured while the request holds its new value: a later change of the
  // request (the torque cut at a limit, the end of a test) ends the step.
  size_t end = step + 1;
  while (end < req.size() && req[end] == req[step]) ++end;
  m.valid = true;
  m.step_time_s = t[step];
  double before = 0;
  for (size_t i = 0; i < step; ++i) before += fb[i];
  m.initial = step ? before / static_cast<double>(step) : fb.front();
  // Final value: the mean of the last tenth of the step.
  const size_t tail = std::max<size_t>(1, (end - step) / 10);
  double sum = 0, rsum = 0;
  for (size_t i = end - tail; i < end; ++i) {
    sum += fb[i];
    rsum += req[i];
  }
  m.final_value = sum / static_cast<double>(tail);
  m.reference = rsum / static_cast<double>(tail);
  m.steady_state_error = m.reference - m.final_value;
  const double change = m.final_value - m.initial;
  if (change == 0) return m;
  const auto frac = [&](size_t i) { return (fb[i] - m.initial) / change; };
  std::optional<double> t10, t90;
  double peak = 0;
  for (size_t i = step; i < end; ++i) {
    if (!t10 && frac(i) >= 0.1) t10 = t[i];
    if (!t90 && frac(i) >= 0.9) t90 = t[i];
    peak = std::max(peak, frac(i));
  }
  if (t10 && t90) m.rise_time_s = *t90 - *t10;
  m.overshoot_pct = std::max(0.0, (peak - 1.0) * 100.0);
  size_t last_out = step;
  for (size_t i = step; i < end; ++i) {
    if (std::fabs(frac(i) - 1.0) > 0.02) last_out = i + 1;
  }
  m.settling_time_s = (last_out < end ? t[last_out] : t[end - 1]) - m.step_time_s;
  return m;
}

std::string metricsTitle(const StepMetrics& m) {
  if (!m.valid) return "no step in the record";
  char b[200];
  std::snprintf(b, sizeof b,
                "rise 10-90%% %.3f ms, overshoot %.1f %%, settling 2%% %.3f ms, "
                "steady-state error %.0f",
                m.rise_time_s * 1e3, m.overshoot_pct, m.settling_time_s * 1e3,
                m.steady_state_error);
  return b;
}

void plotCsv(const std::string& csv, const std::string& out, const std::string& title) {
  const bool svg = out.ends_with(".svg");
  if (!svg && !out.ends_with(".png")) {
    throw Failure(Exit::kUsage, "plot file " + out + " must end in .svg or .png");
  }
  std::string script = "/tmp/tavrix-plot-XXXXXX";
  const int fd = ::mkstemp(script.data());
  if (fd < 0) throw Failure(Exit::kRefused, "cannot create a temporary file for the plot");
  ::close(fd);
  std::string cmd;
  if (std::system("command -v gnuplot >/dev/null 2>&1") == 0) {
    std::ofstream g(script);
    g << "set datafile separator ','\n"
      << "set terminal " << (svg ? "svg size 1000,600" : "pngcairo size 1000,600") << "\n"
      << "set output '" << out << "'\n"
      << "set termoption noenhanced\n"
      << "set title \"" << title << "\"\n"
      << "set xlabel 'time (s)'\nset ylabel 'q-axis current (Q31)'\nset key autotitle columnhead\n"
      << "plot '" << csv << "' using 1:9 with lines, '' using 1:11 with lines\n";
    cmd = "gnuplot " + script;
  } else if (std::system("python3 -c 'import matplotlib' >/dev/null 2>&1") == 0) {
    std::ofstream p(script);
    p << "import csv, matplotlib\nmatplotlib.use('Agg')\nimport matplotlib.pyplot as plt\n"
      << "rows = [r for r in csv.DictReader(open('" << csv << "'))]\n"
      << "t = [float(r['time_s']) for r in rows if r['iq_req'] and r['iq_fbck']]\n"
      << "q = [int(r['iq_req']) for r in rows if r['iq_req'] and r['iq_fbck']]\n"
      << "f = [int(r['iq_fbck']) for r in rows if r['iq_req'] and r['iq_fbck']]\n"
      << "plt.figure(figsize=(10, 6))\nplt.plot(t, q, label='iq_req')\nplt.plot(t, f, label='iq_fbck')\n"
      << "plt.xlabel('time (s)')\nplt.ylabel('q-axis current (Q31)')\nplt.legend()\n"
      << "plt.title('" << title << "')\nplt.savefig('" << out << "')\n";
    cmd = "python3 " + script;
  } else {
    std::remove(script.c_str());
    throw Failure(Exit::kRefused, "no plotter: install gnuplot-nox or python3-matplotlib "
                                  "(the CSV is written)");
  }
  const int rc = std::system(cmd.c_str());
  std::remove(script.c_str());
  if (rc != 0) {
    throw Failure(Exit::kRefused, "the plotter failed on " + out + " (the CSV is written; "
                                  "scripts/plot_step.gp plots it with gnuplot)");
  }
}


}  // namespace tavrix::cli
