#include "Dv3000Simulator.h"

#include "DV3000Protocol.h"
#include "OptionCursor.h"
#include "SoftwareDecoder.h"
#include "SoftwareEncoder.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <numbers>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace halvane {

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// More than a slow reader could want; a client that never reads must not
// make the simulator grow without bound.
constexpr std::size_t MAX_PTY_BACKLOG = 65536;
constexpr int MAX_DATAGRAMS_PER_WAKE = 256;
constexpr std::size_t MAX_DATAGRAM = 2048;

// Noise with a false start byte whose "header" is implausible, so a reader
// that takes the first 0x61 for a packet start goes wrong.
const Bytes GARBAGE = {0x00, 0x13, 0x61, 0x7F, 0x7F, 0x07, 0x55, 0xAA};
const char WRONG_PRODUCT[dv3000::PRODID_TEXT_SIZE] = "AMBE2000R";
constexpr std::uint8_t RATE_STATUS_FAILED = 0x01;

constexpr std::uint64_t FNV64_BASIS = 0xcbf29ce484222325ULL;
constexpr std::uint64_t FNV64_PRIME = 0x100000001b3ULL;
constexpr std::uint32_t FNV32_BASIS = 0x811c9dc5U;
constexpr std::uint32_t FNV32_PRIME = 0x01000193U;

std::uint64_t fnv64(std::uint64_t hash, std::uint8_t byte)
{
    return (hash ^ byte) * FNV64_PRIME;
}

std::string errorText(int err)
{
    return std::system_category().message(err);
}

bool isReplyFault(Dv3000Simulator::Fault fault)
{
    using F = Dv3000Simulator::Fault;
    return fault != F::NoReady && fault != F::BadProductId && fault != F::RateFail;
}

Bytes controlPacket(std::initializer_list<std::uint8_t> payload)
{
    Bytes packet(dv3000::HEADER_SIZE);
    packet[0] = dv3000::START_BYTE;
    dv3000::setPayloadLength(packet.data(), payload.size());
    packet[dv3000::OFFSET_TYPE] = dv3000::TYPE_CONTROL;
    packet.insert(packet.end(), payload);
    return packet;
}

bool parseInt(const std::string& text, int low, int high, int& value)
{
    int parsed = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, parsed);
    if (ec != std::errc() || ptr != end || text.empty() || parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
}

struct FaultEntry {
    const char* name;
    Dv3000Simulator::Fault fault;
};
constexpr FaultEntry FAULTS[] = {
    {"no-ready", Dv3000Simulator::Fault::NoReady},     {"bad-prodid", Dv3000Simulator::Fault::BadProductId},
    {"rate-fail", Dv3000Simulator::Fault::RateFail},   {"no-reply", Dv3000Simulator::Fault::NoReply},
    {"late", Dv3000Simulator::Fault::Late},            {"reset", Dv3000Simulator::Fault::Reset},
    {"wrong-type", Dv3000Simulator::Fault::WrongType}, {"short", Dv3000Simulator::Fault::Short},
    {"truncated", Dv3000Simulator::Fault::Truncated},  {"long", Dv3000Simulator::Fault::Long},
    {"garbage", Dv3000Simulator::Fault::Garbage},
};

} // namespace

void Dv3000Simulator::Fd::reset(int fd)
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

Dv3000Simulator::Dv3000Simulator(Options options) : options_(std::move(options)) {}

Dv3000Simulator::~Dv3000Simulator()
{
    stop();
}

