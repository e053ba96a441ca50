// The USRP client library and the usrp-client program against a loopback
// socket that plays Halvane, for what the end-to-end tests do not show.
#include "UsrpClient.h"

#include "ChildProcess.h"
#include "G711.h"
#include "ImaAdpcm.h"
#include "PcmFile.h"
#include "TempDir.h"
#include "TlvProtocol.h"
#include "ToolArguments.h"
#include "UdpSocket.h"
#include "WavWriter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
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

const char* const SPEECH = "/usr/share/codec2/raw/hts1a.raw";
constexpr auto WAIT = 10s; // upper bound only: loopback answers at once

// The header as the protocol defines it, written here without the packet
// class so that a fault there cannot hide in both.
Bytes header(std::uint32_t seq, std::uint32_t type, bool keyed)
{
    Bytes bytes(32, 0);
    std::memcpy(bytes.data(), "USRP", 4);
    for (int i = 0; i < 4; ++i) {
        bytes[4 + i] = static_cast<std::uint8_t>(seq >> (24 - 8 * i));
        bytes[20 + i] = static_cast<std::uint8_t>(type >> (8 * i));
    }
    bytes[15] = keyed ? 1 : 0;
    return bytes;
}

// A non-voice packet: header, payload, zeros up to max(352, 32 + payload).
Bytes packet(std::uint32_t seq, std::uint32_t type, const Bytes& payload)
{
    Bytes bytes = header(seq, type, false);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    bytes.resize(std::max<std::size_t>(352, bytes.size()), 0);
    return bytes;
}

// A text with its NUL, as texts go on the wire.
Bytes textBytes(const std::string& text)
{
    Bytes bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

// A TAG_REMOTE_CMD record as a USRP TLV payload: no NUL after the text.
Bytes withCommand(const std::string& text)
{
    Bytes bytes(2 + text.size());
    bytes[0] = TAG_REMOTE_CMD;
    bytes[1] = static_cast<std::uint8_t>(text.size());
    std::copy(text.begin(), text.end(), bytes.begin() + 2);
    return bytes;
}

// A keyed block (or, with `keyed` false, the unkey) in `codec`, coded
// sample by sample here; `adpcm` runs on from packet to packet.
Bytes voicePacket(std::uint32_t seq, UsrpCodec codec, const std::vector<std::int16_t>& block, bool keyed,
                  ImaAdpcmState& adpcm)
{
    std::array<std::int16_t, 160> pcm{};
    std::copy(block.begin(), block.end(), pcm.begin());
    Bytes bytes = header(seq, codec == UsrpCodec::Slin   ? USRP_TYPE_VOICE
                              : codec == UsrpCodec::Ulaw ? USRP_TYPE_VOICE_ULAW
                                                         : USRP_TYPE_VOICE_ADPCM, keyed);
    for (std::size_t i = 0; i < pcm.size() && (keyed || codec != UsrpCodec::Slin); ++i) {
        const auto s = static_cast<std::uint16_t>(pcm[i]);
        if (codec == UsrpCodec::Slin)
            bytes.insert(bytes.end(), {static_cast<std::uint8_t>(s), static_cast<std::uint8_t>(s >> 8)});
        else if (codec == UsrpCodec::Ulaw)
            bytes.push_back(linearToUlaw(pcm[i]));
        else if (i % 2 == 1) {
            const std::uint8_t high = imaEncodeSample(pcm[i - 1], adpcm); // the earlier sample goes high
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | imaEncodeSample(pcm[i], adpcm)));
        }
    }
    return bytes;
}

// Block k of `pcm`: 160 samples, fewer for the last one.
std::vector<std::int16_t> blockAt(const std::vector<std::int16_t>& pcm, std::size_t k)
{
    const std::size_t first = k * 160;
    const std::size_t count = std::min<std::size_t>(160, pcm.size() - first);
    return std::vector<std::int16_t>(pcm.begin() + static_cast<long>(first),
                                     pcm.begin() + static_cast<long>(first + count));
}

std::vector<std::int16_t> speech(std::size_t samples)
{
    std::vector<std::int16_t> pcm;
    std::string error;
    if (!readPcmFile(SPEECH, PcmFileKind::Auto, pcm, error))
        return {};
    pcm.resize(std::min(pcm.size(), samples));
    return pcm;
}

// Halvane's side of the conversation.
struct Listener : UdpSocket {
    Bytes next() const { return receive(WAIT).value_or(Bytes{}); }
};

class UsrpClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        UsrpClient::Config config;
        config.remotePort = listener.port();
        std::string error;
        ASSERT_TRUE(client.open(config, error)) << error;
    }

    Listener listener;
    UsrpClient client;
};

