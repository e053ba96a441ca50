#include "EncodePath.h"

#include "AudioDevice.h"
#include "AudioShaping.h"
#include "CUsrpPacket.h"
#include "Log.h"
#include "ProcessExit.h"
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
constexpr const char* FATAL_IDS = "Repeater ID (%d) can not be the same as subscriber ID (%d). Fatal error exiting\n";

std::uint64_t systemWallMs()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

} // namespace

EncodePath::EncodePath(Links links) : links_(std::move(links)), settings_(links_.settings), encoder_(links_.vocoder)
{
    if (!links_.clock.now)
        links_.clock.now = [] { return Clock::now(); };
    if (!links_.clock.wallMs)
        links_.clock.wallMs = systemWallMs;
}

std::uint8_t EncodePath::slotByte() const
{
    return static_cast<std::uint8_t>(settings_.txTs.load());
}

bool EncodePath::tlvMuted() const
{
    const int mute = settings_.mute;
    return mute == Mute::TLV || mute == Mute::BOTH;
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
    mode_ = modeFor(settings_.ambeSize);
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

    const int repeater = settings_.repeaterID;
    if (repeater == settings_.gatewayDmrId) {
        Log(6, FATAL_IDS, repeater, repeater);
        endProcess(254);
    }
}

void EncodePath::rebuildDefaultRecord()
{
    defaultRecord_.source = static_cast<std::uint32_t>(settings_.gatewayDmrId.load());
    defaultRecord_.repeater = static_cast<std::uint32_t>(settings_.repeaterID.load());
    defaultRecord_.destination = static_cast<std::uint32_t>(settings_.txTg.load());
    defaultRecord_.slot = slotByte();
    defaultRecord_.colorCode = static_cast<std::uint8_t>(settings_.colorCode.load());
    defaultRecord_.call = settings_.defaultMetadata.get();
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
    return static_cast<long>(links_.clock.wallMs() - pttTime_);
}

bool EncodePath::awaitDatagram()
{
    if (hang_) {
        if (!runHangTime())
            return true;
        endTransmission(nullptr);
    }
    if (links_.clock.waitForUsrp(RECEIVE_TIMEOUT))
        return true;
    onReceiveTimeout();
    return false;
}

void EncodePath::onReceiveTimeout()
{
    if (!ptt_)
        return;
    Log(4, "PTT timeout, no audio frames while ptt asserted.\n");
    if (links_.asl) {
        if (haveAslHeader_)
            forwardAslUnkey(aslHeader_.data());
    } else {
        sendEndTx(false);
    }
    endCall("by the PTT time-out");
    ptt_ = false;
    refusalLogged_ = false;
}

void EncodePath::endCall(const char* how)
{
    ++links_.health.callsEnded;
    Log(3, "Call from the USRP client ended %s after %ld ms: %llu blocks in, %llu frames out\n", how,
        msSinceKeyUp(links_.clock.now()), static_cast<unsigned long long>(callBlocks_),
        static_cast<unsigned long long>(callFrames_));
}

void EncodePath::countFramesOut(std::uint64_t frames)
{
    links_.health.out += frames;
    callFrames_ += frames;
}

void EncodePath::handleVoice(CUsrpPacket& packet)
{
    // Before anything may drop the packet: the client's ADPCM coder ran over
    // it, so ours must too or the two fall out of step.
    packet.decodeVoice(adpcmRx_);
    if (packet.keyed() && packet.hasValidVoiceSize())
        ++links_.health.in;
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
    // Voice in the hang time continues the transmission.
    hang_.reset();
    prepareSendEndpoint();
    if (!ptt_ && !keyUp())
        return;

    PcmBlock pcm;
    packet.samples(pcm);
    if (settings_.monitorASLAudio)
        processAudioxxx(pcm.data(), static_cast<int>(USRP_VOICE_BYTES));
    shape(pcm);
    if (links_.pcmMirror != nullptr)
        links_.pcmMirror->writeSocket(reinterpret_cast<const unsigned char*>(pcm.data()), USRP_VOICE_BYTES);
    ++callBlocks_;
    vocode(packet, pcm);
    ptt_ = true;
}

