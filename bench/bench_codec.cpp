// Speed of the software vocoder against codec2, timed in the same run on the same speech:
// one 20 ms frame (160 samples) encoded, decoded, and both (full duplex, as the bridge runs
// a call). The speech is the ten codec2 example recordings, frame after frame, so every
// codec sees real voiced, unvoiced and silent frames in the same order.
//
// Each codec is a small adapter (Codec2Mode, ImbeCodec, ...) with encode and decode of one
// frame; a codec joins the comparison with one adapter and a registration line below.
// BM_FullDuplexRatio alternates the software codec and codec2 3200 frame by frame and
// reports the ratio of their times (below 1: the software codec is faster), so machine load
// affects both alike.

#include "ambe/ambe_vocoder.h"
#include "imbe/FrameVector.h"
#include "imbe/imbe_vocoder.h"

#include <benchmark/benchmark.h>
#include <codec2/codec2.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace {

using Block = std::array<std::int16_t, 160>;

const std::vector<Block>& speech()
{
    static const std::vector<Block> frames = [] {
        std::vector<Block> out;
        for (const char* name : {"hts1a", "hts2a", "hts1", "hts2", "morig", "forig", "mmt1", "cross", "g3plx", "cq_ref"}) {
            std::ifstream file(std::string("/usr/share/codec2/raw/") + name + ".raw", std::ios::binary);
            const std::vector<char> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
            for (std::size_t at = 0; at + 320 <= bytes.size(); at += 320) {
                Block b;
                for (int i = 0; i < 160; ++i)
                    b[i] = static_cast<std::int16_t>((bytes[at + 2 * i] & 0xFF) | (bytes[at + 2 * i + 1] << 8));
                out.push_back(b);
            }
        }
        return out;
    }();
    return frames;
}

// Adapters: encode one block into `bytes` bytes of frame, decode such a frame; each keeps
// its encoder's and decoder's state between frames, as in a call.
class Codec2Mode {
public:
    static constexpr std::size_t bytes = 8; // 64 bits per 20 ms at 3200 bit/s

    Codec2Mode() : state_(codec2_create(CODEC2_MODE_3200)) {}
    ~Codec2Mode() { codec2_destroy(state_); }
    Codec2Mode(const Codec2Mode&) = delete;
    Codec2Mode& operator=(const Codec2Mode&) = delete;

    void encode(const Block& in, std::uint8_t* frame) { codec2_encode(state_, frame, const_cast<short*>(in.data())); }
    void decode(const std::uint8_t* frame, Block& out) { codec2_decode(state_, out.data(), frame); }

private:
    CODEC2* state_;
};

class ImbeCodec {
public:
    static constexpr std::size_t bytes = halvane::imbe_frame_bytes;

    void encode(const Block& in, std::uint8_t* frame)
    {
        std::array<halvane::Word16, 8> u{};
        vocoder_.encode(&param_, u.data(), in.data());
        halvane::pack_imbe_frame(u, std::span<std::uint8_t, bytes>(frame, bytes));
    }

    void decode(const std::uint8_t* frame, Block& out)
    {
        std::array<halvane::Word16, 8> u{};
        halvane::unpack_imbe_frame(std::span<const std::uint8_t, bytes>(frame, bytes), u);
        vocoder_.decode(u.data(), out.data());
    }

private:
    halvane::imbe_vocoder vocoder_;
    halvane::IMBE_PARAM param_;
};

// AMBE+2 (DMR, NXDN, YSF narrow) and D-STAR: 72-bit frames in 9 bytes. AMBE+2 input is
// scaled by 3 in a copy, as the bridge's encode path scales its own block.
template <bool Dstar>
class AmbeCodec {
public:
    static constexpr std::size_t bytes = 9;

    void encode(const Block& in, std::uint8_t* frame)
    {
        if constexpr (Dstar) {
            vocoder_.ambe_encode_dstar(std::span<std::uint8_t, bytes>(frame, bytes), in);
        } else {
            Block scaled = in;
            vocoder_.ambe_encode(std::span<std::uint8_t, bytes>(frame, bytes), scaled);
        }
    }

    void decode(const std::uint8_t* frame, Block& out)
    {
        if constexpr (Dstar)
            vocoder_.ambe_decode_dstar(std::span<const std::uint8_t, bytes>(frame, bytes), out);
        else
            vocoder_.ambe_decode(std::span<const std::uint8_t, bytes>(frame, bytes), out);
    }

private:
    halvane::ambe_vocoder vocoder_;
};
using Ambe2Codec = AmbeCodec<false>;
using DstarCodec = AmbeCodec<true>;

