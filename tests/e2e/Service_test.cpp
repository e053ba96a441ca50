// Halvane as an operator runs it, through the real binary: a port it cannot
// bind stops start-up with its status, a stand-in for
// systemd's notify socket hears READY, WATCHDOG with the health status, and
// STOPPING, the info file carries the counters and goes at exit, and under
// systemd the journal alone gets the log.
#include "DaemonFixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>
#include <sys/un.h>

namespace halvane {

using namespace std::chrono_literals;

namespace {

// The datagram socket systemd hands a Type=notify service in NOTIFY_SOCKET.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path)
    {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    }
    ~NotifySocket() { ::close(fd_); }

    // Messages until one contains every one of `texts` (that one last);
    // empty when none does within `limit`.
    std::vector<std::string> until(std::initializer_list<std::string> texts, std::chrono::milliseconds limit = 20s)
    {
        std::vector<std::string> seen;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                   std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return {};
            char buffer[4096];
            const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
            if (n <= 0)
                continue;
            seen.emplace_back(buffer, static_cast<std::size_t>(n));
            if (std::all_of(texts.begin(), texts.end(),
                            [&](const std::string& text) { return seen.back().find(text) != std::string::npos; }))
                return seen;
        }
    }

    const std::string& path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
};

std::vector<PcmBlock> tones(int n)
{
    std::vector<PcmBlock> blocks(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k)
        for (std::size_t i = 0; i < PCM_BLOCK_SAMPLES; ++i)
            blocks[static_cast<std::size_t>(k)][i] = static_cast<std::int16_t>((k + 1) * 700 * ((i / 8) % 2 ? 1 : -1));
    return blocks;
}

} // namespace

// A port another program holds leaves Halvane deaf on that side: it ends
// with its own status instead, naming the key (the USRP side: PeerGuard).
TEST(Service, PortThatCannotBeBoundStopsStartupWith251)
{
    Daemon d;
    UdpSocket holder(d.ports.tlvRx);
    d.start(d.ini("decoderFallBack = true\n"));
    EXPECT_EQ(d.process->wait(), 251);
    EXPECT_TRUE(d.hasLog("F: ")) << d.log();
    EXPECT_TRUE(d.hasLog("Can not listen on port " + std::to_string(d.ports.tlvRx) + " ([AMBE_AUDIO] RXPort)"))
        << d.log();
}

// READY once both ports answer, WATCHDOG with the counters while calls flow
// both ways, STOPPING at the end; the info file carries the counters while
// Halvane runs and is gone after it.
TEST(Service, TellsTheServiceManagerReadyWatchdogAndStopping)
{
    Daemon d;
    NotifySocket manager(d.dir.file("notify"));
    UsrpClient client;
    TlvPartner partner;
    const auto simulator = d.chipOnUdp();
    ASSERT_TRUE(simulator && d.connect(partner) && d.connect(client));
    d.start(d.ini("", "ambeMode = NXDN\n"), {{"NOTIFY_SOCKET", manager.path()}, {"WATCHDOG_USEC", "600000"}});

    const std::vector<std::string> ready = manager.until({"READY=1"});
    ASSERT_EQ(ready.size(), 1u) << "READY comes first";
    EXPECT_NE(ready[0].find("STATUS=USRP>TLV (DV3000 since "), std::string::npos) << ready[0];
    EXPECT_NE(ready[0].find("Z): 0 calls, 0 blocks in"), std::string::npos) << ready[0];
    ASSERT_TRUE(client.registerClient() && client.receiveText("REG:OK", 5s)) << "the USRP port is bound";

    for (const PcmBlock& block : tones(6))
        client.sendVoice(block, UsrpCodec::Slin);
    client.sendUnkey(UsrpCodec::Slin);
    ASSERT_TRUE(partner.sendBegin({3100123, 3100002, 91, 2, 1, ""}));
    std::vector<std::uint8_t> voice{2};
    for (int i = 0; i < 27; ++i)
        voice.push_back(static_cast<std::uint8_t>(i * 11));
    ASSERT_TRUE(partner.sendValue(TAG_AMBE_72, voice));
    ASSERT_TRUE(partner.sendEnd(2));

    const std::vector<std::string> flowing =
        manager.until({"Z): 1 calls, 6 blocks in, 6 frames out, 0 dropped, 0 vocoder failures, 0 from unknown senders; "
                       "TLV>USRP (DV3000 since ",
                       "Z): 1 calls, 3 frames in, 3 blocks out"});
    ASSERT_FALSE(flowing.empty());
    EXPECT_EQ(flowing.back().rfind("WATCHDOG=1\nSTATUS=", 0), 0u) << flowing.back();

    const std::string info = d.infoPath();
    const nlohmann::json record = nlohmann::json::parse(readFile(info), nullptr, false);
    ASSERT_FALSE(record.is_discarded()) << readFile(info);
    EXPECT_EQ(record["health"]["usrp_to_tlv"]["calls_ended"], "1");
    EXPECT_EQ(record["health"]["tlv_to_usrp"]["calls_ended"], "1");
    EXPECT_EQ(record["health"]["tlv_to_usrp"]["vocoder"], "DV3000");
    EXPECT_TRUE(d.hasLog("USRP client 127.0.0.1:" + std::to_string(client.localPort()) + " registered"));
    EXPECT_TRUE(d.hasLog("Call from the USRP client ended by its unkey after "));
    EXPECT_TRUE(d.hasLog(": 6 blocks in, 6 frames out"));
    EXPECT_TRUE(d.hasLog("Call from the partner on slot 2 ended after "));

    d.process->signal(SIGTERM);
    EXPECT_FALSE(manager.until({"STOPPING=1"}).empty());
    EXPECT_EQ(d.process->wait(), 0);
    EXPECT_FALSE(std::filesystem::exists(info));
}

// When standard output is the journal, the journal keeps the lines; a log
// file as well only when the configuration asks for one.
TEST(Service, WithTheJournalNoLogFileUnlessOneIsAskedFor)
{
    for (const bool askForFile : {false, true}) {
        Daemon d;
        // systemd names the journal stream by the device and inode of the
        // service's standard output: here the file the fixture gives it.
        d.dir.write("stdout", "");
        struct stat out {};
        ASSERT_EQ(::stat(d.dir.file("stdout").c_str(), &out), 0);
        d.start(d.ini(std::string("decoderFallBack = true\n") + (askForFile ? "logDestination = both\n" : "")),
                {{"JOURNAL_STREAM", std::to_string(out.st_dev) + ":" + std::to_string(out.st_ino)}});
        ASSERT_TRUE(eventually([&] {
            return readFile(d.dir.file("stdout")).find("Starting TLV --> Halvane (decoder)") != std::string::npos;
        }));
        if (askForFile) {
            EXPECT_TRUE(d.waitForLog("Starting TLV --> Halvane (decoder)"));
        } else {
            EXPECT_FALSE(std::filesystem::exists(d.dir.file("Halvane.log")));
        }
    }
}

} // namespace halvane
