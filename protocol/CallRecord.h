// The call record: the identity of one call (source, repeater, talk group,
// slot, colour code, call sign) carried as the value of TAG_BEGIN_TX and
// TAG_SET_INFO, and as the payload of USRP metadata text packets.
//
// Thread-safety: plain values and pure functions.
#pragma once

#include "TLV_CLASS.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace halvane {

struct CallRecord {
    std::uint32_t source = 0;      // 24 bits on the wire
    std::uint32_t repeater = 0;    // 32 bits on the wire
    std::uint32_t destination = 0; // talk group, 24 bits on the wire
    std::uint8_t slot = 0;
    std::uint8_t colorCode = 0;
    std::string call; // call sign, or a JSON object with a "call" key
};

// The record of `tag` (TAG_BEGIN_TX or TAG_SET_INFO) for `call`: numbers
// big-endian (source and destination cut to 24 bits), the call text with its
// NUL, length = strlen(call text) + 13. The text ends at its first NUL, and a
// text longer than CALL_TEXT_MAX is cut there (with a level-4 line) because
// the length byte could not count it.
TLV_CLASS makeCallRecord(std::uint8_t tag, const CallRecord& call);

// Reads the call record at the start of `record`: tag, length, then the
// value. Fixed fields that the value does not reach read as zero; the call
// text is read only when length > 12, ends at a NUL, at `length` or at the
// end of `record`, whichever comes first, and goes through callFromText.
CallRecord parseCallRecord(std::span<const std::uint8_t> record);
CallRecord parseCallRecord(const TLV_CLASS& record);

// The call sign of a call text: a text that starts with '{' is JSON, and the
// call is what follows the first "call": and the one character after it (the
// value's opening quote), up to the next '"' or the end; such a text without
// the key gives "". Any other text is the call itself.
std::string callFromText(std::string_view text);

} // namespace halvane
