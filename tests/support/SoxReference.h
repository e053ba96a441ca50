// Helpers shared by the protocol codec tests: sox run as an independent
// reference coder, and raw sample files.
#pragma once

#include "LogCapture.h"
#include "TempDir.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace halvane {

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

} // namespace halvane