// A clock that only moves when the pacer sleeps, recording each wake-up as
// an offset from where it started.
struct FakeClock {
    const Pacer::Clock::time_point origin{std::chrono::hours(1)};
    Pacer::Clock::time_point now = origin;
    std::vector<std::chrono::microseconds> sleeps;

    Pacer::ClockSeam seam()
    {
        return Pacer::ClockSeam{[this] { return now; },
                                [this](Pacer::Clock::time_point until) {
                                    sleeps.push_back(std::chrono::duration_cast<std::chrono::microseconds>(
                                        until - origin));
                                    now = until;
                                }};
    }
};

} // namespace

TEST_F(UsrpClientTest, VoiceInEachCodecMatchesTheCodingOfTheProtocol)
{
    // Ten blocks and a part: the last block goes out padded with zeros.
    const std::vector<std::int16_t> pcm = speech(160 * 10 + 77);
    if (pcm.size() < 160 * 10 + 77)
        GTEST_SKIP() << SPEECH << " is missing (Debian package codec2-examples)";

    // Two ADPCM transmissions check that the coder state runs on across the
    // unkey and into the next transmission, as Halvane's receiving state does.
    ImaAdpcmState adpcm{};
    std::uint32_t seq = 0;
    for (const UsrpCodec codec : {UsrpCodec::Slin, UsrpCodec::Ulaw, UsrpCodec::Adpcm, UsrpCodec::Adpcm}) {
        SCOPED_TRACE(usrpCodecName(codec));
        ASSERT_TRUE(client.sendTransmission(pcm, codec, Pacing::Unpaced));
        for (std::size_t k = 0; k < 11; ++k)
            ASSERT_EQ(listener.next(), voicePacket(seq++, codec, blockAt(pcm, k), true, adpcm)) << "block " << k;
        const Bytes unkey = listener.next();
        EXPECT_EQ(unkey, voicePacket(seq++, codec, {}, false, adpcm));
        const std::size_t keyedSize = codec == UsrpCodec::Slin ? 352 : codec == UsrpCodec::Ulaw ? 192 : 112;
        const std::size_t unkeySize = codec == UsrpCodec::Slin ? 32 : keyedSize;
        EXPECT_EQ(unkey.size(), unkeySize);
    }
    EXPECT_EQ(client.nextSequence(), seq);
}

TEST_F(UsrpClientTest, PacingAsksForEveryBlockTwentyMillisecondsAfterTheFirst)
{
    FakeClock clock;
    client.setClockSeam(clock.seam());
    const std::vector<std::int16_t> pcm(160 * 4, 100);

    ASSERT_TRUE(client.sendTransmission(pcm, UsrpCodec::Slin, Pacing::Network));
    // The first block goes at once; the unkey follows the last block's 20 ms.
    EXPECT_EQ(clock.sleeps, (std::vector<std::chrono::microseconds>{20ms, 40ms, 60ms, 80ms}));

    for (int i = 0; i < 4 + 1; ++i)
        ASSERT_FALSE(listener.next().empty()) << "packet " << i;
}

