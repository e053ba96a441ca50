#include "EncodePath.h"

#include "AmbeFrame.h"
#include "AudioDevice.h"
#include "AudioShaping.h"
#include "CDMR_DV3000_DMRLink.h"
#include "CUsrpPacket.h"
#include "Log.h"
#include "dv3000_servers.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <utility>

namespace halvane {

namespace {

constexpr std::size_t RECORD_OFFSET_SLOT = TLV_HEADER_SIZE;
constexpr std::size_t RECORD_OFFSET_FRAMES = TLV_HEADER_SIZE + 1;
constexpr std::array<int, EncodePath::IMBE_CODE_WORDS> IMBE_WORD_BITS{12, 12, 12, 12, 11, 11, 11, 7};
constexpr const char* FATAL_IDS = "Repeater ID (%d) can not be the same as subscriber ID (%d). Fatal error exiting\n";

bool tlvMuted()
{
    const int mute = servers.mute;
    return mute == Mute::TLV || mute == Mute::BOTH;
}

std::uint8_t slotByte()
{
    return static_cast<std::uint8_t>(servers.txTs.load());
}

std::uint64_t systemWallMs()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

} // namespace

EncodePath::EncodePath(CDMR_DV3000_DMRLink& bridge) : bridge_(bridge)
{
    setClockSeam({});
}

void EncodePath::setClockSeam(ClockSeam seam)
{
    clock_ = std::move(seam);
    if (!clock_.now)
        clock_.now = [] { return Clock::now(); };
    if (!clock_.wallMs)
        clock_.wallMs = systemWallMs;
    if (!clock_.waitForUsrp)
        clock_.waitForUsrp = [this](std::chrono::milliseconds limit) { return bridge_.waitForUsrp(limit); };
}

EncodePath::Mode EncodePath::modeFor(int ambeSize)
{
    switch (ambeSize) {
    case 88:
        return Mode::Imbe;
    case 72:
        return Mode::Ambe72;
    case 48:
        return Mode::Dstar;
    default:
        return Mode::Ambe49;
    }
}

void EncodePath::start()
{
    mode_ = modeFor(servers.ambeSize);
    record72_.fill(0);
    record72_[TLV_OFFSET_TAG] = TAG_AMBE_72;
    record72_[TLV_OFFSET_LENGTH] = TLV_AMBE_72_LENGTH;
    record72_[RECORD_OFFSET_SLOT] = slotByte();
    record49_.fill(0);
    record49_[TLV_OFFSET_TAG] = TAG_AMBE_49;
    record49_[TLV_OFFSET_LENGTH] = TLV_AMBE_49_LENGTH;
    record49_[RECORD_OFFSET_SLOT] = slotByte();
    rebuildDefaultRecord();
    currentIsClient_ = false;

    const int repeater = servers.repeaterID;
    if (repeater == servers.gatewayDmrId) {
        Log(6, FATAL_IDS, repeater, repeater);
        std::fflush(stdout);
        _exit(254);
    }
}

void EncodePath::rebuildDefaultRecord()
{
    defaultRecord_.source = static_cast<std::uint32_t>(servers.gatewayDmrId.load());
    defaultRecord_.repeater = static_cast<std::uint32_t>(servers.repeaterID.load());
    defaultRecord_.destination = static_cast<std::uint32_t>(servers.txTg.load());
    defaultRecord_.slot = slotByte();
    defaultRecord_.colorCode = static_cast<std::uint8_t>(servers.colorCode.load());
    defaultRecord_.call = servers.defaultMetadata.get();
}

void EncodePath::setClientCallRecord(const CallRecord& record)
{
    clientRecord_ = record;
    currentIsClient_ = true;
}

long EncodePath::msSinceKeyUp(Clock::time_point now) const
{
    if (keyUpTime_)
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(now - *keyUpTime_).count());
    // Never keyed: as far back as the epoch, so no hang time is ever due.
    return static_cast<long>(clock_.wallMs() - pttTime_);
}

void EncodePath::onReceiveTimeout()
{
    if (!ptt_)
        return;
    Log(4, "PTT timeout, no audio frames while ptt asserted.\n");
    if (isASL) {
        if (haveAslHeader_)
            forwardAslUnkey(aslHeader_.data());
    } else {
        sendEndTx(false);
    }
    ptt_ = false;
    refusalLogged_ = false;
}

