#include "CommandInterpreter.h"

#include "CDMR_DV3000_DMRLink.h"
#include "CUsrpPacket.h"
#include "CommandArguments.h"
#include "ConfigFile.h"
#include "Log.h"
#include "SubscriberDatabase.h"
#include "TLV_CLASS.h"
#include "TlvProtocol.h"
#include "UsrpProtocol.h"
#include "dv3000_servers.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <strings.h>

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

void recomputeAsl()
{
    isASL = servers.ambeMode.get() == "ASL";
}

} // namespace

CommandInterpreter::CommandInterpreter(CDMR_DV3000_DMRLink& bridge) : bridge_(bridge) {}

void CommandInterpreter::sendTextToUsrp(const std::string& text)
{
    // The NUL goes too: clients read the payload as a C string.
    bridge_.sendPacketToUSRP(USRP_TYPE_TEXT, text.c_str(), static_cast<int>(text.size() + 1));
}

void CommandInterpreter::sendInfoToUsrp()
{
    sendTextToUsrp(bridge_.macros.getInfoAsJson());
    Log(3, "INFO packet sent to USRP client\n");
}

void CommandInterpreter::handleUsrpText(const CUsrpPacket& packet)
{
    const std::string text(packet.text());
    if (startsWith(text, "MODES:")) {
        sendTextToUsrp(MODES_REPLY);
    } else if (startsWith(text, "INFO:")) {
        sendInfoToUsrp();
        bridge_.macros.executeMacroCommand("*OnRegister", false);
    } else if (startsWith(text, "DMR:")) {
        Log(3, "USRP packet type: USRP_TYPE_TEXT (%s) CAUTION, NOT USED\n", text.c_str());
    } else if (std::optional<CallRecord> call = clientCallRecord(packet.payloadArea(), bridge_.subscribers)) {
        Log(3, "USRP packet type: USRP_TYPE_TEXT (%s) -> %d\n", call->call.c_str(), static_cast<int>(call->source));
        bridge_.encodePath.setClientCallRecord(*call);
    }
}

