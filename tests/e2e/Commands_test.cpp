// Run-time steering through the real binary: text commands from the partner
// and from the USRP client, DTMF digits, macros run through the shell (and
// the texts that must not get a shell of their own), and the info record
// read by a JSON parser.
#include "DaemonFixture.h"
#include "Version.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace halvane {

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// How long a reply may take on a busy machine, and how long to listen for
// something that must not come (it would have been sent before the log
// line that the test waited for).
constexpr auto REPLY = 10s;
constexpr auto SILENCE = 300ms;

// A running Halvane with a partner on its TLV ports and a client on its USRP
// ports. Macros write into the daemon's directory, which is also its working
// directory: a stray "touch MARK" would land there.
class Rig {
public:
    // `macros` are lines of the [MACROS] section; "DIR" in them becomes the
    // daemon's directory.
    bool start(std::string macros = "", const std::string& ambe = "", const std::string& usrp = "",
               const std::string& general = "")
    {
        for (std::size_t at = macros.find("DIR"); at != std::string::npos; at = macros.find("DIR", at))
            macros.replace(at, 3, d.dir.path());
        if (!d.connect(partner) || !d.connect(client))
            return false;
        d.dir.write("say.sh", "for a; do printf '[%s]' \"$a\"; done >>" + d.dir.file("say.out") + "\necho >>" +
                                  d.dir.file("say.out") + "\n");
        return d.startRunning(general + "[MACROS]\n" + macros, ambe, usrp);
    }

    int count(const std::string& text) const
    {
        const std::string log = d.log();
        int found = 0;
        for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++found;
        return found;
    }
    bool waitForCount(const std::string& text, int n) const
    {
        return eventually([&] { return count(text) >= n; }, REPLY);
    }
    // A log line of `level` ('I', 'W', 'E', ...) that holds `text`.
    bool hasLine(char level, const std::string& text) const
    {
        std::istringstream in(d.log());
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line[0] == level && line.find(text) != std::string::npos)
                return true;
        }
        return false;
    }

    // Sends `command` from the partner and waits until it has been handled
    // (its log line).
    bool command(const std::string& text, const std::string& logLine)
    {
        const int before = count(logLine);
        return partner.sendCommand(text) && waitForCount(logLine, before + 1);
    }

    // The next record the partner receives of `tag`.
    std::optional<TlvMessage> partnerGets(std::uint8_t tag, std::chrono::milliseconds limit = REPLY)
    {
        return partner.receiveTag(tag, limit);
    }

    std::optional<std::string> clientText(const std::string& prefix, std::chrono::milliseconds limit = REPLY)
    {
        auto message = client.receiveText(prefix, limit);
        return message ? std::optional<std::string>(message->text) : std::nullopt;
    }

    // The record as the client gets it on asking, parsed.
    json info()
    {
        if (!partner.sendCommand("info"))
            return json();
        auto text = clientText("INFO:{");
        return text ? json::parse(text->substr(5), nullptr, false) : json();
    }

    bool marked() const { return std::filesystem::exists(d.dir.file("MARK")); }
    std::string file(const std::string& name) const { return readFile(d.dir.file(name)); }

    Daemon d;
    TlvPartner partner;
    UsrpClient client;
};

std::string text(const json& value)
{
    return value.is_string() ? value.get<std::string>() : "<" + value.dump() + ">";
}

} // namespace

