// Constants of the TLV protocol spoken with the digital-voice partner, and of
// the records that travel inside the process on the TLV queue: record layout,
// tags, value lengths, the call record, and the queue's bound. The wire
// format is written up in docs/tlv-protocol.md.
#pragma once

#include <cstddef>
#include <cstdint>

namespace halvane {

// A record is a tag byte, a length byte and that many value bytes; one record
// per datagram. Multi-byte numbers inside values are big-endian.
constexpr std::size_t TLV_OFFSET_TAG = 0;
constexpr std::size_t TLV_OFFSET_LENGTH = 1;
constexpr std::size_t TLV_HEADER_SIZE = 2;
constexpr std::size_t TLV_MAX_VALUE = 255;
constexpr std::size_t TLV_MAX_RECORD = TLV_HEADER_SIZE + TLV_MAX_VALUE;

// The receive loop reads at most this much per datagram (a USRP packet that
// lands on the TLV port must still be recognisable as one).
constexpr std::size_t TLV_RECEIVE_SIZE = 352;

// Name of the partner process in log lines.
constexpr const char* TLV_PARTNER_NAME = "xx_Trellan.py";

enum TlvTag : std::uint8_t {
    TAG_BEGIN_TX = 0,    // call record: a call starts
    TAG_END_TX = 2,      // 1 byte: slot
    TAG_TG_TUNE = 3,     // text: decimal talk group, optionally "=" and more
    TAG_REMOTE_CMD = 5,  // command text
    TAG_AMBE_49 = 6,     // slot, 3 frames of 7 bytes
    TAG_AMBE_72 = 7,     // slot, 3 frames of 9 bytes
    TAG_SET_INFO = 8,    // call record: replaces the configured identity
    TAG_IMBE = 9,        // one or more 11-byte frames
    TAG_AMBE_DSTAR = 10, // one 9-byte frame
    TAG_FILE_XFER = 11,  // file transfer sub-protocol
    TAG_WAKEUP = 12,     // empty: wakes the receive loop
    TAG_EVENT = 13,      // event text
};

// Voice records.
constexpr std::size_t AMBE_49_FRAME_BYTES = 7;
constexpr std::size_t AMBE_72_FRAME_BYTES = 9;
constexpr std::size_t AMBE_DSTAR_FRAME_BYTES = 9;
constexpr std::size_t IMBE_FRAME_BYTES = 11;
constexpr std::size_t AMBE_FRAMES_PER_RECORD = 3;
constexpr std::size_t TLV_END_TX_LENGTH = 1;
constexpr std::size_t TLV_AMBE_49_LENGTH = 1 + AMBE_FRAMES_PER_RECORD * AMBE_49_FRAME_BYTES; // 22
constexpr std::size_t TLV_AMBE_72_LENGTH = 1 + AMBE_FRAMES_PER_RECORD * AMBE_72_FRAME_BYTES; // 28
constexpr std::size_t TLV_IMBE_LENGTH = IMBE_FRAME_BYTES;
constexpr std::size_t TLV_AMBE_DSTAR_LENGTH = AMBE_DSTAR_FRAME_BYTES;

// Call record (value of TAG_BEGIN_TX and TAG_SET_INFO): source 24 bits,
// repeater 32 bits, destination 24 bits, slot, colour code, then the call
// text, sent with its NUL.
constexpr std::size_t CALL_OFFSET_SOURCE = 0;
constexpr std::size_t CALL_OFFSET_REPEATER = 3;
constexpr std::size_t CALL_OFFSET_DESTINATION = 7;
constexpr std::size_t CALL_OFFSET_SLOT = 10;
constexpr std::size_t CALL_OFFSET_COLOR_CODE = 11;
constexpr std::size_t CALL_OFFSET_TEXT = 12;
constexpr std::size_t CALL_FIXED_SIZE = 12;
// Longest call text that fits: length = text + NUL + 12 must fit the length byte.
constexpr std::size_t CALL_TEXT_MAX = TLV_MAX_VALUE - CALL_FIXED_SIZE - 1; // 242
// In a JSON call text, the value of this key is the call sign.
constexpr const char* CALL_JSON_KEY = "\"call\":";

// Bound of the queue between the receivers and the decode thread. The
// busiest voice stream is one record per 20 ms (IMBE, D-STAR; AMBE sends one
// per 60 ms), so 256 records hold at least 5 s of voice, more than the decode
// thread ever lags behind a live partner: its longest pauses are the half
// second after each call record and a file download of a few seconds. Audio
// later than that is of no use to a listener, and the bound keeps a flood
// from any host to about 256 x 300 bytes instead of all memory.
constexpr std::size_t TLV_QUEUE_CAPACITY = 256;

} // namespace halvane