std::optional<CallRecord> CommandInterpreter::clientCallRecord(std::span<const std::uint8_t> payload,
                                                               SubscriberDatabase& subscribers)
{
    CallRecord call = parseCallRecord(payload);
    const auto repeaterID = static_cast<std::uint32_t>(servers.repeaterID.load());
    if (call.repeater == 0)
        call.repeater = repeaterID;
    if (call.source == call.repeater) {
        logSameIds(call.source);
        return std::nullopt;
    }
    if (call.source == 0) {
        call.source = static_cast<std::uint32_t>(servers.gatewayDmrId.load());
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
    if (int tg = servers.txTg; tg != 0)
        call.destination = static_cast<std::uint32_t>(tg);
    if (int ts = servers.txTs; ts != 0)
        call.slot = static_cast<std::uint8_t>(ts);
    if (int cc = servers.colorCode; cc != 0)
        call.colorCode = static_cast<std::uint8_t>(cc);
    call.repeater = repeaterID;
    if (call.source == call.repeater) {
        logSameIds(call.source);
        return std::nullopt;
    }
    return call;
}

CallRecord CommandInterpreter::defaultCallRecord()
{
    CallRecord call;
    call.source = static_cast<std::uint32_t>(servers.gatewayDmrId.load());
    call.repeater = static_cast<std::uint32_t>(servers.repeaterID.load());
    call.destination = static_cast<std::uint32_t>(servers.txTg.load());
    call.slot = static_cast<std::uint8_t>(servers.txTs.load());
    call.colorCode = static_cast<std::uint8_t>(servers.colorCode.load());
    call.call = servers.defaultMetadata.get();
    return call;
}

void CommandInterpreter::handleDtmf(const CUsrpPacket& packet)
{
    const std::string digits(packet.text());
    const bool macroPrefix = !digits.empty() && digits[0] == '*';
    if (isASL) {
        if (macroPrefix && bridge_.macros.executeMacroCommand(digits.c_str(), false))
            return;
        bridge_.macros.executeMacroCommand("dial", digits.c_str());
        servers.lastTune.set(digits);
        return;
    }
    if (macroPrefix) {
        bridge_.macros.executeMacroCommand(digits.c_str(), true);
        return;
    }
    // The partner learns who tunes before the tune itself arrives.
    TLV_CLASS info = makeCallRecord(TAG_SET_INFO, defaultCallRecord());
    PortList ports = servers.tlvTxPorts.get();
    bridge_.sendSingle(servers.tlvAddress.get().c_str(), ports.data(), info.data(), static_cast<int>(info.size()));
    q.push(std::make_unique<TLV_CLASS>(TAG_REMOTE_CMD, "txTg=" + digits));
}

void CommandInterpreter::execute(const TLV_CLASS& record)
{
    if (!isASL) {
        PortList ports = servers.tlvTxPorts.get();
        bridge_.sendSingle(servers.tlvAddress.get().c_str(), ports.data(), record.data(),
                           static_cast<int>(record.size()));
    }
    if (apply(record.text()))
        bridge_.macros.getInfoAsJson();
}

void CommandInterpreter::setVocoderFor(int ambeSize)
{
    if (ambeSize > 0 && bridge_.dv3000Ready != 0)
        bridge_.setupVocoder(true, ambeSize);
}

bool CommandInterpreter::apply(const char* text)
{
    const std::string_view command(text);
    const auto argumentOf = [&](std::string_view prefix) -> const char* {
        return startsWith(command, prefix) ? text + prefix.size() : nullptr;
    };

    if (const char* a = argumentOf("ambeSize=")) {
        int size = decimalValue(a);
        servers.ambeSize = size;
        setVocoderFor(size);
        bridge_.decodePath.clearSlot();
        Log(3, "ambeSize=: %d\n", size);
    } else if (const char* a = argumentOf("ambeMode=")) {
        int size = 0;
        const char* name = nullptr;
        if (lookupAmbeMode(a, size, name)) {
            servers.ambeMode.set(name);
            servers.ambeSize = size;
            setVocoderFor(size);
            bridge_.decodePath.clearSlot();
            recomputeAsl();
            Log(3, "ambeMode = %s, size = %d\n", name, size);
        } else {
            bridge_.decodePath.clearSlot();
            recomputeAsl();
            Log(5, "Invalid AMBE mode: %s, ignoring\n", a);
        }
    } else if (const char* a = argumentOf("txTg=")) {
        if (a[0] == '*') {
            bridge_.macros.executeMacroCommand(a, true);
        } else {
            int tg = talkGroupOf(a);
            servers.txTg = tg;
            servers.lastTune.set(a);
            Log(3, "txTg=: %d\n", tg);
        }
    } else if (const char* a = argumentOf("txTs=")) {
        servers.txTs = decimalValue(a);
        Log(3, "txTs=: %d\n", servers.txTs.load());
    } else if (const char* a = argumentOf("mute=")) {
        servers.mute = parseMute(a);
        Log(3, "mute=: %s\n", a);
    } else if (const char* a = argumentOf("usrpAudio=")) {
        servers.usrpAudio = parseAudio(a);
        Log(3, "usrpAudio=: %s\n", a);
    } else if (const char* a = argumentOf("tlvAudio=")) {
        servers.tlvAudio = parseAudio(a);
        Log(3, "tlvAudio=: %s\n", a);
    } else if (const char* a = argumentOf("usrpGain=")) {
        servers.usrpGain = std::strtof(a, nullptr);
        Log(3, "usrpGain=: %s\n", a);
    } else if (const char* a = argumentOf("tlvGain=")) {
        servers.tlvGain = std::strtof(a, nullptr);
        Log(3, "tlvGain=: %s\n", a);
    } else if (const char* a = argumentOf("rxport=")) {
        int oldPort = servers.tlvRxPort.exchange(decimalValue(a));
        bridge_.tlvRxReopen = true;
        if (!isASL) {
            // The receive loop sleeps in its wait until a datagram arrives.
            static constexpr std::uint8_t WAKEUP[] = {TAG_WAKEUP, 0};
            const int ports[] = {oldPort, 0};
            bridge_.sendSingle("127.0.0.1", ports, WAKEUP, sizeof(WAKEUP));
        }
        Log(3, "rxport=: %s\n", a);
    } else if (const char* a = argumentOf("txport=")) {
        servers.tlvTxPorts.set(parseTxPorts(a));
        bridge_.tlvTxReopen = true;
        Log(3, "txport=: %s\n", a);
    } else if (const char* a = argumentOf("address=")) {
        servers.tlvAddress.set(a);
        Log(3, "address=: %s\n", a);
    } else if (const char* a = argumentOf("exit=")) {
        int status = 0;
        int code = 0;
        if (parseExitArguments(a, status, code)) {
            Log(3, "exit=: %d %d\n", status, code);
            bridge_.exitApp(status, code);
        }
    } else if (const char* a = argumentOf("codec=")) {
        static constexpr const char* CODECS[] = {"slin", "ulaw", "adpcm"};
        for (int codec = 0; codec < 3; ++codec) {
            if (strcasecmp(a, CODECS[codec]) == 0) {
                usrpCodec = codec;
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
        std::optional<std::string> list =
            buildMacroList(menu ? "INFO:MENU:" : "INFO:MACRO:", text + (menu ? 5 : 6));
        if (!list) {
            Log(5, "MACRO file not found\n");
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
            servers.pingTimer = seconds;
            Log(3, "pingTimer = %d\n", seconds);
        }
    } else if (const char* a = argumentOf("agcUSRP=")) {
        AgcSettings agc = parseAgc(a);
        servers.usrpAgc.set(agc);
        bridge_.agc.SetParameters(false, agc.threshold, agc.slope, agc.decay, 8000.0);
        Log(3, "Set AGC params: Threshold=%d, Slope=%d, Decay=%d\n", agc.threshold, agc.slope, agc.decay);
    } else if (argumentOf("agcTLV=") != nullptr) {
        Log(3, "Command not implemented yet\n");
    } else if (argumentOf("reloadDatabase") != nullptr) {
        bridge_.subscribers.reloadSubscriberMap();
    } else {
        Log(3, "REMOTE: <%s>\n", text);
    }
    return true;
}

} // namespace halvane