// Each command of the table: its effect, its log line and its echo to the
// partner, which gets back exactly the record it sent.
TEST(Commands, TableAppliesLogsAndEchoesEachCommand)
{
    Rig r;
    ASSERT_TRUE(r.start("", "", "", "macroListDir = " + r.d.dir.path() + "\n"));
    const struct {
        const char* command;
        const char* log;
    } table[] = {
        {"txTs=2", "txTs=: 2\n"},
        {"mute=TLV", "mute=: TLV\n"},
        {"usrpAudio=AUDIO_USE_AGC", "usrpAudio=: AUDIO_USE_AGC\n"},
        {"tlvAudio=audio_use_bpf", "tlvAudio=: audio_use_bpf\n"},
        {"usrpGain=1.5", "usrpGain=: 1.5\n"},
        {"tlvGain=0.25", "tlvGain=: 0.25\n"},
        {"ping=5", "pingTimer = 5\n"},
        {"ping=0", "Invalid ping time: 0, ignoring\n"},
        {"agcUSRP=-10,20,300", "Set AGC params: Threshold=-10, Slope=20, Decay=300\n"},
        {"txTg=9!3101", "txTg=: 3101\n"},
        {"ambeMode=dstar", "ambeMode = DSTAR, size = 48\n"},
        {"ambeMode=FOO", "Invalid AMBE mode: FOO, ignoring\n"},
        {"Hello there", "REMOTE: <Hello there>\n"},
        {"address=localhost", "address=: localhost\n"},
    };
    for (const auto& row : table) {
        ASSERT_TRUE(r.command(row.command, row.log)) << row.command;
        auto echo = r.partnerGets(TAG_REMOTE_CMD);
        ASSERT_TRUE(echo) << row.command;
        EXPECT_EQ(echo->text, row.command);
        EXPECT_EQ(echo->record->length(), std::string(row.command).size());
    }
    EXPECT_TRUE(r.hasLine('W', "Invalid ping time: 0, ignoring"));

    ASSERT_TRUE(r.command("message=hi all", "MESSAGE packet sent to USRP client: hi all\n"));
    EXPECT_EQ(r.clientText("INFO:MSG:"), "INFO:MSG:hi all");

    // "exit=" without a number leaves the bridge running.
    ASSERT_TRUE(r.partner.sendCommand("exit="));
    ASSERT_TRUE(r.partner.sendCommand("exit=now"));
    ASSERT_TRUE(r.command("txTs=1", "txTs=: 1\n"));
    EXPECT_FALSE(r.d.hasLog("exit=:"));
    EXPECT_EQ(r.d.process->wait(0ms), -1);

    const json info = r.info();
    ASSERT_FALSE(info.is_discarded());
    EXPECT_TRUE(r.d.waitForLog("INFO packet sent to USRP client\n"));
    EXPECT_EQ(text(info["digital"]["ts"]), "1");
    EXPECT_EQ(text(info["digital"]["tg"]), "3101");
    EXPECT_EQ(text(info["last_tune"]), "9!3101");
    EXPECT_EQ(text(info["mute"]), "TLV");
    EXPECT_EQ(text(info["usrp"]["to_pcm"]["shape"]), "AUDIO_USE_AGC");
    EXPECT_EQ(text(info["usrp"]["to_pcm"]["gain"]), "1.50");
    EXPECT_EQ(text(info["usrp"]["to_ambe"]["shape"]), "AUDIO_USE_BPF");
    EXPECT_EQ(text(info["usrp"]["to_ambe"]["gain"]), "0.25");
    EXPECT_EQ(text(info["usrp"]["ping"]), "5");
    EXPECT_EQ(text(info["tlv"]["ambe_mode"]), "DSTAR");
    EXPECT_EQ(text(info["tlv"]["ambe_size"]), "48");
    EXPECT_EQ(text(info["tlv"]["ip"]), "localhost");

    // Lists from text or from a file of the list directory (by its last
    // name component); nothing is sent for a missing file or one elsewhere.
    r.d.dir.write("lines.txt", "x\ny\n");
    ASSERT_TRUE(r.partner.sendCommand("menu=a,b,c"));
    EXPECT_EQ(r.clientText("INFO:M"), "INFO:MENU:a,b,c");
    for (const char* refused : {"macro=missing.txt", "macro=/etc/passwd", "menu=/proc/self/maps"})
        ASSERT_TRUE(r.partner.sendCommand(refused));
    ASSERT_TRUE(r.partner.sendCommand("macro=/elsewhere/lines.txt"));
    EXPECT_EQ(r.clientText("INFO:M"), "INFO:MACRO:x|y");
    EXPECT_TRUE(r.hasLine('E', "MACRO file not found: /etc/passwd is no readable list file in " + r.d.dir.path()));
    EXPECT_TRUE(r.hasLine('E', "MACRO file not found: /proc/self/maps is no readable list file in "));
    // Without an OnRegister macro, "INFO:" only gets its reply.
    ASSERT_TRUE(r.client.sendText("INFO:"));
    EXPECT_TRUE(r.clientText("INFO:{"));
    EXPECT_FALSE(r.d.hasLog("Macro"));

    ASSERT_TRUE(r.partner.sendCommand("exit=7 3"));
    EXPECT_EQ(r.clientText("REG:EXITING"), "REG:EXITING 7 3");
    EXPECT_EQ(r.d.process->wait(), 7);
    EXPECT_TRUE(r.hasLine('I', "exit=: 7 3"));
}

