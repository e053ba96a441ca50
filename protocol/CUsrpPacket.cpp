#include "CUsrpPacket.h"

#include "G711.h"
#include "Log.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace halvane {

// Linear payloads are copied to and from the callers' int16_t blocks as they
// lie in memory, which is the little-endian wire order only on such hosts.
static_assert(std::endian::native == std::endian::little, "USRP PCM is copied as host-order samples");

namespace {

void putBigEndian(std::uint8_t* at, std::uint32_t value)
{
    at[0] = static_cast<std::uint8_t>(value >> 24);
    at[1] = static_cast<std::uint8_t>(value >> 16);
    at[2] = static_cast<std::uint8_t>(value >> 8);
    at[3] = static_cast<std::uint8_t>(value);
}

void putLittleEndian(std::uint8_t* at, std::uint32_t value)
{
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
    at[2] = static_cast<std::uint8_t>(value >> 16);
    at[3] = static_cast<std::uint8_t>(value >> 24);
}

std::uint32_t getBigEndian(const std::uint8_t* at)
{
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) | (std::uint32_t{at[2]} << 8) | at[3];
}

std::uint32_t getLittleEndian(const std::uint8_t* at)
{
    return (std::uint32_t{at[3]} << 24) | (std::uint32_t{at[2]} << 16) | (std::uint32_t{at[1]} << 8) | at[0];
}

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

} // namespace

CUsrpPacket::CUsrpPacket() : bytes_(USRP_RECEIVE_SIZE, 0) {}

void CUsrpPacket::writeHeader(std::uint32_t seq, int type, bool keyed)
{
    std::memcpy(bytes_.data() + USRP_OFFSET_MAGIC, USRP_MAGIC, sizeof(USRP_MAGIC));
    putBigEndian(bytes_.data() + USRP_OFFSET_SEQ, seq);
    putBigEndian(bytes_.data() + USRP_OFFSET_KEYUP, keyed ? 1 : 0);
    putLittleEndian(bytes_.data() + USRP_OFFSET_TYPE, static_cast<std::uint32_t>(type));
}

CUsrpPacket CUsrpPacket::voice(std::uint32_t seq, const void* pcm, std::size_t len)
{
    CUsrpPacket packet;
    if (pcm == nullptr)
        len = 0;
    len = std::min(len, USRP_VOICE_BYTES);
    packet.writeHeader(seq, USRP_TYPE_VOICE, len > 0);
    if (len > 0)
        std::memcpy(packet.bytes_.data() + USRP_HEADER_SIZE, pcm, len);
    packet.size_ = len > 0 ? USRP_PACKET_SIZE : USRP_UNKEY_SIZE;
    return packet;
}

CUsrpPacket CUsrpPacket::text(std::uint32_t seq, int type, const void* data, std::size_t len)
{
    CUsrpPacket packet;
    if (data == nullptr)
        len = 0;
    if (len > USRP_MAX_DATAGRAM - USRP_HEADER_SIZE) {
        Log(5, "USRP packet of %zu payload bytes is too long for a datagram, not sent\n", len);
        return packet;
    }
    const std::size_t total = std::max(USRP_PACKET_SIZE, len + USRP_HEADER_SIZE);
    if (total > packet.bytes_.size())
        packet.bytes_.resize(total, 0);
    packet.writeHeader(seq, type, false);
    if (len > 0)
        std::memcpy(packet.bytes_.data() + USRP_HEADER_SIZE, data, len);
    packet.size_ = total;
    packet.areaEnd_ = total;
    return packet;
}

CUsrpPacket CUsrpPacket::ping(std::uint32_t seq)
{
    // The terminating NUL is part of the payload.
    return text(seq, USRP_TYPE_PING, USRP_PING_TEXT, std::strlen(USRP_PING_TEXT) + 1);
}

