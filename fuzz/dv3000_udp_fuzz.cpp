// The DV3000 reply reader over UDP: an AMBE server on loopback answers each
// vocoding request of a real chip object with the input as one datagram, and
// the chip checks it as it would a reply from the network. The first byte
// chooses encoding or decoding; framing checks see the input directly too.
#include "CDV3000_Base.h"
#include "DV3000Protocol.h"
#include "FuzzSupport.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

using namespace halvane;
using namespace std::chrono_literals;

namespace {

// A socket on 127.0.0.1 that answers every request with the current reply.
class FakeServer {
public:
    FakeServer()
    {
        sock_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (sock_ < 0 || ::bind(sock_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::getsockname(sock_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            std::abort();
        port_ = ntohs(address.sin_port);
        // Lives until the process ends, blocked in recvfrom between requests;
        // hence the server is never destroyed.
        std::thread([this] { serve(); }).detach();
    }
    int port() const { return port_; }
    fuzz::CannedReply reply;

private:
    void serve()
    {
        std::uint8_t request[dv3000::REPLY_BUFFER_SIZE];
        for (;;) {
            sockaddr_in from{};
            socklen_t length = sizeof(from);
            if (::recvfrom(sock_, request, sizeof(request), 0, reinterpret_cast<sockaddr*>(&from), &length) < 0)
                continue;
            const std::vector<std::uint8_t> bytes = reply.get();
            ::sendto(sock_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }
    int sock_ = -1;
    int port_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static FakeServer& server = *new FakeServer;
    static CDV3000_Base chip = [] {
        DV3000Options options;
        options.port = static_cast<unsigned>(server.port());
        // A lost reply costs a few milliseconds, not the quarter second of a chip.
        return CDV3000_Base(options, DV3000Timing{0us, 0ms, 5ms, 5ms});
    }();
    static bool opened = chip.udp.openSocket("127.0.0.1", server.port(), 0) >= 0;
    if (!opened || size < 1 || size > dv3000::REPLY_BUFFER_SIZE + 1)
        return 0;

    const std::uint8_t* reply = data + 1;
    const std::size_t replySize = size - 1;
    chip.validateDV3000(static_cast<int>(replySize), reply, data[0] & 3);

    server.reply.set(reply, replySize);
    chip.dv3000Ready = 1;
    if (data[0] & 4) {
        short samples[dv3000::SAMPLES_PER_BLOCK] = {};
        unsigned char frame[dv3000::FRAME_BYTES] = {};
        chip.dv3000Encode(frame, dv3000::BLOCK_BYTES, samples);
    } else {
        const unsigned char frame[dv3000::FRAME_BYTES] = {};
        short pcm[dv3000::SAMPLES_PER_BLOCK];
        chip.dv3000Decode(frame, dv3000::FRAME_BYTES, pcm);
    }
    return 0;
}