TEST(Commands, AslModeRunsCommandsWithoutEchoAndDialsMacros)
{
    Rig r;
    ASSERT_TRUE(r.start("dial = echo one %s >>DIR/dial.out\n"
                        "SAY = sh DIR/say.sh\n"
                        "dial = echo two %s >>DIR/dial.out\n",
                        "ambeMode = ASL\n"));
    ASSERT_TRUE(r.command("codec=ULAW", "codec=ULAW\n"));
    ASSERT_TRUE(r.partner.sendCommand("codec=gsm"));
    ASSERT_TRUE(r.command("txTs=2", "txTs=: 2\n"));
    EXPECT_FALSE(r.d.hasLog("codec=gsm"));
    EXPECT_FALSE(r.partnerGets(TAG_REMOTE_CMD, SILENCE)) << "no echo in ASL mode";

    // USRP voice on the TLV port is relayed to the client, coded as it asked.
    std::vector<std::uint8_t> voice(352, 0);
    std::memcpy(voice.data(), "USRP", 4);
    voice[15] = 1;
    ASSERT_TRUE(r.partner.sendDatagram(voice));
    auto relayed = r.client.receiveMatching([](const UsrpMessage& m) { return m.kind == UsrpMessage::Kind::Voice; },
                                            REPLY);
    ASSERT_TRUE(relayed);
    EXPECT_EQ(relayed->datagram.size(), 192u);

    // Digits run every "dial" macro, in order, and become the last tune.
    ASSERT_TRUE(r.client.sendDtmf("3100"));
    ASSERT_TRUE(
        r.waitForCount("Execute dial macro : echo two \"$@\" >>" + r.d.dir.file("dial.out") + " with '3100'", 1));
    ASSERT_TRUE(r.waitForCount("Macro result was", 2));
    EXPECT_EQ(r.file("dial.out"), "one 3100\ntwo 3100\n");

    // A '*' macro that exists runs instead of the dial macros; one that
    // does not falls back to them.
    ASSERT_TRUE(r.client.sendDtmf("*SAY#9"));
    ASSERT_TRUE(r.client.sendDtmf("*NOPE"));
    ASSERT_TRUE(r.waitForCount("Macro result was", 5));
    EXPECT_EQ(r.file("say.out"), "[9]\n");
    EXPECT_EQ(r.file("dial.out"), "one 3100\ntwo 3100\none *NOPE\ntwo *NOPE\n");
    EXPECT_FALSE(r.d.hasLog("was not found"));

    ASSERT_TRUE(r.client.sendText("INFO:"));
    auto info = r.clientText("INFO:{");
    ASSERT_TRUE(info);
    EXPECT_EQ(text(json::parse(info->substr(5), nullptr, false)["last_tune"]), "*NOPE");
}

