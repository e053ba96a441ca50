#include "LogCapture.h"

#include "Log.h"

#include <gtest/gtest.h>

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
    LogCapture capture(3);
    LogClose();
    const std::string live = capture.dir().file("Halvane.log");
    Log(3, "start\n");

    constexpr int threads = 4, perThread = 2000;
    std::atomic<int> running{threads};
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([t, &running] {
            for (int i = 0; i < perThread; ++i)
                Log(3, "writer %d line %d end\n", t, i);
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
    const std::regex shape(R"(^I: \S+ \S+ (writer (\d+) line (\d+) end|Log rotated|start)$)");
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
