// What a TLV partner reads from one datagram, decoded for tests and for the
// tlv-partner program: the record, and by tag its call record, text, slot and
// voice frame count. Also the names, descriptions and air times of records.
//
// Thread-safety: plain values and pure functions.
#pragma once

#include "CallRecord.h"
#include "TLV_CLASS.h"

#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace halvane {

struct TlvMessage {
    enum class Kind {
        Record,     // exactly one TLV record
        UsrpPacket, // a USRP packet (ASL mode passes USRP traffic on this port)
        Malformed,  // the length byte disagrees with the datagram's size
    };
    Kind kind = Kind::Malformed;
    std::vector<std::uint8_t> datagram; // as received
    sockaddr_in from{};

    std::optional<TLV_CLASS> record;  // Kind::Record
    std::optional<CallRecord> call;   // TAG_BEGIN_TX, TAG_SET_INFO
    std::string callText;             // their call text as sent (JSON stays JSON)
    std::string text;                 // TAG_TG_TUNE, TAG_REMOTE_CMD, TAG_EVENT: the value up to a NUL
    int slot = -1;                    // the call's, or value byte 0 of TAG_END_TX, TAG_AMBE_49, TAG_AMBE_72
    int frames = 0;                   // voice frames (complete ones) in a voice record

    // The record's tag; 0xFF (no tag of the protocol) when it is not a record.
    std::uint8_t tag() const { return record ? record->tag() : 0xFF; }
    bool is(std::uint8_t t) const { return record.has_value() && record->tag() == t; }
};

TlvMessage decodeTlvDatagram(std::span<const std::uint8_t> datagram);

// "TAG_AMBE_72", ..., or "tag 14" for a number without a name.
std::string tlvTagName(std::uint8_t tag);
bool isVoiceTag(std::uint8_t tag);
// Complete voice frames in a record: 3 in a full AMBE record, one per 11
// bytes of IMBE, one in a D-STAR record; 0 for other tags.
int voiceFrames(const TLV_CLASS& record);
// Speech time the record carries on the network: 20 ms per frame.
std::chrono::microseconds voiceAirTime(const TLV_CLASS& record);

// The call text of a call record (tag, length, value) as it is on the wire,
// before the call sign is taken out of a JSON text: the bytes after the
// fixed fields up to a NUL, the length byte or the end of `record`.
std::string rawCallText(std::span<const std::uint8_t> record);

// One-line descriptions for trace output and test failure messages.
std::string describeCallRecord(const CallRecord& call);
std::string describeTlvRecord(const TLV_CLASS& record);
std::string describeTlvMessage(const TlvMessage& message);

} // namespace halvane
