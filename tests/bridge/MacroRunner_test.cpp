// Macros run through the real shell, the quoting that keeps peers' texts
// from running anything of their own, and the info record read back by a
// real JSON parser.
#include "MacroRunner.h"

#include "HealthRecord.h"
#include "JsonText.h"
#include "LogCapture.h"
#include "TempDir.h"
#include "UdpSocket.h"
#include "dv3000_servers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace halvane {

namespace {

using nlohmann::json;

json parseJson(const std::string& text)
{
    return json::parse(text, nullptr, false);
}

// Texts that would do harm if the shell read them as syntax.
const std::vector<std::string> HOSTILE = {
    "1;touch MARK",
    "$(touch MARK)",
    "`touch MARK`",
    "a' ; touch MARK ; '",
    "a\" ; touch MARK ; \"",
    "x\\",
    "|touch MARK&",
    "a\ntouch MARK",
    "*",
    "#3100",
    "${HOME}$HOME",
    "it's \"quoted\" \\ \t tab",
};

// Each test gets its own USRP port (so its own info file), its own macros
// and a captured log; the settings it touches are restored afterwards.
class MacroRunnerTest : public ::testing::Test {
protected:
    MacroRunnerTest()
    {
        servers.usrpRxPort = freeUdpPort();
        servers.macros.clear();
    }
    ~MacroRunnerTest() override
    {
        std::error_code ignored;
        std::filesystem::remove(MacroRunner::infoFilePath(), ignored);
        servers.macros = savedMacros_;
        servers.usrpRxPort = savedPort_;
        servers.lastTune.set(savedTune_);
        servers.defaultMetadata.set(savedMetadata_);
        servers.tlvAddress.set(savedAddress_);
    }

    void addMacro(const std::string& name, const std::string& command) { servers.macros.push_back({name, command}); }

    bool marked() const { return std::filesystem::exists(dir.file("MARK")); }

    LogCapture log{3};
    TempDir dir;
    MacroRunner runner;

private:
    std::vector<Macro> savedMacros_ = servers.macros;
    int savedPort_ = servers.usrpRxPort;
    std::string savedMetadata_ = servers.defaultMetadata.get();
    std::string savedTune_ = servers.lastTune.get();
    std::string savedAddress_ = servers.tlvAddress.get();
};

// printf's output for `words`: "[w]" for each, "[]" for none.
std::string printed(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& word : words)
        text += "[" + word + "]";
    return words.empty() ? "[]" : text;
}

// The words the shell would make of `text` read without quoting rules.
std::vector<std::string> splitWords(const std::string& text)
{
    std::vector<std::string> words;
    std::string word;
    for (char c : text + " ") {
        if (c == ' ' || c == '\t' || c == '\n') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    return words;
}

} // namespace

TEST_F(MacroRunnerTest, CommandTextRunsTheFirstMacroOfItsNameWithItsWords)
{
    const std::string out = dir.file("out");
    addMacro("SAY", "printf '[%s]' >" + out);
    addMacro("SAY", "touch " + dir.file("MARK"));

    EXPECT_TRUE(runner.executeMacroCommand("*SAY  one two", false));
    EXPECT_EQ(readFile(out), "[one][two]");
    EXPECT_FALSE(marked()) << "only the first macro of a name runs for a command";
    EXPECT_TRUE(log.has('I', "Tune macro: *SAY will invoke \"printf '[%s]' >" + out + " \"$@\"\" with 'one' 'two'"));
    EXPECT_TRUE(log.has('I', "Macro result was 0"));

    // '#' is a blank, also between the prefix and the name.
    EXPECT_TRUE(runner.executeMacroCommand("##SAY#3#4", false));
    EXPECT_EQ(readFile(out), "[3][4]");

    // No argument: the command alone.
    EXPECT_TRUE(runner.executeMacroCommand("*SAY", false));
    EXPECT_EQ(readFile(out), "[]");

    // Missing macros and empty names run nothing; names are case-sensitive.
    servers.macros = {{"say", "touch " + dir.file("MARK")}};
    EXPECT_FALSE(runner.executeMacroCommand("*SAY 1", false));
    EXPECT_FALSE(log.contains("was not found"));
    EXPECT_FALSE(runner.executeMacroCommand("*NOPE#1", true));
    EXPECT_TRUE(log.has('I', "Macro *NOPE was not found, being ignored"));
    EXPECT_FALSE(runner.executeMacroCommand("*", true));
    EXPECT_FALSE(runner.executeMacroCommand("*   ", true));
    EXPECT_FALSE(runner.executeMacroCommand("", true));
    EXPECT_FALSE(marked());
}

