// USRP voice to the partner through the real binary: a USRP client, a TLV
// partner and the DV3000 simulator (whose stand-in frames are a digest of
// the block, so every frame can be checked byte for byte). What the encode
// path does with each block is tested without the daemon
// (tests/bridge/EncodePath_test.cpp).
#include "DaemonFixture.h"
#include "G711.h"

#include <gtest/gtest.h>

#include <cmath>

namespace halvane {

using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Frame = Dv3000Simulator::Frame;

std::vector<PcmBlock> tones(int n, int from = 0)
{
    std::vector<PcmBlock> blocks(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k)
        for (std::size_t i = 0; i < PCM_BLOCK_SAMPLES; ++i)
            blocks[static_cast<std::size_t>(k)][i] =
                static_cast<std::int16_t>(std::lround(9000.0 * std::sin(0.05 * (from + k + 3) * static_cast<double>(i))));
    return blocks;
}

Frame chip(const PcmBlock& b)
{
    return Dv3000Simulator::standInEncode(b, Dv3000Simulator::RateMode::Dmr);
}

Bytes ambe72(std::initializer_list<Frame> frames)
{
    Bytes r{TAG_AMBE_72, 28, 2};
    for (const Frame& f : frames)
        r.insert(r.end(), f.begin(), f.end());
    return r;
}

// Everything the partner gets up to and including the next TAG_END_TX.
std::vector<Bytes> untilEnd(TlvPartner& partner)
{
    std::vector<Bytes> all;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        auto m = partner.receive(100ms);
        if (!m)
            continue;
        all.push_back(m->datagram);
        if (m->is(TAG_END_TX))
            break;
    }
    return all;
}

} // namespace

// Two transmissions from a registered client, the second in mu-law: the call
// record, the chip's frames three to a record (the fourth opening the next
// transmission's first record) and the end.
TEST(EncodePath, TransmissionsReachThePartnerThroughTheChip)
{
    Daemon d;
    UsrpClient client;
    TlvPartner partner;
    const auto simulator = d.chipOnUdp();
    ASSERT_TRUE(simulator && d.connect(partner));
    d.start(d.ini("", "ambeMode = NXDN\ntxTg = 3100\n"));
    ASSERT_TRUE(d.waitForLog("Starting USRP --> Halvane (encoder) -> TLV thread"));
    ASSERT_TRUE(d.connect(client, true));

    const std::vector<PcmBlock> first = tones(4);
    for (const PcmBlock& b : first)
        client.sendVoice(b, UsrpCodec::Slin);
    client.sendUnkey(UsrpCodec::Slin);
    // Call sign: the gateway's ID as text, since the subscriber file is absent.
    const Bytes begin{TAG_BEGIN_TX, 20, 0x2F, 0x4D, 0x61, 0x00, 0x2F, 0x4D, 0x62, 0x00, 0x0C, 0x1C, 2, 1,
                      '3', '1', '0', '0', '0', '0', '1', 0};
    EXPECT_EQ(untilEnd(partner),
              (std::vector<Bytes>{begin, ambe72({chip(first[0]), chip(first[1]), chip(first[2])}), {TAG_END_TX, 1, 2}}));

    std::vector<PcmBlock> second = tones(2, 10);
    for (PcmBlock& b : second) {
        client.sendVoice(b, UsrpCodec::Ulaw);
        std::array<std::uint8_t, PCM_BLOCK_SAMPLES> codes;
        ulawEncode(b, codes);
        ulawDecode(codes, b);
    }
    client.sendUnkey(UsrpCodec::Ulaw);
    EXPECT_EQ(untilEnd(partner),
              (std::vector<Bytes>{begin, ambe72({chip(first[3]), chip(second[0]), chip(second[1])}), {TAG_END_TX, 1, 2}}));
}

} // namespace halvane
