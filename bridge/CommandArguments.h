// Reading the arguments of text commands ("txTg=", "exit=", "macro=", ...):
// numbers as base-10 conversion reads them, and the lists that "macro=" and
// "menu=" send to the USRP client.
//
// Thread-safety: pure functions, except that buildMacroList reads a file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace halvane {

// The number at the start of `text` as strtol reads it in base 10 (leading
// blanks and a sign allowed, the rest ignored), clamped to int; 0 when
// there are no digits.
int decimalValue(const char* text);

// True when `text` is a plain decimal number: an optional '-' and at least
// one digit, nothing else.
bool isDecimalText(const std::string& text);

// The talk group of a "txTg=" argument: the number after the first '!' if
// there is one ("9!3100" gives 3100), else the number the text starts with.
int talkGroupOf(const char* text);

// The two numbers of an "exit=" argument, separated by blanks; a missing
// second number is 0. False, leaving both alone, when the text does not
// start with a number (empty, or no digits).
bool parseExitArguments(const char* text, int& status, int& code);

// Longest list text, prefix included: the list is built in 1024 bytes.
constexpr std::size_t MACRO_LIST_MAX = 1023;

// The reply of "macro=" and "menu=": `prefix` followed by `argument` when it
// holds a comma, otherwise by the lines of the file `argument` names, each
// line end turned into '|' and a final '|' removed. Whatever does not fit
// MACRO_LIST_MAX is cut, and the file's text ends at a NUL byte. The file is
// confined to `directory` as the file transfer confines its names (only the
// last component counts, ".." is refused, "unlimited" confines nothing;
// FileTransfer::tlvFileNameTranslate) and is not a symbolic link there. Only
// a regular file that every user may read is read, so a device or a pipe
// can neither stall the caller nor fill memory; anything else, or a file
// that cannot be opened, gives nothing.
std::optional<std::string> buildMacroList(const char* prefix, const char* argument, std::string_view directory);

} // namespace halvane
