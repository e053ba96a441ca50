// Start-up of the real binary against the DV3000 simulator, over UDP (an
// AMBE server) and over a pseudo-terminal (a serial DV3000).
#include "DaemonFixture.h"
#include "Dv3000Simulator.h"

#include <gtest/gtest.h>

namespace halvane {

namespace {

std::unique_ptr<Dv3000Simulator> startSimulator(bool pty, int udpPort)
{
    Dv3000Simulator::Options options;
    options.udp = !pty;
    options.pty = pty;
    options.udpPort = udpPort;
    auto simulator = std::make_unique<Dv3000Simulator>(options);
    std::string error;
    if (!simulator->start(error)) {
        ADD_FAILURE() << error;
        return nullptr;
    }
    return simulator;
}

} // namespace

// The chip is found over the network (DMR rate) and on a serial line
// (D-STAR rate); how each failed start-up stage is reported is tested on
// the DV3000 class itself (tests/tools/DV3000Exchange_test.cpp).
TEST(Hardware, StartsOverAnAmbeServerAndOverASerialLine)
{
    Daemon network;
    auto server = startSimulator(false, network.ports.dv3000);
    ASSERT_TRUE(server);
    network.start(network.ini());
    Daemon serial;
    auto line = startSimulator(true, 0);
    ASSERT_TRUE(line);
    serial.start(serial.ini("", "ambeMode = DSTAR\n", "", "serial = true\nAddress = " + line->ptyPath() + "\n"));

    ASSERT_TRUE(network.waitForLog("Starting USRP --> Halvane (encoder) -> TLV thread"));
    EXPECT_TRUE(network.hasLog("Begin DV3000 decode\n"));
    EXPECT_TRUE(network.hasLog("Using hardware AMBE vocoder\n"));
    EXPECT_FALSE(network.hasLog("Using software"));
    EXPECT_EQ(server->stats().mode, Dv3000Simulator::RateMode::Dmr);
    ASSERT_TRUE(serial.waitForLog("Starting USRP --> Halvane (encoder) -> TLV thread"));
    EXPECT_TRUE(serial.hasLog("Using hardware AMBE vocoder\n"));
    EXPECT_EQ(line->stats().mode, Dv3000Simulator::RateMode::Dstar);
}

} // namespace halvane
