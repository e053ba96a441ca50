// The one log of the process: every message goes through Log(), which stamps
// it with a level letter and the UTC time and writes it to standard output
// (the journal, under systemd), to the log file, or to both, each with a
// threshold of its own.
//
// Levels: 1 D debug, 2 M configuration echo, 3 I information, 4 W warning,
// 5 E error, 6 F fatal. A line reaches a destination when its level is at
// least that destination's threshold; threshold 0 switches it off.
//
// Thread-safety: every function may be called from any thread. Opening,
// closing and writing the file are serialised, so a rotation (LogClose from
// the signal thread) never loses or splits a line of another thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

namespace halvane {

// Longest line, prefix and message together, including the terminating NUL.
constexpr std::size_t LOG_LINE_MAX = 1024;

enum class LogDestination { File, Stdout, Both };

// Where lines go; both by default. Leaving out the file closes it.
void setLogDestination(LogDestination destination);
LogDestination getLogDestination();
// "file", "stdout" (or "journal") or "both", in any case; nothing otherwise.
std::optional<LogDestination> parseLogDestination(const char* text);

// Both thresholds at once.
void setLogLevel(int level);
void setFileLogLevel(int level);
void setStdoutLogLevel(int level);
// The lowest level that still reaches a destination; 0 when none does.
int getLogLevel();

// Opens the log file for the base name `name`: "$HalvaneLogDir/<name>.log"
// when the variable is set, otherwise "/var/log/<name>.log", then
// "./<name>.log". Returns true when a file is open afterwards; does nothing
// when one is already open or the file is no destination.
bool LogOpen(const char* name);

// Closes the log file if one is open; the next emitted line reopens it under
// the fixed program name. This is how rotation works.
void LogClose();

// Path of the open log file, or empty when none is open.
const char* LogPath();

// Lines of levels 3 to 5 from one call site: LOG_RATE_BURST pass in each
// LOG_RATE_INTERVAL, the rest are dropped, and the next line of that site
// after the interval (or any later line, when the site went quiet) is
// preceded by "... N more like this suppressed".
constexpr int LOG_RATE_BURST = 10;
constexpr std::chrono::seconds LOG_RATE_INTERVAL{10};

// Formats and emits one line. Callers put the line end into `fmt`; every
// other control character of the message (a peer's text, say) is written as
// an escape such as \n, \r, \t or \x1b, so that no text forges a line or
// talks to a terminal. Lines for standard output are queued to a writer
// thread (ConsoleWriter): when it cannot keep up they are dropped, which the
// log file tells once.
void Log(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Waits at most half a second for standard output to take the queued lines;
// true when it took them all. Runs by itself when the process ends.
bool LogFlush();

// The clock of the rate limit (tests); nullptr is the steady clock. Setting
// it forgets every call site's history.
using LogClock = std::chrono::steady_clock::time_point (*)();
void setLogClock(LogClock clock);

// Writes a hex dump of `data` at level 1 (debug), 16 bytes a line, each line
// headed by `title`. Costs nothing when debug lines are filtered.
void LogHexDump(const char* title, const void* data, std::size_t len);

} // namespace halvane
