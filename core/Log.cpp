#include "Log.h"

#include "Version.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <strings.h>
#include <sys/time.h>

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

void Log(int level, const char* fmt, ...)
{
    const bool console = reaches(level, toStdout, stdoutLevel);
    const bool file = reaches(level, toFile, fileLevel);
    // Filtering first spares the formatting of per-packet debug lines.
    if (!console && !file)
        return;

    struct timeval now;
    ::gettimeofday(&now, nullptr);
    struct tm tm;
    ::gmtime_r(&now.tv_sec, &tm);

    char line[LOG_LINE_MAX];
    const char letter = (level >= 0 && level <= 6) ? LEVELS[level] : '?';
    int prefix = std::snprintf(line, sizeof(line), "%c: %04d-%02d-%02d %02d:%02d:%02d.%03u ", letter,
                               tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                               tm.tm_sec, static_cast<unsigned>(now.tv_usec / 1000));
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(line + prefix, sizeof(line) - prefix, fmt, args);
    va_end(args);

    std::lock_guard<std::mutex> lock(logMutex);
    if (console)
        std::fputs(line, stdout);
    if (!file || (m_fpLog == nullptr && !openLocked(APP_NAME)))
        return;
    if (std::fputs(line, m_fpLog) >= 0 && std::fflush(m_fpLog) == 0)
        return;
    // A failed write (full disk, file gone): let go of the file and try to
    // open it again with the next line. Closing it keeps the descriptor from
    // leaking over a long run.
    std::fclose(m_fpLog);
    m_fpLog = nullptr;
    logPath.clear();
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