void EncodePath::unkey(const CUsrpPacket& packet)
{
    const Clock::time_point now = links_.clock.now();
    const long elapsed = msSinceKeyUp(now);
    const int minTx = settings_.minTxTimeMS;
    Log(1, "cpu_time_used = %ld, minTxTime = %d, pttTime = %lu, end = %lu\n", elapsed, minTx,
        static_cast<unsigned long>(pttTime_), static_cast<unsigned long>(links_.clock.wallMs()));
    hang_.reset();
    // Only plain DMR: the networks behind the other modes need no padding.
    if (elapsed < minTx && settings_.ambeMode.get() == "DMR") {
        const long extension = minTx - elapsed;
        Log(2, "Short transmission, extend hang time by %ld ms\n", extension);
        for (std::size_t i = 0; i < AMBE_FRAMES_PER_RECORD; ++i)
            std::copy(DMR_SILENCE_FRAME.bytes.begin(), DMR_SILENCE_FRAME.bytes.end(),
                      record72_.begin() +
                          static_cast<std::ptrdiff_t>(RECORD_OFFSET_FRAMES + i * AMBE_72_FRAME_BYTES));
        hang_ = HangTime{now + std::chrono::milliseconds(extension), now};
        // A datagram in the hang time goes back to the loop; the hang time
        // goes on from awaitDatagram() unless voice continues the
        // transmission.
        if (!runHangTime())
            return;
    }
    endTransmission(&packet);
}

void EncodePath::endTransmission(const CUsrpPacket* unkeyPacket)
{
    hang_.reset();
    if (links_.asl && unkeyPacket != nullptr) {
        if (tlvSend_)
            forwardAslUnkey(unkeyPacket->data());
    } else {
        sendEndTx(true);
    }
    if (!links_.clientRegistered)
        currentIsClient_ = false;
    if (ptt_)
        endCall("by its unkey");
    Log(2, "PTT off (keyed for %ld ms)\n", msSinceKeyUp(links_.clock.now()));
    ptt_ = false;
    refusalLogged_ = false;
}

bool EncodePath::runHangTime()
{
    for (;;) {
        const Clock::time_point now = links_.clock.now();
        if (now >= hang_->deadline)
            return true;
        if (now >= hang_->nextRecord) {
            if (tlvSend_) {
                record72_[RECORD_OFFSET_SLOT] = slotByte();
                tlvSend_->writeSocket(record72_.data(), static_cast<unsigned>(record72_.size()));
            }
            hang_->nextRecord = now + HANG_RECORD_INTERVAL;
        }
        const Clock::time_point until = std::min(hang_->nextRecord, hang_->deadline);
        if (links_.clock.waitForUsrp(std::chrono::ceil<std::chrono::milliseconds>(until - now)))
            return false;
    }
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
    if (!links_.asl) {
        CallRecord& current = currentIsClient_ ? clientRecord_ : defaultRecord_;
        current.destination = static_cast<std::uint32_t>(settings_.txTg.load());
        rebuildDefaultRecord();
        if (identityRefused(current))
            return false;
        const TLV_CLASS record = makeCallRecord(TAG_BEGIN_TX, current);
        if (!sendToPartner(record.data(), record.size())) {
            Log(5, "Write to %s failed (PTT ENABLE)\n", TLV_PARTNER_NAME);
            tlvSend_.reset();
        }
        Log(3, "Call from the USRP client: src=%u rpt=%u dst=%u slot=%u\n", current.source, current.repeater,
            current.destination, static_cast<unsigned>(current.slot));
    } else {
        Log(3, "Call from the USRP client, passed through\n");
    }
    ++links_.health.callsStarted;
    callBlocks_ = 0;
    callFrames_ = 0;
    keyUpTime_ = links_.clock.now();
    pttTime_ = links_.clock.wallMs();
    refusalLogged_ = false;
    Log(2, "PTT on\n");
    mode_ = modeFor(settings_.ambeSize);
    links_.asl = settings_.ambeMode.get() == "ASL";
    return true;
}

void EncodePath::shape(PcmBlock& pcm)
{
    switch (settings_.tlvAudio.load()) {
    case AUDIO_USE_GAIN:
        adjustGain(settings_.tlvGain, pcm.data());
        break;
    case AUDIO_USE_BPF:
        filter_.process(settings_.tlvGain, pcm.data(), static_cast<int>(pcm.size()));
        break;
    default:
        // The AGC shapes only what goes to the USRP client.
        break;
    }
}

