// Putting text from the network into a shell command that the operator wrote,
// so that the shell sees the text as data and never as syntax.
//
// Macro commands come from the ini file and run through /bin/sh -c; their
// arguments (DTMF digits, command and event texts) come from peers. Passed
// on as they are, a text such as "1;rm -rf ~" would run a second command.
// These functions quote an argument for the place where it is inserted in
// the operator's command: outside quotes each word is single-quoted (so a
// macro receives exactly the words it was sent, and '*' is not a file
// pattern), inside single quotes a quote is closed and reopened around an
// escaped one, inside double quotes the four characters that keep a meaning
// there are escaped. Where the operator's command is too intricate to tell
// (command substitution, a comment, a trailing backslash, ...) only texts
// made of characters that mean nothing to the shell are let through.
//
// Thread-safety: pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace halvane {

// What the shell makes of text inserted at the end of a command prefix.
enum class ShellContext {
    Plain,        // outside quotes: words are split, patterns expanded
    SingleQuoted, // inside '...'
    DoubleQuoted, // inside "..."
    Unknown,      // something this reader does not follow
};

// The context at the end of `command`, read from its start.
ShellContext shellContextAt(std::string_view command);

// `word` as one single-quoted shell word ("it's" gives 'it'\''s').
std::string shellQuoteWord(std::string_view word);

// The blank-separated words of `text` (blanks, tabs and line feeds, as the
// shell splits them), each single-quoted, joined by one blank; "" when
// `text` has no word.
std::string shellQuoteWords(std::string_view text);

// What to insert after `commandBefore` so that the shell receives `text`:
// word by word outside quotes, as one piece inside quotes. Nothing when the
// context is Unknown and `text` holds a character with a meaning to the
// shell.
std::optional<std::string> shellArgument(std::string_view commandBefore, std::string_view text);

} // namespace halvane
