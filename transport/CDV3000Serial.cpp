#include "CDV3000Serial.h"

#include "DV3000Protocol.h"
#include "Log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace halvane {

namespace {

// A line that keeps sending noise must not hold an exchange for ever.
constexpr int MAX_SKIPPED_PER_REPLY = 4096;
// Far more than a line buffer holds; a babbling line must not keep the
// drain going for ever.
constexpr int MAX_DRAINED = 65536;

using Clock = std::chrono::steady_clock;

// Polls `fd` for `events` until `deadline`; true when one of them (or a
// hang-up, which the following read reports) occurred.
bool pollUntil(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd entry{};
        entry.fd = fd;
        entry.events = events;
        const int ready = ::poll(&entry, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0;
    }
}

} // namespace

CDV3000Serial::~CDV3000Serial()
{
    closeSerial();
}

void CDV3000Serial::setTTY(const char* path)
{
    tty = path != nullptr ? path : "";
}

int CDV3000Serial::openSerial(long baud)
{
    closeSerial();
    // O_NONBLOCK already for the open itself: a line without carrier would
    // otherwise block it.
    fd = ::open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        Log(quiet ? 1 : 5, "Serial: error when opening %s, errno=%d\n", tty.c_str(), err);
        return fd;
    }

    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        Log(5, "Serial: error %d from tcgetattr\n", errno);
        return -1;
    }
    if (debug)
        Log(2, "Serial: Baud %ld\n", baud);

    const speed_t speed = baud == 230400 ? B230400 : B460800;
    ::cfsetospeed(&tio, speed);
    ::cfsetispeed(&tio, speed);

    tio.c_iflag &= ~static_cast<tcflag_t>(BRKINT | INPCK | ISTRIP | ICRNL | IXON | IXANY | IXOFF);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB);
    // CREAD and CLOCAL: receive, and ignore the modem lines, which a USB
    // adapter's DCD would otherwise gate.
    tio.c_cflag |= CS8 | CRTSCTS | CREAD | CLOCAL;
    tio.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO | ECHOE | IEXTEN);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 1;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        Log(5, "Serial: error %d from tcsetattr\n", errno);
        return -1;
    }
    if (debug)
        Log(2, "Serial: opened %s %ld\n", tty.c_str(), baud);

    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);

    // Without the flag a USB adapter holds received bytes back for its
    // latency timer. Ptys and some drivers refuse; that only costs latency.
    serial_struct settings{};
    if (::ioctl(fd, TIOCGSERIAL, &settings) == 0) {
        settings.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &settings);
    }
    return fd;
}

void CDV3000Serial::closeSerial()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool CDV3000Serial::waitForData(int sec, int usec) const
{
    if (fd < 0)
        return false;
    const auto limit = std::chrono::seconds(std::max(sec, 0)) + std::chrono::microseconds(std::max(usec, 0));
    return pollUntil(fd, POLLIN, Clock::now() + limit);
}

int CDV3000Serial::readSerial(unsigned char* buf, int len)
{
    if (fd < 0 || buf == nullptr || len < 0) {
        errno = EBADF;
        return -1;
    }
    return static_cast<int>(::read(fd, buf, static_cast<size_t>(len)));
}

int CDV3000Serial::writeSerial(const unsigned char* buf, int len)
{
    if (fd < 0 || buf == nullptr || len <= 0)
        return 0;
    // Flow control may hold the line; a short write is finished, not lost.
    const auto deadline = Clock::now() + replyTimeout;
    int written = 0;
    while (written < len) {
        const ssize_t n = ::write(fd, buf + written, static_cast<size_t>(len - written));
        if (n > 0) {
            written += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && pollUntil(fd, POLLOUT, deadline))
            continue;
        break;
    }
    return written;
}

int CDV3000Serial::readSome(unsigned char* buf, int len)
{
    const auto deadline = Clock::now() + replyTimeout;
    for (;;) {
        if (!pollUntil(fd, POLLIN, deadline))
            return 0;
        const ssize_t n = ::read(fd, buf, static_cast<size_t>(len));
        if (n > 0)
            return static_cast<int>(n);
        // Readable but nothing to read is a hang-up (adapter unplugged);
        // only an interrupted or spurious wake-up is worth another wait.
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) && Clock::now() < deadline)
            continue;
        return 0;
    }
}

int CDV3000Serial::readLen(unsigned char* buf, int len)
{
    if (buf == nullptr || len < 1)
        return 0;
    std::memset(buf, 0, static_cast<size_t>(len));
    if (fd < 0)
        return 0;
    int got = 0;
    while (got < len) {
        const int n = readSome(buf + got, len - got);
        if (n <= 0)
            break;
        got += n;
    }
    return got;
}

int CDV3000Serial::dropPendingInput()
{
    unsigned char sink[256];
    int total = 0;
    while (total < MAX_DRAINED) {
        const ssize_t n = ::read(fd, sink, sizeof(sink));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        total += static_cast<int>(n);
    }
    return total;
}

int CDV3000Serial::readHeader(unsigned char* in)
{
    constexpr int HEADER = static_cast<int>(dv3000::HEADER_SIZE);
    int have = 0;
    int noise = 0;
    for (;;) {
        // Keep the buffer beginning at a start byte.
        int start = 0;
        while (start < have && in[start] != dv3000::START_BYTE)
            ++start;
        if (start > 0) {
            std::memmove(in, in + start, static_cast<size_t>(have - start));
            have -= start;
            noise += start;
        }
        if (have == HEADER) {
            if (dv3000::isPlausibleHeader(in))
                break;
            // A start byte inside noise: look again from the next byte.
            std::memmove(in, in + 1, HEADER - 1);
            have = HEADER - 1;
            ++noise;
            continue;
        }
        if (noise > MAX_SKIPPED_PER_REPLY)
            break;
        const int n = readSome(in + have, HEADER - have);
        if (n <= 0)
            break;
        have += n;
    }
    if (have < HEADER)
        std::memset(in + have, 0, static_cast<size_t>(HEADER - have));
    if (noise > 0) {
        skipped += noise;
        Log(4, "Serial: skipped %d byte(s) before a DV3000 packet start\n", noise);
    }
    return have;
}

int CDV3000Serial::sendRecv(const unsigned char* out, int outLen, unsigned char* in, int inLen)
{
    constexpr int HEADER = static_cast<int>(dv3000::HEADER_SIZE);
    if (fd < 0 || out == nullptr || outLen <= 0 || in == nullptr || inLen < HEADER)
        return 0;

    // A reply that arrived after its exchange had given up would otherwise
    // answer this request, and every later one would stay a reply behind.
    const int stale = dropPendingInput();
    if (stale > 0) {
        dropped += stale;
        Log(4, "Serial: dropped %d stale byte(s) before a request\n", stale);
    }

    if (writeSerial(out, outLen) < outLen) {
        Log(4, "Serial: write not fully sent\n");
        return 0;
    }

    const int headerBytes = readHeader(in);
    if (headerBytes < HEADER) {
        Log(4, "Serial: response header not fully read.  Bytes received: %d\n", headerBytes);
        return headerBytes;
    }

    const int length = std::min(static_cast<int>(dv3000::payloadLength(in)), inLen - HEADER);
    std::memset(in + HEADER, 0, static_cast<size_t>(length));
    int got = 0;
    while (got < length) {
        const int n = readSome(in + HEADER + got, length - got);
        if (n <= 0)
            break;
        got += n;
    }
    const int received = HEADER + got;
    if (got != length)
        Log(4, "Serial: response body not fully read. rxLen=%d leftToRead=%d\n", received, length);
    return received;
}

} // namespace halvane
