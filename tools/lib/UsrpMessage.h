// What a USRP client reads from one datagram, decoded for tests and for the
// usrp-client program: header fields, voice as linear PCM whatever its codec,
// texts, call metadata records, TLV records and pings.
//
// Thread-safety: plain values and pure functions (the ADPCM state passed to
// decodeUsrpDatagram belongs to the caller).
#pragma once

#include "CallRecord.h"
#include "ImaAdpcm.h"
#include "TLV_CLASS.h"
#include "UsrpProtocol.h"

#include <cstdint>
#include <netinet/in.h>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace halvane {

enum class UsrpCodec : int {
    Slin = USRP_CODEC_SLIN,
    Ulaw = USRP_CODEC_ULAW,
    Adpcm = USRP_CODEC_ADPCM,
};

// "slin", "ulaw", "adpcm": the words of the "codec=" command.
const char* usrpCodecName(UsrpCodec codec);
// The same words, in any case.
bool parseUsrpCodec(std::string_view text, UsrpCodec& codec);

struct UsrpMessage {
    enum class Kind {
        Voice,    // keyed voice of any codec
        Unkey,    // voice packet whose keyup is not 1
        Dtmf,     // type 1
        Text,     // type 2 with a text payload
        Metadata, // type 2 whose payload is a TAG_SET_INFO call record
        Ping,     // type 3
        Tlv,      // type 4
        Unknown,  // "USRP" with a type outside 0..6
        NotUsrp,  // no "USRP" magic
    };
    Kind kind = Kind::NotUsrp;
    std::vector<std::uint8_t> datagram; // as received
    sockaddr_in from{};

    std::uint32_t seq = 0;
    std::uint32_t type = 0;
    bool keyed = false;

    std::optional<UsrpCodec> codec; // Voice and Unkey
    // Voice: the 160 samples. Unkey: the decoded silence of a mu-law or ADPCM
    // unkey; empty for the bare 32-byte linear unkey.
    std::vector<std::int16_t> pcm;
    std::string text;               // Text, Dtmf, Ping: the payload up to its NUL
    std::optional<CallRecord> call; // Metadata
    std::string callText;           // Metadata: the call text as sent (JSON stays JSON)
    std::optional<TLV_CLASS> tlv;   // Tlv
};

// Decodes one datagram. ADPCM voice (keyed or not) advances `adpcmRx`, which
// must run on from packet to packet as the sender's state does.
UsrpMessage decodeUsrpDatagram(std::span<const std::uint8_t> datagram, ImaAdpcmState& adpcmRx);

// One line for trace output and test failure messages.
std::string describeUsrpMessage(const UsrpMessage& message);

} // namespace halvane
