// The encode path on a bridge without threads: a chip stand-in that counts
// its requests, a fake clock and wait, and a loopback partner socket.
#include "EncodePath.h"

#include "AmbeFrame.h"
#include "CDMR_DV3000_DMRLink.h"
#include "dv3000_servers.h"

#include "LogCapture.h"
#include "UdpSocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace halvane {

using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Block = std::array<std::int16_t, USRP_VOICE_SAMPLES>;

// The chip answers request n (from 1) with nine bytes of n, or with `reply`
// bytes when that is set; it keeps the samples it was handed.
class ChipBridge : public CDMR_DV3000_DMRLink {
public:
    ChipBridge() : CDMR_DV3000_DMRLink(false, DV3000Timing{0us, 1ms, 20ms}) {}
    int dv3000Encode(unsigned char* ambe, unsigned int len, short* samples) override
    {
        ++requests;
        received.assign(samples, samples + len / 2);
        if (reply)
            return *reply;
        std::fill(ambe, ambe + 9, static_cast<unsigned char>(requests));
        return 9;
    }
    int requests = 0;
    std::optional<int> reply;
    std::vector<short> received;
};

// The partner's socket; keeps each datagram's source port, so a recreated
// send endpoint shows.
class Partner {
public:
    Partner()
    {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        socklen_t len = sizeof(addr);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~Partner() { close(fd_); }
    Partner(const Partner&) = delete;
    Partner& operator=(const Partner&) = delete;
    int port() const { return port_; }

    // Everything until nothing more comes for `quiet`.
    std::vector<Bytes> drain(std::chrono::milliseconds quiet = 100ms)
    {
        std::vector<Bytes> all;
        sources.clear();
        pollfd p{fd_, POLLIN, 0};
        while (poll(&p, 1, static_cast<int>(quiet.count())) > 0) {
            Bytes d(2048);
            sockaddr_in from{};
            socklen_t len = sizeof(from);
            ssize_t n = recvfrom(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0)
                break;
            d.resize(static_cast<std::size_t>(n));
            all.push_back(d);
            sources.push_back(ntohs(from.sin_port));
        }
        return all;
    }
    std::vector<int> sources;

private:
    int fd_ = -1;
    int port_ = 0;
};

int countLines(const LogCapture& capture, char letter, const std::string& fragment)
{
    int n = 0;
    for (const std::string& line : capture.lines())
        n += !line.empty() && line[0] == letter && line.find(fragment) != std::string::npos;
    return n;
}

Block ramp(int start)
{
    Block b;
    for (std::size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<std::int16_t>(start + 37 * static_cast<int>(i));
    return b;
}

// A linear block as read off the socket; no samples make an unkey.
CUsrpPacket linear(const Block* b)
{
    CUsrpPacket p = CUsrpPacket::voice(7, b ? b->data() : nullptr, b ? USRP_VOICE_BYTES : 0);
    p.setReceived(p.size());
    return p;
}

CUsrpPacket linear(const Block& b)
{
    return linear(&b);
}

CUsrpPacket unkeyPacket()
{
    return linear(nullptr);
}

Bytes endTx(int slot)
{
    return {TAG_END_TX, 1, static_cast<std::uint8_t>(slot)};
}

Bytes ambe72(int slot, std::initializer_list<int> frames)
{
    Bytes r{TAG_AMBE_72, 28, static_cast<std::uint8_t>(slot)};
    for (int f : frames)
        r.insert(r.end(), 9, static_cast<std::uint8_t>(f));
    return r;
}

Bytes silenceRecord(int slot)
{
    Bytes r{TAG_AMBE_72, 28, static_cast<std::uint8_t>(slot)};
    for (int i = 0; i < 3; ++i)
        r.insert(r.end(), EncodePath::DMR_SILENCE_FRAME.begin(), EncodePath::DMR_SILENCE_FRAME.end());
    return r;
}

class EncodePathTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetGlobals();
        servers.gatewayDmrId = 3100001;
        servers.repeaterID = 3100002;
        servers.ambeMode.set("NXDN");
        servers.ambeSize = 72;
        servers.dv3000Port = freeUdpPort();
        servers.subscriberFile.set(capture.dir().file("none.csv"));
        servers.tlvTxPorts.set(PortList{partner.port()});
        bridge = std::make_unique<ChipBridge>();
        bridge->dv3000Ready = 1;
        servers.defaultMetadata.set("N0CALL");
    }
    void TearDown() override { resetGlobals(); }

