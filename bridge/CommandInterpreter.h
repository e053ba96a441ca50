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
// Ownership and lifetime: owned by the bridge for the whole process.
// Thread-safety: handleUsrpText and handleDtmf run on the encode thread,
// execute on the decode thread; shared state is the settings record, the
// process-wide flags and the bridge's thread-safe parts (AGC, subscriber
// tables, macros, USRP sends).
#pragma once

#include "CallRecord.h"

#include <cstdint>
#include <optional>
#include <span>

namespace halvane {

class CDMR_DV3000_DMRLink;
class CUsrpPacket;
class SubscriberDatabase;
class TLV_CLASS;

class CommandInterpreter {
public:
    explicit CommandInterpreter(CDMR_DV3000_DMRLink& bridge);
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
                                                      SubscriberDatabase& subscribers);

    // The call record of the settings: gateway, repeater, talk group, slot,
    // colour code and the default metadata.
    static CallRecord defaultCallRecord();

private:
    // Applies one command; false when nothing is to be refreshed.
    bool apply(const char* text);
    void sendTextToUsrp(const std::string& text);
    void sendInfoToUsrp();
    void setVocoderFor(int ambeSize);

    CDMR_DV3000_DMRLink& bridge_;
};

} // namespace halvane