void EncodePath::handleVoice(CUsrpPacket& packet)
{
    // Before anything may drop the packet: the client's ADPCM coder ran over
    // it, so ours must too or the two fall out of step.
    packet.decodeVoice(adpcmRx);
    if (tlvMuted())
        return;
    if (!packet.keyed()) {
        unkey(packet);
        return;
    }
    if (!packet.hasValidVoiceSize()) {
        Log(4, "Received USRP packet of wrong size\n");
        return;
    }
    prepareSendEndpoint();
    if (!ptt_ && !keyUp())
        return;

    Block pcm;
    packet.samples(pcm);
    if (servers.monitorASLAudio)
        processAudioxxx(pcm.data(), static_cast<int>(USRP_VOICE_BYTES));
    shape(pcm);
    if (CDV3000_UDP* mirror = bridge_.pcmMirror())
        mirror->writeSocket(reinterpret_cast<const unsigned char*>(pcm.data()), USRP_VOICE_BYTES);
    vocode(packet, pcm);
    ptt_ = true;
}

void EncodePath::unkey(const CUsrpPacket& packet)
{
    const Clock::time_point now = clock_.now();
    const long elapsed = msSinceKeyUp(now);
    const int minTx = servers.minTxTimeMS;
    Log(1, "cpu_time_used = %ld, minTxTime = %d, pttTime = %lu, end = %lu\n", elapsed, minTx,
        static_cast<unsigned long>(pttTime_), static_cast<unsigned long>(clock_.wallMs()));
    if (!holdShortTransmission(now, elapsed))
        return;

    if (isASL) {
        if (tlvSend_)
            forwardAslUnkey(packet.data());
    } else {
        sendEndTx(true);
    }
    if (!natTimerNotDone)
        currentIsClient_ = false;
    Log(2, "PTT off (keyed for %ld ms)\n", msSinceKeyUp(clock_.now()));
    ptt_ = false;
    refusalLogged_ = false;
}

bool EncodePath::holdShortTransmission(Clock::time_point now, long elapsed)
{
    const long minTx = servers.minTxTimeMS;
    // Only plain DMR: the networks behind the other modes need no padding.
    if (elapsed >= minTx || servers.ambeMode.get() != "DMR")
        return true;
    const long extension = minTx - elapsed;
    const Clock::time_point deadline = now + std::chrono::milliseconds(extension);
    Log(2, "Short transmission, extend hang time by %ld ms\n", extension);
    for (std::size_t i = 0; i < AMBE_FRAMES_PER_RECORD; ++i)
        std::copy(DMR_SILENCE_FRAME.begin(), DMR_SILENCE_FRAME.end(),
                  record72_.begin() + static_cast<std::ptrdiff_t>(RECORD_OFFSET_FRAMES + i * AMBE_72_FRAME_BYTES));
    while (clock_.now() < deadline) {
        if (tlvSend_) {
            record72_[RECORD_OFFSET_SLOT] = slotByte();
            tlvSend_->writeSocket(record72_.data(), static_cast<unsigned>(record72_.size()));
        }
        if (clock_.waitForUsrp(HANG_RECORD_INTERVAL))
            return false;
    }
    return true;
}

bool EncodePath::identityRefused(const CallRecord& current)
{
    const CallRecord* bad = nullptr;
    if (defaultRecord_.source == defaultRecord_.repeater)
        bad = &defaultRecord_;
    else if (current.source == current.repeater)
        bad = &current;
    if (bad == nullptr)
        return false;
    // The IDs come from commands and from the client at run time: refuse
    // this transmission rather than let the network end the process.
    if (!refusalLogged_) {
        const int repeater = static_cast<int>(bad->repeater);
        Log(5, FATAL_IDS, repeater, repeater);
        refusalLogged_ = true;
    }
    return true;
}

bool EncodePath::keyUp()
{
    if (!isASL) {
        CallRecord& current = currentIsClient_ ? clientRecord_ : defaultRecord_;
        current.destination = static_cast<std::uint32_t>(servers.txTg.load());
        rebuildDefaultRecord();
        if (identityRefused(current))
            return false;
        const TLV_CLASS record = makeCallRecord(TAG_BEGIN_TX, current);
        if (!sendToPartner(record.data(), record.size())) {
            Log(5, "Write to %s failed (PTT ENABLE)\n", TLV_PARTNER_NAME);
            dropSendEndpoint();
        }
    }
    keyUpTime_ = clock_.now();
    pttTime_ = clock_.wallMs();
    refusalLogged_ = false;
    Log(2, "PTT on\n");
    mode_ = modeFor(servers.ambeSize);
    isASL = servers.ambeMode.get() == "ASL";
    return true;
}

void EncodePath::shape(Block& pcm)
{
    switch (servers.tlvAudio.load()) {
    case AUDIO_USE_GAIN:
        adjustGain(servers.tlvGain, pcm.data());
        break;
    case AUDIO_USE_BPF:
        filter_.process(servers.tlvGain, pcm.data(), static_cast<int>(pcm.size()));
        break;
    default:
        // The AGC shapes only what goes to the USRP client.
        break;
    }
}

