// The microphone loop block by block, with the sound input, the console keys
// and the mixer faked and the packets caught on the test's own port: what
// each block sends, and when PTT toggles by key and by VOX.
// The real program with a console and a sound input: tests/e2e/Console_test.cpp.
#include "CMicAudio.h"
#include "LogCapture.h"
#include "UdpSocket.h"
#include "dv3000_servers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace halvane {

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

std::uint32_t bigEndian(const Bytes& p, std::size_t at)
{
    return (std::uint32_t{p[at]} << 24) | (std::uint32_t{p[at + 1]} << 16) | (std::uint32_t{p[at + 2]} << 8) | p[at + 3];
}

std::string text(const std::optional<Bytes>& datagram)
{
    return datagram ? std::string(datagram->begin(), datagram->end()) : "(nothing)";
}

// The loop with a scripted input: every block is `sample` repeated and reads
// as `readResult` bytes, keys come from `keys`, and the packets to "Halvane's
// USRP port" and the replies land on sockets of the test.
class MicRig {
public:
    MicRig()
    {
        settings.usrpRxPort = usrp.port();
        settings.remoteControlPort = freeUdpPort();
        settings.remoteControlReplyPort = replies.port();
        mic = std::make_unique<CMicAudio>(
            settings, CMicAudio::Io{[this](short* block, int bytes) {
                                        std::fill(block, block + bytes / 2, sample);
                                        return readResult;
                                    },
                                    [this] {
                                        const bool waiting = keys > 0;
                                        keys -= waiting ? 1 : 0;
                                        return waiting;
                                    },
                                    [this](bool transmit) { mixer.push_back(transmit); }});
    }

    // Runs `n` blocks of `level`.
    void blocks(int n, short level)
    {
        sample = level;
        for (int i = 0; i < n; ++i)
            mic->runBlock();
    }

    LogCapture log;
    dv3000_servers settings;
    UdpSocket usrp;
    UdpSocket replies;
    std::unique_ptr<CMicAudio> mic;
    short sample = 0;
    int readResult = 320;
    int keys = 0;
    std::vector<bool> mixer;
};

} // namespace

// Trigger 200, hold 100: a loud block keys (taking a waiting key with it, so
// the key does not undo it), a level equal to the trigger neither keys nor
// counts, and PTT drops with the 101st quiet block: one more 352-byte packet
// carrying that block, with key-up 0. Every toggle answers on the reply port
// and switches the mixer.
TEST(CMicAudio, VoxKeysOnSpeechAndDropsOnThe101stQuietBlock)
{
    MicRig rig;
    rig.settings.useVox = true;
    rig.settings.voxTrigger = 200;
    rig.settings.voxDecay = 100;
    ASSERT_TRUE(rig.mic->start());

    rig.blocks(3, 201); // from below the level settles at 200, the trigger
    EXPECT_FALSE(rig.mic->pttOn());
    rig.keys = 1;
    rig.blocks(1, 1000);
    EXPECT_TRUE(rig.mic->pttOn());
    EXPECT_EQ(rig.keys, 0);
    rig.blocks(3, 200); // from above it settles at 200: no count-down
    rig.blocks(100, 0);
    EXPECT_TRUE(rig.mic->pttOn());
    rig.blocks(1, 7);
    EXPECT_FALSE(rig.mic->pttOn());
    rig.blocks(5, 0);

    const std::vector<Bytes> sent = rig.usrp.drain(300ms);
    ASSERT_EQ(sent.size(), 1u + 3 + 100 + 1);
    for (std::uint32_t i = 0; i < sent.size(); ++i) {
        ASSERT_EQ(sent[i].size(), 352u);
        ASSERT_EQ(std::string(sent[i].begin(), sent[i].begin() + 4), "USRP");
        ASSERT_EQ(bigEndian(sent[i], 4), i);
        ASSERT_EQ(bigEndian(sent[i], 12), i + 1 < sent.size() ? 1u : 0u) << i;
    }
    EXPECT_EQ(sent.back()[32 + 318], 7);
    EXPECT_EQ(text(rig.replies.receive(2s)), "reply ptt true");
    EXPECT_EQ(text(rig.replies.receive(2s)), "reply ptt false");
    EXPECT_EQ(rig.mixer, (std::vector<bool>{false, true, false}));
    EXPECT_TRUE(rig.log.has('M', "Mic PTT ON") && rig.log.has('M', "Mic PTT OFF"));
}

// A block that comes back short is sent with silence where nothing arrived,
// and a device that keeps failing does not write a line per block.
TEST(CMicAudio, ShortReadsBecomeSilenceAndAreLoggedSparingly)
{
    MicRig rig;
    ASSERT_TRUE(rig.mic->start());
    rig.keys = 1;
    rig.readResult = 100;
    rig.blocks(60, 77);
    const std::vector<Bytes> sent = rig.usrp.drain(200ms);
    ASSERT_EQ(sent.size(), 60u);
    EXPECT_EQ(sent[0][32 + 98] | (sent[0][32 + 99] << 8), 77);
    EXPECT_TRUE(std::all_of(sent[0].begin() + 32 + 100, sent[0].end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(rig.log.count("Bad read of mic audio 100"), 1);
}

} // namespace halvane