template <class Codec>
void BM_Encode(benchmark::State& state)
{
    const auto& frames = speech();
    auto codec = std::make_unique<Codec>();
    std::array<std::uint8_t, Codec::bytes> frame{};
    std::size_t i = 0;
    for (auto _ : state) {
        codec->encode(frames[i], frame.data());
        benchmark::DoNotOptimize(frame);
        i = (i + 1) % frames.size();
    }
    state.SetItemsProcessed(state.iterations());
}

template <class Codec>
void BM_Decode(benchmark::State& state)
{
    // The frames of the whole speech, encoded once before the timing starts.
    const auto& frames = speech();
    std::vector<std::uint8_t> encoded(frames.size() * Codec::bytes);
    {
        auto encoder = std::make_unique<Codec>();
        for (std::size_t i = 0; i < frames.size(); ++i)
            encoder->encode(frames[i], &encoded[i * Codec::bytes]);
    }
    auto codec = std::make_unique<Codec>();
    Block out{};
    std::size_t i = 0;
    for (auto _ : state) {
        codec->decode(&encoded[i * Codec::bytes], out);
        benchmark::DoNotOptimize(out);
        i = (i + 1) % frames.size();
    }
    state.SetItemsProcessed(state.iterations());
}

template <class Codec>
void BM_FullDuplex(benchmark::State& state)
{
    const auto& frames = speech();
    auto codec = std::make_unique<Codec>();
    std::array<std::uint8_t, Codec::bytes> frame{};
    Block out{};
    std::size_t i = 0;
    for (auto _ : state) {
        codec->encode(frames[i], frame.data());
        codec->decode(frame.data(), out);
        benchmark::DoNotOptimize(out);
        i = (i + 1) % frames.size();
    }
    state.SetItemsProcessed(state.iterations());
}

template <class Codec>
void BM_FullDuplexRatio(benchmark::State& state)
{
    using clock = std::chrono::steady_clock;
    const auto& frames = speech();
    auto codec = std::make_unique<Codec>();
    auto reference = std::make_unique<Codec2Mode>();
    std::array<std::uint8_t, Codec::bytes> frame{};
    std::array<std::uint8_t, Codec2Mode::bytes> reference_frame{};
    Block out{};
    std::size_t i = 0;
    clock::duration ours{}, theirs{};
    for (auto _ : state) {
        const auto t0 = clock::now();
        codec->encode(frames[i], frame.data());
        codec->decode(frame.data(), out);
        const auto t1 = clock::now();
        reference->encode(frames[i], reference_frame.data());
        reference->decode(reference_frame.data(), out);
        const auto t2 = clock::now();
        benchmark::DoNotOptimize(out);
        ours += t1 - t0;
        theirs += t2 - t1;
        i = (i + 1) % frames.size();
    }
    state.counters["ratio_to_codec2_3200"] = std::chrono::duration<double>(ours) / std::chrono::duration<double>(theirs);
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK_TEMPLATE(BM_Encode, Codec2Mode);
BENCHMARK_TEMPLATE(BM_Decode, Codec2Mode);
BENCHMARK_TEMPLATE(BM_FullDuplex, Codec2Mode);

BENCHMARK_TEMPLATE(BM_Encode, ImbeCodec);
BENCHMARK_TEMPLATE(BM_Decode, ImbeCodec);
BENCHMARK_TEMPLATE(BM_FullDuplex, ImbeCodec);
BENCHMARK_TEMPLATE(BM_FullDuplexRatio, ImbeCodec);

BENCHMARK_TEMPLATE(BM_Encode, Ambe2Codec);
BENCHMARK_TEMPLATE(BM_Decode, Ambe2Codec);
BENCHMARK_TEMPLATE(BM_FullDuplex, Ambe2Codec);
BENCHMARK_TEMPLATE(BM_FullDuplexRatio, Ambe2Codec);

BENCHMARK_TEMPLATE(BM_Encode, DstarCodec);
BENCHMARK_TEMPLATE(BM_Decode, DstarCodec);
BENCHMARK_TEMPLATE(BM_FullDuplex, DstarCodec);
BENCHMARK_TEMPLATE(BM_FullDuplexRatio, DstarCodec);
