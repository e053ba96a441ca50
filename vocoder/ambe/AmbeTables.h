#pragma once
// The fixed tables of the AMBE parameter quantiser and dequantiser: fundamental and
// harmonic count per pitch index b0, voicing patterns, gain steps, block lengths, and the
// lookup from the analysis pitch index to b0. Names beginning with AmbePlus belong to the
// D-STAR variant, the others to AMBE+2 (the D-STAR variant shares AmbeLmprbl and b0_lookup).
// All are compile-time constants, safe from any thread.

#include <array>
#include <cmath>
#include <cstdint>

namespace halvane {

// f0 in cycles per sample for b0 = 0..119 (AMBE+2).
inline constexpr std::array<float, 120> AmbeW0table{
    0.049971f, 0.049215f, 0.048471f, 0.047739f, 0.04701f,  0.046299f, 0.045601f, 0.044905f, 0.044226f, 0.043558f,
    0.0429f,   0.042246f, 0.041609f, 0.040979f, 0.040356f, 0.039747f, 0.039148f, 0.038559f, 0.037971f, 0.037399f,
    0.036839f, 0.036278f, 0.035732f, 0.035198f, 0.034672f, 0.034145f, 0.033636f, 0.033133f, 0.032635f, 0.032148f,
    0.03167f,  0.031122f, 0.030647f, 0.030184f, 0.029728f, 0.029272f, 0.028831f, 0.028395f, 0.027966f, 0.027538f,
    0.027122f, 0.026712f, 0.026304f, 0.025906f, 0.025515f, 0.025129f, 0.024746f, 0.024372f, 0.024002f, 0.023636f,
    0.023279f, 0.022926f, 0.022581f, 0.022236f, 0.0219f,   0.02157f,  0.02124f,  0.02092f,  0.020605f, 0.020294f,
    0.019983f, 0.019684f, 0.019386f, 0.019094f, 0.018805f, 0.01852f,  0.018242f, 0.017965f, 0.017696f, 0.017431f,
    0.01717f,  0.016911f, 0.016657f, 0.016409f, 0.016163f, 0.015923f, 0.015686f, 0.015411f, 0.015177f, 0.014946f,
    0.014721f, 0.014496f, 0.014277f, 0.014061f, 0.013847f, 0.013636f, 0.01343f,  0.013227f, 0.013025f, 0.012829f,
    0.012634f, 0.012444f, 0.012253f, 0.012068f, 0.011887f, 0.011703f, 0.011528f, 0.011353f, 0.011183f, 0.011011f,
    0.010845f, 0.010681f, 0.010517f, 0.010359f, 0.010202f, 0.01005f,  0.009895f, 0.009747f, 0.0096f,   0.009453f,
    0.009312f, 0.009172f, 0.009033f, 0.008896f, 0.008762f, 0.008633f, 0.008501f, 0.008375f, 0.008249f, 0.008125f};

namespace detail {

// Harmonic counts as runs (value, count) from b0 = 0.
inline constexpr std::array<std::array<int, 2>, 48> ambeLRuns{{
    {9, 6},  {10, 6}, {11, 6}, {12, 5}, {13, 5}, {14, 4}, {15, 4}, {16, 4}, {17, 4}, {18, 4}, {19, 3}, {20, 3},
    {21, 3}, {22, 3}, {23, 3}, {24, 3}, {25, 2}, {26, 3}, {27, 2}, {28, 2}, {29, 2}, {30, 3}, {31, 2}, {32, 2},
    {33, 2}, {34, 2}, {35, 1}, {36, 2}, {37, 2}, {38, 2}, {39, 1}, {40, 2}, {41, 1}, {42, 2}, {43, 2}, {44, 1},
    {45, 1}, {46, 2}, {47, 1}, {48, 2}, {49, 1}, {50, 1}, {51, 1}, {52, 2}, {53, 1}, {54, 1}, {55, 1}, {56, 2}}};

template <std::size_t N>
constexpr std::array<float, N> harmonicCounts()
{
    std::array<float, N> table{};
    std::size_t b0 = 0;
    for (const auto& [value, count] : ambeLRuns)
        for (int i = 0; i < count; ++i)
            table[b0++] = static_cast<float>(value);
    // D-STAR's b0 = 120..125 carry the longest period; 126 and 127 no voice at all.
    for (; b0 < N && b0 < 126; ++b0)
        table[b0] = 56.0f;
    return table;
}

} // namespace detail

// Harmonic count L per b0: AMBE+2 (b0 = 0..119) and D-STAR (b0 = 0..127).
inline constexpr std::array<float, 120> AmbeLtable = detail::harmonicCounts<120>();
inline constexpr std::array<float, 128> AmbePlusLtable = detail::harmonicCounts<128>();

// Voiced flag of the eight frequency bands per voicing index b1. AMBE+2 rows 16..31 are
// all unvoiced.
inline constexpr std::array<std::array<int, 8>, 32> AmbeVuv = [] {
    constexpr const char* rows[16] = {"11111111", "11111111", "11111110", "11111111", "11111100", "11011111",
                                      "11101111", "11111011", "11110000", "11111000", "11100000", "11100001",
                                      "11000000", "11100000", "10000000", "11100000"};
    std::array<std::array<int, 8>, 32> table{};
    for (int r = 0; r < 16; ++r)
        for (int j = 0; j < 8; ++j)
            table[r][j] = rows[r][j] == '1' ? 1 : 0;
    return table;
}();

// D-STAR: bands 2k and 2k + 1 both carry bit 3 - k of the row number.
inline constexpr std::array<std::array<int, 8>, 16> AmbePlusVuv = [] {
    std::array<std::array<int, 8>, 16> table{};
    for (int r = 0; r < 16; ++r)
        for (int j = 0; j < 8; ++j)
            table[r][j] = (r >> (3 - j / 2)) & 1;
    return table;
}();

// Gain steps per b2: AMBE+2 adds half the previous gain, D-STAR sends the gain itself.
inline constexpr std::array<float, 32> AmbeDg{
    -2.0f,     -0.67f,    0.297941f, 0.663728f, 1.036829f, 1.438136f, 1.890077f, 2.22797f,
    2.478289f, 2.667544f, 2.793619f, 2.893261f, 3.02063f,  3.138586f, 3.237579f, 3.32257f,
    3.432367f, 3.571863f, 3.69665f,  3.814917f, 3.920932f, 4.022503f, 4.123569f, 4.228291f,
    4.370569f, 4.5437f,   4.707695f, 4.848879f, 5.056757f, 5.326468f, 5.777581f, 6.874496f};

inline constexpr std::array<float, 64> AmbePlusDg{
    0.0f,      0.1182f,   0.215088f, 0.421167f, 0.590088f, 0.749075f, 0.879395f, 0.996388f, 1.092285f, 1.171577f,
    1.236572f, 1.31345f,  1.376465f, 1.453342f, 1.516357f, 1.600346f, 1.669189f, 1.742847f, 1.803223f, 1.880234f,
    1.943359f, 2.025067f, 2.092041f, 2.178042f, 2.248535f, 2.331718f, 2.399902f, 2.492343f, 2.568115f, 2.658677f,
    2.73291f,  2.816496f, 2.88501f,  2.956386f, 3.014893f, 3.07889f,  3.131348f, 3.206615f, 3.268311f, 3.344785f,
    3.407471f, 3.484885f, 3.54834f,  3.623339f, 3.684814f, 3.764509f, 3.829834f, 3.915298f, 3.985352f, 4.07256f,
    4.144043f, 4.231251f, 4.302734f, 4.399066f, 4.478027f, 4.572883f, 4.650635f, 4.760785f, 4.851074f, 4.972361f,
    5.071777f, 5.226203f, 5.352783f, 5.352783f};

// Block lengths J1..J4 per harmonic count L (rows 0..8 and 57 unused, all zero).
inline constexpr std::array<std::array<int, 4>, 58> AmbeLmprbl{{
    {0, 0, 0, 0},     {0, 0, 0, 0},     {0, 0, 0, 0},     {0, 0, 0, 0},     {0, 0, 0, 0},     {0, 0, 0, 0},
    {0, 0, 0, 0},     {0, 0, 0, 0},     {0, 0, 0, 0},     {2, 2, 2, 3},     {2, 2, 3, 3},     {2, 3, 3, 3},
    {2, 3, 3, 4},     {3, 3, 3, 4},     {3, 3, 4, 4},     {3, 3, 4, 5},     {3, 4, 4, 5},     {3, 4, 5, 5},
    {4, 4, 5, 5},     {4, 4, 5, 6},     {4, 4, 6, 6},     {4, 5, 6, 6},     {4, 5, 6, 7},     {5, 5, 6, 7},
    {5, 5, 7, 7},     {5, 6, 7, 7},     {5, 6, 7, 8},     {5, 6, 8, 8},     {6, 6, 8, 8},     {6, 6, 8, 9},
    {6, 7, 8, 9},     {6, 7, 9, 9},     {6, 7, 9, 10},    {7, 7, 9, 10},    {7, 8, 9, 10},    {7, 8, 10, 10},
    {7, 8, 10, 11},   {8, 8, 10, 11},   {8, 9, 10, 11},   {8, 9, 11, 11},   {8, 9, 11, 12},   {8, 9, 11, 13},
    {8, 9, 12, 13},   {8, 10, 12, 13},  {9, 10, 12, 13},  {9, 10, 12, 14},  {9, 10, 13, 14},  {9, 11, 13, 14},
    {10, 11, 13, 14}, {10, 11, 13, 15}, {10, 11, 14, 15}, {10, 12, 14, 15}, {10, 12, 14, 16}, {11, 12, 14, 16},
    {11, 12, 15, 16}, {11, 12, 15, 17}, {11, 13, 15, 17}, {0, 0, 0, 0}}};
inline constexpr const auto& AmbePlusLmprbl = AmbeLmprbl;

namespace detail {

// For each analysis pitch index i (a period of (i + 159) / 8 samples) the b0 whose f0 lies
// nearest to 8 / (i + 159); index 827 is 0.
template <typename F0>
constexpr std::array<std::int16_t, 828> pitchLookup(F0 f0Of)
{
    std::array<std::int16_t, 828> table{};
    for (int i = 0; i < 827; ++i) {
        const double f0 = 8.0 / (i + 159);
        int best = 0;
        double bestDistance = 1.0;
        for (int b0 = 0; b0 < 120; ++b0) {
            const double d = f0 > f0Of(b0) ? f0 - f0Of(b0) : f0Of(b0) - f0;
            if (d < bestDistance) {
                bestDistance = d;
                best = b0;
            }
        }
        table[i] = static_cast<std::int16_t>(best);
    }
    return table;
}

} // namespace detail

// b0 per analysis pitch index on the AMBE+2 fundamentals.
inline constexpr std::array<std::int16_t, 828> b0_lookup =
    detail::pitchLookup([](int b0) { return static_cast<double>(AmbeW0table[b0]); });

// D-STAR f0 in cycles per sample for b0 (no table: a geometric series).
inline float dstarF0(int b0)
{
    return std::exp2(-4.3117676f - 0.021336f * (static_cast<float>(b0) + 0.5f));
}

// The same on the D-STAR fundamentals, which drift up to 6 % above the AMBE+2 ones towards
// low voices: looked up on the AMBE+2 grid, a D-STAR decoder would sound them sharp.
extern const std::array<std::int16_t, 828> dstar_b0_lookup;

} // namespace halvane