TEST_F(UsrpClientTest, DecodesEverythingHalvaneSends)
{
    const int to = client.localPort();
    const CallRecord call{3120001, 311000, 91, 1, 1, "{\"call\":\"N0CALL\",\"name\":\"Ann\"}"};
    const TLV_CLASS callRecord = makeCallRecord(TAG_SET_INFO, call);
    const std::string info = "INFO:MSG:" + std::string(500, 'i'); // longer than a voice packet
    listener.sendTo(to, packet(1, USRP_TYPE_PING, textBytes("PING")));
    listener.sendTo(to, packet(2, USRP_TYPE_TEXT, Bytes(callRecord.data(), callRecord.data() + callRecord.size())));
    listener.sendTo(to, packet(4, USRP_TYPE_TEXT, textBytes(info)));

    // Three ADPCM blocks, the unkey and one more block from one running coder
    // state: the decoder must run on across packets and the unkey as well.
    ImaAdpcmState senderState{}, receiverState{};
    std::vector<std::vector<std::int16_t>> heard;
    for (int k = 0; k < 5; ++k) {
        std::vector<std::int16_t> block(k == 3 ? 0 : 160);
        for (int i = 0; i < static_cast<int>(block.size()); ++i)
            block[i] = static_cast<std::int16_t>((k % 3 + 1) * 900 * ((i / 10) % 2 == 0 ? 1 : -1));
        const Bytes sent = voicePacket(5 + k, UsrpCodec::Adpcm, block, k != 3, senderState);
        listener.sendTo(to, sent);
        heard.emplace_back(160);
        imaDecode(std::span<const std::uint8_t>(sent).subspan(32, 80), heard.back(), receiverState);
    }

    // receiveText skips what comes before the text asked for.
    std::vector<UsrpMessage> skipped;
    std::optional<UsrpMessage> m = client.receiveText("INFO:", WAIT, &skipped);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->text, info);
    ASSERT_EQ(skipped.size(), 2u);
    EXPECT_EQ(skipped[0].kind, UsrpMessage::Kind::Ping);
    EXPECT_EQ(skipped[1].kind, UsrpMessage::Kind::Metadata);
    ASSERT_TRUE(skipped[1].call);
    EXPECT_EQ(skipped[1].call->call, "N0CALL");
    EXPECT_EQ(skipped[1].callText, call.call);

    const UsrpTransmission first = client.receiveTransmission(WAIT);
    EXPECT_TRUE(first.ended);
    EXPECT_EQ(first.voicePackets, 3);
    EXPECT_EQ(first.codec, UsrpCodec::Adpcm);
    std::vector<std::int16_t> expected;
    for (int k = 0; k < 3; ++k)
        expected.insert(expected.end(), heard[k].begin(), heard[k].end());
    EXPECT_EQ(first.pcm, expected);
    ASSERT_TRUE(first.unkey);
    EXPECT_EQ(first.unkey->kind, UsrpMessage::Kind::Unkey);
    EXPECT_EQ(first.unkey->pcm, heard[3]);
    m = client.receive(WAIT);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->kind, UsrpMessage::Kind::Voice);
    EXPECT_EQ(m->pcm, heard[4]);
    EXPECT_FALSE(client.receive(0ms));
}

TEST(SpeechFiles, RawAndWavReadTheSameSamplesAndOtherRatesAreRefused)
{
    TempDir dir;
    const std::vector<std::int16_t> pcm = {0, 1, -1, 32767, -32768, 258, -258};
    const std::string rawPath = dir.write("speech.s16", "\x00\x00\x01\x00\xFF\xFF\xFF\x7F\x00\x80\x02\x01\xFE\xFE"s);
    std::string error;
    std::vector<std::int16_t> read;
    ASSERT_TRUE(readPcmFile(rawPath, PcmFileKind::Auto, read, error)) << error;
    EXPECT_EQ(read, pcm);

    WavWriter wav;
    ASSERT_TRUE(wav.open(dir.file("speech.wav"), error)) << error;
    ASSERT_TRUE(wav.write(std::span<const std::int16_t>(pcm).first(3)));
    ASSERT_TRUE(wav.write(std::span<const std::int16_t>(pcm).subspan(3)));
    EXPECT_EQ(wav.samplesWritten(), 7);
    wav.close();
    read.clear();
    ASSERT_TRUE(readPcmFile(dir.file("speech.wav"), PcmFileKind::Auto, read, error)) << error;
    EXPECT_EQ(read, pcm);

    // A 16 kHz WAV (its sample rate field patched) is refused, not resampled.
    std::string bytes = readFile(dir.file("speech.wav"));
    ASSERT_GT(bytes.size(), 32u);
    const std::uint32_t rate[] = {16000, 32000}; // sample rate, byte rate
    std::memcpy(bytes.data() + 24, rate, 8);
    EXPECT_FALSE(readPcmFile(dir.write("fast.wav", bytes), PcmFileKind::Auto, read, error));
    EXPECT_NE(error.find("16000 Hz"), std::string::npos) << error;
}

