// An oracle for the way a macro receives a peer's text: one operator command
// per shell context, run by the real /bin/sh in a directory of its own with
// a hostile text, then checked for files the text made (it ran something)
// and for what the macro received. Used by the macro tests and the macro
// fuzzing harness.
#pragma once

#include "Shell.h"
#include "ShellQuote.h"
#include "TempDir.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace halvane {

// One operator command. `command` writes what it receives to the file "out"
// in the current directory; `expected` gives that file's text for a peer's
// text, or is null where the command must be refused.
struct MacroContext {
    const char* name;
    const char* command;
    std::string (*expected)(std::string_view text);
};

namespace oracle {

// printf's output for the blank-separated words of `text`: "[w]" for each,
// "[]" for none.
inline std::string eachWord(std::string_view text)
{
    std::string out;
    std::string word;
    bool any = false;
    for (char c : std::string(text) + " ") {
        if (c == ' ' || c == '\t' || c == '\n') {
            if (!word.empty())
                out += "[" + word + "]";
            any = any || !word.empty();
            word.clear();
        } else {
            word += c;
        }
    }
    return any ? out : "[]";
}

// The same for a loop over the words: nothing for none.
inline std::string eachWordOfLoop(std::string_view text)
{
    const std::string out = eachWord(text);
    return out == "[]" ? "" : out;
}

inline std::string whole(std::string_view text)
{
    return "[" + std::string(text) + "]";
}

inline std::string done(std::string_view)
{
    return "[done]";
}

} // namespace oracle

// The format leaves "%s" to the text; printf's own is %.9999s.
inline const std::vector<MacroContext>& macroContexts()
{
    using namespace oracle;
    static const std::vector<MacroContext> contexts = {
        {"plain", "printf '[%.9999s]' %s >out", eachWord},
        {"after a redirection", "printf >out '[%.9999s]' 2>/dev/null %s", eachWord},
        {"in a pipeline", "true | printf '[%.9999s]' %s >out", eachWord},
        {"for list", "for w in %s; do printf '[%.9999s]' \"$w\"; done >out", eachWordOfLoop},
        {"after if", "if true; then printf '[%.9999s]' %s; fi >out", eachWord},
        {"after an assignment", "X=1 printf '[%.9999s]' %s >out", eachWord},
        {"single-quoted", "printf '[%.9999s]' '%s' >out", whole},
        {"double-quoted", "printf '[%.9999s]' \"%s\" >out", whole},
        {"assignment", "EVT=%s; printf '[%.9999s]' \"$EVT\" >out", whole},
        {"quoted assignment", "EVT=\"%s\"; printf '[%.9999s]' \"$EVT\" >out", whole},
        {"export assignment", "export EVT=%s; printf '[%.9999s]' \"$EVT\" >out", whole},
        {"case subject", "case %s in *) printf '[done]';; esac >out", done},
        {"case pattern", "case x in %s) ;; esac; printf '[done]' >out", done},
        {"command name", "%s >out", nullptr},
        {"command after ;", "true; %s >out", nullptr},
        {"command after an assignment", "X=1 %s >out", nullptr},
        {"quoted command name", "'%s' >out", nullptr},
        {"condition", "if %s; then :; fi", nullptr},
        {"command substitution", "printf '[%.9999s]' \"$(echo %s)\" >out", nullptr},
        {"backquotes", "printf '[%.9999s]' `echo %s` >out", nullptr},
        {"arithmetic", "printf '[%.9999s]' $((%s)) >out", nullptr},
        {"default value", "printf '[%.9999s]' \"${X:-%s}\" >out", nullptr},
        {"here-document", "cat >out <<EOF\n%s\nEOF", nullptr},
        {"redirection target", "printf x >%s", nullptr},
        {"descriptor redirection target", "printf x 2>%s", nullptr},
        {"comment", "printf '[done]' >out # %s", nullptr},
        {"after a backslash", "printf '[%.9999s]' x\\%s >out", nullptr},
        {"dollar-quote", "printf '[%.9999s]' $'%s' >out", nullptr},
        {"eval", "eval printf '[%.9999s]' %s >out", nullptr},
        {"sh -c", "sh -c 'printf \"[%.9999s]\" %s' >out", nullptr},
        {"piped into a shell", "echo %s | sh", nullptr},
        {"bash -c later", "printf '[%.9999s]' %s >out; bash -c true", nullptr},
        {"env", "env printf '[%.9999s]' %s >out", nullptr},
        {"sed script", "echo x | sed \"s/x/%s/\" >out", nullptr},
        {"awk program", "awk 'BEGIN { print \"%s\" }' >out", nullptr},
        {"python -c", "python3 -c 'print(\"%s\")' >out", nullptr},
        {"piped through sed", "printf '[%.9999s]' %s | sed s/x/x/ >out", eachWord},
        {"export", "export %s", nullptr},
        {"read", "echo x | read %s", nullptr},
        {"trap", "trap 'printf %s >out' EXIT", nullptr},
    };
    return contexts;
}

// Runs `context` with `text` as the peer's text; "" when nothing escaped and
// the command received what it should, otherwise what went wrong.
inline std::string checkMacroContext(const MacroContext& context, std::string_view text)
{
    TempDir dir;
    const std::string command = "cd " + shellQuoteWord(dir.path()) + " || exit 1; " + context.command;
    const std::optional<MacroCall> call = macroCall(command, command.find("%s"), text);
    if (!call)
        return context.expected == nullptr ? "" : "refused an allowed context";
    if (context.expected == nullptr)
        return "allowed a context that must be refused: " + call->command;
    runShellCommand(call->command, call->parameters, call->environment);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        if (entry.path().filename() != "out")
            return "the text ran something: it made " + entry.path().filename().string();
    }
    std::ifstream in(dir.file("out"), std::ios::binary);
    const std::string out{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::string expected = context.expected(text);
    return out == expected ? "" : "received \"" + out + "\", expected \"" + expected + "\"";
}

} // namespace halvane
