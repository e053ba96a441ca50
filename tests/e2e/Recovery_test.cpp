// The DV3000 taken away and brought back under the real binary, over UDP
// (an AMBE server) and over a pseudo-terminal (a USB serial adapter,
// re-plugged at the same path), and transmissions that a command in the
// hang time must still end. The loss, the probe and the switch are tested
// without the daemon (tests/tools/DV3000Exchange_test.cpp).
#include "DaemonFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <mutex>
#include <thread>

namespace halvane {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto REPLY = 10s;

PcmBlock tone(int k)
{
    PcmBlock b;
    for (std::size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<std::int16_t>(6000.0 * std::sin(0.07 * (k % 50 + 5) * static_cast<double>(i)));
    return b;
}

// What arrived when, on one side.
class Arrivals {
public:
    void add(Clock::time_point t)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        times_.push_back(t);
    }
    int between(Clock::time_point from, Clock::time_point to) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<int>(std::count_if(times_.begin(), times_.end(),
                                              [&](Clock::time_point t) { return t > from && t < to; }));
    }

private:
    mutable std::mutex mutex_;
    std::vector<Clock::time_point> times_;
};

// Parameter: true for the serial line, false for UDP.
class Recovery : public ::testing::TestWithParam<bool> {
protected:
    bool serial() const { return GetParam(); }

    bool startSimulator()
    {
        if (!sim) {
            Dv3000Simulator::Options options;
            options.udp = !serial();
            options.udpPort = d.ports.dv3000;
            options.pty = serial();
            options.ptyLink = serial() ? d.dir.file("ttyDV3000") : "";
            sim = std::make_unique<Dv3000Simulator>(options);
        }
        std::string error;
        const bool started = sim->start(error);
        EXPECT_TRUE(started) << error;
        return started;
    }

    // The chip's section; a generous reply time-out, so that only a chip
    // that went away is taken for lost on a loaded machine.
    std::string dv3000Section() const
    {
        std::string section = "replyTimeoutMS = 1000\n";
        if (serial())
            section += "serial = true\nAddress = " + d.dir.file("ttyDV3000") + "\n";
        return section;
    }

    void startDaemon()
    {
        d.start(d.ini("decoderFallBack = true\n", "", "", dv3000Section()));
        ASSERT_TRUE(d.waitForLog("Starting USRP --> Halvane (encoder) -> TLV thread"));
        ASSERT_TRUE(d.connect(partner) && d.connect(client, true));
    }

    Daemon d;
    std::unique_ptr<Dv3000Simulator> sim;
    TlvPartner partner;
    UsrpClient client;
};

std::string transportName(const ::testing::TestParamInfo<bool>& info)
{
    return info.param ? "Serial" : "Udp";
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Transports, Recovery, ::testing::Bool(), transportName);

