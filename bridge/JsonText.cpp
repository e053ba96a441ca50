#include "JsonText.h"

#include <cstdint>
#include <cstdio>

namespace halvane {

namespace {

bool isContinuation(std::uint8_t byte)
{
    return (byte & 0xC0) == 0x80;
}

// Length of the valid UTF-8 sequence that starts at `at`, or 0 when the byte
// there starts none (overlong forms, surrogates and code points beyond
// U+10FFFF are not valid).
std::size_t utf8Length(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[at + i]); };
    const std::size_t left = text.size() - at;
    const std::uint8_t lead = byte(0);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (left < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (!isContinuation(byte(i)))
            return 0;
    }
    return length;
}

} // namespace

std::string jsonEscape(std::string_view text, std::size_t limit)
{
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        const auto c = static_cast<std::uint8_t>(text[at]);
        std::size_t length = utf8Length(text, at);
        char piece[8];
        std::string_view escaped;
        if (c == '"') {
            escaped = "\\\"";
        } else if (c == '\\') {
            escaped = "\\\\";
        } else if (c == '\n') {
            escaped = "\\n";
        } else if (c == '\r') {
            escaped = "\\r";
        } else if (c == '\t') {
            escaped = "\\t";
        } else if (c == '\b') {
            escaped = "\\b";
        } else if (c == '\f') {
            escaped = "\\f";
        } else if (c < 0x20 || length == 0) {
            std::snprintf(piece, sizeof(piece), "\\u%04x", c);
            escaped = std::string_view(piece, 6);
            length = 1;
        } else {
            escaped = text.substr(at, length);
        }
        if (out.size() + escaped.size() > limit)
            break;
        out += escaped;
        at += length;
    }
    return out;
}

} // namespace halvane
