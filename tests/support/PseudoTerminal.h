// A pseudo-terminal for tests: the test holds the master side and also keeps
// the slave open (so its settings persist and can be read back); a program
// under test is handed slavePath() as its console or as a character device.
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
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return;
        const char* name = ptsname(master_);
        if (name == nullptr)
            return;
        slavePath_ = name;
        slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~PseudoTerminal()
    {
        if (slave_ >= 0)
            close(slave_);
        if (master_ >= 0)
            close(master_);
    }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool ok() const { return slave_ >= 0; }
    const std::string& slavePath() const { return slavePath_; }

    // The slave's settings as a program on it sees them.
    termios settings() const
    {
        termios t{};
        tcgetattr(slave_, &t);
        return t;
    }
    bool echoAndLinesOn() const
    {
        const termios t = settings();
        return (t.c_lflag & ECHO) != 0 && (t.c_lflag & ICANON) != 0;
    }

    // Binary data written to the slave passes unchanged (no newline mapping).
    void makeRaw() const
    {
        termios t = settings();
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
    }

    // Typing at the console.
    bool type(const std::string& keys) const
    {
        return write(master_, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
    }

    // What the program wrote to the slave, as far as it arrives within `wait`.
    std::vector<std::uint8_t> read(std::chrono::milliseconds wait) const
    {
        std::vector<std::uint8_t> all;
        pollfd p{master_, POLLIN, 0};
        while (poll(&p, 1, static_cast<int>(wait.count())) > 0) {
            std::uint8_t chunk[4096];
            const ssize_t n = ::read(master_, chunk, sizeof(chunk));
            if (n <= 0)
                break;
            all.insert(all.end(), chunk, chunk + n);
        }
        return all;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

} // namespace halvane
