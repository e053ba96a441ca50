#include "CUsrpPacket.h"

#include "G711.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace halvane {

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes sent(const CUsrpPacket& packet)
{
    return Bytes(packet.data(), packet.data() + packet.size());
}

// What a peer reads: `bytes` in a fresh receive buffer.
CUsrpPacket received(const Bytes& bytes)
{
    CUsrpPacket packet;
    std::copy_n(bytes.begin(), std::min(bytes.size(), packet.capacity()), packet.data());
    packet.setReceived(bytes.size());
    return packet;
}

// A header as the peer writes it: magic, then the given bytes set.
Bytes header(std::size_t size, std::initializer_list<std::pair<int, std::uint8_t>> set)
{
    Bytes bytes(size, 0);
    std::memcpy(bytes.data(), "USRP", std::min<std::size_t>(size, 4));
    for (auto [at, value] : set)
        bytes[at] = value;
    return bytes;
}

// A keyed block and the unkey in each codec: seq and keyup big-endian, type
// little-endian, samples little-endian; the unkey carries silence (none in
// linear), and ADPCM codes it from the current state, which it advances.
TEST(UsrpBuild, VoiceAndUnkeyByteForByteInEachCodec)
{
    std::array<std::int16_t, USRP_VOICE_SAMPLES> ramp{};
    for (std::size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = static_cast<std::int16_t>(i * 397 - 30000);
    ImaAdpcmState adpcmTx{-700, 40}, reference = adpcmTx;
    std::uint8_t seq = 0;
    for (const bool keyed : {true, false}) {
        const std::array<std::int16_t, USRP_VOICE_SAMPLES> pcm = keyed ? ramp : decltype(ramp){};
        for (const auto& [codec, size, type] : {std::tuple{USRP_CODEC_SLIN, 352u, 0}, {USRP_CODEC_ULAW, 192u, 6},
                                                {USRP_CODEC_ADPCM, 112u, 5}}) {
            SCOPED_TRACE(testing::Message() << "codec " << codec << (keyed ? " keyed" : " unkey"));
            CUsrpPacket packet = CUsrpPacket::voice(0x01020300u + ++seq, keyed ? pcm.data() : nullptr, keyed ? USRP_VOICE_BYTES : 0);
            const std::size_t expectedSize = !keyed && codec == USRP_CODEC_SLIN ? 32 : size;
            ASSERT_EQ(packet.encodeVoice(codec, adpcmTx), expectedSize);
            Bytes expected = header(expectedSize, {{4, 1}, {5, 2}, {6, 3}, {7, seq}, {15, keyed}, {20, static_cast<std::uint8_t>(type)}});
            for (std::size_t i = 0; i < pcm.size() && expectedSize > 32; ++i) {
                if (codec == USRP_CODEC_SLIN) {
                    expected[32 + 2 * i] = static_cast<std::uint8_t>(pcm[i] & 0xFF);
                    expected[33 + 2 * i] = static_cast<std::uint8_t>((pcm[i] >> 8) & 0xFF);
                } else if (codec == USRP_CODEC_ULAW) {
                    expected[32 + i] = linearToUlaw(pcm[i]); // 0xFF for silence
                }
            }
            if (codec == USRP_CODEC_ADPCM)
                imaEncode(pcm, std::span(expected.data() + 32, 80), reference);
            EXPECT_EQ(sent(packet), expected);
            EXPECT_EQ(adpcmTx.valprev, reference.valprev);
            EXPECT_EQ(adpcmTx.index, reference.index);
        }
    }
    EXPECT_EQ(CUsrpPacket::voice(11, ramp.data(), USRP_VOICE_BYTES).encodeVoice(3, adpcmTx), 0u);
}

TEST(UsrpBuild, TextAndPing)
{
    EXPECT_EQ(sent(CUsrpPacket::text(5, USRP_TYPE_TEXT, "OK", 2)),
              header(352, {{7, 5}, {20, 2}, {32, 'O'}, {33, 'K'}}));
    const std::string longText(400, 'x');
    CUsrpPacket large = CUsrpPacket::text(6, USRP_TYPE_TEXT, longText.data(), longText.size());
    ASSERT_EQ(large.size(), 432u);
    EXPECT_EQ(std::memcmp(large.data() + 32, longText.data(), 400), 0);
    EXPECT_EQ(large.text(), longText);

    const std::string limit(USRP_MAX_DATAGRAM - 32, 'y');
    EXPECT_EQ(CUsrpPacket::text(7, USRP_TYPE_TEXT, limit.data(), limit.size()).size(), USRP_MAX_DATAGRAM);
    EXPECT_EQ(CUsrpPacket::text(7, USRP_TYPE_TEXT, limit.data(), limit.size() + 1).size(), 0u); // refused

    EXPECT_EQ(sent(CUsrpPacket::ping(0xFFFFFFFF)),
              header(352, {{4, 0xFF}, {5, 0xFF}, {6, 0xFF}, {7, 0xFF}, {20, 3},
                           {32, 'P'}, {33, 'I'}, {34, 'N'}, {35, 'G'}}));
}

TEST(UsrpParse, HeaderFieldsAndSizes)
{
    CUsrpPacket packet = received(header(352, {{6, 1}, {15, 1}, {20, 5}, {8, 0xAA}, {16, 0xAA}}));
    EXPECT_TRUE(packet.hasMagic());
    EXPECT_EQ(packet.seq(), 256u);
    EXPECT_EQ(packet.type(), 5u);
    EXPECT_TRUE(packet.keyed());
    EXPECT_FALSE(received(header(352, {{12, 1}, {15, 1}})).keyed()); // only exactly big-endian 1 keys
    EXPECT_FALSE(received(header(352, {{14, 1}})).keyed());
    EXPECT_EQ(received(header(352, {{23, 5}})).type(), 0x05000000u);

    // "USRP" alone reads as zero-filled: a linear unkey, taken at any size.
    CUsrpPacket bare = received(header(4, {}));
    EXPECT_TRUE(bare.hasMagic());
    EXPECT_EQ(bare.type(), 0u);
    EXPECT_FALSE(bare.keyed());
    EXPECT_EQ(bare.payloadLength(), 0u);
    EXPECT_TRUE(bare.hasValidVoiceSize());
    EXPECT_FALSE(received(header(3, {})).hasMagic());
    EXPECT_FALSE(received({}).hasMagic());
    EXPECT_FALSE(received(Bytes{'u', 's', 'r', 'p'}).hasMagic());

    // A keyed linear packet must be 352 bytes; the receive buffer's extra
    // byte lets a 353-byte datagram show as too long.
    for (std::size_t size : {351u, 352u, 353u, 400u}) {
        EXPECT_EQ(received(header(size, {{15, 1}})).hasValidVoiceSize(), size == 352) << size;
        EXPECT_TRUE(received(header(size, {})).hasValidVoiceSize()) << size;
        EXPECT_TRUE(received(header(size, {{15, 1}, {20, 6}})).hasValidVoiceSize()) << size;
    }
}

TEST(UsrpParse, CodedVoiceDecodesInPlace)
{
    // A keyed mu-law packet cut after 8 codes: the zero fill is code 0x00.
    Bytes cut = header(40, {{15, 1}, {20, 6}});
    std::fill(cut.begin() + 32, cut.end(), 0x80);
    ImaAdpcmState adpcmRx;
    CUsrpPacket ulaw = received(cut);
    ASSERT_TRUE(ulaw.decodeVoice(adpcmRx));
    std::array<std::int16_t, USRP_VOICE_SAMPLES> pcm{};
    ulaw.samples(pcm);
    EXPECT_EQ(pcm[7], 32124);
    EXPECT_EQ(pcm[8], -32124);
    EXPECT_EQ(ulaw.type(), 6u); // the header is left as received

    // ADPCM decodes with the caller's state, carried to the next packet.
    Bytes adpcmBytes = header(112, {{15, 1}, {20, 5}});
    std::fill(adpcmBytes.begin() + 32, adpcmBytes.end(), 0x77);
    ImaAdpcmState reference;
    std::array<std::int16_t, USRP_VOICE_SAMPLES> expected{};
    for (int round = 0; round < 2; ++round) {
        CUsrpPacket adpcm = received(adpcmBytes);
        ASSERT_TRUE(adpcm.decodeVoice(adpcmRx));
        adpcm.samples(pcm);
        imaDecode(std::span(adpcmBytes.data() + 32, 80), expected, reference);
        EXPECT_EQ(pcm, expected) << round;
    }
    EXPECT_FALSE(received(header(352, {{20, 2}})).decodeVoice(adpcmRx));
}

TEST(UsrpParse, TextAndRegistration)
{
    Bytes full(353, 'A'); // no NUL anywhere, and one byte too many
    std::memcpy(full.data(), "USRP", 4);
    EXPECT_EQ(received(full).text().size(), 320u);
    EXPECT_EQ(received(full).payloadLength(), 320u);

    auto reg = [](const char* text) {
        return CUsrpPacket::text(0, USRP_TYPE_TEXT, text, std::strlen(text)).registration();
    };
    EXPECT_EQ(reg("REG:QUILLNET"), UsrpRegistration::Register);
    EXPECT_EQ(reg("REG:UNREG"), UsrpRegistration::Unregister);
    EXPECT_EQ(reg("REG:QUILL"), UsrpRegistration::Other);
    EXPECT_EQ(reg("MODES:"), UsrpRegistration::None);
}

// Random bytes of every size from nothing to past the buffer, behind a valid
// or a wrong magic, with every type: through every accessor nothing may read
// or write outside the buffer (the AddressSanitizer build checks), and only
// voice types decode.
TEST(UsrpParse, HostileDatagramsOfEverySize)
{
    std::mt19937 random(352);
    ImaAdpcmState adpcmRx;
    for (std::size_t size = 0; size <= USRP_RECEIVE_SIZE + 8; ++size) {
        for (std::uint8_t type = 0; type < 8; ++type) {
            Bytes bytes(size);
            for (std::uint8_t& byte : bytes)
                byte = static_cast<std::uint8_t>(random());
            if (type % 2 == 0 && size >= 4)
                std::memcpy(bytes.data(), "USRP", 4);
            if (size > 20)
                bytes[20] = type;
            CUsrpPacket packet = received(bytes);
            ASSERT_LE(packet.payloadLength(), USRP_PAYLOAD_SIZE);
            ASSERT_LE(packet.text().size(), USRP_PAYLOAD_SIZE);
            (void)packet.registration();
            (void)packet.hasValidVoiceSize();
            const std::uint32_t t = packet.type();
            ASSERT_EQ(packet.decodeVoice(adpcmRx), t == 0 || t == 5 || t == 6);
        }
    }
}

} // namespace

} // namespace halvane