// Digits without ASL mode: the partner learns the identity, then gets the
// tune as a command, which comes back through the interpreter.
TEST(Commands, DtmfTunesThePartnerAfterSendingTheIdentity)
{
    Rig r;
    ASSERT_TRUE(r.start("SAY = sh DIR/say.sh\n", "txTg = 91\ntxTs = 2\ncolorCode = 3\n"));
    ASSERT_TRUE(r.client.sendDtmf("3100"));
    std::vector<TlvMessage> before;
    auto tune = r.partner.receiveTag(TAG_REMOTE_CMD, REPLY, &before);
    ASSERT_TRUE(tune);
    EXPECT_EQ(tune->record->length(), 9);
    EXPECT_EQ(tune->text, "txTg=3100");
    ASSERT_EQ(before.size(), 1u);
    ASSERT_TRUE(before[0].is(TAG_SET_INFO));
    EXPECT_EQ(before[0].call->source, 3100001u);
    EXPECT_EQ(before[0].call->repeater, 3100002u);
    EXPECT_EQ(before[0].call->destination, 91u);
    EXPECT_EQ(before[0].call->slot, 2u);
    EXPECT_EQ(before[0].call->colorCode, 3u);
    EXPECT_TRUE(r.waitForCount("txTg=: 3100\n", 1));

    ASSERT_TRUE(r.client.sendDtmf("*SAY 4 5"));
    ASSERT_TRUE(r.client.sendDtmf("*NOPE"));
    ASSERT_TRUE(r.waitForCount("Macro *NOPE was not found, being ignored\n", 1));
    EXPECT_EQ(r.file("say.out"), "[4][5]\n");
    EXPECT_FALSE(r.partner.receive(SILENCE)) << "'*' digits send nothing to the partner";
}

TEST(Commands, MacrosGetTheirArgumentsQuotedAndNothingMore)
{
    Rig r;
    ASSERT_TRUE(r.start("SAY = sh DIR/say.sh\n"
                        "SAY = touch DIR/second\n"
                        "OnEvent = echo first %s >>DIR/event.out\n"
                        "OnEvent = echo \"second %s\" >>DIR/event.out\n"
                        "OnEvent = EVT=%s; echo \"$EVT\" >>DIR/assign.out\n",
                        "txTg = 91\n"));
    ASSERT_TRUE(r.command("txTg=*SAY 1", "Macro result was"));
    EXPECT_TRUE(r.d.hasLog("Tune macro: *SAY will invoke \"sh " + r.d.dir.file("say.sh") + " \"$@\"\" with '1'\n"));
    EXPECT_EQ(r.file("say.out"), "[1]\n");
    EXPECT_FALSE(std::filesystem::exists(r.d.dir.file("second"))) << "only the first SAY runs";
    EXPECT_FALSE(r.d.hasLog("txTg=:"));

    // The quoting itself is MacroRunner's (tests/bridge); here, that the
    // command text reaches it.
    for (const char* attack : {"txTg=*SAY 1;touch MARK", "txTg=*SAY $(touch MARK)"})
        ASSERT_TRUE(r.command(attack, "Macro result was")) << attack;
    EXPECT_FALSE(r.marked());
    EXPECT_EQ(r.file("say.out"), "[1]\n"
                                 "[1;touch][MARK]\n"
                                 "[$(touch][MARK)]\n");
    ASSERT_TRUE(r.command("txTg=*SAY&touch MARK", "Macro *SAY&touch was not found, being ignored\n"));

    // The talk group is left alone by every macro.
    EXPECT_EQ(text(r.info()["digital"]["tg"]), "91");

    // Every event macro runs, in order, with the event text as data; after
    // NAME= it is the whole value, not a value and a command.
    ASSERT_TRUE(r.partner.sendEvent("net up; touch MARK $(touch MARK)"));
    ASSERT_TRUE(r.partner.sendEvent("hello touch MARK"));
    ASSERT_TRUE(r.waitForCount("Macro result was", 9));
    EXPECT_TRUE(r.d.hasLog("EVENT: net up; touch MARK $(touch MARK)\n"));
    EXPECT_EQ(r.file("event.out"), "first net up; touch MARK $(touch MARK)\n"
                                   "second net up; touch MARK $(touch MARK)\n"
                                   "first hello touch MARK\n"
                                   "second hello touch MARK\n");
    EXPECT_EQ(r.file("assign.out"), "net up; touch MARK $(touch MARK)\nhello touch MARK\n");
    EXPECT_FALSE(r.marked());
}

