#include "Hex.h"

#include <cstdio>
#include <utility>

namespace halvane {

namespace {

int digitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::string hexText(std::span<const std::uint8_t> bytes, bool spaced)
{
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (spaced && i > 0)
            text += ' ';
        text += DIGITS[bytes[i] >> 4];
        text += DIGITS[bytes[i] & 0x0F];
    }
    return text;
}

bool parseHexBytes(std::string_view text, std::vector<std::uint8_t>& bytes)
{
    std::vector<std::uint8_t> parsed;
    int high = -1;
    for (const char c : text) {
        if (c == ' ' || c == '\t') {
            if (high >= 0)
                return false; // a blank inside a pair
            continue;
        }
        const int value = digitValue(c);
        if (value < 0)
            return false;
        if (high < 0) {
            high = value;
        } else {
            parsed.push_back(static_cast<std::uint8_t>(high << 4 | value));
            high = -1;
        }
    }
    if (high >= 0)
        return false;
    bytes = std::move(parsed);
    return true;
}

std::string quotedText(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\x%02X", u);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

} // namespace halvane