    static void resetGlobals()
    {
        servers.setDefaults();
        isASL = false;
        natTimerNotDone = false;
        adpcmRx = {};
    }

    // The encode path under test, on the fake clock: each wait passes its
    // whole limit, and the wait numbered `voiceOnWait` (from 1) sees voice.
    EncodePath& path()
    {
        if (!path_) {
            path_ = std::make_unique<EncodePath>(*bridge);
            path_->setClockSeam({[this] { return now; }, [this] { return wallBase + sinceStart(); },
                                 [this](std::chrono::milliseconds limit) {
                                     now += limit;
                                     return ++waits == voiceOnWait;
                                 }});
            path_->start();
        }
        return *path_;
    }
    std::uint64_t sinceStart() const
    {
        using std::chrono::milliseconds;
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<milliseconds>(now - EncodePath::Clock::time_point{}).count());
    }
    void send(CUsrpPacket p) { path().handleVoice(p); }
    void talk(int blocks, int from = 0)
    {
        for (int i = 0; i < blocks; ++i) {
            send(linear(ramp(from + i)));
            now += 20ms;
        }
    }

    LogCapture capture{1};
    Partner partner;
    std::unique_ptr<ChipBridge> bridge;
    std::unique_ptr<EncodePath> path_;
    EncodePath::Clock::time_point now{};
    std::uint64_t wallBase = 1'700'000'000'000;
    int waits = 0;
    int voiceOnWait = 0;
};

} // namespace

TEST_F(EncodePathTest, CallRecordThenFramesThreeToARecordCarriedAcrossTransmissions)
{
    servers.txTg = 91;
    servers.txTs = 1;
    servers.colorCode = 3;
    talk(4);
    send(unkeyPacket());
    const Bytes begin{TAG_BEGIN_TX, 19, 0x2F, 0x4D, 0x61, 0x00, 0x2F, 0x4D, 0x62, 0, 0, 91, 1, 3,
                      'N', '0', 'C', 'A', 'L', 'L', 0};
    EXPECT_EQ(partner.drain(), (std::vector<Bytes>{begin, ambe72(1, {1, 2, 3}), endTx(1)}));
    // The chip is handed big-endian samples.
    const auto sample = static_cast<std::uint16_t>(ramp(3)[1]);
    EXPECT_EQ(static_cast<std::uint16_t>(bridge->received[1]), static_cast<std::uint16_t>(sample << 8 | sample >> 8));

    // The slot and the default record follow the settings at the next key-up.
    servers.txTs = 2;
    servers.colorCode = 4;
    talk(2);
    auto second = partner.drain();
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0][12], 2);
    EXPECT_EQ(second[0][13], 4);
    EXPECT_EQ(second[1], ambe72(2, {4, 5, 6}));
    EXPECT_EQ(countLines(capture, 'M', "PTT on"), 2);
}

TEST_F(EncodePathTest, ChipReplyOfTheWrongLengthDropsTheBlock)
{
    bridge->reply = 0;
    send(linear(ramp(0)));
    bridge->reply.reset();
    talk(3);
    auto records = partner.drain();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1], ambe72(2, {2, 3, 4}));
    EXPECT_TRUE(capture.has('W', "AMBE len is not 9 (72 bits), so not sending it to partner.  Len=0"));
}

TEST_F(EncodePathTest, ShortDmrTransmissionIsPaddedWithSilenceThenEnds)
{
    servers.ambeMode.set("DMR");
    servers.minTxTimeMS = 2000;
    talk(3);
    now += 940ms; // key-up was 1000 ms ago
    send(unkeyPacket());
    auto records = partner.drain();
    ASSERT_EQ(records.size(), 2u + 17u + 1u); // every 60 ms from 0 to 960 ms of the extension
    for (std::size_t i = 2; i < 19; ++i)
        EXPECT_EQ(records[i], silenceRecord(2)) << i;
    EXPECT_EQ(records.back(), endTx(2));
    EXPECT_TRUE(capture.has('M', "Short transmission, extend hang time by 1000 ms"));
    EXPECT_TRUE(capture.has('M', "PTT off (keyed for 2020 ms)"));
    EXPECT_TRUE(
        capture.has('D', "cpu_time_used = 1000, minTxTime = 2000, pttTime = 1700000000000, end = 1700000001000"));
    EXPECT_FALSE(path().transmitting());
}