std::size_t CUsrpPacket::encodeVoice(int usrpCodec, ImaAdpcmState& adpcmTx)
{
    std::uint8_t* payload = bytes_.data() + USRP_HEADER_SIZE;
    std::array<std::int16_t, USRP_VOICE_SAMPLES> pcm{};
    switch (usrpCodec) {
    case USRP_CODEC_SLIN:
        size_ = keyed() ? USRP_PACKET_SIZE : USRP_UNKEY_SIZE;
        return size_;
    case USRP_CODEC_ULAW:
        samples(pcm);
        std::memset(payload, 0, USRP_PAYLOAD_SIZE);
        ulawEncode(pcm, std::span<std::uint8_t>(payload, USRP_ULAW_BYTES));
        putLittleEndian(bytes_.data() + USRP_OFFSET_TYPE, USRP_TYPE_VOICE_ULAW);
        size_ = USRP_ULAW_SIZE;
        return size_;
    case USRP_CODEC_ADPCM:
        samples(pcm);
        std::memset(payload, 0, USRP_PAYLOAD_SIZE);
        imaEncode(pcm, std::span<std::uint8_t>(payload, USRP_ADPCM_BYTES), adpcmTx);
        putLittleEndian(bytes_.data() + USRP_OFFSET_TYPE, USRP_TYPE_VOICE_ADPCM);
        size_ = USRP_ADPCM_SIZE;
        return size_;
    default:
        return 0;
    }
}

void CUsrpPacket::setReceived(std::size_t datagramSize)
{
    size_ = std::min(datagramSize, bytes_.size());
}

bool CUsrpPacket::hasMagic() const
{
    return hasMagic(std::span<const std::uint8_t>(bytes_.data(), size_));
}

bool CUsrpPacket::hasMagic(std::span<const std::uint8_t> datagram)
{
    return datagram.size() >= sizeof(USRP_MAGIC) && std::memcmp(datagram.data(), USRP_MAGIC, sizeof(USRP_MAGIC)) == 0;
}

std::uint32_t CUsrpPacket::seq() const
{
    return getBigEndian(bytes_.data() + USRP_OFFSET_SEQ);
}

std::uint32_t CUsrpPacket::type() const
{
    return getLittleEndian(bytes_.data() + USRP_OFFSET_TYPE);
}

bool CUsrpPacket::keyed() const
{
    return getBigEndian(bytes_.data() + USRP_OFFSET_KEYUP) == 1;
}

bool CUsrpPacket::hasValidVoiceSize() const
{
    return type() != USRP_TYPE_VOICE || !keyed() || size_ == USRP_PACKET_SIZE;
}

bool CUsrpPacket::decodeVoice(ImaAdpcmState& adpcmRx)
{
    std::uint8_t* payload = bytes_.data() + USRP_HEADER_SIZE;
    std::array<std::int16_t, USRP_VOICE_SAMPLES> pcm{};
    switch (type()) {
    case USRP_TYPE_VOICE:
        return true;
    case USRP_TYPE_VOICE_ULAW:
        ulawDecode(std::span<const std::uint8_t>(payload, USRP_ULAW_BYTES), pcm);
        break;
    case USRP_TYPE_VOICE_ADPCM:
        imaDecode(std::span<const std::uint8_t>(payload, USRP_ADPCM_BYTES), pcm, adpcmRx);
        break;
    default:
        return false;
    }
    std::memcpy(payload, pcm.data(), USRP_VOICE_BYTES);
    return true;
}

void CUsrpPacket::samples(std::span<std::int16_t, USRP_VOICE_SAMPLES> out) const
{
    std::memcpy(out.data(), bytes_.data() + USRP_HEADER_SIZE, USRP_VOICE_BYTES);
}

std::span<const std::uint8_t> CUsrpPacket::payloadArea() const
{
    return std::span<const std::uint8_t>(bytes_.data() + USRP_HEADER_SIZE, areaEnd_ - USRP_HEADER_SIZE);
}

std::size_t CUsrpPacket::payloadLength() const
{
    const std::size_t end = std::min(size_, areaEnd_);
    return end > USRP_HEADER_SIZE ? end - USRP_HEADER_SIZE : 0;
}

std::string_view CUsrpPacket::text() const
{
    const std::span<const std::uint8_t> area = payloadArea();
    const auto* chars = reinterpret_cast<const char*>(area.data());
    const void* nul = std::memchr(chars, 0, area.size());
    const std::size_t length = nul != nullptr ? static_cast<const char*>(nul) - chars : area.size();
    return std::string_view(chars, length);
}

UsrpRegistration CUsrpPacket::registration() const
{
    std::string_view rest = text();
    if (!startsWith(rest, USRP_REG_PREFIX))
        return UsrpRegistration::None;
    rest.remove_prefix(std::strlen(USRP_REG_PREFIX));
    if (startsWith(rest, USRP_REG_CLIENT))
        return UsrpRegistration::Register;
    if (startsWith(rest, USRP_REG_UNREG))
        return UsrpRegistration::Unregister;
    return UsrpRegistration::Other;
}

} // namespace halvane
