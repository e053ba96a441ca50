#include "imbe/pitch_tracker.h"

#include "imbe/AnalysisTables.h"

namespace halvane::imbe {

using namespace fxp;

namespace {

constexpr Word16 look_back_enough = 1967;      // 0.48 in Q12
constexpr Word16 sub_multiple_first_limit = 3484;  // 0.85
constexpr Word16 sub_multiple_second_limit = 1639; // 0.4
constexpr Word16 sub_multiple_always = 205;        // 0.05

int range_low(int i) { return min_max_tbl[i] >> 8; }
int range_high(int i) { return min_max_tbl[i] & 0xFF; }

// out[i] = the smallest v[k] over the tracking range of index i. Both ends of the ranges
// only grow with i, so a queue of candidate minima does it in one pass.
void range_minimum(const Word16* v, Word16* out)
{
    std::array<int, num_pitch_indexes> queue;
    int head = 0, tail = 0, next = 0;
    for (int i = 0; i < num_pitch_indexes; ++i) {
        for (; next <= range_high(i); ++next) {
            while (tail > head && v[queue[tail - 1]] >= v[next])
                --tail;
            queue[tail++] = next;
        }
        while (queue[head] < range_low(i))
            ++head;
        out[i] = v[queue[head]];
    }
}

} // namespace

void pitch_tracker::reset()
{
    for (auto& e : e_)
        e.fill(4096);
    prev_pitch_ = prev_prev_pitch_ = initial_pitch;
    prev_e_p_ = prev_prev_e_p_ = 0;
}

pitch_tracker::Estimate pitch_tracker::pitch_est(const Word16* pitch_est_buf)
{
    e_[0] = e_[1];
    e_[1] = e_[2];
    e_p(pitch_est_buf + 2 * 160, e_[2].data());
    const ErrorFunction& e0 = e_[0];

    // Look-back: the best period near the one chosen last time.
    Word16 back = static_cast<Word16>(range_low(prev_pitch_));
    for (int i = back + 1; i <= range_high(prev_pitch_); ++i)
        if (e0[i] < e0[back])
            back = static_cast<Word16>(i);
    const Word16 ce_back = add(add(e0[back], prev_e_p_), prev_prev_e_p_);

    Word16 choice = back;
    if (ce_back >= look_back_enough) {
        Word16 ce_ahead = 0;
        const Word16 ahead = look_ahead(e0, ce_ahead);
        if (ce_back > ce_ahead)
            choice = ahead;
    }

    prev_prev_pitch_ = prev_pitch_;
    prev_pitch_ = choice;
    prev_prev_e_p_ = prev_e_p_;
    prev_e_p_ = e0[choice];
    return {static_cast<Word16>(choice + 42), e0[choice]};
}

// The look-ahead choice and its cumulative error ce.
Word16 pitch_tracker::look_ahead(const ErrorFunction& e0, Word16& ce) const
{
    ErrorFunction m2, path, f;
    range_minimum(e_[2].data(), m2.data());
    for (int k = 0; k < num_pitch_indexes; ++k)
        path[k] = add(e_[1][k], m2[k]);
    range_minimum(path.data(), f.data());

    int best = 0;
    Word16 best_ce = add(e0[0], f[0]);
    for (int i = 1; i < num_pitch_indexes; ++i) {
        const Word16 c = add(e0[i], f[i]);
        if (c < best_ce) {
            best_ce = c;
            best = i;
        }
    }

    // A period twice (three, four, five times) the true one explains a periodic frame as
    // well as the true one; prefer the shortest sub-multiple that explains it nearly as well.
    int chosen = best;
    if (best > 41) {
        const int divisors = best <= 83 ? 1 : best <= 125 ? 2 : best < 168 ? 3 : 4;
        for (int n = divisors + 1; n >= 2; --n) {
            const int candidate = ((((best + 42) << 8) / n + 128) >> 8) - 42;
            const Word16 c = add(e0[candidate], f[candidate]);
            if ((c < sub_multiple_first_limit && best_ce >= mult(c, 19275)) ||
                (c < sub_multiple_second_limit && (best_ce >= mult(c, 9362) || c <= sub_multiple_always))) {
                chosen = candidate;
                break;
            }
        }
    }
    ce = add(e0[chosen], f[chosen]);
    return static_cast<Word16>(chosen);
}

} // namespace halvane::imbe