void EncodePath::vocode(CUsrpPacket& packet, const PcmBlock& pcm)
{
    if (links_.asl) {
        forwardAsl(packet, pcm);
        return;
    }
    // A block without a frame sends nothing: a record of it would hand the
    // partner bytes nobody encoded.
    VoiceEncoder& encoder = encoder_.current();
    switch (mode_) {
    case Mode::Imbe: {
        ImbeFrame frame;
        if (!encoder.encodeImbe(pcm, frame)) {
            ++links_.health.vocoderFailures;
            return;
        }
        std::array<std::uint8_t, TLV_HEADER_SIZE + TLV_IMBE_LENGTH> record{TAG_IMBE, TLV_IMBE_LENGTH};
        std::copy(frame.bytes.begin(), frame.bytes.end(), record.begin() + TLV_HEADER_SIZE);
        if (tlvSend_ && tlvSend_->writeSocket(record.data(), static_cast<unsigned>(record.size())) > 0)
            countFramesOut(1);
        return;
    }
    case Mode::Dstar: {
        DstarFrame frame;
        if (!encoder.encodeDstar(pcm, frame)) {
            ++links_.health.vocoderFailures;
            return;
        }
        std::array<std::uint8_t, TLV_HEADER_SIZE + TLV_AMBE_DSTAR_LENGTH> record{TAG_AMBE_DSTAR,
                                                                                 TLV_AMBE_DSTAR_LENGTH};
        std::copy(frame.bytes.begin(), frame.bytes.end(), record.begin() + TLV_HEADER_SIZE);
        if (tlvSend_ && tlvSend_->writeSocket(record.data(), static_cast<unsigned>(record.size())) > 0)
            countFramesOut(1);
        return;
    }
    case Mode::Ambe72:
    case Mode::Ambe49: {
        Ambe72Frame frame;
        if (encoder.encode72(pcm, frame))
            sendAmbeFrame(frame);
        else
            ++links_.health.vocoderFailures;
        return;
    }
    }
}

void EncodePath::sendAmbeFrame(const Ambe72Frame& frame)
{
    const bool wide = mode_ == Mode::Ambe72;
    if (wide) {
        std::copy(frame.bytes.begin(), frame.bytes.end(),
                  record72_.begin() +
                      static_cast<std::ptrdiff_t>(RECORD_OFFSET_FRAMES + frameIndex_ * AMBE_72_FRAME_BYTES));
    } else {
        const Ambe49Frame frame49 = toAmbe49(frame);
        std::copy(frame49.bytes.begin(), frame49.bytes.end(),
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
        tlvSend_.reset();
        return;
    }
    countFramesOut(AMBE_FRAMES_PER_RECORD);
}

void EncodePath::forwardAsl(CUsrpPacket& packet, const PcmBlock& pcm)
{
    std::uint8_t* bytes = packet.data();
    std::memcpy(bytes + USRP_HEADER_SIZE, pcm.data(), USRP_VOICE_BYTES);
    // The payload is linear now, whatever codec it arrived in.
    std::memset(bytes + USRP_OFFSET_TYPE, 0, 4);
    std::memcpy(aslHeader_.data(), bytes, USRP_HEADER_SIZE);
    haveAslHeader_ = true;
    if (tlvSend_ && tlvSend_->writeSocket(bytes, USRP_PACKET_SIZE) > 0)
        countFramesOut(1);
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

void EncodePath::prepareSendEndpoint()
{
    if (tlvSend_ && links_.tlvTxReopen.exchange(false)) {
        Log(2, "TLV tx socket re-opened for %s:%d\n", settings_.tlvAddress.get().c_str(), settings_.tlvTxPorts.get()[0]);
        tlvSend_.reset();
    }
    if (tlvSend_)
        return;
    const std::string address = settings_.tlvAddress.get();
    const PortList ports = settings_.tlvTxPorts.get();
    tlvSend_ = std::make_unique<CDV3000_UDP>(address.c_str(), 0, ports.data(), 0);
    // Every port gets its own copy, and the endpoint reports the sum.
    tlvPortCount_ = std::max(1, static_cast<int>(activePorts(ports).size()));
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
        tlvSend_.reset();
    }
}

} // namespace halvane
