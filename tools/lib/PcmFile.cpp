#include "PcmFile.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <memory>
#include <sndfile.h>
#include <system_error>

namespace halvane {

namespace {

constexpr int SAMPLE_RATE = 8000;

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool readRaw(const std::string& path, std::vector<std::int16_t>& pcm, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path + ": " + std::system_category().message(errno);
        return false;
    }
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    // Assembled byte by byte: the file is little-endian whatever the host is.
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    pcm = std::move(samples);
    return true;
}

bool readSound(const std::string& path, std::vector<std::int16_t>& pcm, std::string& error)
{
    SF_INFO info{};
    const std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> file(sf_open(path.c_str(), SFM_READ, &info), &sf_close);
    if (!file) {
        error = "cannot read " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    if (info.samplerate != SAMPLE_RATE) {
        error = path + " is " + std::to_string(info.samplerate) + " Hz; convert it to 8000 Hz first (sox " + path +
                " -r 8000 -c 1 out.wav)";
        return false;
    }
    if (info.channels < 1) {
        error = path + " has no channels";
        return false;
    }
    const auto channels = static_cast<std::size_t>(info.channels);
    std::vector<std::int16_t> samples;
    std::vector<short> frames(1024 * channels);
    for (;;) {
        const sf_count_t got = sf_readf_short(file.get(), frames.data(), 1024);
        if (got <= 0)
            break;
        for (sf_count_t f = 0; f < got; ++f) {
            long sum = 0;
            for (std::size_t c = 0; c < channels; ++c)
                sum += frames[static_cast<std::size_t>(f) * channels + c];
            samples.push_back(static_cast<std::int16_t>(sum / static_cast<long>(channels)));
        }
    }
    pcm = std::move(samples);
    return true;
}

} // namespace

bool isRawPcmName(const std::string& path)
{
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return false;
    const std::string extension = lowerCase(path.substr(dot + 1));
    return extension == "raw" || extension == "pcm" || extension == "s16" || extension == "sw";
}

bool readPcmFile(const std::string& path, PcmFileKind kind, std::vector<std::int16_t>& pcm, std::string& error)
{
    if (kind == PcmFileKind::Raw || (kind == PcmFileKind::Auto && isRawPcmName(path)))
        return readRaw(path, pcm, error);
    return readSound(path, pcm, error);
}

} // namespace halvane
