#include "ToolArguments.h"

#include "Hex.h"
#include "TlvProtocol.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace halvane {

bool parseNumberArgument(std::string_view text, long long low, long long high, long long& value, std::string& error)
{
    long long parsed = 0;
    const char* end = text.data() + text.size();
    const auto [stop, status] = std::from_chars(text.data(), end, parsed);
    if (text.empty() || status != std::errc() || stop != end) {
        error = "'" + std::string(text) + "' is not a whole number";
        return false;
    }
    if (parsed < low || parsed > high) {
        error = std::string(text) + " is not in " + std::to_string(low) + ".." + std::to_string(high);
        return false;
    }
    value = parsed;
    return true;
}

bool parseEndpointArgument(std::string_view text, bool allowZero, std::string& host, int& port, std::string& error)
{
    const std::size_t colon = text.rfind(':');
    const std::string_view portText = colon == std::string_view::npos ? text : text.substr(colon + 1);
    long long number = 0;
    if (!parseNumberArgument(portText, allowZero ? 0 : 1, 65535, number, error)) {
        error = "bad port in '" + std::string(text) + "': " + error;
        return false;
    }
    if (colon != std::string_view::npos) {
        if (colon == 0) {
            error = "no host before the ':' in '" + std::string(text) + "'";
            return false;
        }
        host = std::string(text.substr(0, colon));
    }
    port = static_cast<int>(number);
    return true;
}

bool parseSecondsArgument(std::string_view text, std::chrono::milliseconds& duration, std::string& error)
{
    const std::string copy(text);
    char* end = nullptr;
    const double seconds = std::strtod(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size() || !std::isfinite(seconds) || seconds < 0 ||
        seconds > 86400) {
        error = "'" + copy + "' is not a number of seconds (0 to 86400)";
        return false;
    }
    duration = std::chrono::milliseconds(std::llround(seconds * 1000));
    return true;
}

bool parseCallArgument(std::string_view text, CallRecord& call, std::string& error)
{
    struct Field {
        const char* name;
        long long high;
    };
    static constexpr Field FIELDS[] = {{"source", 0xFFFFFF},
                                       {"repeater", 0xFFFFFFFFLL},
                                       {"talk group", 0xFFFFFF},
                                       {"slot", 255},
                                       {"colour code", 255}};
    long long numbers[5] = {};
    std::string_view rest = text;
    for (std::size_t i = 0; i < 5; ++i) {
        const std::size_t comma = rest.find(',');
        if (comma == std::string_view::npos && i < 4) {
            error = "'" + std::string(text) + "' needs SRC,RPT,TG,SLOT,CC[,CALL]";
            return false;
        }
        const std::string_view field = rest.substr(0, comma);
        std::string why;
        if (!parseNumberArgument(field, 0, FIELDS[i].high, numbers[i], why)) {
            error = std::string("bad ") + FIELDS[i].name + " in '" + std::string(text) + "': " + why;
            return false;
        }
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    if (rest.size() > CALL_TEXT_MAX) {
        error = "the call text has " + std::to_string(rest.size()) + " characters, at most " +
                std::to_string(CALL_TEXT_MAX) + " fit in a record";
        return false;
    }
    call.source = static_cast<std::uint32_t>(numbers[0]);
    call.repeater = static_cast<std::uint32_t>(numbers[1]);
    call.destination = static_cast<std::uint32_t>(numbers[2]);
    call.slot = static_cast<std::uint8_t>(numbers[3]);
    call.colorCode = static_cast<std::uint8_t>(numbers[4]);
    call.call = std::string(rest);
    return true;
}

bool parseRecordArgument(std::string_view text, std::vector<std::uint8_t>& record, std::string& error)
{
    std::vector<std::uint8_t> bytes;
    if (!parseHexBytes(text, bytes)) {
        error = "'" + std::string(text) + "' is not hexadecimal bytes";
        return false;
    }
    if (bytes.size() < TLV_HEADER_SIZE || bytes[TLV_OFFSET_LENGTH] != bytes.size() - TLV_HEADER_SIZE) {
        error = "'" + std::string(text) + "' is not one TLV record (tag, length, then length value bytes)";
        return false;
    }
    record = std::move(bytes);
    return true;
}

} // namespace halvane