void EncodePath::vocode(CUsrpPacket& packet, const Block& pcm)
{
    if (isASL) {
        forwardAsl(packet, pcm);
        return;
    }
    const bool hardware = bridge_.dv3000Ready == 1;
    switch (mode_) {
    case Mode::Imbe: {
        ImbeCodeWords words{};
        softwareEncodeImbe(pcm, words);
        const auto frame = packImbe(words);
        std::array<std::uint8_t, TLV_HEADER_SIZE + TLV_IMBE_LENGTH> record{TAG_IMBE, TLV_IMBE_LENGTH};
        std::copy(frame.begin(), frame.end(), record.begin() + TLV_HEADER_SIZE);
        if (tlvSend_)
            tlvSend_->writeSocket(record.data(), static_cast<unsigned>(record.size()));
        return;
    }
    case Mode::Dstar: {
        Frame72 frame{};
        if (hardware) {
            // A failed chip exchange leaves no frame to send; sending the
            // buffer anyway would hand the partner bytes nobody encoded.
            if (!encodeOnChip(pcm, frame.data()))
                return;
        } else {
            softwareEncodeDstar(pcm, frame);
        }
        std::array<std::uint8_t, TLV_HEADER_SIZE + TLV_AMBE_DSTAR_LENGTH> record{TAG_AMBE_DSTAR,
                                                                                 TLV_AMBE_DSTAR_LENGTH};
        std::copy(frame.begin(), frame.end(), record.begin() + TLV_HEADER_SIZE);
        if (tlvSend_)
            tlvSend_->writeSocket(record.data(), static_cast<unsigned>(record.size()));
        return;
    }
    case Mode::Ambe72:
    case Mode::Ambe49:
        break;
    }

    Frame72 frame{};
    if (hardware) {
        if (!encodeOnChip(pcm, frame.data()))
            return;
    } else if (servers.useEmulator && bridge_.emulator) {
        std::array<std::uint8_t, AMBE_49_FRAME_BYTES> frame49{};
        // On a time-out the frame stays all zeros; the link logs the first
        // time-out of a run.
        if (bridge_.emulator->encode(pcm.data(), frame49.data()))
            convert49BitAmbeTo72Bit(frame49, frame);
    } else {
        softwareEncodeAmbe(pcm, frame);
    }
    sendAmbeFrame(frame);
}

bool EncodePath::encodeOnChip(const Block& pcm, std::uint8_t* frame)
{
    // The chip takes its samples big-endian.
    Block wire;
    for (std::size_t i = 0; i < pcm.size(); ++i) {
        const auto sample = static_cast<std::uint16_t>(pcm[i]);
        wire[i] = static_cast<short>(static_cast<std::uint16_t>(sample << 8 | sample >> 8));
    }
    const int length = bridge_.dv3000Encode(frame, USRP_VOICE_BYTES, wire.data());
    if (length != static_cast<int>(AMBE_72_FRAME_BYTES)) {
        Log(4, "AMBE len is not 9 (72 bits), so not sending it to partner.  Len=%d\n", length);
        return false;
    }
    return true;
}

void EncodePath::sendAmbeFrame(const Frame72& frame)
{
    const bool wide = mode_ == Mode::Ambe72;
    if (wide) {
        std::copy(frame.begin(), frame.end(),
                  record72_.begin() +
                      static_cast<std::ptrdiff_t>(RECORD_OFFSET_FRAMES + frameIndex_ * AMBE_72_FRAME_BYTES));
    } else {
        std::array<std::uint8_t, AMBE_49_FRAME_BYTES> frame49{};
        convert72BitAmbeTo49Bit(frame, frame49);
        std::copy(frame49.begin(), frame49.end(),
                  record49_.begin() +
                      static_cast<std::ptrdiff_t>(RECORD_OFFSET_FRAMES + frameIndex_ * AMBE_49_FRAME_BYTES));
    }
    frameIndex_ = (frameIndex_ + 1) % static_cast<int>(AMBE_FRAMES_PER_RECORD);
    if (frameIndex_ != 0 || !tlvSend_)
        return;
    std::uint8_t* record = wide ? record72_.data() : record49_.data();
    const std::size_t size = wide ? record72_.size() : record49_.size();
    record[RECORD_OFFSET_SLOT] = slotByte();
    if (!sendToPartner(record, size)) {
        Log(5, "Write to %s failed (%s)\n", TLV_PARTNER_NAME, wide ? "AMBE72" : "AMBE49");
        dropSendEndpoint();
    }
}

