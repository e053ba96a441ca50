#include "ShellQuote.h"

#include <cctype>
#include <cstring>

namespace halvane {

namespace {

bool isShellBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

// Characters after which a '#' starts a comment.
bool endsWord(char c)
{
    return isShellBlank(c) || std::strchr(";&|()<>", c) != nullptr;
}

// Characters that are literal in every context and start no expansion, so
// a text made of them reads the same wherever it lands.
bool isInert(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || (c != '\0' && std::strchr(" _.,:/+=@%-", c) != nullptr);
}

} // namespace

ShellContext shellContextAt(std::string_view command)
{
    ShellContext context = ShellContext::Plain;
    for (std::size_t i = 0; i < command.size(); ++i) {
        const char c = command[i];
        const char next = i + 1 < command.size() ? command[i + 1] : '\0';
        switch (context) {
        case ShellContext::Plain:
            if (c == '\\') {
                // A backslash at the very end would escape the first
                // character of the inserted text.
                if (next == '\0')
                    return ShellContext::Unknown;
                ++i;
            } else if (c == '\'') {
                context = ShellContext::SingleQuoted;
            } else if (c == '"') {
                context = ShellContext::DoubleQuoted;
            } else if (c == '`' || (c == '$' && next != '\0' && std::strchr("({'\"", next) != nullptr)) {
                // Substitutions nest their own quoting; $'...' and $"..."
                // quote differently in some shells.
                return ShellContext::Unknown;
            } else if (c == '#' && (i == 0 || endsWord(command[i - 1]))) {
                // A comment ends at a line feed, which the text may hold.
                return ShellContext::Unknown;
            } else if (c == '<' && next == '<') {
                return ShellContext::Unknown;
            }
            break;
        case ShellContext::SingleQuoted:
            if (c == '\'')
                context = ShellContext::Plain;
            break;
        case ShellContext::DoubleQuoted:
            if (c == '\\') {
                if (next == '\0')
                    return ShellContext::Unknown;
                ++i;
            } else if (c == '"') {
                context = ShellContext::Plain;
            } else if (c == '`' || (c == '$' && (next == '(' || next == '{'))) {
                return ShellContext::Unknown;
            }
            break;
        case ShellContext::Unknown:
            return ShellContext::Unknown;
        }
    }
    return context;
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

std::string shellQuoteWords(std::string_view text)
{
    std::string quoted;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && isShellBlank(text[at]))
            ++at;
        if (at == text.size())
            break;
        std::size_t end = at;
        while (end < text.size() && !isShellBlank(text[end]))
            ++end;
        if (!quoted.empty())
            quoted += ' ';
        quoted += shellQuoteWord(text.substr(at, end - at));
        at = end;
    }
    return quoted;
}

std::optional<std::string> shellArgument(std::string_view commandBefore, std::string_view text)
{
    switch (shellContextAt(commandBefore)) {
    case ShellContext::Plain:
        return shellQuoteWords(text);
    case ShellContext::SingleQuoted: {
        std::string quoted;
        for (char c : text) {
            if (c == '\'')
                quoted += "'\\''";
            else
                quoted += c;
        }
        return quoted;
    }
    case ShellContext::DoubleQuoted: {
        std::string quoted;
        for (char c : text) {
            if (c == '\\' || c == '"' || c == '$' || c == '`')
                quoted += '\\';
            quoted += c;
        }
        return quoted;
    }
    case ShellContext::Unknown:
        break;
    }
    for (char c : text) {
        if (!isInert(c))
            return std::nullopt;
    }
    return std::string(text);
}

} // namespace halvane