TEST_F(MacroRunnerTest, PeerArgumentsReachTheMacroAsExactlyTheWordsSent)
{
    const std::string out = dir.file("out");
    addMacro("SAY", "cd " + dir.path() + " && printf '[%s]' >out");
    for (const std::string& text : HOSTILE) {
        std::filesystem::remove(out);
        ASSERT_TRUE(runner.executeMacroCommand(("*SAY " + text).c_str(), false)) << text;
        EXPECT_FALSE(marked()) << text;
        std::string spaced = text;
        std::replace(spaced.begin(), spaced.end(), '#', ' ');
        const std::string expected = printed(splitWords(spaced));
        EXPECT_EQ(readFile(out), expected) << text;
    }
}

TEST_F(MacroRunnerTest, EventMacrosAllRunWithTheTextInPlaceOfTheFirstPercentS)
{
    addMacro("OnEvent", "echo first %s >>" + dir.file("out"));
    addMacro("Other", "touch " + dir.file("MARK"));
    addMacro("OnEvent", "echo \"second %s %d %n %s\" >>" + dir.file("out"));

    runner.executeMacroCommand("OnEvent", "call 3100");
    EXPECT_EQ(readFile(dir.file("out")), "first call 3100\nsecond call 3100 %d %n %s\n")
        << "the format's other '%' stay as written";
    EXPECT_FALSE(marked());
    EXPECT_TRUE(log.has('I', "Execute OnEvent macro : echo \"second ${HVARG} %d %n %s\" >>"));

    runner.executeMacroCommand("NoSuchEvent", "x");
    EXPECT_FALSE(log.contains("NoSuchEvent"));
}

// The text lands outside quotes, inside single quotes, inside double quotes:
// each time the command sees exactly the text and nothing runs.
TEST_F(MacroRunnerTest, EventTextIsDataWhereverTheOperatorPutIt)
{
    const std::string out = dir.file("out");
    const std::string cd = "cd " + dir.path() + " && ";
    addMacro("Single", cd + "printf '%.9999s' 'got %s' >out");
    addMacro("Double", cd + "printf '%.9999s' \"got %s\" >out");
    for (const std::string& text : HOSTILE) {
        for (const char* name : {"Single", "Double"}) {
            std::filesystem::remove(out);
            runner.executeMacroCommand(name, text.c_str());
            EXPECT_EQ(readFile(out), "got " + text) << name << ": " << text;
            EXPECT_FALSE(marked()) << name << ": " << text;
        }
    }
}

// The words after NAME= are not a command: the whole text is the value.
TEST_F(MacroRunnerTest, AssignedTextIsOneValue)
{
    addMacro("OnEvent", "cd " + dir.path() + " && EVT=%s; echo \"$EVT\" >>out");
    runner.executeMacroCommand("OnEvent", "hello touch MARK");
    EXPECT_EQ(readFile(dir.file("out")), "hello touch MARK\n");
    EXPECT_FALSE(marked());
}

