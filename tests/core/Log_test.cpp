#include "LogCapture.h"

#include "Log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <thread>
#include <unistd.h>

namespace halvane {

TEST(Log, LineHasLevelLetterAndUtcPrefix)
{
    LogCapture capture(1);
    Log(1, "debug %d\n", 1);
    Log(3, "info %s\n", "two");
    Log(6, "fatal\n");
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 3u);
    const std::regex prefix(R"(^[DMIWEF]: \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )");
    for (const auto& line : lines)
        EXPECT_TRUE(std::regex_search(line, prefix)) << line;
    EXPECT_EQ(lines[0][0], 'D');
    EXPECT_EQ(lines[1].substr(27), "info two");
    EXPECT_EQ(lines[2][0], 'F');
}

TEST(Log, ThresholdFiltersLowerLevelsAndZeroSilencesAll)
{
    LogCapture capture(6);
    Log(5, "error below threshold\n");
    Log(6, "fatal at threshold\n");
    setLogLevel(0);
    Log(6, "silenced\n");
    EXPECT_FALSE(capture.contains("below threshold"));
    EXPECT_TRUE(capture.has('F', "fatal at threshold"));
    EXPECT_FALSE(capture.contains("silenced"));
}

TEST(Log, LongMessageIsCutToTheLineBuffer)
{
    LogCapture capture(1);
    std::string longText(3000, 'x');
    Log(3, "%s\n", longText.c_str());
    auto text = capture.text();
    EXPECT_EQ(text.size(), LOG_LINE_MAX - 1);
    EXPECT_EQ(text.substr(0, 3), "I: ");
}

TEST(Log, MissingLogDirectoryFallsBackToWorkingDirectory)
{
    TempDir work;
    auto previous = std::filesystem::current_path();
    std::filesystem::current_path(work.path());
    LogClose();
    setenv("HalvaneLogDir", "/nonexistent/halvane", 1);
    EXPECT_TRUE(LogOpen("Halvane"));
    Log(5, "here\n");
    LogClose();
    unsetenv("HalvaneLogDir");
    std::filesystem::current_path(previous);
    EXPECT_NE(readFile(work.file("Halvane.log")).find("here"), std::string::npos);
}

TEST(Log, ClosedLogReopensUnderTheProgramNameWithTheNextLine)
{
    LogCapture capture(3);
    LogClose();
    Log(3, "Log rotated\n");
    auto reopened = readFile(capture.dir().file("Halvane.log"));
    EXPECT_EQ(reopened.rfind("I: ", 0), 0u);
    EXPECT_NE(reopened.find("Log rotated"), std::string::npos);
}

// Rotation while four threads log: every line lands whole in exactly one of
// the files, none lost, none split.
TEST(Log, RotationUnderTrafficLosesAndSplitsNoLine)
{
    LogCapture capture(1);
    setLogDestination(LogDestination::File);
    LogClose();
    const std::string live = capture.dir().file("Halvane.log");
    Log(3, "start\n");

    constexpr int threads = 4, perThread = 2000;
    std::atomic<int> running{threads};
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([t, &running] {
            for (int i = 0; i < perThread; ++i)
                Log(1, "writer %d line %d end\n", t, i); // debug: never rate-limited
            --running;
        });
    }
    int rotations = 0;
    while (running > 0) {
        std::string rotated = live + "." + std::to_string(++rotations);
        std::rename(live.c_str(), rotated.c_str());
        LogClose();
        Log(3, "Log rotated\n");
        usleep(500);
    }
    for (auto& w : writers)
        w.join();
    LogClose();

    std::map<std::pair<int, int>, int> seen;
    const std::regex shape(R"(^[DI]: \S+ \S+ (writer (\d+) line (\d+) end|Log rotated|start|\.\.\. \d+ more like this suppressed)$)");
    for (const auto& entry : std::filesystem::directory_iterator(capture.dir().path())) {
        if (entry.path().filename().string().rfind("Halvane.log", 0) != 0)
            continue;
        std::istringstream in(readFile(entry.path()));
        for (std::string line; std::getline(in, line);) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, shape)) << "split or mixed line: " << line;
            if (m[2].matched)
                ++seen[{std::stoi(m[2]), std::stoi(m[3])}];
        }
    }
    EXPECT_GT(rotations, 1);
    ASSERT_EQ(seen.size(), static_cast<size_t>(threads * perThread));
    for (const auto& [key, count] : seen)
        EXPECT_EQ(count, 1) << key.first << "/" << key.second;
}

