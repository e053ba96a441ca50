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

TEST(Startup, HelpAndVersionPrintWithoutALog)
{
    HalvaneRun r;
    EXPECT_EQ(r.run({"-v"}), 0);
    const std::string out = r.out();
    EXPECT_EQ(out.rfind("Halvane version ", 0), 0u);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
    EXPECT_EQ(r.run({"--help"}), 0);
    EXPECT_EQ(r.out().rfind("Usage: Halvane [INI-FILE]\n", 0), 0u);
    EXPECT_FALSE(std::filesystem::exists(r.dir.file("Halvane.log")));
}

// Each way start-up can fail ends with its own status and says why; every
// bad value is named with its file, line, section and key first.
TEST(Startup, FailuresEndWithTheirStatusAndReason)
{
    const struct {
        std::string arg;
        std::string ini; // written to `arg` when not empty
        int status;
        std::vector<std::string> log;
    } cases[] = {
        {"-x", "", 253, {"E: ", "Halvane, ini file \"-x\" was not found.  Fatal error exiting"}},
        {std::string(200, 'p'), "", 253, {"longer than 127 characters"}},
        {"bad.ini",
         "[AMBE_AUDIO]\ngatewayDmrId = N0CALL\nrepeaterID = 3100002\n[USRP]\nRXPort = 70000\n[GENERAL]\n"
         "decoderFallBack = true  # note\nbogus = 1\n",
         253,
         {"Invalid value \"N0CALL\" for [AMBE_AUDIO] gatewayDmrId in \"bad.ini\" line 2",
          "Invalid value \"70000\" for [USRP] RXPort in \"bad.ini\" line 5",
          "Invalid value \"true  # note\" for [GENERAL] decoderFallBack in \"bad.ini\" line 7",
          "Unknown section/name in .ini file: GENERAL/bogus", "parse error in file \"bad.ini\" line 2.  Fatal error exiting"}},
        {"ids.ini", "[AMBE_AUDIO]\ngatewayDmrId = 7\nrepeaterID = 7\n", 254,
         {"F: ", "Repeater ID (7) can not be the same as subscriber ID (7)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arg);
        HalvaneRun r;
        if (!c.ini.empty())
            r.dir.write(c.arg, c.ini);
        EXPECT_EQ(r.run({c.arg}), c.status);
        for (const std::string& line : c.log)
            EXPECT_NE(r.log().find(line), std::string::npos) << line << "\n" << r.log();
    }
}

TEST(Startup, BannerThenConfigurationIntoTheLogAndStdout)
{
    HalvaneRun r;
    // No DV3000 answers and no fallback: 252, before any endpoint opens.
    r.dir.write("ok.ini", ids + "[DV3000]\nRXPort = " + std::to_string(freeUdpPort()) + "\n");
    EXPECT_EQ(r.run({"ok.ini"}), 252);
    EXPECT_NE(r.log().find("F: "), std::string::npos);
    EXPECT_NE(r.log().find("DV3000 not found!, Fatal error exiting.\n"), std::string::npos);
    EXPECT_EQ(r.log().find("Sending to USRP clients"), std::string::npos);
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
