// Constants of the DV3000 (AMBE-3000R) packet protocol, spoken with the chip
// over a serial line or through a UDP "AMBE server". Every byte Halvane sends
// to the chip or expects from it is defined here and nowhere else; the wire
// format is written up in docs/dv3000-protocol.md.
//
// Packet: start byte 0x61, 16-bit big-endian payload length (bytes after the
// type byte), type byte, payload of fields each led by a field identifier.
#pragma once

#include <cstddef>
#include <cstdint>

namespace halvane {

namespace dv3000 {

constexpr std::uint8_t START_BYTE = 0x61;
constexpr std::size_t HEADER_SIZE = 4;
constexpr std::size_t OFFSET_LENGTH = 1;
constexpr std::size_t OFFSET_TYPE = 3;
// First field identifier of the payload.
constexpr std::size_t OFFSET_FIELD = 4;

constexpr std::uint8_t TYPE_CONTROL = 0x00;
constexpr std::uint8_t TYPE_CHANNEL = 0x01;
constexpr std::uint8_t TYPE_SPEECH = 0x02;

// Control fields.
constexpr std::uint8_t FIELD_RATEP = 0x0A;
constexpr std::uint8_t FIELD_PRODID = 0x30;
constexpr std::uint8_t FIELD_RESETSOFTCFG = 0x34;
constexpr std::uint8_t FIELD_READY = 0x39;
// Data fields.
constexpr std::uint8_t FIELD_SPEECHD = 0x00;
constexpr std::uint8_t FIELD_CHAND = 0x01;

// The chip never sends a payload this long; a header that announces more is
// taken for line noise when looking for the start of a packet.
constexpr std::size_t MAX_PLAUSIBLE_PAYLOAD = 1024;

// One 20 ms block: 160 samples of 16 bits, big-endian on this wire.
constexpr std::size_t SAMPLES_PER_BLOCK = 160;
constexpr std::size_t BLOCK_BYTES = SAMPLES_PER_BLOCK * 2;
// One channel frame: 72 bits in 9 bytes.
constexpr std::size_t FRAME_BITS = 72;
constexpr std::size_t FRAME_BYTES = FRAME_BITS / 8;

// Data packets: header, field identifier, count (samples or bits).
constexpr std::size_t DATA_HEADER_SIZE = 6;
constexpr std::size_t SPEECH_PACKET_SIZE = DATA_HEADER_SIZE + BLOCK_BYTES;  // 326
constexpr std::size_t CHANNEL_PACKET_SIZE = DATA_HEADER_SIZE + FRAME_BYTES; // 15

// Every reply is read into a buffer of this size.
constexpr std::size_t REPLY_BUFFER_SIZE = 400;

// Sent 35 times before the reset: zero bytes the chip skips while it looks
// for a start byte, so a half-received packet from before is completed and
// thrown away.
constexpr std::size_t FLUSH_BLOCK_SIZE = 10;
constexpr int FLUSH_BLOCK_COUNT = 35;

// Soft reset, with the configuration bytes the chip starts up with.
inline constexpr std::uint8_t SOFT_RESET[11] = {0x61, 0x00, 0x07, 0x00, 0x34, 0x05,
                                                0x00, 0x00, 0x0F, 0x00, 0x00};
// What the chip sends once it has started, also after a reset of its own.
inline constexpr std::uint8_t READY[5] = {0x61, 0x00, 0x01, 0x00, 0x39};
inline constexpr std::uint8_t REQ_PRODID[5] = {0x61, 0x00, 0x01, 0x00, 0x30};
// The product id reply: header, field, "AMBE3000R" and its terminating zero.
constexpr std::size_t PRODID_REPLY_SIZE = 15;
inline constexpr char PRODID_TEXT[10] = "AMBE3000R";
constexpr std::size_t PRODID_TEXT_SIZE = sizeof(PRODID_TEXT); // with the zero

// Rate parameters: DMR (and every other AMBE+2 size), and D-STAR.
constexpr std::size_t RATE_COMMAND_SIZE = 17;
inline constexpr std::uint8_t RATE_DMR[RATE_COMMAND_SIZE] = {0x61, 0x00, 0x0D, 0x00, 0x0A, 0x04,
                                                             0x31, 0x07, 0x54, 0x24, 0x00, 0x00,
                                                             0x00, 0x00, 0x00, 0x6F, 0x48};
inline constexpr std::uint8_t RATE_DSTAR[RATE_COMMAND_SIZE] = {0x61, 0x00, 0x0D, 0x00, 0x0A, 0x01,
                                                               0x30, 0x07, 0x63, 0x40, 0x00, 0x00,
                                                               0x00, 0x00, 0x00, 0x00, 0x48};
// A rate reply carries FIELD_RATEP and a status byte; 0 is success.
constexpr std::uint8_t RATE_STATUS_OK = 0x00;

// Request headers; the length field is rewritten for the data that follows.
inline constexpr std::uint8_t AUDIO_HEADER[DATA_HEADER_SIZE] = {0x61, 0x01, 0x42, 0x02, 0x00, 0xA0};
inline constexpr std::uint8_t AMBE_HEADER[DATA_HEADER_SIZE] = {0x61, 0x00, 0x0B, 0x01, 0x01, 0x48};

// The payload length a header announces.
constexpr std::size_t payloadLength(const std::uint8_t* header)
{
    return static_cast<std::size_t>(header[OFFSET_LENGTH]) << 8 | header[OFFSET_LENGTH + 1];
}

// Writes `length` into the header's length field.
constexpr void setPayloadLength(std::uint8_t* header, std::size_t length)
{
    header[OFFSET_LENGTH] = static_cast<std::uint8_t>(length >> 8);
    header[OFFSET_LENGTH + 1] = static_cast<std::uint8_t>(length);
}

// Samples travel big-endian on this wire, whatever the host's order: the
// one place where they are turned, in both directions. `wire` holds
// 2 * `count` bytes.
constexpr void samplesToWire(const std::int16_t* pcm, std::size_t count, std::uint8_t* wire)
{
    for (std::size_t i = 0; i < count; ++i) {
        const auto sample = static_cast<std::uint16_t>(pcm[i]);
        wire[2 * i] = static_cast<std::uint8_t>(sample >> 8);
        wire[2 * i + 1] = static_cast<std::uint8_t>(sample);
    }
}

constexpr void samplesFromWire(const std::uint8_t* wire, std::size_t count, std::int16_t* pcm)
{
    for (std::size_t i = 0; i < count; ++i)
        pcm[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(wire[2 * i] << 8 | wire[2 * i + 1]));
}

// True when four bytes can be the header of a packet the chip sends: start
// byte, a known type and a payload length the chip can produce.
constexpr bool isPlausibleHeader(const std::uint8_t* header)
{
    const std::size_t length = payloadLength(header);
    return header[0] == START_BYTE && header[OFFSET_TYPE] <= TYPE_SPEECH && length >= 1 &&
           length <= MAX_PLAUSIBLE_PAYLOAD;
}

} // namespace dv3000

} // namespace halvane
