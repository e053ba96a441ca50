#include "imbe/PitchError.h"
#include "imbe/pitch_tracker.h"
#include "imbe/speech_front_end.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

using namespace halvane;
using namespace halvane::fxp;
using namespace halvane::imbe;

namespace {

constexpr double kPi = 3.14159265358979323846;

// Ten harmonics of a period of `period` samples, falling off like a voice.
std::vector<Word16> harmonics(double period, int length, double level = 2000)
{
    std::vector<Word16> s(length);
    for (int n = 0; n < length; ++n) {
        double v = 0;
        for (int h = 1; h <= 10; ++h)
            v += level / h * std::cos(2 * kPi * h * n / period + h);
        s[n] = static_cast<Word16>(v);
    }
    return s;
}

std::vector<Word16> noise(int length, int level, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> d(-level, level);
    std::vector<Word16> s(length);
    for (auto& v : s)
        v = static_cast<Word16>(d(random));
    return s;
}

// The pitch (period in half samples) chosen for each block of `signal`.
std::vector<int> track(pitch_tracker& tracker, speech_front_end& front, const std::vector<Word16>& signal)
{
    std::vector<int> pitches;
    for (std::size_t at = 0; at + 160 <= signal.size(); at += 160) {
        front.push(&signal[at]);
        pitches.push_back(tracker.pitch_est(front.pitch_est_buf()).pitch);
    }
    return pitches;
}

TEST(PitchError, IsSmallAtThePeriodAndItsMultiplesAndFullForSilence)
{
    const auto s = harmonics(50, 301);
    std::array<Word16, num_pitch_indexes> E;
    e_p(s.data(), E.data());
    const int at50 = 2 * 50 - 42, at100 = 2 * 100 - 42, at37 = 2 * 37 - 42;
    EXPECT_LT(E[at50], 410);
    EXPECT_LT(E[at100], 410);
    EXPECT_GT(E[at37], 2048);
    for (int i = 0; i < at50 - 2; ++i)
        EXPECT_GT(E[i], E[at50]) << i;

    const std::vector<Word16> silence(301, 0);
    e_p(silence.data(), E.data());
    for (int i = 0; i < num_pitch_indexes; ++i)
        EXPECT_EQ(E[i], 4096) << i;
}

TEST(PitchError, FullScaleInputTakesTheShiftedSumsWithoutLosingThePeriod)
{
    std::vector<Word16> square(301);
    for (int n = 0; n < 301; ++n)
        square[n] = (n / 20) % 2 ? 32767 : -32768;
    std::array<Word16, num_pitch_indexes> E;
    e_p(square.data(), E.data());
    EXPECT_LT(E[2 * 40 - 42], 410);
}

TEST(pitch_tracker, StartsAtIndex158AndFindsTheFirstPeriod)
{
    pitch_tracker tracker;
    speech_front_end front;
    EXPECT_EQ(tracker.prev_pitch(), 158); // its look-back range: periods 80..120
    const auto pitches = track(tracker, front, harmonics(100, 160 * 8));
    EXPECT_EQ(pitches.back(), 200);
}

TEST(pitch_tracker, KeepsTheLookBackChoiceWhenItsErrorSumIsSmall)
{
    // A 90-sample tone whose odd harmonics fade out becomes a 45-sample tone. Its period 90
    // keeps explaining it, so the look-back sum stays below 1967 and the look-ahead, which
    // finds 45 in the same tone after noise, is never asked.
    pitch_tracker tracker;
    speech_front_end front;
    const int fade = 160 * 8, length = 160 * 20;
    std::vector<Word16> s(length);
    for (int n = 0; n < length; ++n) {
        const double odd = n < fade ? 1.0 : n < 2 * fade ? 1.0 - static_cast<double>(n - fade) / fade : 0.0;
        double v = 0;
        for (int h = 1; h <= 20; ++h)
            v += 4000.0 / h * (h % 2 ? odd : 1.0) * std::cos(2 * kPi * h * n / 90 + h);
        s[n] = static_cast<Word16>(v);
    }
    const auto pitches = track(tracker, front, s);
    for (std::size_t i = pitches.size() - 4; i < pitches.size(); ++i)
        EXPECT_EQ(pitches[i], 180) << i;

    pitch_tracker fresh;
    speech_front_end fresh_front;
    track(fresh, fresh_front, noise(160 * 6, 3000, 3));
    EXPECT_EQ(track(fresh, fresh_front, std::vector<Word16>(s.begin() + 2 * fade, s.end())).back(), 90);
}

TEST(pitch_tracker, TracksTonesThroughTheLookAheadAfterNoise)
{
    // After noise the look-back sum is large, so the look-ahead and its sub-multiple check
    // decide; they must land on the period itself, not a multiple (the refinement then has
    // +-1.125 samples to spare).
    for (double period : {21.0, 30.0, 45.0, 63.0, 90.0, 120.0}) {
        pitch_tracker tracker;
        speech_front_end front;
        track(tracker, front, noise(160 * 6, 3000, 2));
        const auto pitches = track(tracker, front, harmonics(period, 160 * 8));
        EXPECT_NEAR(pitches.back(), 2 * period, 2 * period * 0.02) << period;
    }
}

} // namespace
