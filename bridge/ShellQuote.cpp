#include "ShellQuote.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <array>

namespace halvane {

namespace {

bool isShellBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

template <std::size_t N>
bool isOneOf(std::string_view word, const std::array<std::string_view, N>& names)
{
    return std::find(names.begin(), names.end(), word) != names.end();
}

std::string_view baseName(std::string_view word)
{
    const std::size_t slash = word.rfind('/');
    return slash == std::string_view::npos ? word : word.substr(slash + 1);
}

// The word starts with NAME=, so the shell takes what follows as one value.
bool isAssignmentPrefix(std::string_view word)
{
    if (word.empty() || !(std::isalpha(static_cast<unsigned char>(word[0])) != 0 || word[0] == '_'))
        return false;
    std::size_t i = 1;
    while (i < word.size() && (std::isalnum(static_cast<unsigned char>(word[i])) != 0 || word[i] == '_'))
        ++i;
    return i < word.size() && word[i] == '=';
}

// Reserved words after which the next word names a command again.
constexpr auto RESERVED = std::to_array<std::string_view>({"if", "then", "else", "elif", "do",
                                                              "while", "until", "!", "{"});

// Commands that run their arguments, or a file they name, as a command: what
// follows them could name one.
constexpr auto WRAPPERS = std::to_array<std::string_view>({
    "command", "builtin", "exec",  "env",    "nohup",   "nice",  "timeout", "time",   "setsid",
    "stdbuf",  "sudo",    "doas",  "chroot", "runuser", "xargs", "ionice",  "taskset", "chrt",
    "flock",   "watch",   "script", ".",     "source",  "unbuffer"});

// Commands whose arguments are a program of their own language, some of
// which can run commands (sed's e, awk's system(), dc's !).
constexpr auto SCRIPTED = std::to_array<std::string_view>(
    {"sed", "awk", "gawk", "mawk", "nawk", "dc", "m4", "ed", "ex", "vi", "vim", "expect", "tclsh"});

// Interpreters that take a program text with an option (-c, -e, ...); a
// script file and its arguments are fine.
constexpr auto INTERPRETERS = std::to_array<std::string_view>(
    {"python", "python2", "python3", "perl", "ruby", "node", "nodejs", "php", "lua"});

// Commands whose arguments set or unset variables: a peer's word there could
// name PATH or IFS.
constexpr auto DECLARATIONS = std::to_array<std::string_view>({"export", "readonly", "local", "declare",
                                                                  "typeset", "unset", "set", "read", "getopts"});

// Commands that run a text as a shell command whatever their options.
constexpr auto EVALUATORS = std::to_array<std::string_view>({"eval", "su", "ssh", "trap", "alias"});

// Shells: safe only when they run a script file named by their first word.
constexpr auto SHELLS = std::to_array<std::string_view>({"sh",  "bash", "dash", "ash",  "ksh",  "mksh",
                                                           "zsh", "rbash", "busybox", "csh", "tcsh", "fish"});

enum class Role { Command, Argument, Redirection };

} // namespace

ShellContext shellContextAt(std::string_view command)
{
    enum class Quote { None, Single, Double } quote = Quote::None;
    bool commandPosition = true; // the next word names a command
    bool redirectNext = false;   // the next word is a redirection target
    bool wrapped = false;        // this simple command may run its arguments as a command
    bool interpreter = false;    // this simple command is an interpreter: options may carry a program
    bool declaration = false;    // this simple command sets variables
    bool inWord = false;
    std::string word; // the current word as written
    Role role = Role::Argument;

    const auto startWord = [&] {
        if (inWord)
            return;
        inWord = true;
        role = redirectNext ? Role::Redirection : commandPosition ? Role::Command : Role::Argument;
    };
    const auto endWord = [&] {
        if (!inWord)
            return;
        inWord = false;
        const std::string_view name = baseName(word);
        if (role == Role::Redirection) {
            redirectNext = false;
        } else if (role == Role::Command && !isAssignmentPrefix(word) && !isOneOf(word, RESERVED)) {
            commandPosition = false;
            wrapped = isOneOf(name, WRAPPERS) || isOneOf(name, SCRIPTED);
            interpreter = isOneOf(name, INTERPRETERS);
            declaration = isOneOf(name, DECLARATIONS);
        } else if (role == Role::Argument && interpreter && word.starts_with('-')) {
            wrapped = true;
        }
        word.clear();
    };
    const auto endCommand = [&] {
        endWord();
        commandPosition = true;
        redirectNext = false;
        wrapped = false;
        interpreter = false;
        declaration = false;
    };

    for (std::size_t i = 0; i < command.size(); ++i) {
        const char c = command[i];
        const char next = i + 1 < command.size() ? command[i + 1] : '\0';
        switch (quote) {
        case Quote::None:
            if (c == '\\') {
                // A backslash at the very end would escape what is inserted.
                if (next == '\0')
                    return ShellContext::Refused;
                startWord();
                word += command.substr(i, 2);
                ++i;
            } else if (c == '\'' || c == '"') {
                startWord();
                word += c;
                quote = c == '\'' ? Quote::Single : Quote::Double;
            } else if (c == '`' || (c == '$' && next != '\0' && std::strchr("({['\"", next) != nullptr)) {
                // Substitutions and arithmetic nest a reading of their own.
                return ShellContext::Refused;
            } else if (c == '#' && !inWord) {
                return ShellContext::Refused;
            } else if (c == ' ' || c == '\t') {
                endWord();
            } else if (std::strchr(";&|()\n", c) != nullptr) {
                endCommand();
            } else if (c == '<' || c == '>') {
                if (c == '<' && next == '<')
                    return ShellContext::Refused; // a here-document
                // "2>file": the digits name a descriptor, not a word.
                const auto isDigit = [](char d) { return std::isdigit(static_cast<unsigned char>(d)) != 0; };
                if (inWord && std::all_of(word.begin(), word.end(), isDigit)) {
                    inWord = false;
                    word.clear();
                }
                endWord();
                while (i + 1 < command.size() && std::strchr("<>&|", command[i + 1]) != nullptr)
                    ++i;
                redirectNext = true;
            } else {
                startWord();
                word += c;
            }
            break;
        case Quote::Single:
            word += c;
            if (c == '\'')
                quote = Quote::None;
            break;
        case Quote::Double:
            if (c == '\\') {
                if (next == '\0')
                    return ShellContext::Refused;
                word += command.substr(i, 2);
                ++i;
                break;
            }
            if (c == '`' || (c == '$' && (next == '(' || next == '{' || next == '[')))
                return ShellContext::Refused;
            word += c;
            if (c == '"')
                quote = Quote::None;
            break;
        }
    }

    if (!inWord)
        role = redirectNext ? Role::Redirection : commandPosition ? Role::Command : Role::Argument;
    const bool assignment = isAssignmentPrefix(word);
    if (wrapped || role == Role::Redirection || (role == Role::Command && !assignment) ||
        (declaration && !assignment))
        return ShellContext::Refused;
    switch (quote) {
    case Quote::Single:
        return ShellContext::SingleQuoted;
    case Quote::Double:
        return ShellContext::DoubleQuoted;
    case Quote::None:
        break;
    }
    return assignment ? ShellContext::Assignment : ShellContext::Argument;
}

bool shellCommandRunsText(std::string_view command)
{
    // The command's words and operators, quotes and expansions taken as
    // separators: "sh -c 'eval x'" still shows sh, -c and eval.
    std::vector<std::string_view> tokens;
    for (std::size_t i = 0; i < command.size();) {
        const char c = command[i];
        if (std::strchr(";&|()<>\n", c) != nullptr) {
            tokens.push_back(command.substr(i, 1));
            ++i;
        } else if (isShellBlank(c) || std::strchr("'\"`${}\\", c) != nullptr) {
            ++i;
        } else {
            std::size_t end = i;
            while (end < command.size() && !isShellBlank(command[end]) &&
                   std::strchr(";&|()<>\n'\"`${}\\", command[end]) == nullptr)
                ++end;
            tokens.push_back(command.substr(i, end - i));
            i = end;
        }
    }
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const std::string_view name = baseName(tokens[i]);
        if (isOneOf(name, EVALUATORS))
            return true;
        if (isOneOf(name, SHELLS)) {
            // Options (-c, -s, ...), an operator or nothing after the shell:
            // it may read a command from a text or from a pipe.
            if (i + 1 == tokens.size())
                return true;
            const std::string_view after = tokens[i + 1];
            if (after[0] == '-' || std::strchr(";&|()<>\n", after[0]) != nullptr)
                return true;
        }
    }
    return false;
}

