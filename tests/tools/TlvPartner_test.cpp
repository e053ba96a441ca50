// The TLV partner library and the tlv-partner program, for what the
// end-to-end tests do not show.
#include "TlvPartner.h"

#include "CallCollector.h"
#include "ChildProcess.h"
#include "SavedCall.h"
#include "TempDir.h"
#include "TlvProtocol.h"
#include "ToolArguments.h"
#include "UdpSocket.h"

#include <atomic>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace halvane {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr auto WAIT = 10s; // upper bound only: loopback answers at once

Bytes bytesOf(const TLV_CLASS& record)
{
    return Bytes(record.data(), record.data() + record.size());
}

Bytes withText(Bytes head, const std::string& text)
{
    head.insert(head.end(), text.begin(), text.end());
    return head;
}

// A voice record whose frames carry a recognisable pattern.
Bytes voiceRecord(std::uint8_t tag, std::uint8_t slot, std::size_t length, std::uint8_t seed)
{
    Bytes bytes = {tag, static_cast<std::uint8_t>(length)};
    std::size_t i = 0;
    if (tag == TAG_AMBE_49 || tag == TAG_AMBE_72) {
        bytes.push_back(slot);
        ++i;
    }
    for (; i < length; ++i)
        bytes.push_back(static_cast<std::uint8_t>(seed + i));
    return bytes;
}

// Source 3120001 (2F 9B 81), repeater 311000 (00 04 BE D8), talk group 91.
const Bytes BEGIN_N0CALL = {TAG_BEGIN_TX, 19, 0x2F, 0x9B, 0x81, 0x00, 0x04, 0xBE, 0xD8, 0x00, 0x00, 0x5B, 1, 1,
                            'N', '0', 'C', 'A', 'L', 'L', 0};

// Halvane's side of the conversation.
struct Listener : UdpSocket {
    Bytes next() const { return receive(WAIT).value_or(Bytes{}); }
};

class TlvPartnerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TlvPartner::Config config;
        config.remotePort = halvane.port();
        std::string error;
        ASSERT_TRUE(partner.open(config, error)) << error;
    }
    void toPartner(const Bytes& bytes) { halvane.sendTo(partner.localPort(), bytes); }

    Listener halvane;
    TlvPartner partner;
};

SavedCall savedCall(const std::vector<Bytes>& records)
{
    SavedCall call;
    for (const Bytes& bytes : records)
        call.add(*TLV_CLASS::fromDatagram(bytes));
    return call;
}

} // namespace

TEST_F(TlvPartnerTest, ReceiveCallKeepsTheCallAndSkipsTheRest)
{
    const Bytes stray = voiceRecord(TAG_AMBE_72, 1, 28, 0x01);
    const Bytes firstBegin = BEGIN_N0CALL;
    Bytes secondBegin = BEGIN_N0CALL;
    secondBegin[11] = 92; // another call: the first one's end was lost
    const Bytes a = voiceRecord(TAG_AMBE_72, 1, 28, 0x11);
    const Bytes b = voiceRecord(TAG_AMBE_72, 1, 28, 0x21);
    const Bytes c = voiceRecord(TAG_AMBE_72, 1, 28, 0x31);
    const Bytes event = withText({TAG_EVENT, 2}, "hi");
    const Bytes end = {TAG_END_TX, 1, 1};

    for (const Bytes& r : {stray, withText({TAG_REMOTE_CMD, 2}, "x1"), firstBegin, a, secondBegin, b, event, c, end})
        toPartner(r);

    std::vector<TlvMessage> skipped;
    const SavedCall call = partner.receiveCall(WAIT, &skipped);
    ASSERT_TRUE(call.ended());
    ASSERT_EQ(call.records().size(), 4u);
    EXPECT_EQ(bytesOf(call.records()[0]), secondBegin);
    EXPECT_EQ(bytesOf(call.records()[1]), b);
    EXPECT_EQ(bytesOf(call.records()[2]), c);
    EXPECT_EQ(bytesOf(call.records()[3]), end);
    EXPECT_EQ(call.voiceRecords(), 2);
    EXPECT_EQ(call.voiceFrames(), 6);
    ASSERT_TRUE(call.callRecord());
    EXPECT_EQ(call.callRecord()->call, "N0CALL");

    ASSERT_EQ(skipped.size(), 3u);
    EXPECT_EQ(skipped[0].datagram, stray);
    EXPECT_TRUE(skipped[1].is(TAG_REMOTE_CMD));
    EXPECT_EQ(skipped[2].datagram, event);

    // Nothing more: an empty call, not a wait for ever.
    EXPECT_TRUE(partner.receiveCall(0ms).empty());
}

