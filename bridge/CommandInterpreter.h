// Run-time steering by text: the USRP client's text and DTMF packets (encode
// thread) and the command records of the partner or of DTMF tunes (decode
// thread).
//
// Texts from the client: "MODES:" and "INFO:" are answered, "DMR:" is only
// logged, anything else is a call record that becomes the identity of the
// client's next transmission. DTMF digits run '*' macros, or in ASL mode the
// "dial" macros, or else tune the talk group through a queued "txTg="
// command. Command records are echoed to the partner (not in ASL mode),
// matched against the command table by exact, case-sensitive prefix, and
// followed by a refresh of the info record.
//
// Input from the network never ends the process on its own: a call record
// whose source equals its repeater is dropped with a log line. Only "exit="
// with a number does, as the partner's way to stop the bridge. A "ping="
// below one second is refused, since the ping thread would then flood the
// client.
//
// Ownership and lifetime: owned by the bridge for the whole process; the
// links it is given outlive it.
// Thread-safety: handleUsrpText and handleDtmf run on the encode thread,
// execute on the decode thread; what they share (the settings, the flags,
// the macros, the subscriber tables, the queue, the senders and the bridge
// as CommandTarget) is safe to use from both.
#pragma once

#include "CallRecord.h"
#include "PortList.h"
#include "TLV_CLASS.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace halvane {

class CUsrpPacket;
class CommandTarget;
class MacroRunner;
class PeerSender;
class SubscriberDatabase;
struct dv3000_servers;

class CommandInterpreter {
public:
    struct Links {
        dv3000_servers& settings;
        // ASL mode: no echo, DTMF dials macros; "ambeMode=" rewrites it.
        std::atomic_bool& asl;
        // The USRP client's voice coding ("codec=").
        std::atomic_int& usrpCodec;
        PeerSender& peers;
        MacroRunner& macros;
        SubscriberDatabase& subscribers;
        // DTMF tunes reach the command table through the decode thread.
        TlvQueue& queue;
        CommandTarget& bridge;
    };

    explicit CommandInterpreter(Links links);
    CommandInterpreter(const CommandInterpreter&) = delete;
    CommandInterpreter& operator=(const CommandInterpreter&) = delete;

    // A USRP_TYPE_TEXT packet that is not a registration.
    void handleUsrpText(const CUsrpPacket& packet);

    // A USRP_TYPE_DTMF packet.
    void handleDtmf(const CUsrpPacket& packet);

    // A TAG_REMOTE_CMD record.
    void execute(const TLV_CLASS& record);

    // The call record that a client's text packet carries (`payload` from
    // its first byte), completed from the settings and the subscriber
    // tables: repeater 0 and source 0 take the configured IDs (the source
    // the ID of the call sign when known), an empty call sign is looked up
    // from the source, and txTg, txTs and colorCode override when set; the
    // repeater is always repeaterID. Nothing, after the identity message at
    // level 5, when the source equals the repeater.
    static std::optional<CallRecord> clientCallRecord(std::span<const std::uint8_t> payload,
                                                      const dv3000_servers& settings,
                                                      SubscriberDatabase& subscribers);

    // The call record of the settings: gateway, repeater, talk group, slot,
    // colour code and the default metadata.
    static CallRecord defaultCallRecord(const dv3000_servers& settings);

private:
    // Applies one command; false when nothing is to be refreshed.
    bool apply(const char* text);
    void sendTextToUsrp(const std::string& text);
    void sendInfoToUsrp();
    void echoToPartner(const TLV_CLASS& record);
    // Which of Halvane's listeners other than the partner's takes `port`, as
    // a log text; null for none.
    const char* ownListenerOn(int port) const;
    // Why a "txport=" list cannot be taken (a port twice, or one of
    // Halvane's listeners while the partner is on this host), as a log text;
    // null when it can.
    const char* txPortsFault(const PortList& ports) const;
    // The TLV listener is made anew for the settings; the loop that waits
    // on it, at `listeningOn`, is woken.
    void reopenTlvListener(int listeningOn);

    Links links_;
    dv3000_servers& settings_;
};

} // namespace halvane
