// Verbs implemented in their own files, and helpers they share.
#pragma once

#include <chrono>
#include <string>

#include "tools/tavrix/verbs.hpp"

namespace tavrix::cli {

// Sleeps, ending early with Failure(kInterrupted) on SIGINT.
void pause(std::chrono::milliseconds d);
// 1/256 degrees as "23.5 C".
std::string temperatureText(int32_t t_c256);

void verbMonitor(Session& s, VerbArgs& a);
void verbConfigDump(Session& s, VerbArgs& a);
void verbConfigRestore(Session& s, VerbArgs& a);
void verbLogRecord(Session& s, VerbArgs& a);
void verbLogDump(Session& s, VerbArgs& a);
void verbCanopen(const std::string& path, Session& s, VerbArgs& a);

}  // namespace tavrix::cli
