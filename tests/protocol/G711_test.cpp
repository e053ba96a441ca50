#include "G711.h"

#include "SoxReference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace halvane {

namespace {

TEST(G711, PublishedTablesClipAndZeroTrap)
{
    // The whole table is held to sox below; these few hold it where sox is missing.
    EXPECT_EQ(u2l[0x00], -32124);
    EXPECT_EQ(u2l[0x0F], -16764);
    EXPECT_EQ(u2l[0x7E], -8);
    EXPECT_EQ(u2l[0x7F], 0);
    EXPECT_EQ(u2l[0x80], 32124);
    EXPECT_EQ(u2l[0xF0], 120);
    EXPECT_EQ(u2l[0xFF], 0);

    // The clip makes -32768 encode like -32635; the code they share, 0x00,
    // goes out as 0x02.
    EXPECT_EQ(linearToUlaw(-32768), 0x02);
    EXPECT_EQ(linearToUlaw(-32635), 0x02);
    EXPECT_EQ(linearToUlaw(32767), 0x80);
    EXPECT_EQ(linearToUlaw(0), 0xFF);
    EXPECT_EQ(linearToUlaw(-1), 0x7F); // negative zero keeps its sign
}

class G711Sox : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!soxAvailable())
            GTEST_SKIP() << "sox not installed";
    }
    TempDir dir;
};

TEST_F(G711Sox, DecodingMatchesSox)
{
    std::array<std::uint8_t, 256> codes{};
    for (int i = 0; i < 256; ++i)
        codes[i] = static_cast<std::uint8_t>(i);
    writeBytes(dir.file("codes.ul"), codes.data(), codes.size());
    ASSERT_TRUE(runSox(dir, "-t raw -r 8000 -e mu-law -b 8 -c 1 " + dir.file("codes.ul") +
                                " -t raw -e signed-integer -b 16 " + dir.file("decoded.raw")));
    const std::vector<std::int16_t> decoded = readSamples(dir.file("decoded.raw"));
    EXPECT_EQ(decoded, std::vector<std::int16_t>(u2l.begin(), u2l.end()));
}

// sox encodes from 14 bits: it rounds a 16-bit sample to the nearest multiple
// of 4, where the 16-bit G.711 form here truncates the magnitude (only
// magnitude >> 2 matters to it, the bias 132 being a multiple of 4), and it
// has no zero-code trap. So sox is given only multiples of 4 (dither off) and
// each sample s must encode like sox's code for sign(s) * (|s| & ~3), with
// 0x00 read as 0x02; -1..-3, a negative zero that sox cannot be given,
// encode as 0x7F.
TEST_F(G711Sox, EncodingMatchesSoxOverTheWholeRange)
{
    std::vector<std::int16_t> reference;
    for (int s = -32768; s <= 32767; s += 4)
        reference.push_back(static_cast<std::int16_t>(s));
    writeBytes(dir.file("reference.raw"), reference.data(), reference.size() * 2);
    ASSERT_TRUE(runSox(dir, "-D -t raw -r 8000 -e signed-integer -b 16 -c 1 " + dir.file("reference.raw") +
                                " -t raw -e mu-law -b 8 " + dir.file("reference.ul")));
    const std::string soxCodes = readFile(dir.file("reference.ul"));
    ASSERT_EQ(soxCodes.size(), reference.size());

    for (int s = -32768; s <= 32767; ++s) {
        const int magnitude = (s < 0 ? -s : s) & ~3;
        auto expected = static_cast<std::uint8_t>(soxCodes[((s < 0 ? -magnitude : magnitude) + 32768) / 4]);
        if (expected == 0x00)
            expected = 0x02;
        if (s < 0 && magnitude == 0)
            expected = 0x7F;
        ASSERT_EQ(linearToUlaw(static_cast<std::int16_t>(s)), expected) << "sample " << s;
    }
}

} // namespace

} // namespace halvane