TEST(SavedCallFile, WritesOneHexRecordPerLineAndReadsItBack)
{
    const SavedCall call = savedCall({BEGIN_N0CALL, voiceRecord(TAG_AMBE_72, 1, 28, 0xF0), {TAG_END_TX, 1, 1}});
    const std::string text = call.toText();
    EXPECT_EQ(text, "# halvane saved call 1\n"
                    "00 13 2F 9B 81 00 04 BE D8 00 00 5B 01 01 4E 30 43 41 4C 4C 00\n"
                    "07 1C 01 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF 00 01 02 03 04 05 06 07 08 09 0A 0B\n"
                    "02 01 01\n");

    TempDir dir;
    std::string error;
    ASSERT_TRUE(call.save(dir.file("call.txt"), error)) << error;
    SavedCall loaded;
    ASSERT_TRUE(SavedCall::load(dir.file("call.txt"), loaded, error)) << error;
    ASSERT_EQ(loaded.records().size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(bytesOf(loaded.records()[i]), bytesOf(call.records()[i]));

    // Hand-written files: comments, blank lines, CRLF, pairs run together.
    SavedCall parsed;
    ASSERT_TRUE(SavedCall::fromText("# a call\r\n\r\n  0C00\r\n\t02 01 02  \n# end\n", parsed, error)) << error;
    ASSERT_EQ(parsed.records().size(), 2u);
    EXPECT_EQ(bytesOf(parsed.records()[0]), (Bytes{TAG_WAKEUP, 0}));
    EXPECT_EQ(bytesOf(parsed.records()[1]), (Bytes{TAG_END_TX, 1, 2}));

    EXPECT_FALSE(SavedCall::fromText("0C00\n02 01\n", parsed, error));
    EXPECT_EQ(error, "line 2: the length byte says 1 but 0 value bytes follow");
    EXPECT_EQ(parsed.records().size(), 2u); // untouched by failures
}

TEST_F(TlvPartnerTest, ReplayFollowsTheAirTimeOfTheFrames)
{
    const std::vector<Bytes> records = {BEGIN_N0CALL,
                                        voiceRecord(TAG_AMBE_72, 1, 28, 0x10),
                                        voiceRecord(TAG_AMBE_49, 1, 22, 0x20),
                                        voiceRecord(TAG_IMBE, 0, 11, 0x30),
                                        voiceRecord(TAG_AMBE_DSTAR, 0, 9, 0x40),
                                        {TAG_END_TX, 1, 1}};
    const SavedCall call = savedCall(records);

    const Pacer::Clock::time_point origin{std::chrono::hours(1)};
    Pacer::Clock::time_point now = origin;
    std::vector<std::chrono::milliseconds> sleeps;
    const auto sleepUntil = [&](Pacer::Clock::time_point until) {
        sleeps.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(until - origin));
        now = until;
    };
    partner.setClockSeam(Pacer::ClockSeam{[&] { return now; }, sleepUntil});

    ASSERT_TRUE(partner.replay(call, Pacing::Network));
    // Begin and the first frames at once; then 60 ms per AMBE record, 20 ms
    // per IMBE or D-STAR frame; the end after the last frame's 20 ms.
    EXPECT_EQ(sleeps, (std::vector<std::chrono::milliseconds>{60ms, 120ms, 140ms, 160ms}));
    for (const Bytes& r : records)
        EXPECT_EQ(halvane.next(), r);

    // Stopped: the voice is dropped but the call still ends.
    const std::atomic_bool stop{true};
    sleeps.clear();
    ASSERT_TRUE(partner.replay(call, Pacing::Network, &stop));
    EXPECT_TRUE(sleeps.empty());
    EXPECT_EQ(halvane.next(), BEGIN_N0CALL);
    EXPECT_EQ(halvane.next(), (Bytes{TAG_END_TX, 1, 1}));
}

