// The serial transport over a real pseudo-terminal: the test plays the chip
// on the master side, byte by byte, so framing, resynchronisation, stale
// input and cut replies are seen exactly as on a USB serial line.
#include "CDV3000Serial.h"

#include "LogCapture.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace halvane {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr auto LIMIT = 10s; // only a failing test waits this long

const Bytes CHANNEL_REPLY = {0x61, 0x00, 0x0B, 0x01, 0x01, 0x48, 1, 2, 3, 4, 5, 6, 7, 8, 9};
const Bytes OTHER_REPLY = {0x61, 0x00, 0x0B, 0x01, 0x01, 0x48, 9, 8, 7, 6, 5, 4, 3, 2, 1};
const Bytes REQUEST = {0x61, 0x00, 0x0B, 0x01, 0x01, 0x48, 0, 0, 0, 0, 0, 0, 0, 0, 0};

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A pseudo-terminal whose master side the test drives. The test also holds
// the slave open, so the line stays up while the transport reopens it, and
// can look at the line's settings and readiness from there.
class Pty {
public:
    Pty()
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = {};
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
            ::ptsname_r(master_, name, sizeof(name)) != 0)
            return;
        path_ = name;
        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios tio{};
        ::tcgetattr(slave_, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave_, TCSANOW, &tio);
    }
    ~Pty()
    {
        closeMaster();
        if (slave_ >= 0)
            ::close(slave_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& path() const { return path_; }
    int slave() const { return slave_; }

    void write(const Bytes& bytes) const { ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }

    // Reads exactly `count` bytes from the master side (what the transport
    // wrote), or fewer when nothing more comes within LIMIT.
    Bytes read(std::size_t count) const
    {
        Bytes got;
        const auto deadline = std::chrono::steady_clock::now() + LIMIT;
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd entry{master_, POLLIN, 0};
            if (::poll(&entry, 1, 100) <= 0)
                continue;
            std::uint8_t buf[512];
            const ssize_t n = ::read(master_, buf, std::min(sizeof(buf), count - got.size()));
            if (n <= 0)
                break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

    // True once the line holds input for the transport (bytes written by the
    // test have crossed the pseudo-terminal).
    bool slaveReadable() const
    {
        pollfd entry{slave_, POLLIN, 0};
        return ::poll(&entry, 1, static_cast<int>(std::chrono::milliseconds(LIMIT).count())) > 0;
    }

    void closeMaster()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

class SerialLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(pty.path().empty());
        serial.setTTY(pty.path().c_str());
        ASSERT_GT(serial.openSerial(460800), 0);
        serial.setReplyTimeout(1000ms);
    }

    // One exchange against `reply`; the reply read back.
    Bytes exchange(const Bytes& reply, int inLen = 400)
    {
        // The chip's side: takes the request off the line, then replies.
        Bytes request;
        std::thread chip([&] {
            request = pty.read(REQUEST.size());
            pty.write(reply);
        });
        Bytes in(static_cast<std::size_t>(inLen), 0xCC);
        const int got = serial.sendRecv(REQUEST.data(), static_cast<int>(REQUEST.size()), in.data(), inLen);
        chip.join();
        EXPECT_EQ(request, REQUEST);
        in.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return in;
    }

    LogCapture log;
    Pty pty;
    CDV3000Serial serial;
};

} // namespace

TEST(SerialPort, OpensARawLineAtOneOfTwoSpeeds)
{
    Pty pty;
    ASSERT_FALSE(pty.path().empty());
    CDV3000Serial serial;
    serial.setTTY(pty.path().c_str());

    for (const auto& [asked, expected] : {std::pair{115200L, B460800}, {460800L, B460800}, {230400L, B230400}}) {
        ASSERT_GT(serial.openSerial(asked), 0) << asked;
        termios tio{};
        ASSERT_EQ(::tcgetattr(pty.slave(), &tio), 0);
        EXPECT_EQ(::cfgetospeed(&tio), expected) << asked;
        EXPECT_EQ(::cfgetispeed(&tio), expected) << asked;
        EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(tio.c_cflag & (CSTOPB | PARENB), 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP), 0u);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
        EXPECT_EQ(tio.c_cc[VMIN], 0);
        EXPECT_EQ(tio.c_cc[VTIME], 1);
    }
    serial.closeSerial();
    EXPECT_FALSE(serial.isOpen());
}

