// The microphone loop block by block, with the sound input, the console keys
// and the mixer faked and the packets caught on the test's own port: what
// each block sends, and when PTT toggles by key, remote request and VOX.
// The real program with a console and a sound input: tests/e2e/Console_test.cpp.
#include "CMicAudio.h"
#include "LogCapture.h"
#include "UdpSocket.h"
#include "dv3000_servers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
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

// The loop with a scripted input: every block is `sample` repeated (or what
// `read` says), keys come from `keys`, and the packets to "Halvane's USRP
// port" and the replies land on sockets of the test.
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

// A key keys: the same block goes out keyed, "reply ptt true" and the log
// line; blocks follow while keyed; the next key sends that block once more
// as the unkey, then nothing. Every packet is 352 bytes, sequence counting up.
TEST(CMicAudio, KeyPressKeysAndUnkeys)
{
    MicRig rig;
    ASSERT_TRUE(rig.mic->start());
    EXPECT_EQ(rig.mixer, std::vector<bool>{false});
    rig.blocks(2, 100);
    EXPECT_TRUE(rig.usrp.drain(50ms).empty());

    rig.keys = 1;
    rig.blocks(1, 100);
    EXPECT_EQ(text(rig.replies.receive(2s)), "reply ptt true");
    rig.blocks(2, 200);
    rig.keys = 1;
    rig.blocks(1, 300);
    EXPECT_EQ(text(rig.replies.receive(2s)), "reply ptt false");
    rig.blocks(2, 400);

    const std::vector<Bytes> sent = rig.usrp.drain(200ms);
    ASSERT_EQ(sent.size(), 4u);
    const std::vector<std::uint32_t> keyups{1, 1, 1, 0};
    const std::vector<short> levels{100, 200, 200, 300};
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const Bytes& p = sent[i];
        ASSERT_EQ(p.size(), 352u);
        EXPECT_EQ(std::string(p.begin(), p.begin() + 4), "USRP");
        EXPECT_EQ(bigEndian(p, 4), i);
        EXPECT_EQ(bigEndian(p, 12), keyups[i]) << i;
        EXPECT_EQ(p[20], 0); // voice
        EXPECT_EQ(p[32] | (p[33] << 8), levels[i]) << i;
        EXPECT_EQ(p[350] | (p[351] << 8), levels[i]) << i;
    }
    EXPECT_EQ(rig.mixer, (std::vector<bool>{false, true, false}));
    EXPECT_TRUE(rig.log.has('M', "Mic PTT ON"));
    EXPECT_TRUE(rig.log.has('M', "Mic PTT OFF"));
}

// Trigger 200, hold 100: a loud block keys (taking a waiting key with it, so
// the key does not undo it), a level equal to the trigger neither keys nor
// counts, and PTT drops with the 101st quiet block, which is the unkey.
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
    rig.blocks(1, 0);
    EXPECT_FALSE(rig.mic->pttOn());
    rig.blocks(5, 0);

    const std::vector<Bytes> sent = rig.usrp.drain(300ms);
    ASSERT_EQ(sent.size(), 1u + 3 + 100 + 1);
    for (std::size_t i = 0; i + 1 < sent.size(); ++i)
        ASSERT_EQ(bigEndian(sent[i], 12), 1u) << i;
    EXPECT_EQ(bigEndian(sent.back(), 12), 0u);
    EXPECT_EQ(sent.back().size(), 352u);
    EXPECT_EQ(text(rig.replies.receive(2s)), "reply ptt true");
    EXPECT_EQ(text(rig.replies.receive(2s)), "reply ptt false");
}

// "set ptt" keys with the next block, like a key; the VOX settings a remote
// command changes apply from the next block on.
TEST(CMicAudio, RemoteRequestAndVoxSettingsTakeEffectOnTheNextBlock)
{
    MicRig rig;
    ASSERT_TRUE(rig.mic->start());
    UdpSocket panel;
    // Commands are handled in order: the answer to the "get" means the
    // "set" before it is done.
    auto command = [&](const std::string& c) {
        panel.sendTo(rig.settings.remoteControlPort, Bytes(c.begin(), c.end()));
    };
    command("set ptt");
    command("get ptt");
    ASSERT_EQ(text(rig.replies.receive(2s)), "reply ptt toggle");
    rig.blocks(1, 50);
    EXPECT_TRUE(rig.mic->pttOn());
    EXPECT_EQ(text(rig.replies.receive(2s)), "reply ptt true");
    ASSERT_EQ(rig.usrp.drain(100ms).size(), 1u);

    command("set vox true");
    command("set vox_delay 2");
    command("get vox_delay");
    ASSERT_EQ(text(rig.replies.receive(2s)), "reply vox_delay 2");
    rig.blocks(1, 0); // keyed by the request, no voice to hold it: drops
    EXPECT_FALSE(rig.mic->pttOn());
    rig.blocks(1, 1000);
    rig.blocks(2, 0);
    EXPECT_TRUE(rig.mic->pttOn()); // held for two blocks, not two seconds
    rig.blocks(1, 0);
    EXPECT_FALSE(rig.mic->pttOn());
    EXPECT_EQ(rig.usrp.drain(100ms).size(), 1u + 1 + 2 + 1);
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
    EXPECT_EQ(rig.log.count("Bad read of mic audio 100"), 2);
}

} // namespace halvane
