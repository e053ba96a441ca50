// Helpers shared by the bridge protocol tests: a log captured into a
// temporary directory, and sox run as an independent reference coder.
#pragma once

#include "Log.h"
#include "TempDir.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

// Sends the process log to a fresh file for the life of the object, so a test
// can count the lines it caused.
class LogCapture {
public:
    explicit LogCapture(int level = 4) : previousLevel_(getLogLevel())
    {
        LogClose();
        ::setenv("HalvaneLogDir", dir_.path().c_str(), 1);
        LogOpen("capture");
        setLogLevel(level);
    }
    ~LogCapture()
    {
        LogClose();
        ::unsetenv("HalvaneLogDir");
        setLogLevel(previousLevel_);
    }
    int count(const std::string& needle) const
    {
        const std::string all = readFile(dir_.file("capture.log"));
        int found = 0;
        for (std::size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1))
            ++found;
        return found;
    }

private:
    TempDir dir_;
    int previousLevel_;
};

// The codec tests run sox from /usr/bin and skip without it.
inline bool soxAvailable()
{
    return ::access("/usr/bin/sox", X_OK) == 0;
}

// Runs sox on files inside a TempDir (no quoting needed); true on exit status 0.
inline bool runSox(const TempDir& dir, const std::string& args)
{
    return std::system(("/usr/bin/sox " + args + " 2>>" + dir.file("sox.log")).c_str()) == 0;
}

inline void writeBytes(const std::string& path, const void* data, std::size_t size)
{
    std::ofstream(path, std::ios::binary).write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// 16-bit little-endian samples of a raw file (the speech recordings are 8 kHz).
inline std::vector<std::int16_t> readSamples(const std::string& path)
{
    const std::string bytes = readFile(path);
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[2 * i]) |
                                               (static_cast<std::uint8_t>(bytes[2 * i + 1]) << 8));
    return samples;
}