TEST(Log, HexDumpOnlyAtDebugLevel)
{
    LogCapture capture(2);
    const unsigned char bytes[] = {0x55, 0x53, 0x52, 0x50, 0x00, 0xff};
    LogHexDump("pkt", bytes, sizeof(bytes));
    EXPECT_FALSE(capture.contains("pkt"));
    setLogLevel(1);
    LogHexDump("pkt", bytes, sizeof(bytes));
    EXPECT_TRUE(capture.has('D', "pkt 0000: 55 53 52 50 00 FF"));
}

// A peer's text cannot forge a line or reach the terminal raw; the program's
// own line end stays, and UTF-8 text passes as it is.
TEST(Log, ControlCharactersOfTheMessageAreEscaped)
{
    LogCapture capture(1);
    Log(3, "Event text %s\n", "hi\nF: 2026-01-01 00:00:00.000 FORGED fatal line");
    Log(3, "Text %s\n", "\x1b[2J\r\t\x7f\xc2\x9b"
                       "31m caf\xc3\xa9 \x9b");
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(27), "Event text hi\\nF: 2026-01-01 00:00:00.000 FORGED fatal line");
    EXPECT_EQ(lines[1].substr(27), "Text \\x1b[2J\\r\\t\\x7f\\xc2\\x9b31m caf\xc3\xa9 \\x9b");
    EXPECT_FALSE(capture.has('F', "FORGED"));
}

namespace {

std::chrono::steady_clock::time_point fakeNow;

std::chrono::steady_clock::time_point fakeClock()
{
    return fakeNow;
}

} // namespace

// Lines from one call site pass in a burst per interval, the rest are counted
// and reported with the site's next line; other sites, the configuration echo
// and fatal lines are never held back by it.
TEST(Log, RepeatedLinesFromOnePlaceAreRateLimited)
{
    LogCapture capture(2);
    setLogClock(fakeClock);
    int sent = 0;
    for (int round = 0; round < 2; ++round) {
        // The one place that floods (a helper function would be inlined or
        // cloned into places of its own).
        for (int i = 0; i < (round == 0 ? 100 : LOG_RATE_BURST + 6); ++i) {
            Log(4, "Bad datagram %d\n", sent++);
            if (round == 0) {
                Log(2, "Setting %d\n", i);
                Log(6, "Fatal %d\n", i);
            }
        }
        if (round == 0) {
            Log(4, "Another place\n");
            EXPECT_EQ(capture.count("Bad datagram"), LOG_RATE_BURST);
            EXPECT_EQ(capture.count("Setting"), 100);
            EXPECT_EQ(capture.count("Fatal"), 100);
            EXPECT_TRUE(capture.contains("Another place"));
            EXPECT_FALSE(capture.contains("suppressed"));
            fakeNow += LOG_RATE_INTERVAL;
        }
    }
    const auto lines = capture.lines();
    const auto next = std::find_if(lines.begin(), lines.end(),
                                   [](const std::string& line) { return line.ends_with("Bad datagram 100"); });
    ASSERT_NE(next, lines.end());
    EXPECT_EQ(next[-1].substr(27), "... 90 more like this suppressed");
    EXPECT_EQ(capture.count("Bad datagram"), 2 * LOG_RATE_BURST);

    // A site that went quiet after its flood reports with any later line.
    fakeNow += LOG_RATE_INTERVAL;
    Log(3, "Later\n");
    EXPECT_EQ(capture.count("... 6 more like this suppressed"), 1);
    setLogClock(nullptr);
}

// The file and standard output (the journal) each have a threshold, and
// either can be left out.
TEST(Log, DestinationsHaveThresholdsOfTheirOwn)
{
    LogCapture capture(2);
    setStdoutLogLevel(5);
    testing::internal::CaptureStdout();
    Log(3, "for the file\n");
    Log(5, "for both\n");
    setLogDestination(LogDestination::Stdout);
    Log(5, "journal only\n");
    EXPECT_TRUE(LogFlush());
    const std::string out = testing::internal::GetCapturedStdout();
    setLogDestination(LogDestination::File);
    Log(5, "file again\n");

    EXPECT_TRUE(capture.has('I', "for the file"));
    EXPECT_TRUE(capture.has('E', "for both"));
    EXPECT_FALSE(capture.contains("journal only"));
    // Reopened by the next line under the program's name, as after a rotation.
    EXPECT_NE(readFile(capture.dir().file("Halvane.log")).find("file again"), std::string::npos);
    EXPECT_EQ(out.find("for the file"), std::string::npos);
    EXPECT_NE(out.find("for both"), std::string::npos);
    EXPECT_NE(out.find("journal only"), std::string::npos);
    EXPECT_EQ(parseLogDestination("Journal"), LogDestination::Stdout);
    EXPECT_FALSE(parseLogDestination("syslog"));
}

} // namespace halvane
