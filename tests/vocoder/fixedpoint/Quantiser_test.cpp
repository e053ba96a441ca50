#include "fixedpoint/Quantiser.h"
#include "fixedpoint/RandomGenerator.h"
#include "fixedpoint/VectorOps.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <thread>

using namespace halvane;
using namespace halvane::fxp;

namespace {

TEST(QntByStep, StaysInRangeAndReconstructsWithinHalfAStep)
{
    for (const UWord16 step : {UWord16{1}, UWord16{203}, UWord16{13206}, UWord16{32767}}) {
        for (const Word16 bits : {Word16{1}, Word16{5}, Word16{10}}) {
            const int top = (1 << bits) - 1;
            for (int x = -32768; x <= 32767; x += 7) {
                const Word16 q = qnt_by_step(static_cast<Word16>(x), step, bits);
                ASSERT_GE(q, 0);
                ASSERT_LE(q, top);
                // deqnt_by_step is in 32x the units of x.
                const double back = deqnt_by_step(q, step, bits) / 32.0;
                const double lo = deqnt_by_step(0, step, bits) / 32.0, hi = deqnt_by_step(static_cast<Word16>(top), step, bits) / 32.0;
                if (x > lo + step / 32.0 && x < hi - step / 32.0) {
                    ASSERT_LE(std::abs(back - x), step / 64.0 * 1.01 + 1.0) << x << " step " << step << " bits " << bits;
                }
            }
        }
    }
    EXPECT_EQ(qnt_by_step(32767, 1, 5), 31);
    EXPECT_EQ(qnt_by_step(-32768, 1, 5), 0);
    EXPECT_EQ(qnt_by_step(1000, 100, 0), 0);
}

TEST(DeqntByStep, ReconstructsCellCentres)
{
    EXPECT_EQ(deqnt_by_step(5, 100, 0), 0);
    EXPECT_EQ(deqnt_by_step(0, 100, 1), -50);
    EXPECT_EQ(deqnt_by_step(1, 100, 1), 50);
    EXPECT_EQ(deqnt_by_step(0, 203, 10), -512 * 203 + 101);
    EXPECT_EQ(deqnt_by_step(1023, 65535, 10), 511 * 65535 + 32767);
}

TEST(TblQuant, FindsTheNearestEntryAndBreaksTiesUpward)
{
    const std::array<Word16, 6> table{-100, -40, 0, 10, 50, 300};
    EXPECT_EQ(tbl_quant(-70, table.data(), 6), 1); // midway between -100 and -40
    EXPECT_EQ(tbl_quant(5, table.data(), 6), 3);
    EXPECT_EQ(tbl_quant(30, table.data(), 6), 4);
    EXPECT_EQ(tbl_quant(-32768, table.data(), 6), 0);
    EXPECT_EQ(tbl_quant(32767, table.data(), 6), 5);
    EXPECT_EQ(tbl_quant(-41, table.data(), 6), 1);
    EXPECT_EQ(tbl_quant(175, table.data(), 6), 5); // midway between 50 and 300
    const std::array<Word16, 1> single{7};
    EXPECT_EQ(tbl_quant(-3, single.data(), 1), 0);
}

TEST(RandomGenerator, FollowsTheMinimalStandardSequence)
{
    RandomGenerator g;
    EXPECT_EQ(g.rand_gen(), 16807);
    EXPECT_EQ(g.seed(), 16807u);
    EXPECT_EQ(g.rand_gen(), 15089);
    EXPECT_EQ(g.seed(), 282475249u);
    EXPECT_EQ(g.rand_gen(), -21287);
    EXPECT_EQ(g.seed(), 1622650073u);
    for (int i = 3; i < 10000; ++i)
        g.rand_gen();
    EXPECT_EQ(g.seed(), 1043618065u); // the generator's published check value
}

// Each generator owns its seed: two on two threads give the same sequence.
TEST(RandomGenerator, GeneratorsOnTwoThreadsDoNotShareState)
{
    std::array<Word16, 2> last{};
    const auto run = [&last](int i) {
        RandomGenerator g;
        for (int n = 0; n < 100000; ++n)
            last[i] = g.rand_gen();
    };
    std::thread a(run, 0), b(run, 1);
    a.join();
    b.join();
    EXPECT_EQ(last[0], last[1]);
}

TEST(VectorOps, ShiftAndEnergySaturate)
{
    const std::array<Word16, 4> v{1, -2, 32767, -32768};
    std::array<Word16, 4> w{};
    v_equ_shr(w.data(), v.data(), -1, 4);
    EXPECT_EQ(w, (std::array<Word16, 4>{2, -4, 32767, -32768}));
    EXPECT_EQ(L_v_magsq(v.data(), 2), 10);
    EXPECT_EQ(L_v_magsq(v.data(), 4), MAX_32);
}

} // namespace
