// Real speech for the tests: codec2-examples recordings, 8000
// samples/s, 16-bit little-endian raw.
#pragma once

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace halvane {

// Samples of /usr/share/codec2/raw/<name>.raw; empty when absent (skip then).
inline std::vector<short> loadSpeech(const char* name)
{
    std::ifstream file(std::string("/usr/share/codec2/raw/") + name + ".raw", std::ios::binary);
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::vector<short> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<short>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return samples;
}

} // namespace halvane
