#include "CDV3000_Base.h"

#include "Log.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>

namespace halvane {

namespace {

constexpr int REPLY_SIZE = static_cast<int>(dv3000::REPLY_BUFFER_SIZE);
constexpr int START_POLLS = 5;
// A flood of datagrams must not keep the start-up draining for ever.
constexpr int MAX_DROPPED_DATAGRAMS = 1024;
// The sample count of a speech field is one byte.
constexpr unsigned MAX_SAMPLE_BYTES = 2 * 255;
// The bit count of a channel field is one byte.
constexpr unsigned MAX_FRAME_BYTES = 255 / 8;

const char* const RESET_MESSAGE = "DV3000 has unexpectedly reset.  USB power issues may be the cause\n";

bool isReadyPacket(int count, const unsigned char* pkt)
{
    return count >= static_cast<int>(sizeof(dv3000::READY)) &&
           std::memcmp(pkt, dv3000::READY, sizeof(dv3000::READY)) == 0;
}

} // namespace

CDV3000_Base::CDV3000_Base(DV3000Options optionsArg, const DV3000Timing& timingArg)
    : options(std::move(optionsArg)), timing(timingArg)
{
}

CDV3000_Base::~CDV3000_Base() = default;

void CDV3000_Base::setTiming(const DV3000Timing& timingArg)
{
    std::lock_guard<std::mutex> lock(exchangeMutex);
    timing = timingArg;
}

int CDV3000_Base::initDV3000(const unsigned char* rateCmd)
{
    return startUp(rateCmd, false);
}

int CDV3000_Base::reprobe(const unsigned char* rateCmd)
{
    return startUp(rateCmd, true);
}

int CDV3000_Base::startUp(const unsigned char* rateCmd, bool quietly)
{
    std::lock_guard<std::mutex> lock(exchangeMutex);
    dv3000Ready = 0;
    quiet = quietly;
    Log(level(2), "Connecting to DV3000 hardware......\n");

    const bool useSerial = options.serial;
    const std::string& address = options.address;
    const unsigned port = options.port;
    const unsigned baud = options.baud;
    const char* stage = "Connect";

    bool opened;
    serialActive = useSerial;
    if (useSerial) {
        if (serial)
            serial->closeSerial();
        else
            serial = std::make_unique<CDV3000Serial>();
        serial->setQuiet(quietly);
        serial->setTTY(address.c_str());
        // Descriptor 0 is a real descriptor when standard input is closed.
        opened = serial->openSerial(static_cast<long>(baud)) >= 0;
    } else {
        udp.closeSocket();
        opened = udp.openSocket(address.c_str(), static_cast<int>(port), 0) >= 0;
    }

    if (opened && startChip(rateCmd, stage)) {
        if (useSerial)
            reportLatencyTimer();
        quiet = false;
        dv3000Ready = 1;
        return 1;
    }

    if (opened && !useSerial)
        udp.closeSocket();
    if (useSerial)
        Log(level(4), "DV3000 not found at device : %s and baud : %u (%s failed)\n", address.c_str(), baud, stage);
    else
        Log(level(4), "DV3000 not found at %s:%u (%s failed)\n", address.c_str(), port, stage);
    quiet = false;
    return 0;
}

int CDV3000_Base::level(int normal) const
{
    return quiet ? 1 : normal;
}

std::string CDV3000_Base::where() const
{
    if (options.serial)
        return options.address;
    return options.address + ":" + std::to_string(options.port);
}

void CDV3000_Base::setLossListener(std::function<void(const std::string&)> listener)
{
    lossListener = std::move(listener);
}

bool CDV3000_Base::startChip(const unsigned char* rateCmd, const char*& stage)
{
    const unsigned char flush[dv3000::FLUSH_BLOCK_SIZE] = {};
    for (int i = 0; i < dv3000::FLUSH_BLOCK_COUNT; ++i) {
        rawSend(flush, sizeof(flush));
        std::this_thread::sleep_for(timing.flushPause);
    }

    // Whatever the chip sent before the reset is no answer to it.
    dropPendingInput();
    rawSend(dv3000::SOFT_RESET, sizeof(dv3000::SOFT_RESET));
    stage = "Reset";
    const bool ready = pollForReply([this](int count, const unsigned char* pkt) {
        return validateDV3000(count, pkt, dv3000::TYPE_CONTROL) && count > static_cast<int>(dv3000::OFFSET_FIELD) &&
               pkt[dv3000::OFFSET_FIELD] == dv3000::FIELD_READY;
    });
    if (!ready) {
        Log(level(4), "DV3000 did not reset at %s:%u\n", options.address.c_str(), options.port);
        return false;
    }

    dropPendingInput();
    rawSend(DV3000_REQ_PRODID, sizeof(DV3000_REQ_PRODID));
    stage = "ProdID";
    const bool identified = pollForReply([this](int count, const unsigned char* pkt) {
        return validateDV3000(count, pkt, dv3000::TYPE_CONTROL) &&
               count == static_cast<int>(dv3000::PRODID_REPLY_SIZE) && pkt[dv3000::OFFSET_FIELD] == dv3000::FIELD_PRODID &&
               std::memcmp(pkt + dv3000::OFFSET_FIELD + 1, dv3000::PRODID_TEXT, dv3000::PRODID_TEXT_SIZE) == 0;
    });
    if (!identified) {
        if (serialActive)
            Log(level(4), "Serial port open succeeded but no response from DV3000.  Wrong baud rate?\n");
        else
            Log(level(4), "AMBE server open succeeded but no response from DV3000.  Wrong port?\n");
        return false;
    }

    unsigned char reply[REPLY_SIZE] = {};
    const int count = rateCmd != nullptr ? exchange(rateCmd, static_cast<int>(dv3000::RATE_COMMAND_SIZE), reply,
                                                    REPLY_SIZE, timing.replyTimeout)
                                         : 0;
    if (validateDV3000(count, reply, dv3000::TYPE_CONTROL) && rateReplyAccepted(count, reply)) {
        Log(level(2), "Begin DV3000 decode\n");
        return true;
    }
    Log(level(2), "DV3000 Rate Control failed\n");
    return false;
}

template <typename Accept>
bool CDV3000_Base::pollForReply(Accept accept)
{
    for (int attempt = 0; attempt < START_POLLS; ++attempt) {
        std::this_thread::sleep_for(timing.pollPause);
        if (!rawReady())
            continue;
        unsigned char buf[REPLY_SIZE] = {};
        const int count = rawRead(buf, REPLY_SIZE);
        if (count > 0)
            LogHexDump("DV3000 <", buf, static_cast<std::size_t>(count));
        // A failed read is a poll without a reply, reported like a short one.
        if (accept(count < 0 ? 0 : count, buf))
            return true;
    }
    return false;
}

bool CDV3000_Base::rateReplyAccepted(int count, const unsigned char* reply)
{
    // A chip that restarted lost the parameters instead of taking them.
    if (isReadyPacket(count, reply)) {
        Log(level(5), "%s", RESET_MESSAGE);
        return false;
    }
    const int statusOffset = static_cast<int>(dv3000::OFFSET_FIELD) + 1;
    if (reply[dv3000::OFFSET_FIELD] == dv3000::FIELD_RATEP && count > statusOffset &&
        reply[statusOffset] != dv3000::RATE_STATUS_OK) {
        Log(level(5), "DV3000 refused the rate parameters, status %d\n", reply[statusOffset]);
        return false;
    }
    return true;
}

void CDV3000_Base::reportLatencyTimer() const
{
    // The sysfs entry is named after the kernel's device, so a stable link
    // such as /dev/serial/by-id/... is resolved first.
    std::string device = serial->getTTY();
    char resolved[PATH_MAX];
    if (::realpath(device.c_str(), resolved) != nullptr)
        device = resolved;
    const std::string::size_type slash = device.rfind('/');
    const std::string name = slash == std::string::npos ? device : device.substr(slash + 1);
    const std::string path = "/sys/bus/usb-serial/devices/" + name + "/latency_timer";

    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    char text[129] = {};
    const ssize_t got = ::read(fd, text, 128);
    ::close(fd);
    if (got > 0)
        Log(level(2), "DV3000U latency is currently set to %d\n", std::atoi(text));
}

bool CDV3000_Base::validateDV3000(int count, const unsigned char* pkt, unsigned char type)
{
    if (count < static_cast<int>(dv3000::HEADER_SIZE) || pkt == nullptr) {
        Log(level(5), "DV3000 header is short.  byte count=%d\n", count);
        return false;
    }
    if (pkt[0] != dv3000::START_BYTE) {
        Log(level(5), "DV3000 start byte not found\n");
        return false;
    }
    const int length = static_cast<int>(dv3000::payloadLength(pkt));
    if (length + static_cast<int>(dv3000::HEADER_SIZE) != count) {
        Log(level(5), "DV3000 packet size does not match bytes in stream.  len=%d streamBytes=%d\n", length, count);
        return false;
    }
    if (pkt[dv3000::OFFSET_TYPE] == type)
        return true;
    if (type != dv3000::TYPE_CONTROL && isReadyPacket(count, pkt)) {
        Log(level(5), "%s", RESET_MESSAGE);
        return false;
    }
    Log(level(5), "DV3000 return type not correct.  Found %0x, expected %0x\n", pkt[dv3000::OFFSET_TYPE], type);
    return false;
}

int CDV3000_Base::dv3000Encode(unsigned char* ambe, unsigned int len, short* samples)
{
    if (ambe == nullptr || samples == nullptr || len == 0 || len % 2 != 0 || len > MAX_SAMPLE_BYTES) {
        Log(5, "DV3000 encode refused a block of %u bytes\n", len);
        return 0;
    }
    unsigned char request[dv3000::DATA_HEADER_SIZE + MAX_SAMPLE_BYTES];
    std::memcpy(request, DV3000_AUDIO_HEADER, dv3000::DATA_HEADER_SIZE);
    dv3000::setPayloadLength(request, len + 2);
    request[dv3000::DATA_HEADER_SIZE - 1] = static_cast<unsigned char>(len / 2);
    dv3000::samplesToWire(samples, len / 2, request + dv3000::DATA_HEADER_SIZE);

    unsigned char reply[REPLY_SIZE] = {};
    if (!vocode(request, static_cast<int>(dv3000::DATA_HEADER_SIZE + len), reply, true))
        return 0;
    std::memcpy(ambe, reply + dv3000::DATA_HEADER_SIZE, dv3000::FRAME_BYTES);
    return static_cast<int>(dv3000::FRAME_BYTES);
}

bool CDV3000_Base::dv3000Decode(const unsigned char* ambe, unsigned int len, short* pcm)
{
    if (pcm == nullptr)
        return false;
    std::memset(pcm, 0, dv3000::BLOCK_BYTES);
    if (ambe == nullptr || len == 0 || len > MAX_FRAME_BYTES) {
        Log(5, "DV3000 decode refused a frame of %u bytes\n", len);
        return false;
    }
    unsigned char request[dv3000::DATA_HEADER_SIZE + MAX_FRAME_BYTES];
    std::memcpy(request, DV3000_AMBE_HEADER, dv3000::DATA_HEADER_SIZE);
    dv3000::setPayloadLength(request, len + 2);
    request[dv3000::DATA_HEADER_SIZE - 1] = static_cast<unsigned char>(len * 8);
    std::memcpy(request + dv3000::DATA_HEADER_SIZE, ambe, len);

    unsigned char reply[REPLY_SIZE] = {};
    if (!vocode(request, static_cast<int>(dv3000::DATA_HEADER_SIZE + len), reply, false))
        return false;
    dv3000::samplesFromWire(reply + dv3000::DATA_HEADER_SIZE, dv3000::SAMPLES_PER_BLOCK, pcm);
    return true;
}

bool CDV3000_Base::vocode(const unsigned char* request, int length, unsigned char* reply, bool encoding)
{
    // A chip that is lost, never found or being started is not waited for:
    // the caller vocodes this block without it.
    if (dv3000Ready.load() != 1)
        return false;
    std::string fault;
    {
        std::lock_guard<std::mutex> lock(exchangeMutex);
        // Lost while this thread waited for the other direction's exchange.
        if (dv3000Ready.load() != 1)
            return false;
        const int count = exchange(request, length, reply, REPLY_SIZE, timing.voiceTimeout);
        fault = replyFault(count, reply, encoding);
        if (fault.empty())
            return true;
        dv3000Ready = 0;
    }
    // Outside the lock: the listener switches vocoders and wakes the probe.
    if (lossListener)
        lossListener(fault);
    return false;
}

std::string CDV3000_Base::replyFault(int count, const unsigned char* reply, bool encoding)
{
    if (count <= 0)
        return "no answer within " + std::to_string(timing.voiceTimeout.count()) + " ms";
    const unsigned char type = encoding ? dv3000::TYPE_CHANNEL : dv3000::TYPE_SPEECH;
    if (!validateDV3000(count, reply, type))
        return "a bad answer";
    // Only a whole frame (or block) is one; anything else would hand on
    // bytes the chip never meant.
    const unsigned char field = reply[dv3000::OFFSET_FIELD];
    const unsigned char amount = reply[dv3000::OFFSET_FIELD + 1];
    if (encoding && (count != static_cast<int>(dv3000::CHANNEL_PACKET_SIZE) || field != dv3000::FIELD_CHAND ||
                     amount != dv3000::FRAME_BITS)) {
        Log(5, "DV3000 channel packet malformed.  field=%0x bits=%d bytes=%d\n", field, amount, count);
        return "a bad answer";
    }
    if (!encoding && (count != static_cast<int>(dv3000::SPEECH_PACKET_SIZE) || field != dv3000::FIELD_SPEECHD ||
                      amount != dv3000::SAMPLES_PER_BLOCK)) {
        Log(5, "DV3000 speech packet malformed.  field=%0x samples=%d bytes=%d\n", field, amount, count);
        return "a bad answer";
    }
    return {};
}

void CDV3000_Base::processAudio(void*, int) {}

bool CDV3000_Base::dv3000ProcessMbeFrame(const unsigned char* frame, unsigned int len)
{
    short block[dv3000::SAMPLES_PER_BLOCK];
    const bool decoded = dv3000Decode(frame, len, block);
    processAudio(block, static_cast<int>(dv3000::BLOCK_BYTES));
    return decoded;
}

void CDV3000_Base::addFrame(unsigned char*) {}

void CDV3000_Base::addBit(int) {}

void* CDV3000_Base::decodeThread(void*)
{
    return nullptr;
}

int CDV3000_Base::sendRecv(const unsigned char* out, int outLen, unsigned char* in, int inLen)
{
    std::lock_guard<std::mutex> lock(exchangeMutex);
    return exchange(out, outLen, in, inLen, timing.replyTimeout);
}

int CDV3000_Base::exchange(const unsigned char* out, int outLen, unsigned char* in, int inLen,
                           std::chrono::milliseconds timeout)
{
    if (out == nullptr || outLen <= 0 || in == nullptr || inLen <= 0)
        return 0;
    udp.setReplyTimeout(timeout);
    if (serial)
        serial->setReplyTimeout(timeout);
    LogHexDump("DV3000 >", out, static_cast<std::size_t>(outLen));
    // The endpoint drops stale datagrams before it sends, the serial
    // transport stale bytes.
    const int count = serialActive && serial ? serial->sendRecv(out, outLen, in, inLen)
                                             : udp.sendRecv(out, outLen, in, inLen);
    if (count > 0)
        LogHexDump("DV3000 <", in, static_cast<std::size_t>(count));
    return count;
}

int CDV3000_Base::sendToDV3000(const unsigned char* buf, int len)
{
    std::lock_guard<std::mutex> lock(exchangeMutex);
    return rawSend(buf, len);
}

int CDV3000_Base::readFromDV3000(unsigned char* buf, int len)
{
    std::lock_guard<std::mutex> lock(exchangeMutex);
    return rawRead(buf, len);
}

bool CDV3000_Base::isReadDataReady()
{
    std::lock_guard<std::mutex> lock(exchangeMutex);
    return rawReady();
}

int CDV3000_Base::rawSend(const unsigned char* buf, int len)
{
    if (buf == nullptr || len <= 0)
        return 0;
    if (serialActive && serial)
        return serial->writeSerial(buf, len);
    return udp.writeSocket(buf, static_cast<unsigned>(len));
}

int CDV3000_Base::rawRead(unsigned char* buf, int len)
{
    if (buf == nullptr || len <= 0)
        return 0;
    if (serialActive && serial)
        return serial->readSerial(buf, len);
    return udp.readSocket(buf, static_cast<unsigned>(len));
}

bool CDV3000_Base::rawReady()
{
    if (serialActive && serial)
        return serial->waitForData(0, 0);
    return udp.isReadDataReady();
}

int CDV3000_Base::dropPendingInput()
{
    int dropped = 0;
    if (serialActive && serial) {
        dropped = serial->dropPendingInput();
    } else {
        unsigned char sink[REPLY_SIZE];
        for (int i = 0; i < MAX_DROPPED_DATAGRAMS && udp.isReadDataReady(); ++i) {
            if (udp.readSocket(sink, sizeof(sink)) < 0)
                break;
            dropped += 1;
        }
    }
    if (dropped > 0)
        Log(1, "DV3000 start-up dropped %d stale input unit(s)\n", dropped);
    return dropped;
}

} // namespace halvane
