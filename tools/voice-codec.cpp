// voice-codec: Halvane's software vocoder on the command line, like c2enc/c2dec.
//
//   voice-codec encode MODE      raw PCM on standard input, frames on standard output
//   voice-codec decode MODE      frames on standard input, raw PCM on standard output
//   voice-codec roundtrip MODE   raw PCM in, raw PCM out (encode then decode)
//
// PCM is 8000 samples/s, 16-bit little-endian, mono; each 160-sample block (a partial last
// block is padded with zeros) becomes one frame, frames are concatenated. Exit status: 0 on
// success, 1 on a read or write error or a truncated last frame, 2 on bad usage.

#include "ambe/ambe_vocoder.h"
#include "imbe/FrameVector.h"
#include "imbe/imbe_vocoder.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace {

constexpr int block_samples = 160;

// One mode: frames of a fixed size from 160-sample blocks and back. Encoding and decoding
// keep separate state, as in the bridge.
class FrameCodec {
public:
    virtual ~FrameCodec() = default;
    virtual std::size_t frameBytes() const = 0;
    virtual void encode(std::span<const std::int16_t, block_samples> pcm, std::span<std::uint8_t> frame) = 0;
    virtual void decode(std::span<const std::uint8_t> frame, std::span<std::int16_t, block_samples> pcm) = 0;
};

// IMBE (P25, YSF wide): the 88 bits of the frame vector u0..u7 as a TAG_IMBE record carries them.
class ImbeCodec : public FrameCodec {
public:
    std::size_t frameBytes() const override { return halvane::imbe_frame_bytes; }

    void encode(std::span<const std::int16_t, block_samples> pcm, std::span<std::uint8_t> frame) override
    {
        std::array<halvane::Word16, 8> u{};
        vocoder_.encode(&param_, u.data(), pcm.data());
        halvane::pack_imbe_frame(u, frame.first<halvane::imbe_frame_bytes>());
    }

    void decode(std::span<const std::uint8_t> frame, std::span<std::int16_t, block_samples> pcm) override
    {
        std::array<halvane::Word16, 8> u{};
        halvane::unpack_imbe_frame(frame.first<halvane::imbe_frame_bytes>(), u);
        vocoder_.decode(u.data(), pcm.data());
    }

private:
    halvane::imbe_vocoder vocoder_;
    halvane::IMBE_PARAM param_;
};

// AMBE+2 (DMR, NXDN, YSF narrow) or D-STAR: 72-bit frames in 9 bytes, as the TLV records
// carry them. AMBE+2 input is scaled by 3 first, as in the bridge.
class AmbeCodec : public FrameCodec {
public:
    explicit AmbeCodec(bool dstar) : dstar_(dstar) {}

    std::size_t frameBytes() const override { return 9; }

    void encode(std::span<const std::int16_t, block_samples> pcm, std::span<std::uint8_t> frame) override
    {
        if (dstar_) {
            vocoder_.ambe_encode_dstar(frame.first<9>(), pcm);
            return;
        }
        std::array<std::int16_t, block_samples> scaled;
        std::copy(pcm.begin(), pcm.end(), scaled.begin());
        vocoder_.ambe_encode(frame.first<9>(), scaled);
    }

    void decode(std::span<const std::uint8_t> frame, std::span<std::int16_t, block_samples> pcm) override
    {
        if (dstar_)
            vocoder_.ambe_decode_dstar(frame.first<9>(), pcm);
        else
            vocoder_.ambe_decode(frame.first<9>(), pcm);
    }

private:
    bool dstar_;
    halvane::ambe_vocoder vocoder_;
};

struct Mode {
    std::string_view name;
    std::string_view description;
    std::unique_ptr<FrameCodec> (*make)();
};

const Mode modes[] = {
    {"imbe", "IMBE, 88-bit frames in 11 bytes (P25, YSF wide)", [] { return std::unique_ptr<FrameCodec>(new ImbeCodec); }},
    {"ambe", "AMBE+2, 72-bit frames in 9 bytes (DMR, NXDN, YSF narrow)",
     [] { return std::unique_ptr<FrameCodec>(new AmbeCodec(false)); }},
    {"dstar", "D-STAR AMBE, 72-bit frames in 9 bytes", [] { return std::unique_ptr<FrameCodec>(new AmbeCodec(true)); }},
};

