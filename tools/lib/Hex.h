// Text forms of bytes from the network: hexadecimal (TLV records on the
// tools' command lines, in saved-call files and in trace output) and quoted
// strings with control characters escaped, so one record stays one line.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace halvane {

// Upper-case pairs, one blank between bytes when `spaced`.
std::string hexText(std::span<const std::uint8_t> bytes, bool spaced = true);

// Reads pairs of hexadecimal digits (either case); blanks and tabs between
// pairs are skipped. False, leaving `bytes` untouched, on any other
// character or an odd digit count.
bool parseHexBytes(std::string_view text, std::vector<std::uint8_t>& bytes);

// `text` in double quotes; quotes and backslashes escaped with a backslash,
// control characters as \xNN.
std::string quotedText(std::string_view text);

} // namespace halvane
