// One USRP datagram, built for sending or read from the wire.
//
// The buffer is zero-filled at construction and never smaller than
// USRP_RECEIVE_SIZE, so every header field and the whole 320-byte payload
// area can be read whatever arrived: a short datagram reads as zeros
// (a 4-byte "USRP" is an unkey of type 0). Text packets longer than a voice
// packet grow the buffer; nothing else allocates after construction.
//
// Sending: one of the builders (voice, text, ping) stamps the header with the
// sequence number the caller hands in; send data() for size() bytes. A voice
// packet is built linear first, so the caller can mirror the PCM, and then
// converted to the client's codec with encodeVoice().
//
// Receiving: read at most capacity() bytes into data() of a fresh packet and
// report the count with setReceived(). A reader that cuts long datagrams
// still lets an oversized one show, because capacity() exceeds the largest
// packet by one byte.
//
// Ownership and thread-safety: a plain value; one thread at a time. The
// ADPCM state handed to encodeVoice/decodeVoice belongs to the caller.
#pragma once

#include "ImaAdpcm.h"
#include "UsrpProtocol.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace halvane {

enum class UsrpRegistration {
    None,       // not a "REG:" text
    Register,   // "REG:QUILLNET": adopt the sender as the client
    Unregister, // "REG:UNREG": forget the client
    Other,      // any other "REG:" text, ignored
};

class CUsrpPacket {
public:
    // A zero-filled buffer with nothing in it (size 0), ready to receive.
    CUsrpPacket();

    // A linear voice packet: `len` bytes of little-endian PCM (at most 320
    // are used) at offset 32 with keyup 1, or with len 0 an unkey (keyup 0,
    // payload zero). size() is 352, or 32 for the unkey.
    static CUsrpPacket voice(std::uint32_t seq, const void* pcm, std::size_t len);
    // A packet of `type` carrying `len` bytes of `data`, max(352, len + 32)
    // bytes long. A packet that no UDP datagram could carry is refused with a
    // log line: size() is then 0 and there is nothing to send.
    static CUsrpPacket text(std::uint32_t seq, int type, const void* data, std::size_t len);
    // The keep-alive: type 3, "PING" and NUL, 352 bytes.
    static CUsrpPacket ping(std::uint32_t seq);

    // Converts a linear voice packet, once, to the codec `usrpCodec` and
    // returns the number of bytes to send: 352 (32 for an unkey) for slin,
    // 192 for mu-law, 112 for ADPCM (advancing `adpcmTx`, also over the
    // silence of an unkey), 0 for an unknown codec (nothing to send).
    std::size_t encodeVoice(int usrpCodec, ImaAdpcmState& adpcmTx);

    // Receiving side.
    void setReceived(std::size_t datagramSize);
    bool hasMagic() const;
    std::uint32_t seq() const;
    std::uint32_t type() const;
    bool keyed() const; // keyup is exactly big-endian 1
    // False only for a keyed linear voice packet that is not exactly 352
    // bytes long; unkeys and the coded voice types have no required size.
    bool hasValidVoiceSize() const;
    // Replaces the coded payload of a type 5 (80 ADPCM bytes, advancing
    // `adpcmRx`) or type 6 (160 mu-law bytes) packet by the 160 linear
    // samples at offset 32, header untouched. Type 0 needs nothing; returns
    // false for non-voice types.
    bool decodeVoice(ImaAdpcmState& adpcmRx);
    // The 160 linear samples at offset 32.
    void samples(std::span<std::int16_t, USRP_VOICE_SAMPLES> out) const;
    // The payload area after the header: all 320 bytes (zeros past what
    // arrived), more for a long text packet built here.
    std::span<const std::uint8_t> payloadArea() const;
    // Payload bytes that actually arrived (or were built): never negative,
    // at most the 320-byte area for a received packet.
    std::size_t payloadLength() const;
    // The payload read as a string: up to the first NUL, and never past the
    // payload area, so a payload without a NUL still ends.
    std::string_view text() const;
    UsrpRegistration registration() const;

    std::uint8_t* data() { return bytes_.data(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    std::size_t capacity() const { return bytes_.size(); }
    // Bytes to send, or bytes received (capped at capacity()).
    std::size_t size() const { return size_; }

    // True when `datagram` begins with the four magic bytes.
    static bool hasMagic(std::span<const std::uint8_t> datagram);

private:
    void writeHeader(std::uint32_t seq, int type, bool keyed);

    std::vector<std::uint8_t> bytes_;
    std::size_t size_ = 0;
    std::size_t areaEnd_ = USRP_PACKET_SIZE; // end of the payload area
};

} // namespace halvane