TEST(SerialPort, MissingDeviceFailsWithItsMessage)
{
    LogCapture log;
    CDV3000Serial serial;
    serial.setTTY("/dev/halvane-no-such-tty");
    EXPECT_LT(serial.openSerial(460800), 0);
    EXPECT_TRUE(log.has('E', "Serial: error when opening /dev/halvane-no-such-tty, errno=2"));
    // Nothing is open, so an exchange fails at once instead of writing to
    // whatever descriptor 0 is.
    unsigned char in[16];
    EXPECT_EQ(serial.sendRecv(REQUEST.data(), static_cast<int>(REQUEST.size()), in, sizeof(in)), 0);
}

TEST_F(SerialLine, ReadsExactlyThePacketItsHeaderAnnounces)
{
    EXPECT_EQ(exchange(CHANNEL_REPLY), CHANNEL_REPLY);

    // Bytes after the packet are not part of this reply, and are not taken
    // for the next one either.
    EXPECT_EQ(exchange(CHANNEL_REPLY + Bytes{0xEE, 0xEE, 0xEE}), CHANNEL_REPLY);
    ASSERT_TRUE(pty.slaveReadable());
    EXPECT_EQ(exchange(OTHER_REPLY), OTHER_REPLY);
    EXPECT_EQ(serial.droppedBytes(), 3);
}

TEST_F(SerialLine, ResynchronisesOnTheStartByteAfterNoise)
{
    // Noise, including a start byte whose "header" cannot be one.
    const Bytes noise = {0x00, 0x13, 0x61, 0x7F, 0x7F, 0x07, 0x55, 0xAA};
    EXPECT_EQ(exchange(noise + CHANNEL_REPLY), CHANNEL_REPLY);
    EXPECT_EQ(serial.skippedBytes(), 8);
    EXPECT_TRUE(log.has('W', "Serial: skipped 8 byte(s) before a DV3000 packet start"));

    // A false start right before the real one: 61 61 00 0B ... must not be
    // read as a header with length 0x6100.
    EXPECT_EQ(exchange(Bytes{0x61} + OTHER_REPLY), OTHER_REPLY);
}

TEST_F(SerialLine, DropsAStaleReplyBeforeTheNextRequest)
{
    // The reply to an exchange that already gave up comes in late.
    pty.write(OTHER_REPLY);
    ASSERT_TRUE(pty.slaveReadable());

    EXPECT_EQ(exchange(CHANNEL_REPLY), CHANNEL_REPLY);
    EXPECT_EQ(serial.droppedBytes(), static_cast<long>(OTHER_REPLY.size()));
    EXPECT_TRUE(log.has('W', "Serial: dropped 15 stale byte(s) before a request"));
}

TEST_F(SerialLine, CutRepliesReturnWhatCameWithTheirMessages)
{
    // Three header bytes, then silence.
    EXPECT_EQ(exchange(Bytes{0x61, 0x00, 0x0B}).size(), 3u);
    EXPECT_TRUE(log.has('W', "Serial: response header not fully read.  Bytes received: 3"));

    // Half the payload, then silence.
    const Bytes half(CHANNEL_REPLY.begin(), CHANNEL_REPLY.begin() + 9);
    EXPECT_EQ(exchange(half), half);
    EXPECT_TRUE(log.has('W', "Serial: response body not fully read. rxLen=9 leftToRead=11"));

    // More payload announced than the caller's buffer holds: read up to the
    // buffer's end; the rest is not the next reply.
    Bytes big = {0x61, 0x00, 0x64, 0x02};
    big.resize(4 + 100, 0x42);
    const Bytes cut = exchange(big, 20);
    EXPECT_EQ(cut, Bytes(big.begin(), big.begin() + 20));
    ASSERT_TRUE(pty.slaveReadable());
    EXPECT_EQ(exchange(CHANNEL_REPLY), CHANNEL_REPLY);
}

TEST_F(SerialLine, AHungUpLineEndsTheExchangeInsteadOfWaiting)
{
    serial.setReplyTimeout(60s);
    pty.closeMaster();
    unsigned char in[400];
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(serial.sendRecv(REQUEST.data(), static_cast<int>(REQUEST.size()), in, sizeof(in)), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 30s);
}

} // namespace halvane
