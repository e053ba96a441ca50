#include "CommandInterpreter.h"

#include "CUsrpPacket.h"
#include "CommandArguments.h"
#include "CommandTarget.h"
#include "ConfigFile.h"
#include "HostAddress.h"
#include "Log.h"
#include "MacroRunner.h"
#include "PeerSender.h"
#include "SubscriberDatabase.h"
#include "TLV_CLASS.h"
#include "TlvProtocol.h"
#include "UsrpProtocol.h"
#include "dv3000_servers.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <strings.h>
#include <vector>

namespace halvane {

namespace {

constexpr const char* MODES_REPLY = "MODES:[\"DMR\", \"DSTAR\", \"NXDN\", \"P25\", \"YSF\"]";

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

void logSameIds(std::uint32_t source)
{
    Log(5, "Repeater ID (%d) can not be the same as subscriber ID (%d). Fatal error exiting\n",
        static_cast<int>(source), static_cast<int>(source));
}

// `host` names this machine: a loopback address or one of its interfaces'.
bool isThisHost(const std::string& host)
{
    const std::vector<in_addr> local = localInterfaceAddresses();
    for (const in_addr& address : resolveIPv4All(host.c_str())) {
        if (isLoopbackAddress(address) || std::any_of(local.begin(), local.end(), [&](const in_addr& mine) {
                return mine.s_addr == address.s_addr;
            }))
            return true;
    }
    return false;
}

} // namespace

CommandInterpreter::CommandInterpreter(Links links) : links_(std::move(links)), settings_(links_.settings) {}

void CommandInterpreter::sendTextToUsrp(const std::string& text)
{
    // The NUL goes too: clients read the payload as a C string.
    links_.peers.sendPacketToUSRP(USRP_TYPE_TEXT, text.c_str(), static_cast<int>(text.size() + 1));
}

void CommandInterpreter::sendInfoToUsrp()
{
    sendTextToUsrp(links_.macros.getInfoAsJson());
    Log(3, "INFO packet sent to USRP client\n");
}

void CommandInterpreter::handleUsrpText(const CUsrpPacket& packet)
{
    const std::string text(packet.text());
    if (startsWith(text, "MODES:")) {
        sendTextToUsrp(MODES_REPLY);
    } else if (startsWith(text, "INFO:")) {
        sendInfoToUsrp();
        links_.macros.executeMacroCommand("*OnRegister", false);
    } else if (startsWith(text, "DMR:")) {
        Log(3, "USRP packet type: USRP_TYPE_TEXT (%s) CAUTION, NOT USED\n", text.c_str());
    } else if (std::optional<CallRecord> call = clientCallRecord(packet.payloadArea(), settings_, links_.subscribers)) {
        Log(3, "USRP packet type: USRP_TYPE_TEXT (%s) -> %d\n", call->call.c_str(), static_cast<int>(call->source));
        links_.bridge.setClientCallRecord(*call);
    }
}

std::optional<CallRecord> CommandInterpreter::clientCallRecord(std::span<const std::uint8_t> payload,
                                                               const dv3000_servers& settings,
                                                               SubscriberDatabase& subscribers)
{
    CallRecord call = parseCallRecord(payload);
    const auto repeaterID = static_cast<std::uint32_t>(settings.repeaterID.load());
    if (call.repeater == 0)
        call.repeater = repeaterID;
    if (call.source == call.repeater) {
        logSameIds(call.source);
        return std::nullopt;
    }
    if (call.source == 0) {
        call.source = static_cast<std::uint32_t>(settings.gatewayDmrId.load());
        if (!call.call.empty()) {
            if (unsigned int id = subscribers.findSubscriber(call.call.c_str()); id != 0)
                call.source = id;
        }
    }
    if (call.call.empty()) {
        std::string found = subscribers.findSubscriber(call.source);
        if (!isDecimalText(found))
            call.call = found;
    }
    if (int tg = settings.txTg; tg != 0)
        call.destination = static_cast<std::uint32_t>(tg);
    if (int ts = settings.txTs; ts != 0)
        call.slot = static_cast<std::uint8_t>(ts);
    if (int cc = settings.colorCode; cc != 0)
        call.colorCode = static_cast<std::uint8_t>(cc);
    call.repeater = repeaterID;
    if (call.source == call.repeater) {
        logSameIds(call.source);
        return std::nullopt;
    }
    return call;
}

CallRecord CommandInterpreter::defaultCallRecord(const dv3000_servers& settings)
{
    CallRecord call;
    call.source = static_cast<std::uint32_t>(settings.gatewayDmrId.load());
    call.repeater = static_cast<std::uint32_t>(settings.repeaterID.load());
    call.destination = static_cast<std::uint32_t>(settings.txTg.load());
    call.slot = static_cast<std::uint8_t>(settings.txTs.load());
    call.colorCode = static_cast<std::uint8_t>(settings.colorCode.load());
    call.call = settings.defaultMetadata.get();
    return call;
}

void CommandInterpreter::handleDtmf(const CUsrpPacket& packet)
{
    const std::string digits(packet.text());
    const bool macroPrefix = !digits.empty() && digits[0] == '*';
    if (links_.asl) {
        if (macroPrefix && links_.macros.executeMacroCommand(digits.c_str(), false))
            return;
        links_.macros.executeMacroCommand("dial", digits.c_str());
        settings_.lastTune.set(digits);
        return;
    }
    if (macroPrefix) {
        links_.macros.executeMacroCommand(digits.c_str(), true);
        return;
    }
    // The partner learns who tunes before the tune itself arrives.
    echoToPartner(makeCallRecord(TAG_SET_INFO, defaultCallRecord(settings_)));
    links_.queue.push(std::make_unique<TLV_CLASS>(TAG_REMOTE_CMD, "txTg=" + digits));
}

const char* CommandInterpreter::ownListenerOn(int port) const
{
    if (port == settings_.usrpRxPort)
        return "the USRP port";
    if (port == settings_.remoteControlPort)
        return "the remote control port";
    return nullptr;
}

const char* CommandInterpreter::txPortsFault(const PortList& ports) const
{
    std::vector<int> active = activePorts(ports);
    std::sort(active.begin(), active.end());
    if (std::adjacent_find(active.begin(), active.end()) != active.end())
        return "a port named twice";
    // Sent to this host, the records would land in Halvane's own listeners.
    if (isThisHost(settings_.tlvAddress.get())) {
        for (int port : active) {
            if (port == settings_.tlvRxPort)
                return "the partner's own listening port";
            if (const char* taken = ownListenerOn(port))
                return taken;
        }
    }
    return nullptr;
}

void CommandInterpreter::reopenTlvListener(int listeningOn)
{
    links_.bridge.reopenTlvRx();
    if (!links_.asl) {
        // The receive loop sleeps in its wait until a datagram arrives.
        static constexpr std::uint8_t WAKEUP[] = {TAG_WAKEUP, 0};
        const int ports[] = {listeningOn, 0};
        links_.peers.sendSingle("127.0.0.1", ports, WAKEUP, sizeof(WAKEUP));
    }
}

void CommandInterpreter::echoToPartner(const TLV_CLASS& record)
{
    const PortList ports = settings_.tlvTxPorts.get();
    links_.peers.sendSingle(settings_.tlvAddress.get().c_str(), ports.data(), record.data(),
                            static_cast<int>(record.size()));
}

void CommandInterpreter::execute(const TLV_CLASS& record)
{
    if (!links_.asl)
        echoToPartner(record);
    if (apply(record.text()))
        links_.macros.getInfoAsJson();
}

bool CommandInterpreter::apply(const char* text)
{
    const std::string_view command(text);
    const auto argumentOf = [&](std::string_view prefix) -> const char* {
        return startsWith(command, prefix) ? text + prefix.size() : nullptr;
    };

    if (const char* a = argumentOf("ambeSize=")) {
        int size = decimalValue(a);
        settings_.ambeSize = size;
        links_.bridge.setupVocoderFor(size);
        links_.bridge.clearRxSlot();
        Log(3, "ambeSize=: %d\n", size);
    } else if (const char* a = argumentOf("ambeMode=")) {
        int size = 0;
        const char* name = nullptr;
        if (lookupAmbeMode(a, size, name)) {
            settings_.ambeMode.set(name);
            settings_.ambeSize = size;
            links_.bridge.setupVocoderFor(size);
            links_.bridge.clearRxSlot();
            links_.asl = settings_.ambeMode.get() == "ASL";
            Log(3, "ambeMode = %s, size = %d\n", name, size);
        } else {
            links_.bridge.clearRxSlot();
            links_.asl = settings_.ambeMode.get() == "ASL";
            Log(5, "Invalid AMBE mode: %s, ignoring\n", a);
        }
    } else if (const char* a = argumentOf("txTg=")) {
        if (a[0] == '*') {
            links_.macros.executeMacroCommand(a, true);
        } else {
            int tg = talkGroupOf(a);
            settings_.txTg = tg;
            settings_.lastTune.set(a);
            Log(3, "txTg=: %d\n", tg);
        }
    } else if (const char* a = argumentOf("txTs=")) {
        settings_.txTs = decimalValue(a);
        Log(3, "txTs=: %d\n", settings_.txTs.load());
    } else if (const char* a = argumentOf("mute=")) {
        settings_.mute = parseMute(a);
        Log(3, "mute=: %s\n", a);
    } else if (const char* a = argumentOf("usrpAudio=")) {
        settings_.usrpAudio = parseAudio(a);
        Log(3, "usrpAudio=: %s\n", a);
    } else if (const char* a = argumentOf("tlvAudio=")) {
        settings_.tlvAudio = parseAudio(a);
        Log(3, "tlvAudio=: %s\n", a);
    } else if (const char* a = argumentOf("usrpGain=")) {
        settings_.usrpGain = std::strtof(a, nullptr);
        Log(3, "usrpGain=: %s\n", a);
    } else if (const char* a = argumentOf("tlvGain=")) {
        settings_.tlvGain = std::strtof(a, nullptr);
        Log(3, "tlvGain=: %s\n", a);
    } else if (const char* a = argumentOf("rxport=")) {
        const std::optional<long long> port = parseWhole(a, 1, 65535);
        const char* taken = port ? ownListenerOn(static_cast<int>(*port)) : nullptr;
        if (!port || taken != nullptr) {
            Log(4, "rxport=: %s refused, %s\n", a, taken != nullptr ? taken : "not a port from 1 to 65535");
            return false;
        }
        int oldPort = settings_.tlvRxPort.exchange(static_cast<int>(*port));
        reopenTlvListener(oldPort);
        Log(3, "rxport=: %s\n", a);
    } else if (const char* a = argumentOf("txport=")) {
        const std::optional<PortList> ports = parsePortList(a);
        const char* wrong = !ports ? "not 1 to 16 ports from 1 to 65535" : txPortsFault(*ports);
        if (wrong != nullptr) {
            Log(4, "txport=: %s refused, %s\n", a, wrong);
            return false;
        }
        settings_.tlvTxPorts.set(*ports);
        links_.bridge.reopenTlvTx();
        Log(3, "txport=: %s\n", a);
    } else if (const char* a = argumentOf("address=")) {
        settings_.tlvAddress.set(a);
        // The listener takes datagrams from the partner's host only.
        reopenTlvListener(settings_.tlvRxPort);
        Log(3, "address=: %s\n", a);
    } else if (const char* a = argumentOf("exit=")) {
        int status = 0;
        int code = 0;
        if (parseExitArguments(a, status, code)) {
            Log(3, "exit=: %d %d\n", status, code);
            links_.bridge.exitApp(status, code);
        }
    } else if (const char* a = argumentOf("codec=")) {
        static constexpr const char* CODECS[] = {"slin", "ulaw", "adpcm"};
        for (int codec = 0; codec < 3; ++codec) {
            if (strcasecmp(a, CODECS[codec]) == 0) {
                links_.usrpCodec = codec;
                Log(3, "%s\n", text);
            }
        }
    } else if (argumentOf("info") != nullptr) {
        sendInfoToUsrp();
    } else if (const char* a = argumentOf("message=")) {
        sendTextToUsrp(std::string("INFO:MSG:") + a);
        Log(3, "MESSAGE packet sent to USRP client: %s\n", a);
    } else if (startsWith(command, "macro=") || startsWith(command, "menu=")) {
        const bool menu = startsWith(command, "menu=");
        const char* name = text + (menu ? 5 : 6);
        std::string directory = settings_.macroListDir.get();
        if (directory.empty())
            directory = settings_.transferRootDir.get();
        std::optional<std::string> list = buildMacroList(menu ? "INFO:MENU:" : "INFO:MACRO:", name, directory);
        if (!list) {
            Log(5, "MACRO file not found: %s is no readable list file in %s\n", name, directory.c_str());
            return false;
        }
        sendTextToUsrp(*list);
        Log(3, "MACRO packet sent to USRP client\n");
    } else if (const char* a = argumentOf("ping=")) {
        // The ping thread sleeps this many seconds between pings: 0 or less
        // would have it flood the client.
        int seconds = decimalValue(a);
        if (seconds < 1) {
            Log(4, "Invalid ping time: %s, ignoring\n", a);
        } else {
            settings_.pingTimer = seconds;
            Log(3, "pingTimer = %d\n", seconds);
        }
    } else if (const char* a = argumentOf("agcUSRP=")) {
        AgcSettings agc = parseAgc(a);
        settings_.usrpAgc.set(agc);
        links_.bridge.setUsrpAgc(agc);
        Log(3, "Set AGC params: Threshold=%d, Slope=%d, Decay=%d\n", agc.threshold, agc.slope, agc.decay);
    } else if (argumentOf("agcTLV=") != nullptr) {
        Log(3, "Command not implemented yet\n");
    } else if (argumentOf("reloadDatabase") != nullptr) {
        links_.subscribers.reloadSubscriberMap();
    } else {
        Log(3, "REMOTE: <%s>\n", text);
    }
    return true;
}

} // namespace halvane
