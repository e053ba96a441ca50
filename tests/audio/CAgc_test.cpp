#include "CAgc.h"
#include "Speech.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <thread>
#include <vector>

namespace halvane {

namespace {

// The AGC written straight from its equations, with queues for the delay line
// and the window, to check the ring-buffer implementation against.
class AgcModel {
public:
    explicit AgcModel(float rate)
        : rate_(rate), delay_(static_cast<std::size_t>(0.015 * rate), 0.0f),
          window_(static_cast<std::size_t>(0.018 * rate), -16.0f)
    {
    }

    // New settings at the same rate: new coefficients, same state.
    void configure(bool hang, int threshold, int slope, int decay)
    {
        hang_ = hang;
        knee_ = threshold / 20.0f;
        gainSlope_ = slope / 100.0f;
        kneeGain_ = 0.7f * std::pow(10.0f, knee_ * (gainSlope_ - 1.0f));
        fastRise_ = 1.0f - std::exp(-1.0f / (0.002f * rate_));
        fastFall_ = 1.0f - std::exp(-1.0f / (0.005f * rate_));
        slowRise_ = 1.0f - std::exp(-1.0f / (decay * rate_ * 0.001f * 0.3f));
        slowFall_ = 1.0f - std::exp(-1.0f / (hang ? 0.05f * rate_ : decay * rate_ * 0.001f));
        hangLength_ = static_cast<int>(decay * rate_ * 0.001);
    }

    float step(float x)
    {
        const float d = delay_.front();
        delay_.pop_front();
        delay_.push_back(x);
        const float m = std::log10(std::fabs(x) + 1e-8f);
        const float o = window_.front();
        window_.pop_front();
        window_.push_back(m);
        if (m > peak_)
            peak_ = m;
        else if (o == peak_)
            peak_ = std::max(-8.0f, *std::max_element(window_.begin(), window_.end()));
        fast_ = average(fast_, peak_ > fast_ ? fastRise_ : fastFall_);
        if (!hang_)
            slow_ = average(slow_, peak_ > slow_ ? slowRise_ : slowFall_);
        else if (peak_ > slow_) {
            slow_ = average(slow_, slowRise_);
            hangCount_ = 0;
        } else if (hangCount_ < hangLength_)
            ++hangCount_;
        else
            slow_ = average(slow_, slowFall_);
        const float level = std::max(fast_, slow_);
        return level <= knee_ ? d * kneeGain_ : d * 0.7f * std::pow(10.0f, level * (gainSlope_ - 1.0f));
    }

private:
    float average(float value, float coef) const { return (1.0f - coef) * value + coef * peak_; }

    float rate_;
    std::deque<float> delay_, window_;
    bool hang_ = false;
    float knee_ = 0, gainSlope_ = 0, kneeGain_ = 0, fastRise_ = 0, fastFall_ = 0, slowRise_ = 0, slowFall_ = 0;
    int hangLength_ = 0, hangCount_ = 0;
    float peak_ = -16.0f, fast_ = -5.0f, slow_ = -5.0f;
};

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

TEST(CAgc, FollowsTheModelOnSpeech)
{
    const std::vector<float> in = speechWithPause();
    if (in.empty())
        GTEST_SKIP() << "codec2-examples speech not installed";
    for (bool hang : {false, true}) {
        SCOPED_TRACE(hang ? "hang" : "no hang");
        CAgc agc;
        agc.SetParameters(hang, -20, 10, 100, 8000.0);
        // Uneven pieces, as nothing may depend on where a call starts, and
        // new settings at the same rate in mid-word.
        std::vector<float> out(in.size());
        std::size_t done = 0, changedAt = 0;
        for (std::size_t piece = 1; done < in.size(); piece = piece * 7 % 397 + 1) {
            if (changedAt == 0 && done >= 12000) {
                agc.SetParameters(hang, -10, 30, 40, 8000.0);
                changedAt = done;
            }
            const std::size_t count = std::min(piece, in.size() - done);
            agc.ProcessData(static_cast<int>(count), &in[done], &out[done]);
            done += count;
        }
        EXPECT_TRUE(allZero(out.begin(), out.begin() + 120));
        EXPECT_NE(out[120], 0.0f);

        AgcModel model(8000.0f);
        model.configure(hang, -20, 10, 100);
        for (std::size_t i = 0; i < in.size(); ++i) {
            if (i == changedAt)
                model.configure(hang, -10, 30, 40);
            const float expected = model.step(in[i]);
            ASSERT_NEAR(out[i], expected, 1e-5f * std::max(1.0f, std::fabs(expected))) << "sample " << i;
        }
    }
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
    for (std::size_t at = 0; at + 160 <= in.size(); at += 160) {
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