TEST(CommandLineValues, CallRecords)
{
    CallRecord call;
    std::string error;
    ASSERT_TRUE(parseCallArgument("3120001,311000,91,1,1,{\"call\":\"N0CALL\",\"name\":\"A, B\"}", call, error));
    EXPECT_EQ(call.call, "{\"call\":\"N0CALL\",\"name\":\"A, B\"}"); // commas in the text stay
    ASSERT_TRUE(parseCallArgument("16777215,4294967295,16777215,255,255", call, error));
    for (const std::string& bad : {"16777216,1,1,1,1"s, "1,1,1,1"s, "1,1,1,1,1," + std::string(243, 'c')})
        EXPECT_FALSE(parseCallArgument(bad, call, error)) << bad;
    EXPECT_EQ(call.source, 16777215u); // untouched by failures
}

TEST(TlvPartnerProgram, SavesACallAndReplaysTheFile)
{
    TempDir dir;
    Listener halvane;
    const int port = freeUdpPort();
    const std::string out = dir.file("save.txt");
    ChildProcess saver(HALVANE_BIN_DIR "/tlv-partner",
                       {"--bind", "127.0.0.1:" + std::to_string(port), "--to", std::to_string(halvane.port()),
                        "--save", dir.file("call.txt"), "--listen", "60"},
                       dir.path(), {}, out);
    ASSERT_TRUE(eventually([&] { return readFile(out).find("listening on") != std::string::npos; }))
        << readFile(out);

    const std::vector<Bytes> call = {BEGIN_N0CALL, voiceRecord(TAG_AMBE_72, 1, 28, 0x10),
                                     voiceRecord(TAG_AMBE_72, 1, 28, 0x40), {TAG_END_TX, 1, 1}};
    halvane.sendTo(port, withText({TAG_REMOTE_CMD, 7}, "txTg=91"));
    for (const Bytes& r : call)
        halvane.sendTo(port, r);
    ASSERT_EQ(saver.wait(), 0) << readFile(out);

    const std::string printed = readFile(out);
    for (const char* line : {"<- TAG_REMOTE_CMD \"txTg=91\"",
                             "<- TAG_BEGIN_TX src=3120001 rpt=311000 tg=91 slot=1 cc=1 call=\"N0CALL\"",
                             "call ended: 2 voice records, 6 frames, 0.12 s"})
        EXPECT_NE(printed.find(line), std::string::npos) << line << "\n" << printed;

    SavedCall saved;
    std::string error;
    ASSERT_TRUE(SavedCall::load(dir.file("call.txt"), saved, error)) << error;
    ASSERT_EQ(saved.records().size(), call.size());
    for (std::size_t i = 0; i < call.size(); ++i)
        EXPECT_EQ(bytesOf(saved.records()[i]), call[i]);

    // The saved file played back as a call.
    ChildProcess player(HALVANE_BIN_DIR "/tlv-partner",
                        {"--bind", "0", "--to", std::to_string(halvane.port()), "--replay", dir.file("call.txt"),
                         "--unpaced"},
                        dir.path(), {}, dir.file("replay.txt"));
    for (const Bytes& r : call)
        EXPECT_EQ(halvane.next(), r);
    EXPECT_EQ(player.wait(), 0) << readFile(dir.file("replay.txt"));
}

TEST(TlvPartnerProgram, RefusesBadArgumentsAndReportsFailures)
{
    TempDir dir;
    dir.write("bad.txt", "07 1C 01\n");
    for (const auto& [args, status, message] : std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
             {{"--end", "300"}, 2, "tlv-partner: "},
             {{"--event", std::string(256, 'e')}, 2, "tlv-partner: "},
             {{"--bind", "host:port"}, 2, "tlv-partner: "},
             {{"call.txt"}, 2, "tlv-partner: "},
             {{"--help"}, 0, "usage: tlv-partner"},
             {{"--replay", dir.file("bad.txt")}, 1, "line 1"},
             {{"--bind", "0", "--save", dir.file("none.txt"), "--listen", "0.1"}, 1, "no whole call"}}) {
        ChildProcess program(HALVANE_BIN_DIR "/tlv-partner", args, dir.path(), {}, dir.file("out.txt"));
        EXPECT_EQ(program.wait(), status) << args[0];
        EXPECT_NE(readFile(dir.file("out.txt")).find(message), std::string::npos) << args[0];
    }
}

} // namespace halvane
