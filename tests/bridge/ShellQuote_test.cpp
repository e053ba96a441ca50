// A peer's text in every shell context an operator could write, run by the
// real /bin/sh: nothing escapes, and where the context is allowed the macro
// receives exactly what was sent.
#include "MacroOracle.h"

#include <gtest/gtest.h>

namespace halvane {

namespace {

// Texts that break one kind of quoting or another, each trying to create a
// file in the current directory.
const std::vector<std::string> HOSTILE = {
    "hello touch PWNED",
    "1;touch PWNED",
    "$(touch PWNED)",
    "`touch PWNED`",
    "a' ; touch PWNED ; '",
    "a\" ; touch PWNED ; \"",
    "'\"'\"$(touch PWNED)",
    "|touch PWNED&",
    "&touch PWNED",
    "a\ntouch PWNED",
    "EOF\ntouch PWNED\nEOF",
    "x)touch PWNED;;",
    "${IFS}touch${IFS}PWNED",
    "PATH=/nowhere touch PWNED",
    "$HVARG\"$@\"%s",
    "*",
    "\\",
    "x\\",
    "it's \"quoted\" \\ \t tab",
    "-n",
    "",
    " \t ",
};

} // namespace

TEST(ShellQuote, PeerTextIsDataInEveryContext)
{
    for (const MacroContext& context : macroContexts()) {
        for (const std::string& text : HOSTILE)
            EXPECT_EQ(checkMacroContext(context, text), "") << context.name << ": " << text;
    }
}

TEST(ShellQuote, PlacesAreReadAcrossQuotesEscapesAndRedirections)
{
    EXPECT_EQ(shellContextAt("say "), ShellContext::Argument);
    EXPECT_EQ(shellContextAt("say 'a"), ShellContext::SingleQuoted);
    EXPECT_EQ(shellContextAt("say 'a\"b' \"c"), ShellContext::DoubleQuoted);
    EXPECT_EQ(shellContextAt("say \"a\\\"b"), ShellContext::DoubleQuoted);
    EXPECT_EQ(shellContextAt("say \\'"), ShellContext::Argument);
    EXPECT_EQ(shellContextAt("say a#b "), ShellContext::Argument) << "'#' inside a word is no comment";
    EXPECT_EQ(shellContextAt("say 2>&1 "), ShellContext::Argument);
    EXPECT_EQ(shellContextAt("2>/dev/null "), ShellContext::Refused) << "still the command name";
    EXPECT_EQ(shellContextAt("say; X='"), ShellContext::SingleQuoted);
    EXPECT_EQ(shellContextAt("export A=1 B="), ShellContext::Assignment);
    EXPECT_EQ(shellContextAt("sudo say "), ShellContext::Refused);

    EXPECT_FALSE(shellCommandRunsText("sh /usr/local/bin/say.sh %s"));
    EXPECT_TRUE(shellCommandRunsText("echo %s | /bin/bash >/dev/null"));
    EXPECT_TRUE(shellCommandRunsText("su -c 'say %s' radio"));
}

TEST(ShellQuote, WordsTravelBesideTheCommand)
{
    const std::optional<MacroCall> call = macroCall("say", std::string::npos, " a \tb\nc ");
    ASSERT_TRUE(call);
    EXPECT_EQ(call->command, "say \"$@\"");
    EXPECT_EQ(call->parameters, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(call->environment, (std::vector<std::string>{"HVARG= a \tb\nc "}));
    EXPECT_EQ(macroCall("say", std::string::npos, " \t ")->command, "say") << "no word: the command alone";
    EXPECT_EQ(macroCall("x='a%sb'", 4, "t")->command, "x='a'\"${HVARG}\"'b'");
    EXPECT_EQ(macroCall("say \"%sb\"", 5, "t")->command, "say \"${HVARG}b\"");
}

} // namespace halvane
