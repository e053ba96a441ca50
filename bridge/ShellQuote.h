// Handing a peer's text to a shell command that the operator wrote, so that
// the shell sees the text as data and never as syntax.
//
// Macro commands come from the ini file and run through /bin/sh -c; their
// arguments (DTMF digits, command and event texts) come from peers. The
// text is never put into the command: it travels beside it, as the
// positional parameters (its blank-separated words) and as the environment
// value HVARG (the text as sent), and the place the operator marked is
// replaced by an expansion of them that suits it: "$@" outside quotes (so a
// macro receives exactly the words it was sent, and '*' is not a file
// pattern), "${HVARG}" in an assignment, '"${HVARG}"' inside single quotes
// (the quote closed and reopened), ${HVARG} inside double quotes. The shell
// expands a parameter once and never reads its value as syntax; what is
// left is the places where the value would be read again or would name
// something other than data, and those are refused: command substitutions,
// arithmetic, ${...} words, here-documents and comments (the reader does not
// follow them), the command name itself, a redirection target, the
// arguments of the declaration commands (export X=... words of the peer),
// the arguments of commands that run them (env, sudo, xargs, ...) or read
// them as a program (sed, awk, python -c, ...), and any command that runs a
// text as a shell command (eval, sh -c, su, ssh, trap, ...). What a script
// the operator wrote does with its arguments is beyond what this reader
// can see.
//
// Thread-safety: pure functions.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvane {

// The environment variable holding the peer's text while a macro runs.
inline constexpr const char* SHELL_TEXT_VARIABLE = "HVARG";

// How the shell reads text inserted at the end of a command prefix.
enum class ShellContext {
    Argument,     // an argument word outside quotes: words are split, patterns expanded
    Assignment,   // the value of NAME=, quoted or not: never split
    SingleQuoted, // inside '...'
    DoubleQuoted, // inside "..."
    Refused,      // a place where the text could be read as syntax or name a command or a file
};

// The context at the end of `command`, read from its start.
ShellContext shellContextAt(std::string_view command);

// True when `command` runs a text as a shell command anywhere (eval, a
// shell given -c or reading its standard input, su, ssh, trap, ...).
bool shellCommandRunsText(std::string_view command);

// The blank-separated words of `text` (blanks, tabs and line feeds, as the
// shell splits them).
std::vector<std::string> shellWords(std::string_view text);

// `word` as one single-quoted shell word ("it's" gives 'it'\''s'); for log
// lines.
std::string shellQuoteWord(std::string_view word);

// One macro run: the command for /bin/sh -c, its positional parameters and
// the variables ("NAME=value") added to its environment.
struct MacroCall {
    std::string command;
    std::vector<std::string> parameters;
    std::vector<std::string> environment;
};

// `command` made to receive `text` in place of the two characters at `at`
// (the operator's "%s"), or appended after a blank when `at` is npos (the
// arguments of a command text; the command alone when `text` has no word).
// Nothing when the place is Refused or the command runs texts as commands.
std::optional<MacroCall> macroCall(std::string_view command, std::size_t at, std::string_view text);

} // namespace halvane