TEST_F(EncodePathTest, VoiceDuringTheHangTimeContinuesTheTransmission)
{
    servers.ambeMode.set("DMR");
    servers.minTxTimeMS = 2000;
    voiceOnWait = 3;
    talk(3);
    send(unkeyPacket());
    EXPECT_TRUE(path().transmitting());
    talk(3, 10);
    auto records = partner.drain();
    ASSERT_EQ(records.size(), 6u); // begin, voice, 3 silence, voice: no TAG_END_TX, no second begin
    EXPECT_EQ(records[4], silenceRecord(2));
    EXPECT_EQ(records[5], ambe72(2, {4, 5, 6}));
    EXPECT_FALSE(capture.contains("PTT off"));

    // The same in DMR_IPSC: no hang time at all.
    servers.ambeMode.set("DMR_IPSC");
    send(unkeyPacket());
    EXPECT_EQ(partner.drain(), (std::vector<Bytes>{endTx(2)}));
}

TEST_F(EncodePathTest, EveryUnkeyEndsButATimeOutEndsOnlyOnce)
{
    talk(1);
    send(unkeyPacket());
    send(unkeyPacket());
    talk(1);
    path().onReceiveTimeout();
    path().onReceiveTimeout();
    auto records = partner.drain();
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[1], endTx(2));
    EXPECT_EQ(records[2], endTx(2));
    EXPECT_EQ(records[4], endTx(2));
    EXPECT_EQ(countLines(capture, 'M', "PTT off (keyed for"), 2);
    EXPECT_EQ(countLines(capture, 'W', "PTT timeout, no audio frames while ptt asserted."), 1);
    EXPECT_FALSE(path().transmitting());
}

TEST_F(EncodePathTest, ClientCallRecordHoldsWhileTheClientIsRegistered)
{
    CallRecord client{1234, 5678, 1, 1, 1, "K1ABC"};
    servers.txTg = 3100;
    natTimerNotDone = true;
    path().setClientCallRecord(client);
    talk(1);
    send(unkeyPacket());
    talk(1);
    natTimerNotDone = false;
    send(unkeyPacket());
    talk(1);
    auto records = partner.drain();
    ASSERT_EQ(records.size(), 6u); // the third block also completes a voice record
    for (int i : {0, 2}) {
        CallRecord sent = parseCallRecord(records[static_cast<std::size_t>(i)]);
        EXPECT_EQ(sent.source, 1234u);
        EXPECT_EQ(sent.destination, 3100u); // the talk group always comes from txTg
        EXPECT_EQ(sent.call, "K1ABC");
    }
    EXPECT_EQ(parseCallRecord(records[4]).source, 3100001u);
}

// A call identity from the network or from commands must never end the
// process; the operator's own configuration at start still does.
TEST_F(EncodePathTest, EqualIdsRefuseTheTransmissionAtRunTimeButEndTheProcessAtStart)
{
    path().setClientCallRecord(CallRecord{4444, 4444, 1, 1, 1, ""});
    talk(3);
    EXPECT_FALSE(path().transmitting());
    send(unkeyPacket());
    path().setClientCallRecord(CallRecord{4444, 5555, 1, 1, 1, ""});
    servers.repeaterID = 3100001;
    talk(2);
    EXPECT_FALSE(path().transmitting());
    EXPECT_EQ(partner.drain(), (std::vector<Bytes>{endTx(2)})); // an unkey always ends
    EXPECT_EQ(bridge->requests, 0);
    // Once per refused transmission, not per block.
    EXPECT_EQ(countLines(capture, 'E', "can not be the same as subscriber ID"), 2);
    EXPECT_TRUE(capture.has('E', "Repeater ID (4444) can not be the same as subscriber ID (4444)"));

    servers.repeaterID = 3100001;
    EncodePath fresh(*bridge);
    EXPECT_EXIT(fresh.start(), ::testing::ExitedWithCode(254), "");
}

