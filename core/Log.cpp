#include "Log.h"

#include "ConsoleWriter.h"
#include "ProcessExit.h"
#include "Version.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <strings.h>
#include <sys/time.h>
#include <unistd.h>
#include <unordered_map>

namespace halvane {

namespace {

const char LEVELS[] = " DMIWEF";

std::mutex logMutex;          // guards m_fpLog and logPath
FILE* m_fpLog = nullptr;
std::string logPath;

// The thresholds and destinations are read by every Log call on every
// thread, so they are atomic rather than under the file mutex.
std::atomic_int stdoutLevel{4};
std::atomic_int fileLevel{4};
std::atomic_bool toStdout{true};
std::atomic_bool toFile{true};

// Lines of these levels are rate-limited per call site: what a peer can set
// off in numbers. Debug lines are the operator's own choice (and a hex dump is
// many lines from one place), the configuration echo and fatal lines are
// never held back.
bool limited(int level)
{
    return level >= 3 && level <= 5;
}

std::atomic<LogClock> clockSeam{nullptr};

std::chrono::steady_clock::time_point monotonicNow()
{
    const LogClock seam = clockSeam.load(std::memory_order_relaxed);
    return seam != nullptr ? seam() : std::chrono::steady_clock::now();
}

// One place in the program that logs: the caller's return address tells
// call sites apart even where the linker merged equal format strings, and
// the format tells apart the lines a helper logs for its callers.
struct CallSite {
    const void* caller;
    const char* fmt;
    bool operator==(const CallSite&) const = default;
};

struct CallSiteHash {
    std::size_t operator()(const CallSite& site) const
    {
        return std::hash<const void*>()(site.caller) * 31 + std::hash<const void*>()(site.fmt);
    }
};

struct SiteWindow {
    std::chrono::steady_clock::time_point start;
    int level = 0;
    int passed = 0;
    unsigned suppressed = 0;
};

// The sites are the program's own, so the table stays small; the bound only
// guards against a caller with a computed format.
constexpr std::size_t MAX_SITES = 1024;

std::mutex rateMutex; // guards sites and nextSweep
std::unordered_map<CallSite, SiteWindow, CallSiteHash> sites;
std::chrono::steady_clock::time_point nextSweep;

// Never destroyed, so that lines logged while static objects are torn down
// still have somewhere to go.
ConsoleWriter& console()
{
    static ConsoleWriter* writer = [] {
        // The last lines (a fatal one, say) reach the journal before the
        // process ends.
        addExitAction([] { LogFlush(); });
        return new ConsoleWriter(STDOUT_FILENO);
    }();
    return *writer;
}
std::atomic_bool consoleDropReported{false};

bool reaches(int level, const std::atomic_bool& enabled, const std::atomic_int& threshold)
{
    const int t = threshold.load(std::memory_order_relaxed);
    return enabled.load(std::memory_order_relaxed) && t != 0 && level >= t;
}

// Tries the log locations in order for `name`; caller holds logMutex.
bool openLocked(const char* name)
{
    if (m_fpLog != nullptr)
        return true;
    char path[1024];
    const char* dir = std::getenv("HalvaneLogDir");
    if (dir != nullptr)
        std::snprintf(path, sizeof(path), "%s/%s.log", dir, name);
    else
        std::snprintf(path, sizeof(path), "/var/log/%s.log", name);
    m_fpLog = std::fopen(path, "a+");
    if (m_fpLog == nullptr) {
        std::snprintf(path, sizeof(path), "./%s.log", name);
        m_fpLog = std::fopen(path, "a+");
    }
    logPath = m_fpLog != nullptr ? path : "";
    return m_fpLog != nullptr;
}

} // namespace

void setLogDestination(LogDestination destination)
{
    toStdout = destination != LogDestination::File;
    toFile = destination != LogDestination::Stdout;
    if (!toFile)
        LogClose();
}

LogDestination getLogDestination()
{
    if (!toFile)
        return LogDestination::Stdout;
    return toStdout ? LogDestination::Both : LogDestination::File;
}

std::optional<LogDestination> parseLogDestination(const char* text)
{
    if (strcasecmp(text, "file") == 0)
        return LogDestination::File;
    if (strcasecmp(text, "stdout") == 0 || strcasecmp(text, "journal") == 0)
        return LogDestination::Stdout;
    if (strcasecmp(text, "both") == 0)
        return LogDestination::Both;
    return std::nullopt;
}

void setLogLevel(int level)
{
    setStdoutLogLevel(level);
    setFileLogLevel(level);
}

void setFileLogLevel(int level)
{
    fileLevel.store(level, std::memory_order_relaxed);
}

void setStdoutLogLevel(int level)
{
    stdoutLevel.store(level, std::memory_order_relaxed);
}

int getLogLevel()
{
    int lowest = 0;
    for (int level = 6; level >= 1; --level) {
        if (reaches(level, toStdout, stdoutLevel) || reaches(level, toFile, fileLevel))
            lowest = level;
    }
    return lowest;
}

bool LogOpen(const char* name)
{
    if (!toFile)
        return false;
    std::lock_guard<std::mutex> lock(logMutex);
    return openLocked(name);
}

void LogClose()
{
    std::lock_guard<std::mutex> lock(logMutex);
    if (m_fpLog != nullptr) {
        std::fclose(m_fpLog);
        m_fpLog = nullptr;
        logPath.clear();
    }
}

const char* LogPath()
{
    // Only tests and start-up messages ask; the text lives as long as the file.
    std::lock_guard<std::mutex> lock(logMutex);
    static thread_local std::string copy;
    copy = logPath;
    return copy.c_str();
}

namespace {

const char HEX[] = "0123456789abcdef";

// Copies the message `in` to `out` (room for `room` bytes and a NUL) with
// every control character but the final line feed written as an escape, so
// that a peer's text can neither start a line of its own nor send the
// terminal a command: C0 controls, DEL, a C1 control coded in UTF-8 and a
// byte from 0x80 to 0x9F outside a UTF-8 sequence (a C1 control to an
// 8-bit terminal). Returns the bytes written.
std::size_t escapeMessage(const char* in, char* out, std::size_t room)
{
    std::size_t used = 0;
    int continuation = 0; // bytes still due in the current UTF-8 sequence
    auto put = [&](const char* text, std::size_t n) {
        if (used + n > room)
            return false;
        std::memcpy(out + used, text, n);
        used += n;
        return true;
    };
    auto putHex = [&](unsigned char byte) {
        const char text[4] = {'\\', 'x', HEX[byte >> 4], HEX[byte & 15]};
        return put(text, 4);
    };
    for (const char* p = in; *p != '\0'; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        const auto next = static_cast<unsigned char>(p[1]);
        bool ok = true;
        if (byte == '\n' && next == 0) {
            ok = put("\n", 1);
        } else if (byte == '\n') {
            ok = put("\\n", 2);
        } else if (byte == '\r') {
            ok = put("\\r", 2);
        } else if (byte == '\t') {
            ok = put("\\t", 2);
        } else if (byte < 0x20 || byte == 0x7f) {
            ok = putHex(byte);
        } else if (byte == 0xc2 && next >= 0x80 && next <= 0x9f) {
            ok = putHex(byte) && putHex(next);
            ++p;
        } else if (byte >= 0x80 && byte <= 0x9f && continuation == 0) {
            ok = putHex(byte);
        } else {
            ok = put(p, 1);
        }
        if (!ok)
            break;
        if (byte >= 0x80 && byte <= 0xbf)
            continuation = continuation > 0 ? continuation - 1 : 0;
        else
            // After C2 a C1 control was taken whole above.
            continuation = byte >= 0xf5 ? 0 : byte >= 0xf0 ? 3 : byte >= 0xe0 ? 2 : byte >= 0xc3 ? 1 : 0;
    }
    out[used] = '\0';
    return used;
}

// Formats the prefix for `level` at the current time into `line`.
int formatPrefix(int level, char* line, std::size_t size)
{
    struct timeval now;
    ::gettimeofday(&now, nullptr);
    struct tm tm;
    ::gmtime_r(&now.tv_sec, &tm);
    const char letter = (level >= 0 && level <= 6) ? LEVELS[level] : '?';
    return std::snprintf(line, size, "%c: %04d-%02d-%02d %02d:%02d:%02d.%03u ", letter, tm.tm_year + 1900,
                         tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                         static_cast<unsigned>(now.tv_usec / 1000));
}

// Writes one finished line to the destinations asked for.
void emit(bool toConsole, bool toLogFile, const char* line, std::size_t length)
{
    std::lock_guard<std::mutex> lock(logMutex);
    bool consoleDropped = false;
    if (toConsole && !console().write(std::string_view(line, length)))
        consoleDropped = toLogFile && !consoleDropReported.exchange(true);
    if (!toLogFile || (m_fpLog == nullptr && !openLocked(APP_NAME)))
        return;
    // Said once, in the file only: standard output is what cannot take it.
    if (consoleDropped) {
        char notice[LOG_LINE_MAX];
        const int prefix = formatPrefix(4, notice, sizeof(notice));
        std::snprintf(notice + prefix, sizeof(notice) - prefix,
                      "Standard output is full or closed: console lines are dropped, the log file goes on\n");
        std::fputs(notice, m_fpLog);
    }
    if (std::fputs(line, m_fpLog) >= 0 && std::fflush(m_fpLog) == 0)
        return;
    // A failed write (full disk, file gone): let go of the file and try to
    // open it again with the next line. Closing it keeps the descriptor from
    // leaking over a long run.
    std::fclose(m_fpLog);
    m_fpLog = nullptr;
    logPath.clear();
}

void emitSuppressed(const SiteWindow& window)
{
    const bool toConsole = reaches(window.level, toStdout, stdoutLevel);
    const bool toLogFile = reaches(window.level, toFile, fileLevel);
    char line[LOG_LINE_MAX];
    const int prefix = formatPrefix(window.level, line, sizeof(line));
    const int n = std::snprintf(line + prefix, sizeof(line) - prefix, "... %u more like this suppressed\n",
                                window.suppressed);
    emit(toConsole, toLogFile, line, static_cast<std::size_t>(prefix + n));
}

// Whether the line from `site` may pass; reports what a site held back once
// its interval is over. Caller holds rateMutex.
bool admitLocked(const CallSite& site, int level, std::chrono::steady_clock::time_point now)
{
    // Sites that went quiet after a flood report it with the next line of
    // any place, at most once a second.
    if (now >= nextSweep) {
        nextSweep = now + std::chrono::seconds(1);
        for (auto& [key, window] : sites) {
            if (window.suppressed > 0 && now - window.start >= LOG_RATE_INTERVAL && !(key == site)) {
                emitSuppressed(window);
                window = SiteWindow{now, window.level, 0, 0};
            }
        }
    }
    auto found = sites.find(site);
    if (found == sites.end()) {
        if (sites.size() >= MAX_SITES)
            return true;
        found = sites.emplace(site, SiteWindow{now, level, 0, 0}).first;
    }
    SiteWindow& window = found->second;
    if (now - window.start >= LOG_RATE_INTERVAL) {
        if (window.suppressed > 0)
            emitSuppressed(window);
        window = SiteWindow{now, level, 0, 0};
    }
    window.level = level;
    if (window.passed < LOG_RATE_BURST) {
        ++window.passed;
        return true;
    }
    ++window.suppressed;
    return false;
}

} // namespace

void setLogClock(LogClock clock)
{
    clockSeam.store(clock, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(rateMutex);
    sites.clear();
    nextSweep = {};
}

bool LogFlush()
{
    return console().flush(std::chrono::milliseconds(500));
}

void Log(int level, const char* fmt, ...)
{
    const bool toConsole = reaches(level, toStdout, stdoutLevel);
    const bool toLogFile = reaches(level, toFile, fileLevel);
    // Filtering first spares the formatting of per-packet debug lines.
    if (!toConsole && !toLogFile)
        return;

    std::unique_lock<std::mutex> rateLock(rateMutex, std::defer_lock);
    if (limited(level)) {
        rateLock.lock();
        if (!admitLocked({__builtin_return_address(0), fmt}, level, monotonicNow()))
            return;
        rateLock.unlock();
    }

    char message[LOG_LINE_MAX];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(message, sizeof(message), fmt, args);
    va_end(args);

    char line[LOG_LINE_MAX];
    const int prefix = formatPrefix(level, line, sizeof(line));
    const std::size_t length =
        static_cast<std::size_t>(prefix) + escapeMessage(message, line + prefix, sizeof(line) - 1 - prefix);
    emit(toConsole, toLogFile, line, length);
}

void LogHexDump(const char* title, const void* data, std::size_t len)
{
    if (getLogLevel() != 1)
        return;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t offset = 0; offset < len; offset += 16) {
        char hex[16 * 3 + 1];
        std::size_t used = 0;
        for (std::size_t i = offset; i < len && i < offset + 16; ++i)
            used += std::snprintf(hex + used, sizeof(hex) - used, "%02X ", bytes[i]);
        hex[used] = '\0';
        Log(1, "%s %04zX: %s\n", title, offset, hex);
    }
}

} // namespace halvane