TEST_F(MacroRunnerTest, TextWhereItCannotBeProvenDataIsRefused)
{
    const std::string out = dir.file("out");
    addMacro("Sub", "cd " + dir.path() + " && echo $(echo %s) >" + out);
    addMacro("Sub", "echo second >" + out);
    runner.executeMacroCommand("Sub", "call 3100");
    EXPECT_EQ(readFile(out), "second\n") << "the refused macro is skipped, the next one runs";
    EXPECT_TRUE(log.has('W', "Macro Sub: \"call 3100\" cannot be passed safely"));

    addMacro("Say", "eval echo %s >" + out);
    EXPECT_TRUE(runner.executeMacroCommand("*Say x", false));
    EXPECT_TRUE(log.has('W', "Macro *Say: its arguments cannot be passed safely"));
    EXPECT_EQ(readFile(out), "second\n");
}

TEST_F(MacroRunnerTest, OverlongCommandsAreRefused)
{
    addMacro("SAY", "touch " + dir.file("MARK"));
    const std::string longText = "*SAY " + std::string(MacroRunner::MACRO_COMMAND_MAX, 'x');
    EXPECT_TRUE(runner.executeMacroCommand(longText.c_str(), false));
    EXPECT_FALSE(marked());
    EXPECT_TRUE(log.has('W', "Macro *SAY: command of"));

    // The copy of the text is cut at 523 characters: what lies beyond is not read.
    addMacro("E", "printf %s >" + dir.file("out"));
    std::string huge = "*" + std::string(MacroRunner::MACRO_TEXT_MAX + 100, ' ') + "E";
    EXPECT_FALSE(runner.executeMacroCommand(huge.c_str(), false));

    runner.executeMacroCommand("E", std::string(MacroRunner::EVENT_COMMAND_MAX, 'y').c_str());
    EXPECT_FALSE(std::filesystem::exists(dir.file("out")));
}

TEST_F(MacroRunnerTest, CommandsSeeHvinfoAndTheirStatusIsLogged)
{
    const std::string out = dir.file("out");
    EXPECT_EQ(runner.executeSystemCommand("printf %s \"$HVINFO\" >" + out), 0);
    EXPECT_EQ(readFile(out), "/tmp/HVInfo_" + std::to_string(servers.usrpRxPort.load()) + ".json");
    EXPECT_EQ(runner.executeSystemCommand("exit 3"), 3 << 8);
    EXPECT_TRUE(log.has('I', "Macro result was 768"));
}

TEST(JsonText, EscapesWhatJsonRequiresAndKeepsValidUtf8)
{
    EXPECT_EQ(jsonEscape("a\"b\\c\n\r\t\b\f\x01\x7f"), "a\\\"b\\\\c\\n\\r\\t\\b\\f\\u0001\x7f");
    EXPECT_EQ(jsonEscape("\xc3\xa9\xe2\x82\xac\xf0\x9f\x93\xbb"), "\xc3\xa9\xe2\x82\xac\xf0\x9f\x93\xbb");
    // Stray bytes, an overlong form, a surrogate and a cut sequence read as Latin-1.
    EXPECT_EQ(jsonEscape("\xe9\xc0\xaf\xed\xa0\x80\xe2\x82"),
              "\\u00e9\\u00c0\\u00af\\u00ed\\u00a0\\u0080\\u00e2\\u0082");
    EXPECT_EQ(parseJson("\"" + jsonEscape("\xe9t\xe9") + "\"").get<std::string>(), "\xc3\xa9t\xc3\xa9");
}

TEST(JsonText, CutsOnlyBetweenCharacters)
{
    EXPECT_EQ(jsonEscape("ab\"c", 3), "ab");
    EXPECT_EQ(jsonEscape("ab\"c", 4), "ab\\\"");
    EXPECT_EQ(jsonEscape("a\x01", 6), "a");
    EXPECT_EQ(jsonEscape("a\xe2\x82\xac", 3), "a");
    EXPECT_EQ(jsonEscape("a\xe2\x82\xac", 4), "a\xe2\x82\xac");
}

