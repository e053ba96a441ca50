#include "Golay.h"

#include <bit>

namespace halvane {

namespace {

constexpr std::uint32_t word23Mask = 0x7FFFFF;
constexpr std::uint32_t checkMask = 0x7FF;

constexpr std::uint32_t remainder23(std::uint32_t word)
{
    word &= word23Mask;
    for (int bit = 22; bit >= 11; --bit)
        if (((word >> bit) & 1u) != 0)
            word ^= golayGenerator << (bit - 11);
    return word;
}

constexpr std::array<std::uint8_t, 64> reversed6 = [] {
    std::array<std::uint8_t, 64> table{};
    for (std::uint32_t v = 0; v < table.size(); ++v)
        for (int bit = 0; bit < 6; ++bit)
            table[v] |= static_cast<std::uint8_t>(((v >> bit) & 1u) << (5 - bit));
    return table;
}();

constexpr std::uint32_t reverse12(std::uint32_t v)
{
    return (static_cast<std::uint32_t>(reversed6[v & 63]) << 6) | reversed6[(v >> 6) & 63];
}

constexpr std::uint32_t reversedGenerator = reverse12(golayGenerator);

constexpr std::uint32_t codeword24(std::uint32_t data)
{
    const std::uint32_t cw23 = (data << 11) | remainder23(data << 11);
    return (cw23 << 1) | static_cast<std::uint32_t>(std::popcount(cw23) & 1);
}

// Row j belongs to data bit 11 - j, so the rows read in transmission order.
constexpr std::array<std::uint32_t, 12> generatorRows()
{
    std::array<std::uint32_t, 12> rows{};
    for (int j = 0; j < 12; ++j)
        rows[j] = codeword24(0x800u >> j);
    return rows;
}

constexpr std::array<std::uint32_t, 12> checkRows()
{
    std::array<std::uint32_t, 12> rows = generatorRows();
    for (auto& row : rows)
        row = (row >> 1) & checkMask;
    return rows;
}

// Branch-free because the bits are channel data: a branch per bit would mispredict half the
// time.
constexpr std::uint32_t xorOfRows(const std::array<std::uint32_t, 12>& rows, std::uint32_t data)
{
    std::uint32_t sum = 0;
    for (int j = 0; j < 12; ++j)
        sum ^= rows[j] & (0u - ((data >> (11 - j)) & 1u));
    return sum;
}

struct ErrorPatterns {
    std::array<std::uint32_t, 2048> bySyndrome{};
    bool perfect = false;
};

// The 2048 patterns of weight 0 to 3 must land on 2048 distinct syndromes; a slip in the
// polynomial would leave holes, which the static_assert below turns into a build failure.
constexpr ErrorPatterns minimumWeightErrors()
{
    ErrorPatterns patterns;
    std::array<bool, 2048> seen{};
    int distinct = 0;
    auto add = [&](std::uint32_t e) {
        const std::uint32_t s = remainder23(e);
        if (!seen[s]) {
            seen[s] = true;
            patterns.bySyndrome[s] = e;
            ++distinct;
        }
    };
    add(0);
    for (int a = 0; a < 23; ++a) {
        add(1u << a);
        for (int b = a + 1; b < 23; ++b) {
            add((1u << a) | (1u << b));
            for (int c = b + 1; c < 23; ++c)
                add((1u << a) | (1u << b) | (1u << c));
        }
    }
    patterns.perfect = distinct == 2048;
    return patterns;
}

constexpr ErrorPatterns errors = minimumWeightErrors();
static_assert(errors.perfect, "weight <= 3 error patterns must have distinct syndromes");

constexpr std::array<std::uint32_t, 2048> makeDecTbl()
{
    std::array<std::uint32_t, 2048> table{};
    for (std::size_t s = 0; s < table.size(); ++s) {
        const std::uint32_t e = errors.bySyndrome[s];
        table[s] = (e & 0x7FF800u) | static_cast<std::uint32_t>(std::popcount(e));
    }
    return table;
}

constexpr std::array<std::uint32_t, 2048> makeGolayMatrix()
{
    std::array<std::uint32_t, 2048> table{};
    for (std::size_t s = 0; s < table.size(); ++s)
        table[s] = errors.bySyndrome[s] >> 11;
    return table;
}

constexpr std::array<std::uint32_t, 12> checkRowTable = checkRows();

// Division six data bits at a time: the remainder of a word is the XOR of the remainders of
// its parts, and a bit-serial division would be the longest dependency chain of a frame.
constexpr std::array<std::uint16_t, 64> remainderTable(int shift)
{
    std::array<std::uint16_t, 64> table{};
    for (std::uint32_t v = 0; v < table.size(); ++v)
        table[v] = static_cast<std::uint16_t>(remainder23(v << shift));
    return table;
}

constexpr std::array<std::uint16_t, 64> remainderHigh = remainderTable(17);
constexpr std::array<std::uint16_t, 64> remainderLow = remainderTable(11);

std::uint32_t syndromeOf(std::uint32_t word)
{
    return remainderHigh[(word >> 17) & 63] ^ remainderLow[(word >> 11) & 63] ^ (word & checkMask);
}

} // namespace

constexpr std::array<std::uint32_t, 2048> gly23127DecTbl = makeDecTbl();
constexpr std::array<std::uint32_t, 2048> golayMatrix = makeGolayMatrix();

std::uint32_t golay_24_encode(std::uint32_t data)
{
    static constexpr std::array<std::uint32_t, 12> encoding = generatorRows();
    return xorOfRows(encoding, data & 0xFFF);
}

std::uint32_t golay_23_encode(std::uint32_t data)
{
    data &= 0xFFF;
    // The register divides with the polynomial mirrored because the first data bit sits in
    // bit 0; what is left comes out mirrored too. Bit 0 of the generator only clears the bit
    // being shifted out, so the step XORs the rest after the shift.
    std::uint32_t reg = reverse12(data);
    for (int i = 0; i < 12; ++i)
        reg = (reg >> 1) ^ ((0u - (reg & 1u)) & (reversedGenerator >> 1));
    return (data << 11) | (reverse12(reg) >> 1);
}

std::uint32_t gly23127GetSyn(std::uint32_t word)
{
    return syndromeOf(word);
}

std::uint32_t gly23127Dec(std::uint32_t word)
{
    word &= word23Mask;
    return (gly23127DecTbl[syndromeOf(word)] ^ word) >> 11;
}

std::uint32_t gly24128Dec(std::uint32_t codeword)
{
    return gly23127Dec(codeword >> 1);
}

void mbe_checkGolayBlock(std::int32_t* block)
{
    if (block == nullptr)
        return;
    const std::uint32_t word = static_cast<std::uint32_t>(*block) & word23Mask;
    const std::uint32_t data = word >> 11;
    const std::uint32_t syndrome = xorOfRows(checkRowTable, data) ^ (word & checkMask);
    *block = static_cast<std::int32_t>(data ^ golayMatrix[syndrome]);
}

} // namespace halvane
