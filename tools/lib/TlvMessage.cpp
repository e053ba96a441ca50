#include "TlvMessage.h"

#include "CUsrpPacket.h"
#include "Hex.h"
#include "TlvProtocol.h"

#include <algorithm>
#include <cstring>

namespace halvane {

namespace {

// File transfer sub-commands (first value byte of TAG_FILE_XFER).
constexpr std::uint8_t XFER_BEGIN = 0;
constexpr std::uint8_t XFER_DATA = 1;
constexpr std::uint8_t XFER_END = 2;
constexpr std::uint8_t XFER_REQUEST = 3;
constexpr std::uint8_t XFER_ERROR = 4;

std::string valueText(const TLV_CLASS& record, std::size_t from = 0)
{
    if (from >= record.length())
        return std::string();
    const auto* start = reinterpret_cast<const char*>(record.value()) + from;
    const std::size_t room = record.length() - from;
    const void* nul = std::memchr(start, 0, room);
    return std::string(start, nul != nullptr ? static_cast<const char*>(nul) - start : room);
}

std::string describeFileTransfer(const TLV_CLASS& record)
{
    if (record.length() == 0)
        return "empty";
    const std::uint8_t* value = record.value();
    switch (value[0]) {
    case XFER_BEGIN: {
        std::uint32_t size = 0;
        for (std::size_t i = 1; i < 5; ++i)
            size = size << 8 | (i < record.length() ? value[i] : 0);
        return "begin size=" + std::to_string(size) + " name=" + quotedText(valueText(record, 5));
    }
    case XFER_DATA:
        return "data " + std::to_string(record.length() - 1) + " bytes";
    case XFER_END:
        return "end md5=" + valueText(record, 1).substr(0, 32);
    case XFER_REQUEST:
        return "request " + quotedText(valueText(record, 1));
    case XFER_ERROR:
        return "error " + quotedText(valueText(record, 1));
    default:
        return "sub-command " + std::to_string(value[0]);
    }
}

} // namespace

std::string tlvTagName(std::uint8_t tag)
{
    switch (tag) {
    case TAG_BEGIN_TX:
        return "TAG_BEGIN_TX";
    case TAG_END_TX:
        return "TAG_END_TX";
    case TAG_TG_TUNE:
        return "TAG_TG_TUNE";
    case TAG_REMOTE_CMD:
        return "TAG_REMOTE_CMD";
    case TAG_AMBE_49:
        return "TAG_AMBE_49";
    case TAG_AMBE_72:
        return "TAG_AMBE_72";
    case TAG_SET_INFO:
        return "TAG_SET_INFO";
    case TAG_IMBE:
        return "TAG_IMBE";
    case TAG_AMBE_DSTAR:
        return "TAG_AMBE_DSTAR";
    case TAG_FILE_XFER:
        return "TAG_FILE_XFER";
    case TAG_WAKEUP:
        return "TAG_WAKEUP";
    case TAG_EVENT:
        return "TAG_EVENT";
    default:
        return "tag " + std::to_string(tag);
    }
}

bool isVoiceTag(std::uint8_t tag)
{
    return tag == TAG_AMBE_49 || tag == TAG_AMBE_72 || tag == TAG_IMBE || tag == TAG_AMBE_DSTAR;
}

int voiceFrames(const TLV_CLASS& record)
{
    const std::size_t length = record.length();
    switch (record.tag()) {
    case TAG_AMBE_49:
        return length > 0 ? static_cast<int>((length - 1) / AMBE_49_FRAME_BYTES) : 0;
    case TAG_AMBE_72:
        return length > 0 ? static_cast<int>((length - 1) / AMBE_72_FRAME_BYTES) : 0;
    case TAG_IMBE:
        return static_cast<int>(length / IMBE_FRAME_BYTES);
    case TAG_AMBE_DSTAR:
        return static_cast<int>(length / AMBE_DSTAR_FRAME_BYTES);
    default:
        return 0;
    }
}

std::chrono::microseconds voiceAirTime(const TLV_CLASS& record)
{
    return std::chrono::milliseconds(20) * voiceFrames(record);
}

std::string rawCallText(std::span<const std::uint8_t> record)
{
    if (record.size() <= TLV_HEADER_SIZE + CALL_OFFSET_TEXT)
        return std::string();
    const std::size_t length = record[TLV_OFFSET_LENGTH];
    if (length <= CALL_FIXED_SIZE)
        return std::string();
    const std::size_t room =
        std::min(length - CALL_FIXED_SIZE, record.size() - TLV_HEADER_SIZE - CALL_OFFSET_TEXT);
    const auto* text = reinterpret_cast<const char*>(record.data() + TLV_HEADER_SIZE + CALL_OFFSET_TEXT);
    const void* nul = std::memchr(text, 0, room);
    return std::string(text, nul != nullptr ? static_cast<const char*>(nul) - text : room);
}

TlvMessage decodeTlvDatagram(std::span<const std::uint8_t> datagram)
{
    TlvMessage message;
    message.datagram.assign(datagram.begin(), datagram.end());
    std::unique_ptr<TLV_CLASS> record = TLV_CLASS::fromDatagram(datagram);
    if (!record) {
        message.kind = CUsrpPacket::hasMagic(datagram) ? TlvMessage::Kind::UsrpPacket : TlvMessage::Kind::Malformed;
        return message;
    }
    message.kind = TlvMessage::Kind::Record;
    switch (record->tag()) {
    case TAG_BEGIN_TX:
    case TAG_SET_INFO:
        message.call = parseCallRecord(*record);
        message.callText = rawCallText(datagram);
        message.slot = message.call->slot;
        break;
    case TAG_END_TX:
    case TAG_AMBE_49:
    case TAG_AMBE_72:
        if (record->length() > 0)
            message.slot = record->value()[0];
        break;
    case TAG_TG_TUNE:
    case TAG_REMOTE_CMD:
    case TAG_EVENT:
        message.text = valueText(*record);
        break;
    default:
        break;
    }
    message.frames = voiceFrames(*record);
    message.record.emplace(std::move(*record));
    return message;
}

std::string describeCallRecord(const CallRecord& call)
{
    return "src=" + std::to_string(call.source) + " rpt=" + std::to_string(call.repeater) +
           " tg=" + std::to_string(call.destination) + " slot=" + std::to_string(call.slot) +
           " cc=" + std::to_string(call.colorCode) + " call=" + quotedText(call.call);
}

std::string describeTlvRecord(const TLV_CLASS& record)
{
    const std::string name = tlvTagName(record.tag());
    const std::span<const std::uint8_t> bytes(record.data(), record.size());
    switch (record.tag()) {
    case TAG_BEGIN_TX:
    case TAG_SET_INFO: {
        CallRecord call = parseCallRecord(record);
        call.call = rawCallText(bytes);
        return name + " " + describeCallRecord(call);
    }
    case TAG_END_TX:
        return name + " slot=" + (record.length() > 0 ? std::to_string(record.value()[0]) : std::string("none"));
    case TAG_AMBE_49:
    case TAG_AMBE_72:
        return name + " slot=" + (record.length() > 0 ? std::to_string(record.value()[0]) : std::string("none")) +
               " frames=" + std::to_string(voiceFrames(record)) + " len=" + std::to_string(record.length());
    case TAG_IMBE:
    case TAG_AMBE_DSTAR:
        return name + " frames=" + std::to_string(voiceFrames(record)) + " len=" + std::to_string(record.length());
    case TAG_TG_TUNE:
    case TAG_REMOTE_CMD:
    case TAG_EVENT:
        return name + " " + quotedText(valueText(record));
    case TAG_FILE_XFER:
        return name + " " + describeFileTransfer(record);
    case TAG_WAKEUP:
        return name;
    default:
        return name + " len=" + std::to_string(record.length()) + ": " +
               hexText(std::span<const std::uint8_t>(record.value(), record.length()));
    }
}

std::string describeTlvMessage(const TlvMessage& message)
{
    switch (message.kind) {
    case TlvMessage::Kind::Record:
        return describeTlvRecord(*message.record);
    case TlvMessage::Kind::UsrpPacket: {
        CUsrpPacket packet;
        const std::size_t n = std::min(message.datagram.size(), packet.capacity());
        std::memcpy(packet.data(), message.datagram.data(), n);
        packet.setReceived(message.datagram.size());
        return "USRP packet type=" + std::to_string(packet.type()) + " seq=" + std::to_string(packet.seq()) +
               (packet.keyed() ? " keyed" : "") + " (" + std::to_string(message.datagram.size()) + " bytes)";
    }
    case TlvMessage::Kind::Malformed:
        break;
    }
    const int claimed = message.datagram.size() > TLV_OFFSET_LENGTH ? message.datagram[TLV_OFFSET_LENGTH] : -1;
    return "malformed datagram of " + std::to_string(message.datagram.size()) + " bytes (length byte " +
           std::to_string(claimed) + ")";
}

} // namespace halvane
