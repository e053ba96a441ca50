// The DV3000 reply reader over a serial line: a pseudo-terminal plays the
// chip and answers each request with the input as one burst of bytes, which
// the transport reassembles (skipping noise, finding the header, reading the
// announced payload) before the chip's framing check sees the packet. Bytes
// left on the line are what the next exchange must drop.
#include "CDV3000Serial.h"
#include "CDV3000_Base.h"
#include "DV3000Protocol.h"
#include "FuzzSupport.h"

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace halvane;
using namespace std::chrono_literals;

namespace {

// The master side of a pseudo-terminal; a thread answers every request
// written to the slave with the current reply.
class FakeLine {
public:
    FakeLine()
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = {};
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
            ::ptsname_r(master_, name, sizeof(name)) != 0)
            std::abort();
        path_ = name;
        std::thread([this] { serve(); }).detach();
    }
    const std::string& path() const { return path_; }
    fuzz::CannedReply reply;

private:
    void serve()
    {
        std::uint8_t request[dv3000::REPLY_BUFFER_SIZE];
        for (;;) {
            pollfd entry{master_, POLLIN, 0};
            if (::poll(&entry, 1, -1) <= 0 || ::read(master_, request, sizeof(request)) <= 0) {
                // No slave open yet (hang-up): wait for the transport to open it.
                std::this_thread::sleep_for(1ms);
                continue;
            }
            const std::vector<std::uint8_t> bytes = reply.get();
            if (!bytes.empty() && ::write(master_, bytes.data(), bytes.size()) < 0)
                continue;
        }
    }
    int master_ = -1;
    std::string path_;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Never destroyed: its thread may still be answering a late request while
    // the process runs its exit handlers.
    static FakeLine& line = *new FakeLine;
    static CDV3000Serial serial;
    static CDV3000_Base chip; // for its framing check only; never started
    static const bool opened = [] {
        serial.setTTY(line.path().c_str());
        // A line that falls silent is given up after a millisecond.
        serial.setReplyTimeout(1ms);
        return serial.openSerial(460800) >= 0;
    }();
    // The pseudo-terminal holds a few kilobytes; a longer burst could block.
    if (!opened || size < 1 || size > 2 * dv3000::REPLY_BUFFER_SIZE)
        return 0;

    const std::uint8_t type = data[0] & 3;
    line.reply.set(data + 1, size - 1);
    static constexpr std::uint8_t REQUEST[dv3000::CHANNEL_PACKET_SIZE] = {0x61, 0x00, 0x0B, 0x01, 0x01, 0x48};
    unsigned char reply[dv3000::REPLY_BUFFER_SIZE];
    const int count = serial.sendRecv(REQUEST, sizeof(REQUEST), reply, sizeof(reply));
    if (count < 0 || count > static_cast<int>(sizeof(reply)))
        std::abort();
    chip.validateDV3000(count, reply, type);
    return 0;
}
