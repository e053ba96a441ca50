#include "CallRecord.h"

#include "Log.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace halvane {

namespace {

void putBigEndian(std::uint8_t* at, std::uint32_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i) {
        at[i] = static_cast<std::uint8_t>(value);
        value >>= 8;
    }
}

std::uint32_t getBigEndian(const std::uint8_t* at, int bytes)
{
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | at[i];
    return value;
}

} // namespace

TLV_CLASS makeCallRecord(std::uint8_t tag, const CallRecord& call)
{
    std::string_view text(call.call.c_str()); // strlen: an embedded NUL ends it
    if (text.size() > CALL_TEXT_MAX) {
        Log(4, "Call text of %zu characters cut to %zu\n", text.size(), CALL_TEXT_MAX);
        text = text.substr(0, CALL_TEXT_MAX);
    }
    std::array<std::uint8_t, TLV_MAX_VALUE> value{};
    putBigEndian(value.data() + CALL_OFFSET_SOURCE, call.source, 3);
    putBigEndian(value.data() + CALL_OFFSET_REPEATER, call.repeater, 4);
    putBigEndian(value.data() + CALL_OFFSET_DESTINATION, call.destination, 3);
    value[CALL_OFFSET_SLOT] = call.slot;
    value[CALL_OFFSET_COLOR_CODE] = call.colorCode;
    std::memcpy(value.data() + CALL_OFFSET_TEXT, text.data(), text.size());
    // The NUL after the text is already there: the value started zeroed.
    return TLV_CLASS(tag, std::span<const std::uint8_t>(value.data(), CALL_FIXED_SIZE + text.size() + 1));
}

CallRecord parseCallRecord(std::span<const std::uint8_t> record)
{
    const std::size_t length = record.size() > TLV_OFFSET_LENGTH ? record[TLV_OFFSET_LENGTH] : 0;
    const std::size_t present =
        record.size() > TLV_HEADER_SIZE ? std::min(length, record.size() - TLV_HEADER_SIZE) : 0;

    // The fixed fields are read from a zeroed copy, so a short value cannot
    // lead the reads past the record.
    std::array<std::uint8_t, CALL_FIXED_SIZE> fixed{};
    if (present > 0)
        std::memcpy(fixed.data(), record.data() + TLV_HEADER_SIZE, std::min(present, CALL_FIXED_SIZE));

    CallRecord call;
    call.source = getBigEndian(fixed.data() + CALL_OFFSET_SOURCE, 3);
    call.repeater = getBigEndian(fixed.data() + CALL_OFFSET_REPEATER, 4);
    call.destination = getBigEndian(fixed.data() + CALL_OFFSET_DESTINATION, 3);
    call.slot = fixed[CALL_OFFSET_SLOT];
    call.colorCode = fixed[CALL_OFFSET_COLOR_CODE];
    if (length > CALL_FIXED_SIZE && present > CALL_FIXED_SIZE) {
        const auto* text = reinterpret_cast<const char*>(record.data() + TLV_HEADER_SIZE + CALL_OFFSET_TEXT);
        const std::size_t room = present - CALL_FIXED_SIZE;
        const void* nul = std::memchr(text, 0, room);
        const std::size_t textLength = nul != nullptr ? static_cast<const char*>(nul) - text : room;
        call.call = callFromText(std::string_view(text, textLength));
    }
    return call;
}

CallRecord parseCallRecord(const TLV_CLASS& record)
{
    return parseCallRecord(std::span<const std::uint8_t>(record.data(), record.size()));
}

std::string callFromText(std::string_view text)
{
    if (text.empty() || text.front() != '{')
        return std::string(text);
    const std::size_t key = text.find(CALL_JSON_KEY);
    if (key == std::string_view::npos)
        return std::string();
    std::string_view rest = text.substr(key + std::strlen(CALL_JSON_KEY));
    rest.remove_prefix(std::min<std::size_t>(1, rest.size())); // the value's opening quote
    return std::string(rest.substr(0, rest.find('"')));
}

} // namespace halvane