TEST(Commands, PortCommandsMoveTheListenerAndTheSender)
{
    Rig r;
    ASSERT_TRUE(r.start());
    const int oldRx = r.d.ports.tlvRx;
    const int newRx = freeUdpPort();
    ASSERT_TRUE(r.command("rxport=" + std::to_string(newRx), "rxport=: " + std::to_string(newRx) + "\n"));
    // The wake-up record makes the receive loop reopen at once.
    ASSERT_TRUE(r.d.waitForLog("TLV rx socket reopened for 127.0.0.1:" + std::to_string(newRx) + "\n"));
    ASSERT_TRUE(r.partnerGets(TAG_REMOTE_CMD));

    std::string error;
    r.partner.close();
    ASSERT_TRUE(r.partner.open({"127.0.0.1", r.d.ports.tlvTx, "127.0.0.1", newRx}, error)) << error;
    ASSERT_TRUE(r.command("txTs=3", "txTs=: 3\n"));
    ASSERT_TRUE(r.partnerGets(TAG_REMOTE_CMD));
    UdpSocket old;
    old.sendTo(oldRx, {TAG_REMOTE_CMD, 6, 't', 'x', 'T', 's', '=', '4'});
    ASSERT_TRUE(r.command("txTs=5", "txTs=: 5\n"));
    ASSERT_TRUE(r.partnerGets(TAG_REMOTE_CMD));
    EXPECT_FALSE(r.d.hasLog("txTs=: 4")) << "nothing listens on the old port";

    // The echo of "txport=" still goes to the old port, the next one to the new.
    TlvPartner moved;
    ASSERT_TRUE(moved.open({"127.0.0.1", 0, "127.0.0.1", newRx}, error)) << error;
    const std::string port = std::to_string(moved.localPort());
    ASSERT_TRUE(r.command("txport=" + port, "txport=: " + port + "\n"));
    auto echo = r.partnerGets(TAG_REMOTE_CMD);
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->text, "txport=" + port);
    ASSERT_TRUE(r.command("txTs=6", "txTs=: 6\n"));
    echo = moved.receiveTag(TAG_REMOTE_CMD, REPLY);
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->text, "txTs=6");
    EXPECT_FALSE(r.partnerGets(TAG_REMOTE_CMD, SILENCE));
    EXPECT_EQ(text(r.info()["tlv"]["tx_port"]), port);
}

// Ports that would move the partner somewhere unreachable, onto Halvane's own
// USRP listener, or multiply every record, change nothing; a port another
// socket holds leaves the listener where it was.
TEST(Commands, PortCommandsThatWouldBreakTheBridgeChangeNothing)
{
    Rig r;
    ASSERT_TRUE(r.start());
    const std::string tlvRx = std::to_string(r.d.ports.tlvRx);
    const std::string tlvTx = std::to_string(r.d.ports.tlvTx);
    const std::string usrpRx = std::to_string(r.d.ports.usrpRx);
    std::string sixteen = tlvTx;
    for (int i = 1; i < 16; ++i)
        sixteen += "," + tlvTx;
    const std::vector<std::string> refused = {
        "rxport=0",          "rxport=99999",     "rxport=" + tlvTx + "x",       "rxport=" + usrpRx, "txport=" + sixteen,
        "txport=0",          "txport=" + usrpRx, "txport=" + tlvTx + ",70000",  "txport=" + tlvRx,
    };
    for (const std::string& bad : refused) {
        ASSERT_TRUE(r.command(bad, " refused, ")) << bad;
        EXPECT_TRUE(r.hasLine('W', bad.substr(0, 7) + ": " + bad.substr(7) + " refused, ")) << bad;
    }
    EXPECT_FALSE(r.d.hasLog("TLV rx socket"));

    UdpSocket holder(freeUdpPort());
    const std::string held = std::to_string(holder.port());
    ASSERT_TRUE(r.command("rxport=" + held, "rxport=: " + held + "\n"));
    ASSERT_TRUE(r.d.waitForLog("TLV rx socket can not move to port " + held + ", staying on " + tlvRx + "\n"));

    // Still listening on the old port, sending to the old one, and the USRP
    // side still answers its client.
    const json info = r.info();
    EXPECT_EQ(text(info["tlv"]["rx_port"]), tlvRx);
    EXPECT_EQ(text(info["tlv"]["tx_port"]), tlvTx);
    EXPECT_EQ(text(info["usrp"]["rx_port"]), usrpRx);
    ASSERT_TRUE(r.client.sendText("INFO:"));
    EXPECT_TRUE(r.clientText("INFO:{"));
}

