#include "CAgc.h"
#include "Speech.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

namespace halvane {

namespace {

// Two talk spurts with half a second of silence between them, long enough
// for the hang and the slow decay to play out.
std::vector<float> speechWithPause()
{
    std::vector<short> pcm = loadSpeech("hts1a");
    const std::vector<short> second = loadSpeech("hts2a");
    if (pcm.empty() || second.empty())
        return {};
    pcm.insert(pcm.end(), 4000, 0);
    pcm.insert(pcm.end(), second.begin(), second.end());
    std::vector<float> out;
    for (short s : pcm)
        out.push_back(static_cast<float>(s / 32767.0));
    return out;
}

bool allZero(std::vector<float>::const_iterator from, std::vector<float>::const_iterator to)
{
    return std::all_of(from, to, [](float v) { return v == 0.0f; });
}

TEST(CAgc, DefaultSettingsAt8000Hz)
{
    CAgc agc;
    agc.SetParameters(false, -20, 10, 100, 8000.0);
    EXPECT_FLOAT_EQ(agc.knee, -1.0f);
    EXPECT_FLOAT_EQ(agc.gainSlope, 0.1f);
    EXPECT_FLOAT_EQ(agc.kneeGain, static_cast<float>(0.7 * std::pow(10.0, 0.9)));
    EXPECT_EQ(agc.delayLength, 120);
    EXPECT_EQ(agc.windowLength, 144);
    EXPECT_EQ(agc.hangLength, 800);
    // 1 - e^-t loses digits to cancellation in single precision.
    EXPECT_NEAR(agc.fastRiseCoef, 1 - std::exp(-1.0 / 16), 1e-7);
    EXPECT_NEAR(agc.fastFallCoef, 1 - std::exp(-1.0 / 40), 1e-7);
    EXPECT_NEAR(agc.slowRiseCoef, 1 - std::exp(-1.0 / 240), 1e-7);
    EXPECT_NEAR(agc.slowFallCoef, 1 - std::exp(-1.0 / 800), 1e-7);
    agc.SetParameters(true, -20, 10, 100, 8000.0);
    EXPECT_NEAR(agc.slowFallCoef, 1 - std::exp(-1.0 / 400), 1e-7);
}

TEST(CAgc, RepeatedSettingsKeepTheStateANewRateResetsIt)
{
    const std::vector<float> in = speechWithPause();
    if (in.empty())
        GTEST_SKIP() << "codec2-examples speech not installed";
    CAgc agc, twin;
    agc.SetParameters(true, -20, 10, 100, 8000.0);
    twin.SetParameters(true, -20, 10, 100, 8000.0);
    std::vector<float> out(160), twinOut(160);
    // The delay line holds 15 ms: the first 120 samples out are silence.
    agc.ProcessData(160, &in[0], out.data());
    twin.ProcessData(160, &in[0], twinOut.data());
    EXPECT_TRUE(allZero(out.begin(), out.begin() + 120));
    EXPECT_FALSE(allZero(out.begin() + 120, out.end()));
    for (std::size_t at = 160; at + 160 <= in.size(); at += 160) {
        agc.SetParameters(true, -20, 10, 100, 8000.0);
        agc.ProcessData(160, &in[at], out.data());
        twin.ProcessData(160, &in[at], twinOut.data());
        ASSERT_EQ(out, twinOut) << "block at " << at;
    }
    // Once the line has drained, silence gives silence whatever the gain.
    const std::vector<float> zeros(400, 0.0f);
    out.assign(400, 1.0f);
    agc.ProcessData(400, zeros.data(), out.data());
    EXPECT_TRUE(allZero(out.begin() + 120, out.end()));

    agc.SetParameters(true, -20, 10, 100, 16000.0);
    EXPECT_EQ(agc.peak, -16.0f);
    EXPECT_EQ(agc.slowLevel, -5.0f);
    out.assign(400, 1.0f);
    agc.ProcessData(400, &in[8000], out.data());
    EXPECT_TRUE(allZero(out.begin(), out.begin() + 240));
    EXPECT_FALSE(allZero(out.begin() + 240, out.end()));
}

// Settings no operator would choose must still keep the lines in bounds and
// the output finite (AddressSanitizer watches the indexing).
TEST(CAgc, SenselessSettingsStayInBounds)
{
    std::vector<float> in(3000);
    for (std::size_t i = 0; i < in.size(); ++i)
        in[i] = std::sin(static_cast<float>(i) * 0.3f) * (i % 1000 < 500 ? 0.9f : 0.001f);
    std::vector<float> out(in.size());
    const auto finite = [&] { return std::all_of(out.begin(), out.end(), [](float v) { return std::isfinite(v); }); };

    CAgc unset;
    unset.ProcessData(static_cast<int>(in.size()), in.data(), out.data());
    EXPECT_TRUE(finite());
    for (double rate : {1e6, 10.0, -8000.0}) {
        CAgc agc;
        agc.SetParameters(true, -20, 10, 100, rate);
        EXPECT_LE(agc.windowLength, 2047) << rate;
        agc.ProcessData(static_cast<int>(in.size()), in.data(), out.data());
        EXPECT_TRUE(finite()) << rate;
    }
    // A negative decay time would make the slow average grow without bound;
    // it acts as none at all.
    CAgc negative, zero;
    negative.SetParameters(false, -20, 10, -100, 8000.0);
    zero.SetParameters(false, -20, 10, 0, 8000.0);
    std::vector<float> zeroOut(in.size());
    for (int pass = 0; pass < 20; ++pass) {
        negative.ProcessData(static_cast<int>(in.size()), in.data(), out.data());
        zero.ProcessData(static_cast<int>(in.size()), in.data(), zeroOut.data());
        ASSERT_EQ(out, zeroOut);
    }
    EXPECT_TRUE(finite());
}

// A constant tiny input stays below both knees, so every output of a block is
// input x kneeGain; a block mixing two gains means a change landed inside it.
TEST(CAgc, ParameterChangesLandBetweenBlocks)
{
    CAgc agc;
    agc.SetParameters(false, -20, 10, 100, 8000.0);
    const std::vector<float> in(160, 0.001f);
    std::vector<float> out(160);
    for (int warm = 0; warm < 10; ++warm)
        agc.ProcessData(160, in.data(), out.data());

    std::atomic<bool> stop{false};
    std::thread changer([&] {
        for (int i = 0; !stop.load(); ++i)
            agc.SetParameters(false, i % 2 ? 0 : -20, 10, 100, 8000.0);
    });
    int mixed = 0;
    for (int block = 0; block < 4000; ++block) {
        agc.ProcessData(160, in.data(), out.data());
        mixed += std::any_of(out.begin(), out.end(), [&](float v) { return v != out[0]; });
    }
    stop = true;
    changer.join();
    EXPECT_EQ(mixed, 0);
}

} // namespace

} // namespace halvane
