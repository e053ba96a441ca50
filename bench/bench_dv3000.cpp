// Round trip of one DV3000 exchange against the dv3000-sim program on
// loopback: encoding one 20 ms block (326-byte request, 15-byte reply) and
// decoding one frame (15-byte request, 326-byte reply), over UDP (an AMBE
// server) and over a pseudo-terminal (a chip on a serial line). The
// simulator's stand-in vocoder costs next to nothing, so the figures are the
// protocol and transport cost Halvane adds per block. dv3000-sim is expected
// beside this program (both are built into build/bin).

#include "CDMR_DV3000.h"
#include "CDV3000_Base.h"
#include "Log.h"

#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace halvane {

namespace {

// The rest of the complete line that begins with `marker`, or "".
std::string lineAfter(const std::string& text, const std::string& marker)
{
    const std::size_t at = text.find(marker);
    if (at == std::string::npos)
        return "";
    const std::size_t begin = at + marker.size();
    const std::size_t end = text.find('\n', begin);
    return end == std::string::npos ? "" : text.substr(begin, end - begin);
}

// The simulator as a child process, stopped when the program ends.
class Simulator {
public:
    Simulator()
    {
        const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "dv3000-sim";
        int out[2];
        if (!std::filesystem::exists(program) || ::pipe2(out, O_CLOEXEC) != 0) {
            error_ = "dv3000-sim not found beside the benchmark: " + program.string();
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::execl(program.c_str(), "dv3000-sim", "--udp", "0", "--pty", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        readAnnouncement(out[0]);
        ::close(out[0]);
    }
    ~Simulator()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    const std::string& error() const { return error_; }
    int udpPort() const { return udpPort_; }
    const std::string& ptyPath() const { return ptyPath_; }

private:
    void readAnnouncement(int fd)
    {
        std::string text;
        std::string udp;
        std::string pty;
        while ((udp = lineAfter(text, "dv3000-sim: listening on udp 127.0.0.1:")).empty() ||
               (pty = lineAfter(text, "dv3000-sim: serial device ")).empty()) {
            pollfd entry{fd, POLLIN, 0};
            char buf[256];
            ssize_t n = 0;
            if (::poll(&entry, 1, 10000) != 1 || (n = ::read(fd, buf, sizeof(buf))) <= 0) {
                error_ = "dv3000-sim did not start: " + text;
                return;
            }
            text.append(buf, static_cast<std::size_t>(n));
        }
        udpPort_ = std::stoi(udp);
        ptyPath_ = pty;
    }

    pid_t pid_ = -1;
    std::string error_;
    int udpPort_ = 0;
    std::string ptyPath_;
};

Simulator& simulator()
{
    static Simulator instance;
    return instance;
}

// A started chip on the chosen transport, or null with the reason in `error`.
std::unique_ptr<CDMR_DV3000> startChip(bool serial, std::string& error)
{
    Simulator& sim = simulator();
    if (!sim.error().empty()) {
        error = sim.error();
        return nullptr;
    }
    setLogLevel(0);
    DV3000Options link;
    link.serial = serial;
    link.address = serial ? sim.ptyPath() : "127.0.0.1";
    link.port = static_cast<unsigned>(sim.udpPort());
    auto chip = std::make_unique<CDMR_DV3000>(72, link, DV3000Timing{std::chrono::microseconds(1000),
                                                               std::chrono::milliseconds(100),
                                                               std::chrono::milliseconds(5000)});
    if (chip->dv3000Ready != 1) {
        error = "the simulator did not start up as a chip";
        return nullptr;
    }
    return chip;
}

void BM_EncodeExchange(benchmark::State& state)
{
    const bool serial = state.range(0) != 0;
    std::string error;
    const auto chip = startChip(serial, error);
    if (!chip) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::array<short, 160> samples{};
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<short>(i * 97);
    std::array<unsigned char, 9> frame{};
    for (auto _ : state) {
        if (chip->dv3000Encode(frame.data(), 320, samples.data()) != 9) {
            state.SkipWithError("encode exchange failed");
            break;
        }
        benchmark::DoNotOptimize(frame);
        samples[0] = static_cast<short>(samples[0] + 1);
    }
    state.SetLabel(serial ? "pty" : "udp");
    state.SetItemsProcessed(state.iterations());
}

void BM_DecodeExchange(benchmark::State& state)
{
    const bool serial = state.range(0) != 0;
    std::string error;
    const auto chip = startChip(serial, error);
    if (!chip) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::array<unsigned char, 9> frame = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x11};
    std::array<short, 160> pcm{};
    for (auto _ : state) {
        if (!chip->dv3000Decode(frame.data(), 9, pcm.data())) {
            state.SkipWithError("decode exchange failed");
            break;
        }
        benchmark::DoNotOptimize(pcm);
        ++frame[8];
    }
    state.SetLabel(serial ? "pty" : "udp");
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_EncodeExchange)->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK(BM_DecodeExchange)->Arg(0)->Arg(1)->UseRealTime();

} // namespace halvane