// The USRP client's texts, and the info record with every field of the
// settings and a call sign that would break JSON written without escaping.
TEST(Commands, ClientTextsAndTheInfoRecord)
{
    Rig r;
    r.d.dir.write("subscribers.csv", "3100001,N0\"Q\\Z\t,Gate Way\n");
    ASSERT_TRUE(r.start("OnRegister = touch DIR/registered\n", "txTg = 91\ntxTs = 2\ncolorCode = 3\n",
                        "usrpAudio = AUDIO_USE_GAIN\nusrpGain = 2.5\ntlvAudio = AUDIO_UNITY\ntlvGain = 0.5\n"
                        "pingTimer = 7\n",
                        "mute = USRP\n"));

    ASSERT_TRUE(r.client.sendText("MODES:"));
    EXPECT_EQ(r.clientText("MODES:"), "MODES:[\"DMR\", \"DSTAR\", \"NXDN\", \"P25\", \"YSF\"]");

    ASSERT_TRUE(r.partner.sendCommand("txTg=9!3100\"\\"));
    ASSERT_TRUE(r.d.waitForLog("txTg=: 3100\n"));
    ASSERT_TRUE(r.client.sendText("INFO:"));
    auto reply = r.client.receiveText("INFO:{", REPLY);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->datagram.size(), std::max<std::size_t>(352, reply->text.size() + 1 + 32));
    const json info = json::parse(reply->text.substr(5), nullptr, false);
    ASSERT_FALSE(info.is_discarded()) << reply->text;
    const json expected = {
        {"hv", {{"version", VERSION}, {"date", BUILD_DATE}}},
        {"dv3000", {{"ip", "127.0.0.1"}, {"port", std::to_string(r.d.ports.dv3000)}, {"use_serial", "false"}}},
        {"use_fallback", "true"},
        {"use_emulator", "false"},
        {"mute", "USRP"},
        {"usrp",
         {{"ip", "127.0.0.1"},
          {"rx_port", std::to_string(r.d.ports.usrpRx)},
          {"tx_port", std::to_string(r.d.ports.usrpTx)},
          {"ping", "7"},
          {"to_pcm", {{"shape", "AUDIO_USE_GAIN"}, {"gain", "2.50"}}},
          {"to_ambe", {{"shape", "AUDIO_UNITY"}, {"gain", "0.50"}}}}},
        {"tlv",
         {{"ip", "127.0.0.1"},
          {"tx_port", std::to_string(r.d.ports.tlvTx)},
          {"rx_port", std::to_string(r.d.ports.tlvRx)},
          {"ambe_size", "72"},
          {"ambe_mode", "DMR"}}},
        {"digital",
         {{"gw", "3100001"}, {"rpt", "3100002"}, {"tg", "3100"}, {"ts", "2"}, {"cc", "3"}, {"call", "N0\"Q\\Z\t"}}},
        {"last_tune", "9!3100\"\\"},
    };
    EXPECT_EQ(info, expected) << info.dump(1);

    // Then the registration macro, and the record is in the file named after
    // the USRP port.
    EXPECT_TRUE(eventually([&] { return std::filesystem::exists(r.d.dir.file("registered")); }, REPLY));
    EXPECT_TRUE(r.d.waitForLog("INFO packet sent to USRP client\n"));
    json file = json::parse(readFile(r.d.infoPath()), nullptr, false);
    file.erase("health");
    EXPECT_EQ(file, info);

    ASSERT_TRUE(r.client.sendText("DMR:abc"));
    ASSERT_TRUE(r.d.waitForLog("USRP packet type: USRP_TYPE_TEXT (DMR:abc) CAUTION, NOT USED\n"));

    // A call record from the client; one that claims the repeater's own ID
    // is refused and the bridge carries on.
    CallRecord call;
    call.call = "N0\"Q\\Z\t";
    ASSERT_TRUE(r.client.sendCallRecord(call));
    // The tab reaches the log escaped.
    ASSERT_TRUE(r.d.waitForLog("USRP packet type: USRP_TYPE_TEXT (N0\"Q\\Z\\t) -> 3100001\n"));
    call.source = 4242;
    call.repeater = 4242;
    ASSERT_TRUE(r.client.sendCallRecord(call));
    ASSERT_TRUE(r.d.waitForLog("Repeater ID (4242) can not be the same as subscriber ID (4242)."));
    EXPECT_TRUE(r.hasLine('E', "Repeater ID (4242) can not be the same as subscriber ID (4242)."));
    ASSERT_TRUE(r.client.sendText("MODES:"));
    EXPECT_TRUE(r.clientText("MODES:"));
    EXPECT_EQ(r.d.process->wait(0ms), -1);

    // A call sign added to the file counts once the database is reloaded.
    r.d.dir.write("subscribers.csv", "3100001,N0\"Q\\Z\t,Gate Way\n3100777,N0NEW,New\n");
    // The reload is announced before it reads the file: wait for the count.
    ASSERT_TRUE(r.command("reloadDatabase", "Subscriber IDs loaded: 2 from"));
    call = CallRecord{};
    call.call = "N0NEW";
    ASSERT_TRUE(r.client.sendCallRecord(call));
    EXPECT_TRUE(r.d.waitForLog("USRP packet type: USRP_TYPE_TEXT (N0NEW) -> 3100777\n"));
}