bool Dv3000Simulator::start(std::string& error)
{
    if (thread_.joinable()) {
        error = "the simulator is already running";
        return false;
    }
    if (!options_.udp && !options_.pty) {
        error = "nothing to answer on: neither UDP nor a pseudo-terminal was asked for";
        return false;
    }
    if (options_.vocoder == Vocoder::Software)
        useSoftwareVocoder(options_);
    if (std::count_if(options_.faults.begin(), options_.faults.end(), isReplyFault) > 1) {
        error = "only one reply fault at a time";
        return false;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = "cannot create a pipe: " + errorText(errno);
        return false;
    }
    wakeRead_.reset(pipeFds[0]);
    wakeWrite_.reset(pipeFds[1]);
    if ((options_.udp && !openUdp(error)) || (options_.pty && !openPty(error))) {
        udp_.reset();
        ptyMaster_.reset();
        ptySlave_.reset();
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void Dv3000Simulator::stop()
{
    if (thread_.joinable()) {
        const char wake = 1;
        // The pipe cannot be full: only this thread writes it, once.
        [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite_.get(), &wake, 1);
        thread_.join();
    }
    udp_.reset();
    ptyMaster_.reset();
    ptySlave_.reset();
    wakeRead_.reset();
    wakeWrite_.reset();
    if (!options_.ptyLink.empty() && !ptyPath_.empty())
        ::unlink(options_.ptyLink.c_str());
    ptyPath_.clear();
    ptyInput_.clear();
    ptyOutput_.clear();
    late_.clear();
}

bool Dv3000Simulator::openUdp(std::string& error)
{
    // A restart comes back where the clients know it.
    const int port = options_.udpPort == 0 ? boundPort_ : options_.udpPort;
    const std::string where = options_.udpHost + ":" + std::to_string(port);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    if (port < 0 || port > 65535 ||
        ::inet_pton(AF_INET, options_.udpHost.c_str(), &local.sin_addr) != 1) {
        error = "not an IPv4 address and port: " + where;
        return false;
    }
    udp_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (udp_.get() < 0) {
        error = "cannot create a UDP socket: " + errorText(errno);
        return false;
    }
    if (::bind(udp_.get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
        error = "cannot bind UDP " + where + ": " + errorText(errno);
        return false;
    }
    socklen_t length = sizeof(local);
    ::getsockname(udp_.get(), reinterpret_cast<sockaddr*>(&local), &length);
    boundPort_ = ntohs(local.sin_port);
    return true;
}

bool Dv3000Simulator::openPty(std::string& error)
{
    ptyMaster_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    char path[128] = {};
    if (ptyMaster_.get() < 0 || ::grantpt(ptyMaster_.get()) != 0 || ::unlockpt(ptyMaster_.get()) != 0 ||
        ::ptsname_r(ptyMaster_.get(), path, sizeof(path)) != 0) {
        error = "cannot create a pseudo-terminal: " + errorText(errno);
        return false;
    }
    // Holding the slave open keeps the line up while clients come and go,
    // and raw mode from the start keeps the line discipline from echoing
    // replies back before a client has configured it.
    ptySlave_.reset(::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios tio{};
    if (ptySlave_.get() < 0 || ::tcgetattr(ptySlave_.get(), &tio) != 0) {
        error = std::string("cannot open the pseudo-terminal ") + path + ": " + errorText(errno);
        return false;
    }
    ::cfmakeraw(&tio);
    ::tcsetattr(ptySlave_.get(), TCSANOW, &tio);
    const int flags = ::fcntl(ptyMaster_.get(), F_GETFL);
    ::fcntl(ptyMaster_.get(), F_SETFL, flags | O_NONBLOCK);
    if (options_.ptyLink.empty()) {
        ptyPath_ = path;
        return true;
    }
    // A link left by a simulator that was killed is replaced.
    ::unlink(options_.ptyLink.c_str());
    if (::symlink(path, options_.ptyLink.c_str()) != 0) {
        error = "cannot link " + options_.ptyLink + " to " + path + ": " + errorText(errno);
        return false;
    }
    ptyPath_ = options_.ptyLink;
    return true;
}

int Dv3000Simulator::udpPort() const
{
    return boundPort_;
}

std::string Dv3000Simulator::ptyPath() const
{
    return ptyPath_;
}

Dv3000Simulator::Stats Dv3000Simulator::stats() const
{
    std::lock_guard<std::mutex> lock(statsMutex_);
    return stats_;
}

void Dv3000Simulator::run()
{
    for (;;) {
        int timeoutMs = -1;
        if (!late_.empty()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(late_.front().due - Clock::now());
            timeoutMs = static_cast<int>(std::max<long long>(left.count(), 0));
        }
        pollfd fds[3] = {};
        fds[0] = {wakeRead_.get(), POLLIN, 0};
        fds[1] = {udp_.get(), POLLIN, 0};
        fds[2] = {ptyMaster_.get(), static_cast<short>(POLLIN | (ptyOutput_.empty() ? 0 : POLLOUT)), 0};
        const int ready = ::poll(fds, 3, timeoutMs);
        if (ready < 0 && errno != EINTR)
            return;
        if ((fds[0].revents & POLLIN) != 0)
            return;
        if ((fds[1].revents & POLLIN) != 0)
            readDatagrams();
        if ((fds[2].revents & POLLIN) != 0)
            readPty();
        if ((fds[2].revents & POLLOUT) != 0)
            flushPtyOutput();
        sendDueLateReplies();
    }
}

void Dv3000Simulator::readDatagrams()
{
    for (int i = 0; i < MAX_DATAGRAMS_PER_WAKE; ++i) {
        std::uint8_t buf[MAX_DATAGRAM];
        Destination from;
        socklen_t length = sizeof(from.address);
        const ssize_t got = ::recvfrom(udp_.get(), buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from.address),
                                       &length);
        if (got < 0)
            return;
        // An AMBE server handles each datagram on its own: a packet never
        // continues in the next one.
        Bytes stream(buf, buf + got);
        parseStream(stream, from);
        if (!stream.empty()) {
            trace("<- incomplete", stream.data(), stream.size());
            std::lock_guard<std::mutex> lock(statsMutex_);
            ++stats_.ignoredPackets;
        }
    }
}

void Dv3000Simulator::readPty()
{
    std::uint8_t buf[4096];
    const ssize_t got = ::read(ptyMaster_.get(), buf, sizeof(buf));
    if (got <= 0)
        return;
    ptyInput_.insert(ptyInput_.end(), buf, buf + got);
    Destination pty;
    pty.pty = true;
    parseStream(ptyInput_, pty);
}

void Dv3000Simulator::parseStream(Bytes& stream, const Destination& from)
{
    std::size_t pos = 0;
    long noise = 0;
    for (;;) {
        // The chip skips everything up to a start byte; the flush blocks
        // before a reset rely on it.
        while (pos < stream.size() && stream[pos] != dv3000::START_BYTE) {
            ++pos;
            ++noise;
        }
        if (stream.size() - pos < dv3000::HEADER_SIZE)
            break;
        if (!dv3000::isPlausibleHeader(&stream[pos])) {
            ++pos;
            ++noise;
            continue;
        }
        const std::size_t total = dv3000::HEADER_SIZE + dv3000::payloadLength(&stream[pos]);
        if (stream.size() - pos < total)
            break;
        handlePacket(&stream[pos], total, from);
        pos += total;
    }
    stream.erase(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(pos));
    if (noise > 0) {
        std::lock_guard<std::mutex> lock(statsMutex_);
        stats_.flushBytes += noise;
    }
}

void Dv3000Simulator::handlePacket(const std::uint8_t* pkt, std::size_t size, const Destination& from)
{
    trace("<-", pkt, size);
    const std::uint8_t type = pkt[dv3000::OFFSET_TYPE];
    if (type == dv3000::TYPE_CONTROL) {
        handleControl(pkt, size, from);
        return;
    }
    const std::uint8_t field = pkt[dv3000::OFFSET_FIELD];
    const std::uint8_t amount = size > dv3000::OFFSET_FIELD + 1 ? pkt[dv3000::OFFSET_FIELD + 1] : 0;
    const std::uint8_t* data = pkt + dv3000::DATA_HEADER_SIZE;

    RateMode mode;
    {
        std::lock_guard<std::mutex> lock(statsMutex_);
        mode = stats_.mode;
    }
    if (type == dv3000::TYPE_SPEECH && size == dv3000::SPEECH_PACKET_SIZE && field == dv3000::FIELD_SPEECHD &&
        amount == dv3000::SAMPLES_PER_BLOCK) {
        {
            std::lock_guard<std::mutex> lock(statsMutex_);
            ++stats_.speechRequests;
            stats_.lastSpeechRequest.assign(pkt, pkt + size);
        }
        Block pcm;
        for (std::size_t i = 0; i < pcm.size(); ++i)
            pcm[i] = static_cast<std::int16_t>(static_cast<unsigned>(data[2 * i]) << 8 | data[2 * i + 1]);
        const Frame frame = options_.encoder ? options_.encoder(pcm, mode) : standInEncode(pcm, mode);
        Bytes reply(std::begin(dv3000::AMBE_HEADER), std::end(dv3000::AMBE_HEADER));
        reply.insert(reply.end(), frame.begin(), frame.end());
        answerVocoding(std::move(reply), true, from);
        return;
    }
    if (type == dv3000::TYPE_CHANNEL && size == dv3000::CHANNEL_PACKET_SIZE && field == dv3000::FIELD_CHAND &&
        amount == dv3000::FRAME_BITS) {
        {
            std::lock_guard<std::mutex> lock(statsMutex_);
            ++stats_.channelRequests;
            stats_.lastChannelRequest.assign(pkt, pkt + size);
        }
        Frame frame;
        std::copy(data, data + frame.size(), frame.begin());
        const Block pcm = options_.decoder ? options_.decoder(frame, mode) : standInDecode(frame);
        Bytes reply(std::begin(dv3000::AUDIO_HEADER), std::end(dv3000::AUDIO_HEADER));
        for (const std::int16_t sample : pcm) {
            reply.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(sample) >> 8));
            reply.push_back(static_cast<std::uint8_t>(sample));
        }
        answerVocoding(std::move(reply), false, from);
        return;
    }
    std::lock_guard<std::mutex> lock(statsMutex_);
    ++stats_.ignoredPackets;
}

void Dv3000Simulator::handleControl(const std::uint8_t* pkt, std::size_t size, const Destination& from)
{
    const std::uint8_t field = pkt[dv3000::OFFSET_FIELD];
    if (field == dv3000::FIELD_RESETSOFTCFG && size == sizeof(dv3000::SOFT_RESET)) {
        {
            std::lock_guard<std::mutex> lock(statsMutex_);
            ++stats_.resets;
            stats_.mode = RateMode::None;
        }
        // A chip that restarts forgets the work it had in hand.
        late_.clear();
        if (!has(Fault::NoReady))
            send(Bytes(std::begin(dv3000::READY), std::end(dv3000::READY)), from);
        return;
    }
    if (field == dv3000::FIELD_PRODID && size == sizeof(dv3000::REQ_PRODID)) {
        {
            std::lock_guard<std::mutex> lock(statsMutex_);
            ++stats_.productIdRequests;
        }
        Bytes reply = controlPacket({dv3000::FIELD_PRODID});
        const char* text = has(Fault::BadProductId) ? WRONG_PRODUCT : dv3000::PRODID_TEXT;
        reply.insert(reply.end(), text, text + dv3000::PRODID_TEXT_SIZE);
        dv3000::setPayloadLength(reply.data(), reply.size() - dv3000::HEADER_SIZE);
        send(reply, from);
        return;
    }
    if (field == dv3000::FIELD_RATEP && size == dv3000::RATE_COMMAND_SIZE) {
        RateMode mode = RateMode::Other;
        if (std::equal(pkt, pkt + size, std::begin(dv3000::RATE_DMR)))
            mode = RateMode::Dmr;
        else if (std::equal(pkt, pkt + size, std::begin(dv3000::RATE_DSTAR)))
            mode = RateMode::Dstar;
        const bool fail = has(Fault::RateFail);
        {
            std::lock_guard<std::mutex> lock(statsMutex_);
            ++stats_.rateCommands;
            stats_.lastRateCommand.assign(pkt, pkt + size);
            if (!fail)
                stats_.mode = mode;
        }
        send(controlPacket({dv3000::FIELD_RATEP, fail ? RATE_STATUS_FAILED : dv3000::RATE_STATUS_OK}), from);
        return;
    }
    std::lock_guard<std::mutex> lock(statsMutex_);
    ++stats_.ignoredPackets;
}

bool Dv3000Simulator::has(Fault fault) const
{
    return std::find(options_.faults.begin(), options_.faults.end(), fault) != options_.faults.end();
}

void Dv3000Simulator::answerVocoding(Bytes reply, bool encode, const Destination& to)
{
    const auto found = std::find_if(options_.faults.begin(), options_.faults.end(), isReplyFault);
    const bool targeted = options_.faultOn == FaultTarget::Any ||
                          (options_.faultOn == FaultTarget::Encode) == encode;
    if (found == options_.faults.end() || !targeted) {
        send(reply, to);
        return;
    }
    const int index = vocodingRequests_++;
    const bool faulty = index >= options_.faultSkip &&
                        (options_.faultCount == 0 || index < options_.faultSkip + options_.faultCount);
    if (!faulty) {
        send(reply, to);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(statsMutex_);
        ++stats_.faultsInjected;
    }
    switch (*found) {
    case Fault::NoReply:
        return;
    case Fault::Late:
        late_.push_back({Clock::now() + std::chrono::milliseconds(options_.delayMs), std::move(reply), to});
        return;
    case Fault::Reset:
        send(Bytes(std::begin(dv3000::READY), std::end(dv3000::READY)), to);
        return;
    case Fault::WrongType:
        reply[dv3000::OFFSET_TYPE] = dv3000::TYPE_CONTROL;
        break;
    case Fault::Short:
        reply.resize(3);
        break;
    case Fault::Truncated:
        reply.resize(dv3000::HEADER_SIZE + (reply.size() - dv3000::HEADER_SIZE) / 2);
        break;
    case Fault::Long:
        reply.insert(reply.end(), 3, 0xEE);
        break;
    case Fault::Garbage:
        send(GARBAGE, to);
        break;
    default:
        break;
    }
    send(reply, to);
}

void Dv3000Simulator::send(const Bytes& bytes, const Destination& to)
{
    trace("->", bytes.data(), bytes.size());
    if (to.pty) {
        const std::size_t room = MAX_PTY_BACKLOG - std::min(MAX_PTY_BACKLOG, ptyOutput_.size());
        ptyOutput_.insert(ptyOutput_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(room, bytes.size())));
        flushPtyOutput();
    } else {
        ::sendto(udp_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to.address),
                 sizeof(to.address));
    }
    std::lock_guard<std::mutex> lock(statsMutex_);
    ++stats_.repliesSent;
}