// A full-duplex call while the chip goes away and comes back 3 s later:
// registrations are answered throughout, frames flow both ways all along
// (vocoded in software meanwhile), the chip is used again once it answers,
// and the log has one line for the loss and one for the return.
TEST_P(Recovery, AChipThatGoesAwayMidCallComesBackAndTheCallGoesOn)
{
    ASSERT_TRUE(startSimulator());
    startDaemon();
    ASSERT_TRUE(d.hasLog("Using hardware AMBE vocoder"));

    std::atomic_bool stop{false};
    std::atomic<Clock::time_point> reregisterAt{Clock::time_point::max()};
    Arrivals partnerFrames, clientBlocks;
    std::atomic<Clock::time_point> answeredAt{Clock::time_point::max()};
    // The client talks (a registration in among its blocks when asked) and
    // hears; the partner talks and hears.
    std::thread talker([&] {
        auto next = Clock::now();
        for (int k = 0; !stop; ++k) {
            const PcmBlock b = tone(k);
            client.sendVoice(b, UsrpCodec::Slin);
            if (Clock::now() >= reregisterAt.load()) {
                reregisterAt = Clock::time_point::max();
                client.registerClient();
            }
            next += 20ms;
            std::this_thread::sleep_until(next);
        }
        client.sendUnkey(UsrpCodec::Slin);
    });
    std::thread hearer([&] {
        while (!stop) {
            auto m = client.receive(100ms);
            if (m && m->kind == UsrpMessage::Kind::Voice)
                clientBlocks.add(Clock::now());
            if (m && m->kind == UsrpMessage::Kind::Text && m->text == "REG:OK")
                answeredAt = Clock::now();
        }
    });
    std::thread network([&] {
        partner.sendBegin(CallRecord{3120001, 311000, 91, 1, 1, "N0CALL"});
        auto next = Clock::now();
        for (int k = 0; !stop; ++k) {
            std::vector<std::uint8_t> value{1};
            for (int f = 0; f < 3; ++f) {
                const auto frame = Dv3000Simulator::standInEncode(tone(3 * k + f), Dv3000Simulator::RateMode::Dmr);
                value.insert(value.end(), frame.begin(), frame.end());
            }
            partner.sendValue(TAG_AMBE_72, value);
            next += 60ms;
            std::this_thread::sleep_until(next);
        }
        partner.sendEnd(1);
    });
    std::thread listener([&] {
        while (!stop) {
            auto m = partner.receive(100ms);
            if (m && m->is(TAG_AMBE_72))
                partnerFrames.add(Clock::now());
        }
    });

    std::this_thread::sleep_for(1500ms);
    const long chipRequestsBefore = sim->stats().speechRequests;
    ASSERT_GT(chipRequestsBefore, 0);
    sim->stop();
    const Clock::time_point stopped = Clock::now();
    // Once the loss is noticed (one reply time-out), a registration is
    // answered while the chip is still away.
    ASSERT_TRUE(d.waitForLog(" lost (", 5s));
    const Clock::time_point lossNoticed = Clock::now();
    reregisterAt = lossNoticed;
    // Back 3 s later, or later still when a loaded machine noticed the loss
    // late, so that the software vocoder always has a while to show.
    std::this_thread::sleep_until(std::max(stopped + 3s, lossNoticed + 1500ms));
    const Clock::time_point restarted = Clock::now();
    const Clock::time_point answered = answeredAt.load();
    EXPECT_LT(answered, restarted) << "no registration answer while the chip was away";
    EXPECT_GT(answered, stopped);
    ASSERT_TRUE(startSimulator());
    const bool back = d.waitForLog("answers again after", 20s);
    std::this_thread::sleep_for(1s);
    stop = true;
    talker.join();
    hearer.join();
    network.join();
    listener.join();
    ASSERT_TRUE(back);

    // Frames flowed both ways while the chip was away, vocoded in software.
    EXPECT_GT(partnerFrames.between(lossNoticed, restarted), 10);
    EXPECT_GT(clientBlocks.between(lossNoticed, restarted), 30);
    // The chip does the work again.
    EXPECT_GT(sim->stats().speechRequests, chipRequestsBefore);
    EXPECT_GT(sim->stats().channelRequests, 0);
    const std::string log = d.log();
    EXPECT_EQ(d.countLines(" lost ("), 1) << log;
    EXPECT_EQ(d.countLines("answers again after"), 1) << log;
    EXPECT_EQ(d.countLines("DV3000 not found"), 0) << "the probes are quiet";
}

// A chip that appears after Halvane started (the shipped set-up with a late
// AMBE server) is found and used.
TEST_P(Recovery, AChipStartedAfterHalvaneIsFoundAndUsed)
{
    startDaemon();
    ASSERT_TRUE(d.waitForLog("Looking for the DV3000 at "));
    std::this_thread::sleep_for(5s);
    ASSERT_TRUE(startSimulator());
    ASSERT_TRUE(d.waitForLog("DV3000 found at ", 30s));

    std::vector<std::int16_t> speech(160 * 6);
    for (std::size_t i = 0; i < speech.size(); ++i)
        speech[i] = tone(static_cast<int>(i / 160))[i % 160];
    ASSERT_TRUE(client.sendTransmission(speech, UsrpCodec::Slin, Pacing::Network));
    ASSERT_TRUE(partner.receiveTag(TAG_END_TX, REPLY));
    EXPECT_EQ(sim->stats().speechRequests, 6);
}

// A DTMF digit, or a text command, sent in the DMR hang time of a short
// transmission is carried out, and the transmission still ends with
// TAG_END_TX when the hang time runs out, not at the 20 s PTT time-out.
TEST(HangTime, ADigitOrACommandInTheHangTimeStillEndsTheTransmission)
{
    Daemon d;
    TlvPartner partner;
    UsrpClient client;
    ASSERT_TRUE(d.startRunning() && d.connect(partner) && d.connect(client, true));

    const std::vector<std::int16_t> speech(160 * 5, 1000);
    const std::vector<std::function<bool()>> inHangTime{[&] { return client.sendDtmf("91"); },
                                                        [&] { return client.sendCommand("codec=ulaw"); }};
    for (const auto& send : inHangTime) {
        ASSERT_TRUE(client.sendTransmission(speech, UsrpCodec::Slin, Pacing::Network));
        ASSERT_TRUE(send());
        auto end = partner.receiveTag(TAG_END_TX, REPLY);
        ASSERT_TRUE(end) << "the partner stays keyed";
    }
    EXPECT_TRUE(d.waitForLog("txTg=: 91\n"));
    EXPECT_TRUE(d.waitForLog("codec=ulaw\n"));
    EXPECT_EQ(d.countLines("Short transmission, extend hang time"), 2);
    EXPECT_FALSE(d.hasLog("PTT timeout"));
}

} // namespace halvane
