// A pseudo-terminal for tests: the test holds the master side and keeps the
// slave open too (so its settings persist and can be read back); a program
// under test gets slavePath() as its console or as a character device.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace halvane {

class PseudoTerminal {
public:
    PseudoTerminal()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0 && ptsname(master_) != nullptr) {
            slavePath_ = ptsname(master_);
            slave_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        }
    }
    ~PseudoTerminal()
    {
        close(slave_);
        close(master_);
    }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool ok() const { return slave_ >= 0; }
    const std::string& slavePath() const { return slavePath_; }

    // As a console: line editing and echo on, as a shell leaves them.
    bool echoAndLinesOn() const
    {
        termios t{};
        return tcgetattr(slave_, &t) == 0 && (t.c_lflag & ECHO) != 0 && (t.c_lflag & ICANON) != 0;
    }
    // As a device: bytes written to the slave pass unchanged.
    void makeRaw() const
    {
        termios t{};
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
    }

    bool type(const std::string& keys) const
    {
        return write(master_, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
    }

    // What the program wrote to the slave, until nothing comes for `quiet`.
    std::vector<std::uint8_t> read(std::chrono::milliseconds quiet) const
    {
        std::vector<std::uint8_t> all;
        pollfd p{master_, POLLIN, 0};
        std::uint8_t chunk[4096];
        ssize_t n = 0;
        while (poll(&p, 1, static_cast<int>(quiet.count())) > 0 && (n = ::read(master_, chunk, sizeof(chunk))) > 0)
            all.insert(all.end(), chunk, chunk + n);
        return all;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

} // namespace halvane