std::vector<std::string> shellWords(std::string_view text)
{
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && isShellBlank(text[at]))
            ++at;
        std::size_t end = at;
        while (end < text.size() && !isShellBlank(text[end]))
            ++end;
        if (end > at)
            words.emplace_back(text.substr(at, end - at));
        at = end;
    }
    return words;
}

std::string shellQuoteWord(std::string_view word)
{
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

std::optional<MacroCall> macroCall(std::string_view command, std::size_t at, std::string_view text)
{
    std::string written(command);
    if (at == std::string_view::npos) {
        if (shellWords(text).empty())
            return MacroCall{written, {}, {}};
        at = written.size() + 1;
        written += " %s";
    }
    if (at + 2 > written.size() || shellCommandRunsText(written))
        return std::nullopt;
    const std::string_view before = std::string_view(written).substr(0, at);
    std::string_view reference;
    switch (shellContextAt(before)) {
    case ShellContext::Argument:
        reference = "\"$@\"";
        break;
    case ShellContext::Assignment:
        reference = "\"${HVARG}\"";
        break;
    case ShellContext::SingleQuoted:
        reference = "'\"${HVARG}\"'";
        break;
    case ShellContext::DoubleQuoted:
        reference = "${HVARG}";
        break;
    case ShellContext::Refused:
        return std::nullopt;
    }
    MacroCall call;
    call.command = std::string(before) + std::string(reference) + written.substr(at + 2);
    call.parameters = shellWords(text);
    call.environment = {std::string(SHELL_TEXT_VARIABLE) + "=" + std::string(text)};
    return call;
}

} // namespace halvane