TEST(UsrpClientProgram, RegistersPlaysSendsAndRecordsWhatComesBack)
{
    const std::vector<std::int16_t> pcm = speech(1u << 30);
    if (pcm.empty())
        GTEST_SKIP() << SPEECH << " is missing (Debian package codec2-examples)";
    TempDir dir;
    Listener halvane;
    const std::string out = dir.file("out.txt");
    ChildProcess program(HALVANE_BIN_DIR "/usrp-client",
                         {"--to", "127.0.0.1:" + std::to_string(halvane.port()), "--bind", "127.0.0.1:0", "--play",
                          SPEECH, "--codec", "ulaw", "--unpaced", "--dtmf", "3100", "--call",
                          "3120001,311000,91,1,1,N0CALL", "--send-command", "codec=adpcm", "--record",
                          dir.file("got.wav"), "--unregister"},
                         dir.path(), {}, out);

    // Registration, answered with what Halvane sends a client. "REG:OK"
    // goes last, so everything is waiting before the program may finish its
    // actions and stop listening.
    const auto reg = halvane.receiveFrom(WAIT);
    ASSERT_TRUE(reg);
    EXPECT_EQ(reg->first, packet(0, USRP_TYPE_TEXT, textBytes("REG:QUILLNET")));
    const int client = reg->second;
    const TLV_CLASS meta = makeCallRecord(TAG_SET_INFO, CallRecord{1234567, 311000, 9, 2, 1, "K1ABC"});
    halvane.sendTo(client, packet(1, USRP_TYPE_TEXT, Bytes(meta.data(), meta.data() + meta.size())));
    ImaAdpcmState unused{};
    for (std::uint32_t k = 0; k < 3; ++k)
        halvane.sendTo(client, voicePacket(2 + k, UsrpCodec::Slin, std::vector<std::int16_t>(160, 1000), true, unused));
    halvane.sendTo(client, voicePacket(5, UsrpCodec::Slin, {}, false, unused));
    halvane.sendTo(client, packet(6, USRP_TYPE_TEXT, textBytes("INFO:MSG:hello")));
    halvane.sendTo(client, packet(0, USRP_TYPE_TEXT, textBytes("REG:OK")));

    // Everything up to the unregistration, in order.
    const std::size_t blocks = (pcm.size() + 159) / 160;
    std::vector<Bytes> got;
    const Bytes unregister = packet(static_cast<std::uint32_t>(blocks + 5), USRP_TYPE_TEXT, textBytes("REG:UNREG"));
    while (got.empty() || got.back() != unregister) {
        got.push_back(halvane.next());
        ASSERT_FALSE(got.back().empty()) << "after " << got.size() << " packets\n" << readFile(out);
    }
    EXPECT_EQ(program.wait(), 0) << readFile(out);

    ASSERT_EQ(got.size(), blocks + 1 + 3 + 1);
    ImaAdpcmState state{};
    for (std::size_t k = 0; k < blocks; ++k)
        ASSERT_EQ(got[k], voicePacket(1 + k, UsrpCodec::Ulaw, blockAt(pcm, k), true, state)) << "block " << k;
    std::uint32_t seq = static_cast<std::uint32_t>(blocks + 1);
    EXPECT_EQ(got[blocks], voicePacket(seq++, UsrpCodec::Ulaw, {}, false, state));
    EXPECT_EQ(got[blocks + 1], packet(seq++, USRP_TYPE_DTMF, textBytes("3100")));
    const TLV_CLASS sentCall = makeCallRecord(TAG_SET_INFO, CallRecord{3120001, 311000, 91, 1, 1, "N0CALL"});
    EXPECT_EQ(got[blocks + 2],
              packet(seq++, USRP_TYPE_TEXT, Bytes(sentCall.data(), sentCall.data() + sentCall.size())));
    EXPECT_EQ(got[blocks + 3], packet(seq++, USRP_TYPE_TLV, withCommand("codec=adpcm")));

    // What came back was printed and recorded.
    const std::string printed = readFile(out);
    for (const char* line : {"<- text \"REG:OK\"", "<- metadata src=1234567 rpt=311000 tg=9 slot=2 cc=1 call=\"K1ABC\"",
                             "<- unkey: 3 voice packets", "<- text \"INFO:MSG:hello\""})
        EXPECT_NE(printed.find(line), std::string::npos) << line << "\n" << printed;
    std::vector<std::int16_t> recorded;
    std::string error;
    ASSERT_TRUE(readPcmFile(dir.file("got.wav"), PcmFileKind::Auto, recorded, error)) << error;
    EXPECT_EQ(recorded, std::vector<std::int16_t>(480, 1000));
}

TEST(UsrpClientProgram, RefusesBadArgumentsAndReportsFailures)
{
    TempDir dir;
    Listener silent; // nobody answers the registration
    for (const auto& [args, status, message] : std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
             {{"--codec", "gsm"}, 2, "usrp-client: "},
             {{"--call", "16777216,1,1,1,1"}, 2, "usrp-client: "},
             {{"--listen"}, 2, "usrp-client: "},
             {{"stray"}, 2, "usrp-client: "},
             {{"--help"}, 0, "usage: usrp-client"},
             {{"--to", std::to_string(silent.port()), "--bind", "0", "--timeout", "0.2"}, 1, "no \"REG:OK\""}}) {
        ChildProcess program(HALVANE_BIN_DIR "/usrp-client", args, dir.path(), {}, dir.file("out.txt"));
        EXPECT_EQ(program.wait(), status) << args[0];
        EXPECT_NE(readFile(dir.file("out.txt")).find(message), std::string::npos) << args[0];
    }
}

} // namespace halvane