void Dv3000Simulator::flushPtyOutput()
{
    while (!ptyOutput_.empty()) {
        const ssize_t n = ::write(ptyMaster_.get(), ptyOutput_.data(), ptyOutput_.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        ptyOutput_.erase(ptyOutput_.begin(), ptyOutput_.begin() + n);
    }
}

void Dv3000Simulator::sendDueLateReplies()
{
    const auto now = Clock::now();
    while (!late_.empty() && late_.front().due <= now) {
        const LateReply reply = std::move(late_.front());
        late_.pop_front();
        send(reply.bytes, reply.to);
        std::lock_guard<std::mutex> lock(statsMutex_);
        ++stats_.lateRepliesSent;
    }
}

void Dv3000Simulator::trace(const char* direction, const std::uint8_t* bytes, std::size_t size) const
{
    if (!options_.trace)
        return;
    constexpr std::size_t SHOWN = 24;
    std::string line = std::string(direction) + " " + std::to_string(size) + " bytes:";
    char hex[4];
    for (std::size_t i = 0; i < std::min(size, SHOWN); ++i) {
        std::snprintf(hex, sizeof(hex), " %02X", bytes[i]);
        line += hex;
    }
    if (size > SHOWN)
        line += " ...";
    options_.trace(line);
}

void Dv3000Simulator::useSoftwareVocoder(Options& options)
{
    // One encoder and one decoder, like the chip's two halves; only the
    // worker thread calls them.
    auto encoder = std::make_shared<SoftwareEncoder>();
    auto decoder = std::make_shared<SoftwareDecoder>();
    if (!options.encoder) {
        options.encoder = [encoder](const Block& pcm, RateMode mode) -> Frame {
            if (mode == RateMode::Dstar) {
                DstarFrame dstar;
                encoder->encodeDstar(pcm, dstar);
                return dstar.bytes;
            }
            Ambe72Frame ambe;
            encoder->encode72(pcm, ambe);
            return ambe.bytes;
        };
    }
    if (!options.decoder) {
        options.decoder = [decoder](const Frame& frame, RateMode mode) {
            Block pcm{};
            if (mode == RateMode::Dstar)
                decoder->decodeDstar(DstarFrame{frame}, pcm);
            else
                decoder->decode72(Ambe72Frame{frame}, pcm);
            return pcm;
        };
    }
}

Dv3000Simulator::Frame Dv3000Simulator::standInEncode(const Block& pcm, RateMode mode)
{
    std::uint64_t hash = fnv64(FNV64_BASIS, static_cast<std::uint8_t>(mode));
    for (const std::int16_t sample : pcm) {
        hash = fnv64(hash, static_cast<std::uint8_t>(static_cast<std::uint16_t>(sample) >> 8));
        hash = fnv64(hash, static_cast<std::uint8_t>(sample));
    }
    Frame frame{};
    for (int i = 0; i < 8; ++i)
        frame[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(hash >> (56 - 8 * i));
    frame[8] = static_cast<std::uint8_t>(fnv64(hash, 0xA5));
    return frame;
}

Dv3000Simulator::Block Dv3000Simulator::standInDecode(const Frame& frame)
{
    std::uint32_t hash = FNV32_BASIS;
    for (const std::uint8_t byte : frame)
        hash = (hash ^ byte) * FNV32_PRIME;
    const double frequency = 250.0 + static_cast<double>(hash % 3000U);
    Block pcm{};
    for (std::size_t n = 0; n < pcm.size(); ++n)
        pcm[n] = static_cast<std::int16_t>(
            std::lround(8192.0 * std::sin(2.0 * std::numbers::pi * frequency * static_cast<double>(n) / 8000.0)));
    return pcm;
}

const char* Dv3000Simulator::faultName(Fault fault)
{
    for (const FaultEntry& entry : FAULTS) {
        if (entry.fault == fault)
            return entry.name;
    }
    return "?";
}

std::string Dv3000Simulator::usage()
{
    return "Usage: dv3000-sim [options]\n"
           "A stand-in for a DV3000 (AMBE-3000R) vocoder chip, to run and test Halvane\n"
           "without hardware. It answers the chip's packet protocol on UDP, as an AMBE\n"
           "server does, and/or on a new pseudo-terminal, as a chip on a serial adapter\n"
           "does; it prints the UDP port and the pseudo-terminal's path.\n"
           "\n"
           "  --udp PORT         answer on UDP port PORT (0: any free port)\n"
           "  --host ADDRESS     IPv4 address to bind for UDP (default 127.0.0.1)\n"
           "  --pty              answer on a new pseudo-terminal\n"
           "                     (with neither --udp nor --pty: UDP port 2460)\n"
           "  --link PATH        with --pty: make PATH a link to it (replacing an old\n"
           "                     one) and remove it at exit, so a restarted simulator\n"
           "                     appears at the same path, like a re-plugged adapter\n"
           "  --vocoder NAME     standin (default): a digest of each block is its frame,\n"
           "                     each frame decodes to a tone of its own; software:\n"
           "                     Halvane's software vocoder, AMBE+2 frames at the DMR\n"
           "                     rate and D-STAR frames at the D-STAR rate, so the\n"
           "                     speech can be heard\n"
           "  --fault KIND       inject a fault; may be given more than once.\n"
           "                     Start-up: no-ready, bad-prodid, rate-fail.\n"
           "                     Vocoding replies (one kind at a time): no-reply, late,\n"
           "                     reset, wrong-type, short, truncated, long, garbage\n"
           "  --fault-on WHICH   encode, decode or any (default): requests the reply\n"
           "                     faults hit\n"
           "  --fault-skip N     answer the first N of those normally (default 0)\n"
           "  --fault-count N    then inject the fault N times; 0 (default): always\n"
           "  --delay-ms N       delay of the late fault in ms (default 1000)\n"
           "  --verbose          print every packet received and sent\n"
           "  --help             print this help and exit\n"
           "\n"
           "Runs until interrupted (Ctrl-C or SIGTERM), then exits with status 0.\n"
           "Example (Halvane with [DV3000] Address = 127.0.0.1, RXPort = 2460):\n"
           "  dv3000-sim --udp 2460\n"
           "  dv3000-sim --udp 2460 --vocoder software    (to hear the speech)\n";
}

bool Dv3000Simulator::parseArguments(const std::vector<std::string>& args, Options& options, std::string& error,
                                     bool& help)
{
    help = false;
    bool udpGiven = false;
    OptionCursor option(args);
    while (option.next()) {
        const std::string& name = option.name();
        const std::string& value = option.value();
        const auto takeValue = [&]() { return option.takeValue(error); };
        const auto noValue = [&]() { return option.noValue(error); };

        if (name == "--help" || name == "-h") {
            if (!noValue())
                return false;
            help = true;
        } else if (name == "--udp") {
            if (!takeValue())
                return false;
            if (!parseInt(value, 0, 65535, options.udpPort)) {
                error = "bad UDP port '" + value + "' (0 to 65535)";
                return false;
            }
            options.udp = true;
            udpGiven = true;
        } else if (name == "--host") {
            if (!takeValue())
                return false;
            in_addr ignored{};
            if (::inet_pton(AF_INET, value.c_str(), &ignored) != 1) {
                error = "bad IPv4 address '" + value + "'";
                return false;
            }
            options.udpHost = value;
        } else if (name == "--pty") {
            if (!noValue())
                return false;
            options.pty = true;
        } else if (name == "--link") {
            if (!takeValue())
                return false;
            options.ptyLink = value;
        } else if (name == "--vocoder") {
            if (!takeValue())
                return false;
            if (value == "standin") {
                options.vocoder = Vocoder::StandIn;
            } else if (value == "software") {
                options.vocoder = Vocoder::Software;
            } else {
                error = "unknown vocoder '" + value + "' (standin or software)";
                return false;
            }
        } else if (name == "--fault") {
            if (!takeValue())
                return false;
            const auto entry = std::find_if(std::begin(FAULTS), std::end(FAULTS),
                                            [&](const FaultEntry& e) { return value == e.name; });
            if (entry == std::end(FAULTS)) {
                error = "unknown fault '" + value + "'";
                return false;
            }
            if (isReplyFault(entry->fault) &&
                std::any_of(options.faults.begin(), options.faults.end(),
                            [&](Fault f) { return isReplyFault(f) && f != entry->fault; })) {
                error = "only one vocoding reply fault at a time";
                return false;
            }
            options.faults.push_back(entry->fault);
        } else if (name == "--fault-on") {
            if (!takeValue())
                return false;
            if (value == "encode")
                options.faultOn = FaultTarget::Encode;
            else if (value == "decode")
                options.faultOn = FaultTarget::Decode;
            else if (value == "any")
                options.faultOn = FaultTarget::Any;
            else {
                error = "bad --fault-on '" + value + "' (encode, decode or any)";
                return false;
            }
        } else if (name == "--fault-skip" || name == "--fault-count") {
            if (!takeValue())
                return false;
            int& target = name == "--fault-skip" ? options.faultSkip : options.faultCount;
            if (!parseInt(value, 0, 1000000000, target)) {
                error = "bad " + name + " '" + value + "' (a count, 0 or more)";
                return false;
            }
        } else if (name == "--delay-ms") {
            if (!takeValue())
                return false;
            if (!parseInt(value, 1, 600000, options.delayMs)) {
                error = "bad --delay-ms '" + value + "' (1 to 600000)";
                return false;
            }
        } else if (name == "--verbose") {
            if (!noValue())
                return false;
            options.verbose = true;
        } else {
            error = "unknown option '" + name + "'";
            return false;
        }
    }
    if (!options.ptyLink.empty() && !options.pty) {
        error = "--link goes with --pty";
        return false;
    }
    if (!udpGiven && !options.pty)
        options.udp = true;
    return true;
}

} // namespace halvane