void EncodePath::forwardAsl(CUsrpPacket& packet, const Block& pcm)
{
    std::uint8_t* bytes = packet.data();
    std::memcpy(bytes + USRP_HEADER_SIZE, pcm.data(), USRP_VOICE_BYTES);
    // The payload is linear now, whatever codec it arrived in.
    std::memset(bytes + USRP_OFFSET_TYPE, 0, 4);
    std::memcpy(aslHeader_.data(), bytes, USRP_HEADER_SIZE);
    haveAslHeader_ = true;
    if (tlvSend_)
        tlvSend_->writeSocket(bytes, USRP_PACKET_SIZE);
}

void EncodePath::forwardAslUnkey(const std::uint8_t* header)
{
    // A linear unkey is the bare header; without it the peer beyond the
    // partner port would stay keyed.
    std::array<std::uint8_t, USRP_HEADER_SIZE> unkeyHeader;
    std::memcpy(unkeyHeader.data(), header, USRP_HEADER_SIZE);
    std::memset(unkeyHeader.data() + USRP_OFFSET_KEYUP, 0, 4);
    std::memset(unkeyHeader.data() + USRP_OFFSET_TYPE, 0, 4);
    if (tlvSend_)
        tlvSend_->writeSocket(unkeyHeader.data(), static_cast<unsigned>(unkeyHeader.size()));
}

void EncodePath::noteSoftwareEncoderMissing()
{
    if (softwareMissingLogged_)
        return;
    softwareMissingLogged_ = true;
    Log(4, "Software encoder is not available yet, the partner gets silence\n");
}

// Until the software vocoder lands, DMR silence keeps the partner's stream
// well-formed: the calls still start, run their length and end.
void EncodePath::softwareEncodeAmbe(const Block&, Frame72& frame)
{
    noteSoftwareEncoderMissing();
    frame = DMR_SILENCE_FRAME;
}

void EncodePath::softwareEncodeDstar(const Block&, Frame72& frame)
{
    noteSoftwareEncoderMissing();
    frame = DMR_SILENCE_FRAME;
}

void EncodePath::softwareEncodeImbe(const Block&, ImbeCodeWords& words)
{
    noteSoftwareEncoderMissing();
    words.fill(0);
}

std::array<std::uint8_t, IMBE_FRAME_BYTES> EncodePath::packImbe(const ImbeCodeWords& words)
{
    std::array<std::uint8_t, IMBE_FRAME_BYTES> out{};
    std::size_t bit = 0;
    for (std::size_t w = 0; w < words.size(); ++w) {
        for (int b = IMBE_WORD_BITS[w] - 1; b >= 0; --b, ++bit) {
            if ((words[w] >> b) & 1U)
                out[bit / 8] |= static_cast<std::uint8_t>(0x80U >> (bit % 8));
        }
    }
    return out;
}

void EncodePath::prepareSendEndpoint()
{
    if (tlvSend_ && bridge_.tlvTxReopen.exchange(false)) {
        Log(2, "TLV tx socket re-opened for %s:%d\n", servers.tlvAddress.get().c_str(), servers.tlvTxPorts.get()[0]);
        tlvSend_.reset();
    }
    if (tlvSend_)
        return;
    const std::string address = servers.tlvAddress.get();
    const PortList ports = servers.tlvTxPorts.get();
    tlvSend_ = std::make_unique<CDV3000_UDP>(address.c_str(), 0, ports.data(), 0);
    // Every port gets its own copy, and the endpoint reports the sum.
    const auto end = std::find(ports.begin(), ports.end(), 0);
    tlvPortCount_ = std::max(1, static_cast<int>(end - ports.begin()));
}

bool EncodePath::sendToPartner(const std::uint8_t* data, std::size_t length)
{
    const int sent = tlvSend_ ? tlvSend_->writeSocket(data, static_cast<unsigned>(length)) : -1;
    return sent >= static_cast<int>(length) * tlvPortCount_;
}

void EncodePath::sendEndTx(bool checked)
{
    if (!tlvSend_)
        return;
    const std::array<std::uint8_t, TLV_HEADER_SIZE + TLV_END_TX_LENGTH> record{TAG_END_TX, TLV_END_TX_LENGTH,
                                                                               slotByte()};
    if (!sendToPartner(record.data(), record.size()) && checked) {
        Log(5, "Write to %s failed (PTT DISABLE)\n", TLV_PARTNER_NAME);
        dropSendEndpoint();
    }
}

void EncodePath::dropSendEndpoint()
{
    tlvSend_.reset();
}

} // namespace halvane
