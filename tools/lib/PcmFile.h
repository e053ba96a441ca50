// Speech files of the tools: 8000 Hz, 16-bit samples read from a raw file
// (little-endian, no header, as the codec2 examples ship) or from any sound
// file libsndfile reads (WAV, FLAC, AU, ...). Other rates are refused rather
// than resampled: converting is sox's job, and a silently wrong pitch would
// mislead a test.
//
// Thread-safety: no shared state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace halvane {

enum class PcmFileKind {
    Auto,  // raw for .raw, .pcm, .s16 and .sw names, a sound file otherwise
    Raw,   // 8000 Hz, 16-bit little-endian, mono, no header
    Sound, // through libsndfile: 8000 Hz, any sample format; channels mixed to mono
};

bool isRawPcmName(const std::string& path);

// Replaces `pcm` with the file's samples; false with `error` set when the
// file cannot be read or is not 8000 Hz.
bool readPcmFile(const std::string& path, PcmFileKind kind, std::vector<std::int16_t>& pcm, std::string& error);

} // namespace halvane
