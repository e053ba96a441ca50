#include "UsrpMessage.h"

#include "CUsrpPacket.h"
#include "Hex.h"
#include "TlvMessage.h"
#include "TlvProtocol.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

namespace halvane {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string payloadText(std::span<const std::uint8_t> payload)
{
    const auto* chars = reinterpret_cast<const char*>(payload.data());
    const void* nul = std::memchr(chars, 0, payload.size());
    return std::string(chars, nul != nullptr ? static_cast<const char*>(nul) - chars : payload.size());
}

// Halvane's texts are printable; a call record starts with its tag byte 8,
// which no text does.
bool isCallRecord(std::span<const std::uint8_t> payload)
{
    return payload.size() >= TLV_HEADER_SIZE && payload[TLV_OFFSET_TAG] == TAG_SET_INFO;
}

std::optional<UsrpCodec> voiceCodec(std::uint32_t type)
{
    switch (type) {
    case USRP_TYPE_VOICE:
        return UsrpCodec::Slin;
    case USRP_TYPE_VOICE_ULAW:
        return UsrpCodec::Ulaw;
    case USRP_TYPE_VOICE_ADPCM:
        return UsrpCodec::Adpcm;
    default:
        return std::nullopt;
    }
}

} // namespace

const char* usrpCodecName(UsrpCodec codec)
{
    switch (codec) {
    case UsrpCodec::Slin:
        return "slin";
    case UsrpCodec::Ulaw:
        return "ulaw";
    case UsrpCodec::Adpcm:
        return "adpcm";
    }
    return "?";
}

bool parseUsrpCodec(std::string_view text, UsrpCodec& codec)
{
    for (const UsrpCodec c : {UsrpCodec::Slin, UsrpCodec::Ulaw, UsrpCodec::Adpcm}) {
        if (equalsIgnoringCase(text, usrpCodecName(c))) {
            codec = c;
            return true;
        }
    }
    return false;
}

UsrpMessage decodeUsrpDatagram(std::span<const std::uint8_t> datagram, ImaAdpcmState& adpcmRx)
{
    UsrpMessage message;
    message.datagram.assign(datagram.begin(), datagram.end());
    if (!CUsrpPacket::hasMagic(datagram))
        return message;

    // The packet class reads the header and decodes voice from its zero-filled
    // buffer; texts may be longer than that buffer and are read from the
    // datagram itself.
    CUsrpPacket packet;
    std::memcpy(packet.data(), datagram.data(), std::min(datagram.size(), packet.capacity()));
    packet.setReceived(datagram.size());
    message.seq = packet.seq();
    message.type = packet.type();
    message.keyed = packet.keyed();
    const std::span<const std::uint8_t> payload =
        datagram.size() > USRP_HEADER_SIZE ? datagram.subspan(USRP_HEADER_SIZE) : std::span<const std::uint8_t>();

    switch (message.type) {
    case USRP_TYPE_VOICE:
    case USRP_TYPE_VOICE_ULAW:
    case USRP_TYPE_VOICE_ADPCM:
        message.kind = message.keyed ? UsrpMessage::Kind::Voice : UsrpMessage::Kind::Unkey;
        message.codec = voiceCodec(message.type);
        packet.decodeVoice(adpcmRx);
        if (message.keyed || !payload.empty()) {
            std::array<std::int16_t, USRP_VOICE_SAMPLES> pcm{};
            packet.samples(pcm);
            message.pcm.assign(pcm.begin(), pcm.end());
        }
        break;
    case USRP_TYPE_DTMF:
        message.kind = UsrpMessage::Kind::Dtmf;
        message.text = payloadText(payload);
        break;
    case USRP_TYPE_TEXT:
        if (isCallRecord(payload)) {
            message.kind = UsrpMessage::Kind::Metadata;
            message.call = parseCallRecord(payload);
            message.callText = rawCallText(payload);
        } else {
            message.kind = UsrpMessage::Kind::Text;
            message.text = payloadText(payload);
        }
        break;
    case USRP_TYPE_PING:
        message.kind = UsrpMessage::Kind::Ping;
        message.text = payloadText(payload);
        break;
    case USRP_TYPE_TLV:
        message.kind = UsrpMessage::Kind::Tlv;
        message.tlv.emplace(std::move(*TLV_CLASS::fromRecord(payload)));
        break;
    default:
        message.kind = UsrpMessage::Kind::Unknown;
        break;
    }
    return message;
}

std::string describeUsrpMessage(const UsrpMessage& message)
{
    const std::string seq = " seq=" + std::to_string(message.seq);
    switch (message.kind) {
    case UsrpMessage::Kind::Voice:
        return std::string("voice ") + usrpCodecName(*message.codec) + seq + " (" +
               std::to_string(message.datagram.size()) + " bytes)";
    case UsrpMessage::Kind::Unkey:
        return std::string("unkey ") + usrpCodecName(*message.codec) + seq + " (" +
               std::to_string(message.datagram.size()) + " bytes)";
    case UsrpMessage::Kind::Dtmf:
        return "DTMF " + quotedText(message.text) + seq;
    case UsrpMessage::Kind::Text:
        return "text " + quotedText(message.text) + seq;
    case UsrpMessage::Kind::Metadata: {
        CallRecord shown = *message.call;
        shown.call = message.callText;
        return "metadata " + describeCallRecord(shown) + seq;
    }
    case UsrpMessage::Kind::Ping:
        return "ping" + seq;
    case UsrpMessage::Kind::Tlv:
        return "TLV " + describeTlvRecord(*message.tlv) + seq;
    case UsrpMessage::Kind::Unknown:
        return "unknown type " + std::to_string(message.type) + seq + " (" +
               std::to_string(message.datagram.size()) + " bytes)";
    case UsrpMessage::Kind::NotUsrp:
        break;
    }
    return "not a USRP packet (" + std::to_string(message.datagram.size()) + " bytes)";
}

} // namespace halvane
