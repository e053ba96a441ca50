// The encode path's own cost per 20 ms block, with the DV3000 simulator as
// the AMBE server on loopback: from a USRP voice datagram waiting on the
// bridge's socket to the TLV record handed to the partner's socket. The
// chip exchange (the simulator's work and its two loopback hops) is timed
// inside each block and taken off, so the figure is the bridge's own work:
// reading, decoding, shaping, the record and the send.
//
// Every block reported is the third of its record, the one that sends.
// Counters: median and 99th percentile of the bridge's own time, and the
// median chip exchange that was taken off, all in microseconds.

#include "CDMR_DV3000.h"
#include "CUsrpPacket.h"
#include "Dv3000Simulator.h"
#include "EncodePath.h"
#include "Log.h"
#include "dv3000_servers.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cmath>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace halvane {

namespace {

using Clock = std::chrono::steady_clock;

// A bound loopback socket; sends to a port, drains what arrives.
class Socket {
public:
    Socket()
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        socklen_t len = sizeof(addr);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~Socket() { ::close(fd_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int port() const { return port_; }
    void sendTo(int port, const void* data, std::size_t size) const
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(fd_, data, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    }
    int drain() const
    {
        int n = 0;
        char buf[512];
        while (::recv(fd_, buf, sizeof(buf), MSG_DONTWAIT) > 0)
            ++n;
        return n;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

// The chip with its exchanges timed.
class TimedChip : public CDMR_DV3000 {
public:
    TimedChip(int ambeSize, const DV3000Options& options) : CDMR_DV3000(ambeSize, options) {}
    int dv3000Encode(unsigned char* ambe, unsigned int len, short* samples) override
    {
        const auto start = Clock::now();
        const int result = CDMR_DV3000::dv3000Encode(ambe, len, samples);
        exchange += Clock::now() - start;
        return result;
    }
    Clock::duration exchange{};
};

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(std::lround(p * static_cast<double>(values.size() - 1)));
    return values[at];
}

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

// range(0): the ambeSize (72 or 49); range(1): the tlvAudio shaping mode.
void BM_EncodePathBlock(benchmark::State& state)
{
    setLogLevel(0);
    Dv3000Simulator::Options options;
    options.udp = true;
    options.udpPort = 0;
    Dv3000Simulator simulator(options);
    std::string error;
    if (!simulator.start(error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    Socket client;
    Socket partner;
    CDV3000_UDP usrp("127.0.0.1", 0, CDV3000_UDP::FLAG_BIND);
    const int usrpPort = [&] {
        sockaddr_in addr{};
        socklen_t len = sizeof(addr);
        ::getsockname(usrp.getSocket(), reinterpret_cast<sockaddr*>(&addr), &len);
        return static_cast<int>(ntohs(addr.sin_port));
    }();

    dv3000_servers settings;
    settings.gatewayDmrId = 3100001;
    settings.repeaterID = 3100002;
    settings.ambeSize = static_cast<int>(state.range(0));
    settings.ambeMode.set(state.range(0) == 72 ? "NXDN" : "DMR_IPSC");
    settings.tlvAudio = static_cast<int>(state.range(1));
    settings.tlvGain = 0.8f;
    settings.tlvTxPorts.set(PortList{partner.port()});
    DV3000Options where;
    where.port = static_cast<unsigned>(simulator.udpPort());
    TimedChip chip(settings.ambeSize, where);
    if (chip.dv3000Ready != 1) {
        state.SkipWithError("the simulator did not start up as a chip");
        return;
    }
    std::atomic_bool asl{false}, registered{false}, reopen{false};
    WantedVocoder wanted{Vocoder::Dv3000};
    HealthRecord::Direction counted;
    EncodePath path({settings, asl, registered, reopen, nullptr, {wanted, &chip, nullptr}, {}, counted});
    path.start();

    std::vector<std::vector<std::uint8_t>> datagrams;
    for (int k = 0; k < 3; ++k) {
        CUsrpPacket packet;
        std::vector<std::int16_t> pcm(160);
        for (std::size_t i = 0; i < pcm.size(); ++i)
            pcm[i] = static_cast<std::int16_t>(8000.0 * std::sin(0.03 * static_cast<double>(k * 160 + i)));
        packet = CUsrpPacket::voice(static_cast<std::uint32_t>(k), pcm.data(), 320);
        datagrams.emplace_back(packet.data(), packet.data() + packet.size());
    }

    // One block as the encode thread handles it, once it is waiting.
    auto handleOne = [&](int k) {
        const auto& datagram = datagrams[static_cast<std::size_t>(k)];
        client.sendTo(usrpPort, datagram.data(), datagram.size());
        usrp.waitForData(1, 0);
        chip.exchange = {};
        const auto start = Clock::now();
        CUsrpPacket packet;
        const int got = usrp.readSocket(packet.data(), static_cast<unsigned>(packet.capacity()));
        packet.setReceived(got > 0 ? static_cast<std::size_t>(got) : 0);
        if (packet.hasMagic())
            path.handleVoice(packet);
        return std::make_pair(Clock::now() - start, chip.exchange);
    };

    handleOne(0); // the key-up and its call record are not the steady state
    handleOne(1);
    handleOne(2);
    std::vector<double> own;
    std::vector<double> chipTimes;
    for (auto _ : state) {
        handleOne(0);
        handleOne(1);
        const auto [total, exchange] = handleOne(2);
        const double ownUs = micros(total - exchange);
        own.push_back(ownUs);
        chipTimes.push_back(micros(exchange));
        state.SetIterationTime(ownUs / 1e6);
        partner.drain();
    }
    state.counters["median_us"] = percentile(own, 0.5);
    state.counters["p99_us"] = percentile(own, 0.99);
    state.counters["chip_median_us"] = percentile(chipTimes, 0.5);
    state.SetLabel(std::string(state.range(0) == 72 ? "72-bit" : "49-bit") +
                   (state.range(1) == AUDIO_USE_BPF ? " band-pass" : state.range(1) == AUDIO_USE_GAIN ? " gain" : ""));
}

} // namespace

BENCHMARK(BM_EncodePathBlock)
    ->Args({72, AUDIO_UNITY})
    ->Args({49, AUDIO_UNITY})
    ->Args({72, AUDIO_USE_BPF})
    ->UseManualTime()
    ->Iterations(3000)
    ->Unit(benchmark::kMicrosecond);

} // namespace halvane