TEST_F(MacroRunnerTest, InfoFileFollowsThePortAndIsRewrittenWhole)
{
    const std::string path = "/tmp/HVInfo_" + std::to_string(servers.usrpRxPort.load()) + ".json";
    EXPECT_EQ(MacroRunner::infoFilePath(), path);
    servers.lastTune.set(std::string(300, 'x'));
    runner.getInfoAsJson();
    servers.lastTune.set("short");
    health.reset();
    health.tlvToUsrp.in = 7;
    health.usrpToTlv.vocoder.set("DV3000");
    const std::string info = runner.getInfoAsJson();
    // No prefix, no line end, no tail of the longer record: the file is the
    // record plus the health member.
    json file = parseJson(readFile(path));
    ASSERT_FALSE(file.is_discarded()) << readFile(path);
    EXPECT_EQ(file["health"]["tlv_to_usrp"]["frames_in"], "7");
    EXPECT_EQ(file["health"]["usrp_to_tlv"]["vocoder"], "DV3000");
    file.erase("health");
    EXPECT_EQ(file, parseJson(info.substr(5)));

    health.tlvToUsrp.in = 8;
    runner.refreshInfoFile();
    EXPECT_EQ(parseJson(readFile(path))["health"]["tlv_to_usrp"]["frames_in"], "8");
    runner.removeInfoFile();
    runner.refreshInfoFile(); // the monitor's refresh racing the exit
    EXPECT_FALSE(std::filesystem::exists(path));
    health.reset();
}

// A process killed while it rewrites the record leaves no temporary file
// beside it; only the fixed name that exists for the instant between naming
// the new record and renaming it may remain, and the next write clears it.
TEST_F(MacroRunnerTest, KilledWritesLeaveNoTemporaryFiles)
{
    const std::filesystem::path info = MacroRunner::infoFilePath();
    const std::string name = info.filename().string();
    const auto others = [&] {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(info.parent_path())) {
            const std::string other = entry.path().filename().string();
            if (other != name && other.rfind(name, 0) == 0)
                found.push_back(other);
        }
        return found;
    };
    std::mt19937 rng(18);
    for (int i = 0; i < 20; ++i) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (;;)
                runner.refreshInfoFile();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500 + rng() % 3000));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        for (const std::string& other : others())
            EXPECT_EQ(other, name + ".tmp");
    }
    runner.refreshInfoFile();
    EXPECT_TRUE(others().empty());
    EXPECT_TRUE(parseJson(readFile(info)).is_object());
}

TEST_F(MacroRunnerTest, LongTextsAreCutSoTheRecordStaysWholeJson)
{
    servers.lastTune.set(std::string(3000, '\x01'));
    servers.defaultMetadata.set(std::string(3000, '"'));
    servers.tlvAddress.set(std::string(63, '\\'));
    const std::string info = runner.getInfoAsJson();
    EXPECT_LE(info.size(), MacroRunner::INFO_MAX);
    const json record = parseJson(info.substr(5));
    ASSERT_FALSE(record.is_discarded()) << info;
    EXPECT_EQ(record["last_tune"].get<std::string>(),
              std::string(record["last_tune"].get<std::string>().size(), '\x01'));
    EXPECT_EQ(record["digital"]["call"].get<std::string>(),
              std::string(record["digital"]["call"].get<std::string>().size(), '"'));
}

// Two threads build records while a third changes what goes in them: every
// record and the file left behind are whole.
TEST_F(MacroRunnerTest, ConcurrentBuildsNeverInterleave)
{
    std::atomic_bool stop{false};
    std::thread changer([&] {
        for (int i = 0; !stop; ++i)
            servers.lastTune.set(std::string(static_cast<std::size_t>(i % 200), static_cast<char>('a' + i % 26)));
    });
    const auto build = [&] {
        for (int i = 0; i < 200; ++i) {
            const std::string info = runner.getInfoAsJson();
            EXPECT_FALSE(parseJson(info.substr(5)).is_discarded());
        }
    };
    std::thread a(build);
    std::thread b(build);
    a.join();
    b.join();
    stop = true;
    changer.join();
    EXPECT_FALSE(parseJson(readFile(MacroRunner::infoFilePath())).is_discarded());
}

} // namespace halvane
