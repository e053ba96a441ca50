// The codec seam: which codec a direction uses, and what each one asks of
// the chip, the emulator and the software vocoder.
#include "CDV3000_Base.h"
#include "CodecChoice.h"
#include "EmulatorLink.h"

#include "LogCapture.h"
#include "UdpSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>

namespace halvane {

using namespace std::chrono_literals;

namespace {

// Answers every encode with nine bytes of the request number and every
// decode with 160 samples of it, and keeps what it was handed.
class FakeChip : public CDV3000_Base {
public:
    int dv3000Encode(unsigned char* ambe, unsigned int, short*) override
    {
        ++requests;
        if (lost)
            return 0;
        std::memset(ambe, requests, 9);
        return 9;
    }
    bool dv3000Decode(const unsigned char* ambe, unsigned int len, short* pcm) override
    {
        decoded.assign(ambe, ambe + len);
        std::fill(pcm, pcm + 160, static_cast<short>(lost ? 0 : ++requests));
        return !lost;
    }
    bool lost = false;
    int requests = 0;
    std::vector<std::uint8_t> decoded;
};

Ambe49Frame frame49(std::uint8_t seed)
{
    Ambe49Frame f;
    for (std::size_t i = 0; i < f.bytes.size(); ++i)
        f.bytes[i] = static_cast<std::uint8_t>(seed * 29 + i * 7);
    f.bytes[6] &= 0x80;
    return f;
}

template <typename Frame>
std::vector<std::uint8_t> bytesOf(const Frame& frame)
{
    return std::vector<std::uint8_t>(frame.bytes.begin(), frame.bytes.end());
}

} // namespace

// A direction follows the wanted vocoder from its next block on; a vocoder
// the process does not have, and what the chip cannot do, fall to software.
TEST(CodecChoice, FollowsTheWantedVocoderAndFallsBackToSoftware)
{
    LogCapture log(4);
    FakeChip chip;
    WantedVocoder wanted{Vocoder::Dv3000};
    EncoderChoice encoder({wanted, &chip, nullptr});
    DecoderChoice decoder({wanted, &chip, nullptr});
    PcmBlock pcm;
    for (std::size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<std::int16_t>(6000 * std::sin(0.3 * static_cast<double>(i)) + 2000 * std::sin(0.9 * i));

    Ambe72Frame frame;
    ASSERT_TRUE(encoder.current().encode72(pcm, frame));
    EXPECT_EQ(frame.bytes[0], 1);
    DstarFrame dstar;
    ASSERT_TRUE(encoder.current().encodeDstar(pcm, dstar));
    EXPECT_EQ(dstar.bytes[0], 2) << "D-STAR goes to the chip too";
    SoftwareEncoder software;
    ImbeFrame imbe, softwareImbe;
    ASSERT_TRUE(encoder.current().encodeImbe(pcm, imbe));
    software.encodeImbe(pcm, softwareImbe);
    EXPECT_EQ(imbe, softwareImbe) << "the chip has no IMBE";
    EXPECT_EQ(chip.requests, 2);

    PcmBlock out;
    decoder.current().decode49(frame49(5), out);
    EXPECT_EQ(chip.decoded, bytesOf(toAmbe72(frame49(5))));
    EXPECT_EQ(out[159], 3);
    decoder.current().decodeImbe(imbe, out);
    EXPECT_EQ(chip.requests, 3);

    // One software encoder for the direction, whose state runs on across
    // the switches.
    Ambe72Frame expected;
    wanted.set(Vocoder::Software);
    ASSERT_TRUE(encoder.current().encode72(pcm, frame));
    software.encode72(pcm, expected);
    EXPECT_EQ(frame, expected);
    wanted.set(Vocoder::Emulator); // none in this process
    ASSERT_TRUE(encoder.current().encode72(pcm, frame));
    software.encode72(pcm, expected);
    EXPECT_EQ(frame, expected);
    wanted.set(Vocoder::Dv3000);
    ASSERT_TRUE(encoder.current().encode72(pcm, frame));
    EXPECT_EQ(frame.bytes[0], 4);
}

// A block the chip fails on (it is being lost or started again) is vocoded
// in software rather than dropped, as the software codec of the direction
// would have vocoded it.
TEST(CodecChoice, WhatTheChipFailsOnIsVocodedInSoftware)
{
    LogCapture log(4);
    FakeChip chip;
    chip.lost = true;
    WantedVocoder wanted{Vocoder::Dv3000};
    EncoderChoice encoder({wanted, &chip, nullptr});
    DecoderChoice decoder({wanted, &chip, nullptr});
    SoftwareEncoder referenceEncoder;
    SoftwareDecoder referenceDecoder;
    PcmBlock pcm;
    for (std::size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<std::int16_t>(3000 * ((i / 20) % 2 ? 1 : -1));

    Ambe72Frame frame, expected;
    ASSERT_TRUE(encoder.current().encode72(pcm, frame));
    ASSERT_TRUE(referenceEncoder.encode72(pcm, expected));
    EXPECT_EQ(frame, expected);
    DstarFrame dstar, expectedDstar;
    ASSERT_TRUE(encoder.current().encodeDstar(pcm, dstar));
    ASSERT_TRUE(referenceEncoder.encodeDstar(pcm, expectedDstar));
    EXPECT_EQ(dstar, expectedDstar);

    PcmBlock out, expectedOut;
    decoder.current().decode49(frame49(7), out);
    referenceDecoder.decode72(toAmbe72(frame49(7)), expectedOut);
    EXPECT_EQ(out, expectedOut);
    EXPECT_EQ(chip.requests, 2);
    EXPECT_EQ(chip.decoded, bytesOf(toAmbe72(frame49(7))));
}

// The emulator takes and gives 49-bit frames: a 72-bit frame goes converted,
// a 49-bit one as received, and its answers become 72-bit frames.
TEST(CodecChoice, EmulatorFramesTravelIn49BitForm)
{
    LogCapture log(4);
    UdpSocket emulator;
    std::atomic_bool running{true};
    std::vector<std::vector<std::uint8_t>> requests;
    std::thread answer([&] {
        while (running) {
            auto got = emulator.receiveFrom(50ms);
            if (!got)
                continue;
            requests.push_back(got->first);
            if (got->first.size() == PCM_BLOCK_BYTES)
                emulator.sendTo(got->second, bytesOf(frame49(got->first[0])));
            else
                emulator.sendTo(got->second, std::vector<std::uint8_t>(100, 0x11)); // a short block
        }
    });
    EmulatorLink link("127.0.0.1:" + std::to_string(emulator.port()));
    WantedVocoder wanted{Vocoder::Emulator};
    EncoderChoice encoder({wanted, nullptr, &link});
    DecoderChoice decoder({wanted, nullptr, &link});

    PcmBlock pcm{};
    pcm[0] = 9;
    Ambe72Frame frame;
    const bool encoded = encoder.current().encode72(pcm, frame);
    PcmBlock out;
    out.fill(-1);
    decoder.current().decode72(toAmbe72(frame49(3)), out);
    const PcmBlock decoded72 = out;
    decoder.current().decode49(frame49(4), out);
    DstarFrame dstar;
    encoder.current().encodeDstar(pcm, dstar);
    running = false;
    answer.join();

    ASSERT_TRUE(encoded);
    EXPECT_EQ(frame, toAmbe72(frame49(9)));
    ASSERT_EQ(requests.size(), 3u) << "D-STAR is the software's";
    EXPECT_EQ(requests[1], bytesOf(frame49(3)));
    EXPECT_EQ(requests[2], bytesOf(frame49(4)));
    // A short answer fills the start of the block; the rest is silence.
    EXPECT_EQ(decoded72[49], 0x1111);
    EXPECT_EQ(decoded72[50], 0);
    DstarFrame softwareDstar;
    SoftwareEncoder().encodeDstar(pcm, softwareDstar);
    EXPECT_EQ(dstar, softwareDstar);
}

} // namespace halvane
