// The run log: one text line per warning or failure of the numerical
// routines, appended to <TMP>/<run id>.log.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace ternival {

inline constexpr int kFirstMessageCode = 501;
inline constexpr int kLastMessageCode = 513;

// Message texts indexed by code - 501.
extern const std::array<std::string_view, 13> MessageTable;

// Text of a code, empty outside 501..513.
std::string_view MessageText(int code);

// Most lines one call (see CallLimits) appends to the log; the line after
// the last says that the rest were left out.
inline constexpr int kRunLogLinesPerCall = 1000;

// Size at which the log is set aside as "<file>.old" and started afresh.
inline constexpr long kRunLogMaxBytes = 1 << 20;

// Appends "routine : text" for codes 501..513; silent on any failure.
void LogRunMessage(int code, std::string_view routine);

// Appends "routine : text" for a line that has no message code (the end of
// a call at its time limit); silent on any failure.
void LogRunText(std::string_view routine, std::string_view text);

// Starts the line budget of a call afresh.
void ResetRunLogBudget();

// File the log is written to now.
std::string RunLogPath();

}  // namespace ternival