// With a DV3000, a mode change restarts the chip with the new rate.
TEST(Commands, ModeChangesReconfigureTheDv3000)
{
    Rig r;
    const auto simulator = r.d.chipOnUdp();
    ASSERT_TRUE(simulator && r.d.connect(r.partner));
    r.d.start(r.d.ini("logLevel = 2\n"));
    ASSERT_TRUE(r.d.waitForLog("Starting TLV --> Halvane (decoder) --> USRP thread"));
    ASSERT_EQ(r.count("Begin DV3000 decode\n"), 1);

    ASSERT_TRUE(r.command("ambeMode=dstar", "ambeMode = DSTAR, size = 48\n"));
    EXPECT_EQ(r.count("Begin DV3000 decode\n"), 2);
    EXPECT_EQ(simulator->stats().mode, Dv3000Simulator::RateMode::Dstar);
    ASSERT_TRUE(r.command("ambeMode=nope", "Invalid AMBE mode: nope, ignoring\n"));
    ASSERT_TRUE(r.command("ambeSize=0", "ambeSize=: 0\n"));
    EXPECT_EQ(r.count("Begin DV3000 decode\n"), 2);
    ASSERT_TRUE(r.command("ambeSize=72", "ambeSize=: 72\n"));
    EXPECT_EQ(r.count("Begin DV3000 decode\n"), 3);
    EXPECT_EQ(simulator->stats().mode, Dv3000Simulator::RateMode::Dmr);
}

} // namespace halvane
