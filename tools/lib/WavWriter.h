// Writes received voice to a WAV file: 8000 Hz, mono, 16-bit PCM. The header
// is brought up to date after every write, so the file is complete even when
// the program is killed before close().
//
// Ownership: owns the open file, closed by close() or the destructor. Not
// copyable. Thread-safety: one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <sndfile.h>
#include <string>

namespace halvane {

class WavWriter {
public:
    WavWriter() = default;
    ~WavWriter() = default;
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Creates (or truncates) `path`. False with `error` set on failure.
    bool open(const std::string& path, std::string& error);
    // Appends samples; false when they were not all written.
    bool write(std::span<const std::int16_t> pcm);
    void close() { file_.reset(); }
    bool isOpen() const { return file_ != nullptr; }
    long long samplesWritten() const { return written_; }

private:
    struct Closer {
        void operator()(SNDFILE* file) const { sf_close(file); }
    };
    std::unique_ptr<SNDFILE, Closer> file_;
    long long written_ = 0;
};

} // namespace halvane
