// Texts inside JSON strings: the info record carries call signs, addresses
// and tune texts that peers and subscriber files supply, and its readers
// parse it with real JSON parsers.
//
// Thread-safety: pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace halvane {

// `text` escaped for the inside of a JSON string (without the quotes):
// '"' and '\\' escaped, control characters as \n, \t, ... or \u00XX, valid
// UTF-8 kept as it is, and every byte that is not part of valid UTF-8 read
// as Latin-1 (\u00XX), so the result is always valid JSON. The result is cut
// at a character boundary (never inside an escape or a UTF-8 sequence) so
// that it is at most `limit` bytes long.
std::string jsonEscape(std::string_view text, std::size_t limit = std::string::npos);

} // namespace halvane
