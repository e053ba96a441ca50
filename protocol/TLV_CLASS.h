// One TLV record, as it travels on the TLV queue and as the bridge sends it:
// the tag byte, the length byte, the value bytes and one NUL after them, so
// that every text value reads as a string of at most `length` characters
// whether or not the sender terminated it.
//
// Ownership: the record owns its bytes (released with it). Queued records are
// held by std::unique_ptr: the producer makes one, the queue owns it, the
// consumer receives it and it is freed when the consumer lets go.
// Thread-safety: a plain value; one thread at a time.
#pragma once

#include "Queue.h"
#include "TlvProtocol.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace halvane {

class TLV_CLASS {
public:
    // A record of `tag` with `value` as its value; a value longer than the
    // length byte can count is cut to 255 bytes.
    TLV_CLASS(std::uint8_t tag, std::span<const std::uint8_t> value);
    // The same with the characters of `text` (no NUL on the wire: length is
    // the text length).
    TLV_CLASS(std::uint8_t tag, std::string_view text);

    // The record a datagram of the partner carries, or null when the
    // datagram is not exactly one record (its length byte must equal its
    // size - 2; shorter than 2 bytes has none).
    static std::unique_ptr<TLV_CLASS> fromDatagram(std::span<const std::uint8_t> datagram);
    // The record at the start of `area` (the payload area of a USRP packet of
    // type 4): tag, length and that many value bytes, where bytes past the
    // end of `area` read as zero, as in a zero-filled receive buffer.
    static std::unique_ptr<TLV_CLASS> fromRecord(std::span<const std::uint8_t> area);

    std::uint8_t tag() const { return bytes_[TLV_OFFSET_TAG]; }
    std::uint8_t length() const { return bytes_[TLV_OFFSET_LENGTH]; }
    const std::uint8_t* value() const { return bytes_.data() + TLV_HEADER_SIZE; }
    std::uint8_t* value() { return bytes_.data() + TLV_HEADER_SIZE; }
    // The value as a NUL-terminated string.
    const char* text() const { return reinterpret_cast<const char*>(value()); }

    // The record as sent: tag, length and value (length + 2 bytes).
    const std::uint8_t* data() const { return bytes_.data(); }
    std::size_t size() const { return TLV_HEADER_SIZE + length(); }

private:
    TLV_CLASS(std::uint8_t tag, std::uint8_t length);

    std::vector<std::uint8_t> bytes_; // tag, length, value, NUL
};

// The queue between the TLV and USRP receivers and the decode thread. The
// process has one, `q`, made as TlvQueue q(TLV_QUEUE_CAPACITY, "TLV queue").
using TlvQueue = Queue<std::unique_ptr<TLV_CLASS>>;

} // namespace halvane