TEST_F(EncodePathTest, FailedSendDropsTheEndpointAndSeveralPortsAreNoFailure)
{
    Partner second;
    servers.tlvTxPorts.set(PortList{partner.port(), second.port()});
    talk(3);
    EXPECT_EQ(partner.drain().size(), 2u);
    EXPECT_EQ(second.drain().size(), 2u);
    EXPECT_FALSE(capture.contains("Write to"));

    // A port no datagram can reach makes every checked send fail.
    servers.tlvTxPorts.set(PortList{partner.port(), 70000});
    bridge->tlvTxReopen = true;
    send(unkeyPacket()); // still on the old endpoint: both ports take it
    talk(6);
    EXPECT_TRUE(capture.has('M', "TLV tx socket re-opened for 127.0.0.1:" + std::to_string(partner.port())));
    EXPECT_TRUE(capture.has('E', "Write to xx_Trellan.py failed (PTT ENABLE)"));
    EXPECT_TRUE(capture.has('E', "Write to xx_Trellan.py failed (AMBE72)"));
    auto records = partner.drain();
    // The end on the old endpoint; then each failed send drops the endpoint
    // and the next block makes a new one.
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[1][0], TAG_BEGIN_TX);
    EXPECT_EQ(records[2], ambe72(2, {4, 5, 6}));
    EXPECT_EQ(records[3], ambe72(2, {7, 8, 9}));
    EXPECT_NE(partner.sources[0], partner.sources[1]);
    EXPECT_NE(partner.sources[1], partner.sources[2]);
    EXPECT_NE(partner.sources[2], partner.sources[3]);
    send(unkeyPacket()); // no endpoint after the failure: nothing to send
    EXPECT_TRUE(partner.drain().empty());
}

// The peer beyond the partner port must not stay keyed when the client
// vanishes.
TEST_F(EncodePathTest, AslTimeOutUnkeysThePeer)
{
    servers.ambeMode.set("ASL");
    servers.ambeSize = 0;
    isASL = true;
    talk(1);
    path().onReceiveTimeout();
    auto got = partner.drain();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].size(), USRP_PACKET_SIZE);
    Bytes unkey(got[0].begin(), got[0].begin() + USRP_HEADER_SIZE);
    unkey[USRP_OFFSET_KEYUP + 3] = 0;
    EXPECT_EQ(got[1], unkey);
    EXPECT_EQ(bridge->requests, 0);
}

TEST_F(EncodePathTest, StandInsWithoutHardwareAndTheEmulatorTimeOut)
{
    bridge->dv3000Ready = 0;
    talk(3);
    auto records = partner.drain();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1], silenceRecord(2));

    servers.ambeSize = 88;
    send(unkeyPacket());
    talk(1);
    servers.ambeSize = 48;
    send(unkeyPacket());
    talk(1);
    records = partner.drain();
    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(records[2], (Bytes{TAG_IMBE, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    Bytes dstar{TAG_AMBE_DSTAR, 9};
    dstar.insert(dstar.end(), EncodePath::DMR_SILENCE_FRAME.begin(), EncodePath::DMR_SILENCE_FRAME.end());
    EXPECT_EQ(records[5], dstar);
    EXPECT_EQ(countLines(capture, 'W', "Software encoder is not available yet"), 1);

    // An emulator that never answers yields all-zero 72-bit frames.
    servers.ambeSize = 72;
    servers.useEmulator = true;
    bridge->emulator = std::make_unique<EmulatorLink>("127.0.0.1:" + std::to_string(freeUdpPort()));
    bridge->emulator->setReplyTimeout(10ms);
    send(unkeyPacket());
    talk(3);
    records = partner.drain();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2], ambe72(2, {0, 0, 0}));
    EXPECT_TRUE(capture.has('E', "Emulator timed out on encode!"));
}

TEST(EncodePathImbe, CodeWordsPackMostSignificantBitFirstAtTheirWidths)
{
    EXPECT_EQ(EncodePath::packImbe({0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}),
              (std::array<std::uint8_t, 11>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    // One set bit at the top of each word lands at bits 0, 12, 24, 36, 48, 59, 70, 81.
    EXPECT_EQ(EncodePath::packImbe({0x800, 0x800, 0x800, 0x800, 0x400, 0x400, 0x400, 0x40}),
              (std::array<std::uint8_t, 11>{0x80, 0x08, 0x00, 0x80, 0x08, 0x00, 0x80, 0x10, 0x02, 0x00, 0x40}));
    EXPECT_EQ(EncodePath::packImbe({0, 0, 0, 0, 0, 0, 0, 0x01})[10], 0x01);
}

} // namespace halvane
