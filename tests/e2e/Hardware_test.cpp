// Start-up of the real binary against the DV3000 simulator, over UDP (an
// AMBE server) and over a pseudo-terminal (a serial DV3000), with each
// failure stage of the chip start-up.
#include "DaemonFixture.h"
#include "Dv3000Simulator.h"

#include <gtest/gtest.h>

namespace halvane {

namespace {

std::unique_ptr<Dv3000Simulator> startSimulator(bool pty, int udpPort, std::vector<Dv3000Simulator::Fault> faults = {})
{
    Dv3000Simulator::Options options;
    options.udp = !pty;
    options.pty = pty;
    options.udpPort = udpPort;
    options.faults = std::move(faults);
    auto simulator = std::make_unique<Dv3000Simulator>(options);
    std::string error;
    if (!simulator->start(error)) {
        ADD_FAILURE() << error;
        return nullptr;
    }
    return simulator;
}

} // namespace

TEST(Hardware, StartsOverAnAmbeServer)
{
    Daemon d;
    auto simulator = startSimulator(false, d.ports.dv3000);
    ASSERT_TRUE(simulator);
    d.start(d.ini());
    ASSERT_TRUE(d.waitForLog("Starting USRP --> Halvane (encoder) -> TLV thread"));
    EXPECT_TRUE(d.hasLog("Begin DV3000 decode\n"));
    EXPECT_TRUE(d.hasLog("Using hardware AMBE vocoder\n"));
    EXPECT_FALSE(d.hasLog("Using software"));
    EXPECT_EQ(simulator->stats().mode, Dv3000Simulator::RateMode::Dmr);
}

TEST(Hardware, StartsOverASerialLineInDstarMode)
{
    Daemon d;
    auto simulator = startSimulator(true, 0);
    ASSERT_TRUE(simulator);
    d.start(d.ini("", "ambeMode = DSTAR\n", "", "serial = true\nAddress = " + simulator->ptyPath() + "\n"));
    ASSERT_TRUE(d.waitForLog("Starting USRP --> Halvane (encoder) -> TLV thread"));
    EXPECT_TRUE(d.hasLog("Using hardware AMBE vocoder\n"));
    EXPECT_EQ(simulator->stats().mode, Dv3000Simulator::RateMode::Dstar);
}

TEST(Hardware, EachFailedStageIsNamedAndDmrWithoutFallbackExits252)
{
    struct Stage {
        Dv3000Simulator::Fault fault;
        const char* message;
        const char* stage;
    };
    const Stage stages[] = {
        {Dv3000Simulator::Fault::NoReady, "DV3000 did not reset at 127.0.0.1:", "Reset"},
        {Dv3000Simulator::Fault::BadProductId, "AMBE server open succeeded but no response from DV3000.  Wrong port?\n",
         "ProdID"},
        {Dv3000Simulator::Fault::RateFail, "DV3000 Rate Control failed\n", "ProdID"},
    };
    for (const Stage& s : stages) {
        SCOPED_TRACE(s.stage);
        Daemon d;
        auto simulator = startSimulator(false, d.ports.dv3000, {s.fault});
        ASSERT_TRUE(simulator);
        d.start(d.ini());
        EXPECT_EQ(d.process->wait(), 252);
        EXPECT_TRUE(d.hasLog(s.message));
        EXPECT_TRUE(d.hasLog("DV3000 not found at 127.0.0.1:" + std::to_string(d.ports.dv3000) + " (" + s.stage +
                             " failed)\n"));
        EXPECT_TRUE(d.hasLog("DV3000 not found!, Fatal error exiting.\n"));
    }
}

} // namespace halvane
