// The real Halvane binary: command line, exit statuses, start-up messages and
// signals during start-up.
#include "ChildProcess.h"
#include "TempDir.h"
#include "UdpSocket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace halvane {

namespace {

const std::string halvane = std::string(HALVANE_BIN_DIR) + "/Halvane";
const std::string ids = "[AMBE_AUDIO]\ngatewayDmrId = 3100001\nrepeaterID = 3100002\n";

struct HalvaneRun {
    TempDir dir;
    std::string log() const { return readFile(dir.file("Halvane.log")); }
    std::string out() const { return readFile(dir.file("stdout")); }

    int run(const std::vector<std::string>& args)
    {
        ChildProcess p(halvane, args, dir.path(), {{"HalvaneLogDir", dir.path()}}, dir.file("stdout"));
        return p.wait();
    }
};

} // namespace

TEST(Startup, VersionPrintsOneLineAndWritesNoLog)
{
    HalvaneRun r;
    EXPECT_EQ(r.run({"-v"}), 0);
    const std::string out = r.out();
    EXPECT_EQ(out.rfind("Halvane version ", 0), 0u);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
    EXPECT_FALSE(std::filesystem::exists(r.dir.file("Halvane.log")));
}

TEST(Startup, BannerThenConfigurationIntoTheLogAndStdout)
{
    HalvaneRun r;
    // No DV3000 answers on the chosen port and no fallback: the bridge ends
    // with 252 once the configuration is in.
    r.dir.write("ok.ini", ids + "[DV3000]\nRXPort = " + std::to_string(freeUdpPort()) + "\n");
    EXPECT_EQ(r.run({"ok.ini"}), 252);
    EXPECT_NE(r.log().find("Halvane Version "), std::string::npos);
    EXPECT_NE(r.log().find("I: "), std::string::npos);
    EXPECT_NE(r.log().find("Halvane is starting\n"), std::string::npos);
    EXPECT_NE(r.log().find("M: "), std::string::npos);
    EXPECT_NE(r.log().find("Setting [AMBE_AUDIO] repeaterID -> 3100002\n"), std::string::npos);
    // Standard error shares the capture: the IMBE vocoder's banner is there
    // once, beside the log lines.
    std::string out = r.out();
    const std::string banner = "Project 25 IMBE Encoder/Decoder Fixed-Point implementation\n";
    const std::size_t at = out.find(banner);
    ASSERT_NE(at, std::string::npos);
    out.erase(at, banner.size());
    EXPECT_EQ(out, r.log());
}

TEST(Startup, AnyOtherArgumentIsTheIniPath)
{
    HalvaneRun r;
    EXPECT_EQ(r.run({"-x"}), 253);
    EXPECT_NE(r.log().find("E: "), std::string::npos);
    EXPECT_NE(r.log().find("Halvane, ini file \"-x\" was not found.  Fatal error exiting"), std::string::npos);
}

TEST(Startup, ParseErrorReportsTheFirstFailingLine)
{
    HalvaneRun r;
    r.dir.write("bad.ini", ids + "[GENERAL]\nmute = OFF\nbogus = 1\n");
    EXPECT_EQ(r.run({"bad.ini"}), 253);
    EXPECT_NE(r.log().find("Unknown section/name in .ini file: GENERAL/bogus"), std::string::npos);
    EXPECT_NE(r.log().find("parse error in file \"bad.ini\" line 6.  Fatal error exiting"), std::string::npos);
}

TEST(Startup, EqualIdsExitWith254)
{
    HalvaneRun r;
    r.dir.write("ids.ini", "[AMBE_AUDIO]\ngatewayDmrId = 7\nrepeaterID = 7\n");
    EXPECT_EQ(r.run({"ids.ini"}), 254);
    EXPECT_NE(r.log().find("F: "), std::string::npos);
    EXPECT_NE(r.log().find("Repeater ID (7) can not be the same as subscriber ID (7)"), std::string::npos);
}

TEST(Startup, OverlongIniPathIsRefused)
{
    HalvaneRun r;
    EXPECT_EQ(r.run({std::string(200, 'p')}), 253);
    EXPECT_NE(r.log().find("longer than 127 characters"), std::string::npos);
}

// A "var" key whose expansion takes a while holds start-up in place long
// enough to signal the process while it reads its configuration.
TEST(Startup, SignalsDuringStartupRotateOrExitCleanly)
{
    HalvaneRun r;
    r.dir.write("slow.ini", ids + "[MACROS]\nvar SLOW = $(sleep 3)\n");
    ChildProcess p(halvane, {"slow.ini"}, r.dir.path(), {{"HalvaneLogDir", r.dir.path()}}, r.dir.file("stdout"));
    ASSERT_TRUE(eventually([&] { return r.log().find("Setting [AMBE_AUDIO] repeaterID") != std::string::npos; }));

    std::filesystem::rename(r.dir.file("Halvane.log"), r.dir.file("Halvane.log.1"));
    p.signal(SIGHUP);
    ASSERT_TRUE(eventually([&] { return !r.log().empty(); }));
    EXPECT_EQ(r.log().rfind("I: ", 0), 0u);
    EXPECT_NE(r.log().find("Log rotated\n"), std::string::npos);

    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(), 0);
    EXPECT_NE(r.log().find("Signal 15 received, exiting Halvane\n"), std::string::npos);
    EXPECT_EQ(readFile(r.dir.file("Halvane.log.1")).find("Log rotated"), std::string::npos);
}

} // namespace halvane