void usage(std::FILE* out)
{
    std::fputs("usage: voice-codec encode|decode|roundtrip MODE < input > output\n"
               "\n"
               "  encode     8 kHz 16-bit little-endian mono PCM in, frames out\n"
               "  decode     frames in, PCM out\n"
               "  roundtrip  PCM in, PCM out (encode, then decode)\n"
               "\n"
               "Each 160-sample block (20 ms) is one frame; a partial last block is padded\n"
               "with zeros. Frames are concatenated without headers.\n"
               "\n"
               "Modes:\n",
               out);
    for (const Mode& m : modes)
        std::fprintf(out, "  %-10.*s %.*s\n", static_cast<int>(m.name.size()), m.name.data(),
                     static_cast<int>(m.description.size()), m.description.data());
}

// Reads up to size bytes; fewer only at the end of the input. False on a read error.
bool readFully(std::uint8_t* data, std::size_t size, std::size_t& got)
{
    got = std::fread(data, 1, size, stdin);
    return !std::ferror(stdin);
}

bool writeFully(const void* data, std::size_t size)
{
    return std::fwrite(data, 1, size, stdout) == size;
}

void toPcm(const std::uint8_t* bytes, std::span<std::int16_t, block_samples> pcm)
{
    for (int i = 0; i < block_samples; ++i)
        pcm[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
}

void fromPcm(std::span<const std::int16_t, block_samples> pcm, std::uint8_t* bytes)
{
    for (int i = 0; i < block_samples; ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(pcm[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<std::uint8_t>((pcm[i] >> 8) & 0xFF);
    }
}

int fail(const char* what)
{
    std::fprintf(stderr, "voice-codec: %s: %s\n", what, std::strerror(errno));
    return 1;
}

int run(std::string_view action, FrameCodec& codec)
{
    std::array<std::uint8_t, 2 * block_samples> pcmBytes{};
    std::array<std::int16_t, block_samples> pcm{};
    std::vector<std::uint8_t> frame(codec.frameBytes());
    std::size_t got = 0;

    if (action == "decode") {
        for (;;) {
            if (!readFully(frame.data(), frame.size(), got))
                return fail("cannot read standard input");
            if (got == 0)
                return 0;
            if (got < frame.size()) {
                std::fprintf(stderr, "voice-codec: input ends inside a frame (%zu of %zu bytes)\n", got, frame.size());
                return 1;
            }
            codec.decode(frame, pcm);
            fromPcm(pcm, pcmBytes.data());
            if (!writeFully(pcmBytes.data(), pcmBytes.size()))
                return fail("cannot write standard output");
        }
    }

    for (;;) {
        pcmBytes.fill(0);
        if (!readFully(pcmBytes.data(), pcmBytes.size(), got))
            return fail("cannot read standard input");
        if (got == 0)
            return 0;
        toPcm(pcmBytes.data(), pcm);
        codec.encode(pcm, frame);
        if (action == "encode") {
            if (!writeFully(frame.data(), frame.size()))
                return fail("cannot write standard output");
        } else {
            codec.decode(frame, pcm);
            fromPcm(pcm, pcmBytes.data());
            if (!writeFully(pcmBytes.data(), pcmBytes.size()))
                return fail("cannot write standard output");
        }
        if (got < pcmBytes.size())
            return 0;
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        usage(stdout);
        return 0;
    }
    if (argc != 3) {
        std::fputs("voice-codec: expected an action and a mode\n", stderr);
        usage(stderr);
        return 2;
    }
    const std::string_view action = argv[1], modeName = argv[2];
    if (action != "encode" && action != "decode" && action != "roundtrip") {
        std::fprintf(stderr, "voice-codec: unknown action '%s' (encode, decode or roundtrip)\n", argv[1]);
        return 2;
    }
    for (const Mode& mode : modes) {
        if (mode.name == modeName) {
            const auto codec = mode.make();
            const int status = run(action, *codec);
            if (status == 0 && std::fflush(stdout) != 0)
                return fail("cannot write standard output");
            return status;
        }
    }
    std::fprintf(stderr, "voice-codec: unknown mode '%s'; 'voice-codec --help' lists the modes\n", argv[2]);
    return 2;
}
