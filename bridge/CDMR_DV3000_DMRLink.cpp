#include "CDMR_DV3000_DMRLink.h"

#include "AudioShaping.h"
#include "CallRecord.h"
#include "Log.h"
#include "ProcessExit.h"
#include "SignalWatcher.h"
#include "SystemdNotify.h"
#include "Threads.h"
#include "TlvDatagram.h"
#include "UsrpProtocol.h"
#include "HostAddress.h"
#include "dv3000_servers.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace halvane {

std::atomic<CDMR_DV3000_DMRLink*> gHalvane{nullptr};
std::atomic_bool isASL{false};
std::atomic_int usrpCodec{USRP_CODEC_SLIN};
std::atomic_bool natTimerNotDone{false};
TlvQueue q(TLV_QUEUE_CAPACITY, "TLV queue");

namespace {

DV3000Options dv3000Options()
{
    DV3000Options options;
    options.serial = servers.dv3000Serial;
    options.address = servers.dv3000Address.get();
    options.port = static_cast<unsigned>(servers.dv3000Port.load());
    options.baud = static_cast<unsigned>(servers.dv3000Baud.load());
    return options;
}

DV3000Timing dv3000Timing()
{
    DV3000Timing timing;
    timing.voiceTimeout = std::chrono::milliseconds(servers.dv3000ReplyTimeoutMS.load());
    return timing;
}

const char* vocoderName(Vocoder vocoder)
{
    switch (vocoder) {
    case Vocoder::Dv3000:
        return "DV3000";
    case Vocoder::Emulator:
        return "emulator";
    case Vocoder::Software:
        break;
    }
    return "software";
}

// Longest wait of a loop between two beats of its heartbeat.
constexpr std::chrono::milliseconds BEAT_SLICE{1000};

// Running deaf would look healthy to the service manager: end, so that it
// restarts the bridge and the operator reads why. Without SO_REUSEADDR the
// usual cause is a second Halvane on the same ports.
void exitUnlessListening(const CDV3000_UDP& listener, const char* section, int port)
{
    if (listener.isBound())
        return;
    Log(6, "Can not listen on port %d ([%s] RXPort), see the line above. Fatal error exiting\n", port, section);
    endProcess(CDMR_DV3000_DMRLink::EXIT_CANNOT_LISTEN);
}

bool usrpMuted()
{
    int mute = servers.mute;
    return mute == Mute::USRP || mute == Mute::BOTH;
}

} // namespace

CDMR_DV3000_DMRLink::CDMR_DV3000_DMRLink(bool) : CDMR_DV3000(servers.ambeSize, dv3000Options(), dv3000Timing())
{
    setUp();
}

CDMR_DV3000_DMRLink::CDMR_DV3000_DMRLink(bool, const DV3000Timing& timing)
    : CDMR_DV3000(servers.ambeSize, dv3000Options(), timing)
{
    setUp();
}

void CDMR_DV3000_DMRLink::setUp()
{
    AgcSettings agcSettings = servers.usrpAgc.get();
    agc.SetParameters(agcSettings.hang, agcSettings.threshold, agcSettings.slope, agcSettings.decay, 8000.0);
    isASL = servers.ambeMode.get() == "ASL";

    subscribers.loadSubscriberMap(servers.subscriberFile.get().c_str());
    servers.defaultMetadata.set(subscribers.buildDefaultMetadata(servers.gatewayDmrId));

    if (servers.useEmulator)
        emulator = std::make_unique<EmulatorLink>(servers.emulatorAddress.get());
    useVocoder(encodeVocoder, health.usrpToTlv, vocoderFor(dv3000Ready == 1));
    useVocoder(decodeVocoder, health.tlvToUsrp, vocoderFor(dv3000Ready == 1));

    Dv3000Recovery::Hooks hooks;
    hooks.rateCommand = [] { return rateCommandFor(servers.ambeSize); };
    hooks.onLost = [this] {
        useVocoder(encodeVocoder, health.usrpToTlv, vocoderFor(false));
        useVocoder(decodeVocoder, health.tlvToUsrp, vocoderFor(false));
    };
    hooks.onBack = [this] {
        useVocoder(encodeVocoder, health.usrpToTlv, Vocoder::Dv3000);
        useVocoder(decodeVocoder, health.tlvToUsrp, Vocoder::Dv3000);
    };
    hooks.fallbackName = vocoderFor(false) == Vocoder::Emulator ? "the emulator" : "the software vocoder";
    dv3000Recovery = std::make_unique<Dv3000Recovery>(*this, std::move(hooks));

    decodePath = std::make_unique<DecodePath>(DecodePath::Links{
        servers, isASL, natTimerNotDone, {decodeVocoder, this, emulator.get()}, pacer, *this, subscribers, macros,
        [this](const TLV_CLASS& record) { commands.execute(record); },
        [this](const TLV_CLASS& record) { fileTransfer.tlvFileProtocolHandler(record); }, {}, health.tlvToUsrp});

    gHalvane = this;
}

Vocoder CDMR_DV3000_DMRLink::vocoderFor(bool hardware) const
{
    if (hardware)
        return Vocoder::Dv3000;
    return servers.useEmulator && emulator ? Vocoder::Emulator : Vocoder::Software;
}

void CDMR_DV3000_DMRLink::useVocoder(WantedVocoder& wanted, HealthRecord::Direction& direction, Vocoder vocoder)
{
    wanted.set(vocoder);
    direction.useVocoder(vocoderName(vocoder));
}

int CDMR_DV3000_DMRLink::listenFlags(const SourceGuard& guard)
{
    return CDV3000_UDP::FLAG_BIND | (guard.loopbackPeer() ? CDV3000_UDP::FLAG_LOOPBACK : 0);
}

int CDMR_DV3000_DMRLink::beginEncodeLoop()
{
    // Not before: a start-up that ends for want of a chip must not announce
    // a search for it.
    dv3000Recovery->start();
    if (!usrpSocket) {
        std::string address = servers.usrpAddress.get();
        PortList txPorts = servers.usrpTxPorts.get();
        int rxPort = servers.usrpRxPort;
        // The configured address, before the loop guard below may replace it.
        usrpGuard.configure(address, servers.usrpAnySource);
        if (CDV3000_UDP::isLocalInterfaceAddress(address.c_str()) && txPorts[0] == rxPort) {
            Log(4, "WARNING, USRP can not have same ports (%d) defined for local network interface.  Using %s\n",
                rxPort, CDV3000_UDP::RESET_ADDRESS);
            address = CDV3000_UDP::RESET_ADDRESS;
            servers.usrpAddress.set(address);
        }
        usrpSocket = std::make_unique<CDV3000_UDP>(address.c_str(), rxPort, txPorts.data(), listenFlags(usrpGuard));
        exitUnlessListening(*usrpSocket, "USRP", rxPort);
        Log(3, "Sending to USRP clients at %s on port(s) %s\n", address.c_str(),
            CDV3000_UDP::getTransmitPorts(txPorts).c_str());
    }
    int pcmPort = servers.pcmPort;
    if (!pcmSocket && pcmPort != 0) {
        pcmSocket = std::make_unique<CDV3000_UDP>("127.0.0.1", pcmPort, 0);
        Log(3, "Sending PCM to  clients at %s on port %d\n", "127.0.0.1", pcmPort);
    }
    if (!encodePath) {
        CDV3000_UDP* usrp = usrpSocket.get();
        EncodePath::ClockSeam clock;
        clock.waitForUsrp = [this, usrp](std::chrono::milliseconds limit) {
            for (;;) {
                const auto ms = std::min(limit, BEAT_SLICE).count();
                if (usrp->waitForData(static_cast<int>(ms / 1000), static_cast<int>(ms % 1000) * 1000))
                    return true;
                encodeLoopBeat.beat();
                limit -= BEAT_SLICE;
                if (limit <= std::chrono::milliseconds::zero())
                    return false;
            }
        };
        encodePath = std::make_unique<EncodePath>(EncodePath::Links{
            servers, isASL, natTimerNotDone, tlvTxReopen, pcmSocket.get(), {encodeVocoder, this, emulator.get()}, clock,
            health.usrpToTlv});
    }
    bool started = startDetachedThread([this] {
        sigIgnHup();
        getAudioFromUSRP();
    });
    if (!started) {
        Log(6, "Error creating encode thread\n");
        return 1;
    }
    return 0;
}

void CDMR_DV3000_DMRLink::getAudioFromUSRP()
{
    encodePath->start();
    Log(3, "Starting USRP --> %s (encoder) -> TLV thread\n", "Halvane");
    for (;;) {
        encodeLoopBeat.beat();
        if (!encodePath->awaitDatagram())
            continue;
        CUsrpPacket packet;
        int got = usrpSocket->readSocket(packet.data(), static_cast<unsigned>(packet.capacity()));
        if (got < 0 || !usrpGuard.accept(usrpSocket->getReadSockAddr()))
            continue;
        packet.setReceived(static_cast<std::size_t>(got));
        usrpSocket->isRegUser();
        handleUsrpDatagram(packet);
    }
}

void CDMR_DV3000_DMRLink::handleUsrpDatagram(CUsrpPacket& packet)
{
    if (!packet.hasMagic()) {
        Log(4, "Received USRP packet without proper header\n");
        return;
    }
    switch (packet.type()) {
    case USRP_TYPE_TEXT:
        if (packet.registration() != UsrpRegistration::None)
            handleRegistration(packet);
        else
            commands.handleUsrpText(packet);
        break;
    case USRP_TYPE_DTMF:
        commands.handleDtmf(packet);
        break;
    case USRP_TYPE_TLV:
        if (auto record = TLV_CLASS::fromRecord(packet.payloadArea()))
            q.push(std::move(record));
        break;
    case USRP_TYPE_PING:
        Log(3, "Got PING from USRP client\n");
        break;
    case USRP_TYPE_VOICE:
    case USRP_TYPE_VOICE_ADPCM:
    case USRP_TYPE_VOICE_ULAW:
        encodePath->handleVoice(packet);
        break;
    default:
        break;
    }
}

void CDMR_DV3000_DMRLink::handleRegistration(const CUsrpPacket& packet)
{
    switch (packet.registration()) {
    case UsrpRegistration::Register:
        if (natTimerNotDone)
            sendPacketToUSRP(USRP_TYPE_TEXT, USRP_REG_UNREG_TEXT, static_cast<int>(std::strlen(USRP_REG_UNREG_TEXT)));
        // The info record reports where USRP output goes now.
        if (usrpSocket->setWriteSockAddr())
            servers.usrpAddress.set(usrpSocket->getWriteHost());
        Log(3, "USRP client %s:%d registered\n", usrpSocket->getReadAddressAsString().c_str(),
            ntohs(usrpSocket->getReadSockAddr().sin_port));
        sendPacketToUSRP(USRP_TYPE_TEXT, USRP_REG_OK, static_cast<int>(std::strlen(USRP_REG_OK)));
        usrpCodec = USRP_CODEC_SLIN;
        natTimerNotDone = true;
        if (!pingRunning.exchange(true))
            startNATTimeoutTimer();
        break;
    case UsrpRegistration::Unregister:
        natTimerNotDone = false;
        usrpSocket->resetWriteSockAddr();
        servers.usrpAddress.set(usrpSocket->getWriteHost());
        Log(3, "USRP unregister client\n");
        break;
    default:
        break;
    }
}

void CDMR_DV3000_DMRLink::startNATTimeoutTimer()
{
    bool started = startDetachedThread([this] {
        sigIgnHup();
        while (natTimerNotDone) {
            std::this_thread::sleep_for(std::chrono::seconds(servers.pingTimer.load()));
            // A client that unregistered during the sleep gets no more pings.
            if (!natTimerNotDone)
                break;
            CUsrpPacket ping = CUsrpPacket::ping(nextSequence());
            sendUsrp(ping, ping.size());
        }
        pingRunning = false;
    });
    if (!started) {
        pingRunning = false;
        Log(6, "Error creating USRP PING thread\n");
    }
}

void CDMR_DV3000_DMRLink::sendUsrp(const CUsrpPacket& packet, std::size_t size)
{
    if (usrpSocket && size > 0)
        usrpSocket->writeSocket(packet.data(), static_cast<unsigned>(size));
}

void CDMR_DV3000_DMRLink::sendPacketToUSRP(int type, const void* data, int len)
{
    CUsrpPacket packet = CUsrpPacket::text(nextSequence(), type, data, len > 0 ? static_cast<std::size_t>(len) : 0);
    sendUsrp(packet, packet.size());
}

void CDMR_DV3000_DMRLink::sendSingle(const char* address, const int* ports, const void* data, int len)
{
    if (isASL || len <= 0)
        return;
    CDV3000_UDP endpoint(address, 0, ports, 0);
    endpoint.writeSocket(static_cast<const unsigned char*>(data), static_cast<unsigned>(len));
}

void CDMR_DV3000_DMRLink::sendAudioToUSRP(void* pcm, int len)
{
    auto* samples = static_cast<short*>(pcm);
    if (len > 0) {
        switch (servers.usrpAudio.load()) {
        case AUDIO_USE_GAIN:
            adjustGain(servers.usrpGain, samples);
            break;
        case AUDIO_USE_AGC:
            runAgc(agc, samples, samples, static_cast<int>(USRP_VOICE_SAMPLES));
            break;
        default:
            break;
        }
    }
    CUsrpPacket packet = CUsrpPacket::voice(nextSequence(), pcm, len > 0 ? static_cast<std::size_t>(len) : 0);
    if (pcmSocket)
        pcmSocket->writeSocket(packet.data() + USRP_HEADER_SIZE, USRP_VOICE_BYTES);

    int codec = usrpCodec;
    std::size_t size;
    {
        std::lock_guard<std::mutex> lock(adpcmTxMutex);
        size = packet.encodeVoice(codec, adpcmTx);
    }
    if (size == 0 || !usrpSocket)
        return;
    int sent = usrpSocket->writeSocket(packet.data(), static_cast<unsigned>(size));
    if (sent == -1 && codec == USRP_CODEC_SLIN)
        Log(5, "UDP send error %d to USRP\n", errno);
    if (len > 0 && sent > 0)
        ++health.tlvToUsrp.out;
}

void CDMR_DV3000_DMRLink::sendASLMetadata()
{
    int gateway = servers.gatewayDmrId;
    int repeater = servers.repeaterID;
    if (repeater == gateway) {
        Log(6, "Repeater ID (%d) can not be the same as subscriber ID (%d). Fatal error exiting\n", repeater, repeater);
        endProcess(254);
    }
    CallRecord call;
    call.source = static_cast<std::uint32_t>(gateway);
    call.repeater = static_cast<std::uint32_t>(repeater);
    call.destination = static_cast<std::uint32_t>(servers.txTg.load());
    call.slot = static_cast<std::uint8_t>(servers.txTs.load());
    call.colorCode = static_cast<std::uint8_t>(servers.colorCode.load());
    call.call = SubscriberDatabase::extendedMetadata("ASL", "");
    TLV_CLASS record = makeCallRecord(TAG_SET_INFO, call);
    sendPacketToUSRP(USRP_TYPE_TEXT, record.data(), static_cast<int>(record.size()));
}

void CDMR_DV3000_DMRLink::processAudio(void* pcm, int len)
{
    PcmBlock block{};
    std::memcpy(block.data(), pcm, std::min(static_cast<std::size_t>(std::max(len, 0)), PCM_BLOCK_BYTES));
    decodePath->processAudio(block);
}

int CDMR_DV3000_DMRLink::setupVocoder(bool hardware, int ambeSize)
{
    if (!hardware || ambeSize < 1)
        return hardware;
    int ready = hardware;
    if (ambeSize == 49 || ambeSize == 72)
        ready = initDV3000(rateCommand);
    else if (ambeSize == 48)
        ready = initDV3000(rateCommandDSTAR);
    if (ready != 1)
        dv3000Recovery->chipLost("no answer to the start-up for the new mode");
    return ready;
}

void CDMR_DV3000_DMRLink::setupVocoderFor(int ambeSize)
{
    // A chip being searched for is started with the mode in force when it
    // answers; waiting for it here would stall the command's thread.
    if (ambeSize > 0 && !dv3000Recovery->searching())
        setupVocoder(true, ambeSize);
}

void CDMR_DV3000_DMRLink::clearRxSlot()
{
    decodePath->clearSlot();
}

void CDMR_DV3000_DMRLink::reopenTlvRx()
{
    tlvRxReopen = true;
}

void CDMR_DV3000_DMRLink::reopenTlvTx()
{
    tlvTxReopen = true;
}

void CDMR_DV3000_DMRLink::setUsrpAgc(const AgcSettings& settings)
{
    agc.SetParameters(settings.hang, settings.threshold, settings.slope, settings.decay, 8000.0);
}

void CDMR_DV3000_DMRLink::setClientCallRecord(const CallRecord& record)
{
    encodePath->setClientCallRecord(record);
}

void CDMR_DV3000_DMRLink::ambeFromUDPTLV(const char* address, int port, bool)
{
    std::string listenAddress = address;
    tlvGuard.configure(listenAddress, servers.tlvAnySource);
    // Replaced whole when "rxport=" moves it, so the old socket stays until
    // the new one is bound.
    auto listener = std::make_unique<CDV3000_UDP>(listenAddress.c_str(), port, listenFlags(tlvGuard));
    if (!listener->isOpen())
        return;
    exitUnlessListening(*listener, "AMBE_AUDIO", port);
    Log(3, "Starting TLV --> %s (decoder) --> USRP thread\n", "Halvane");
    bool started = startDetachedThread([this] {
        sigIgnHup();
        ambeFromUDPTLVThread();
    });
    if (!started) {
        Log(6, "Error creating tlv thread\n");
        return;
    }
    if (listening)
        listening();

    std::uint8_t datagram[TLV_RECEIVE_SIZE];
    for (;;) {
        tlvLoopBeat.beat();
        if (!listener->waitForData(static_cast<int>(BEAT_SLICE.count() / 1000), 0)) {
            // A closed or failing socket would make the wait return at once.
            if (!listener->isOpen())
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        } else {
            int n = listener->readSocket(datagram, sizeof(datagram));
            if (n >= 0 && fromPartner(datagram, n, listener->getReadSockAddr())) {
                std::span<const std::uint8_t> bytes(datagram, static_cast<std::size_t>(n));
                if (isASL && CUsrpPacket::hasMagic(bytes)) {
                    relayAslPacket(datagram, n);
                } else if (auto record = acceptTlvDatagram(bytes, listenAddress.c_str(), port)) {
                    if (!q.push(std::move(record)))
                        ++health.tlvToUsrp.droppedOverflow;
                }
            }
        }
        if (tlvRxReopen.exchange(false)) {
            const int wanted = servers.tlvRxPort;
            // "address=" moves the partner: accept the new host, and listen
            // beyond loopback if it is elsewhere.
            listenAddress = servers.tlvAddress.get();
            tlvGuard.configure(listenAddress, servers.tlvAnySource);
            const int flags = listenFlags(tlvGuard);
            if (wanted != port) {
                // A port that cannot be bound leaves the partner where it is.
                auto moved = std::make_unique<CDV3000_UDP>(listenAddress.c_str(), wanted, flags);
                if (moved->isBound()) {
                    listener = std::move(moved);
                    port = wanted;
                    Log(2, "TLV rx socket reopened for %s:%d\n", listenAddress.c_str(), port);
                } else {
                    servers.tlvRxPort = port;
                    Log(4, "TLV rx socket can not move to port %d, staying on %d\n", wanted, port);
                }
            } else if (!listener->isBound() ||
                       listener->isLoopbackOnly() != ((flags & CDV3000_UDP::FLAG_LOOPBACK) != 0)) {
                // A socket that already listens where it should stays open:
                // the partner's next datagram may be on its way.
                listener->closeSocket();
                listener->openSocket(listenAddress.c_str(), port, flags);
                Log(2, "TLV rx socket reopened for %s:%d\n", listenAddress.c_str(), port);
            }
        }
    }
}

bool CDMR_DV3000_DMRLink::fromPartner(const std::uint8_t* datagram, int n, const sockaddr_in& from)
{
    // The wake-up that a port or address command sends this loop from this
    // host is no stranger's datagram, whatever the partner's host is.
    const bool wakeUp = n == static_cast<int>(TLV_HEADER_SIZE) && datagram[TLV_OFFSET_TAG] == TAG_WAKEUP &&
                        datagram[TLV_OFFSET_LENGTH] == 0 && isLoopbackAddress(from.sin_addr);
    return wakeUp || tlvGuard.accept(from);
}

void CDMR_DV3000_DMRLink::relayAslPacket(const std::uint8_t* datagram, int length)
{
    CUsrpPacket packet;
    std::size_t n = std::min(static_cast<std::size_t>(length), packet.capacity());
    std::memcpy(packet.data(), datagram, n);
    packet.setReceived(n);
    if (packet.type() == USRP_TYPE_VOICE) {
        ++health.tlvToUsrp.in;
        if (usrpMuted())
            return;
        if (!aslKeyed)
            sendASLMetadata();
        aslKeyed = packet.keyed();
        int payload = length > static_cast<int>(USRP_HEADER_SIZE) ? length - static_cast<int>(USRP_HEADER_SIZE) : 0;
        sendAudioToUSRP(packet.data() + USRP_HEADER_SIZE, std::min(payload, static_cast<int>(USRP_VOICE_BYTES)));
        return;
    }
    usrpSequence = packet.seq();
    if (usrpSocket)
        usrpSocket->writeSocket(datagram, static_cast<unsigned>(length));
}

void CDMR_DV3000_DMRLink::ambeFromUDPTLVThread()
{
    decodePath->start();
    for (;;) {
        decodeLoopBeat.beat();
        decodePath->handleNext(q);
    }
}

void CDMR_DV3000_DMRLink::exitApp(int status, int code)
{
    if (usrpOpen()) {
        char text[64];
        int len = std::snprintf(text, sizeof(text), "REG:EXITING %d %d", status, code);
        sendPacketToUSRP(USRP_TYPE_TEXT, text, len + 1);
        usrpSocket->closeSocket();
    }
    subscribers.freeSubscriberMap();
    macros.removeInfoFile();
    notifyServiceManager("STOPPING=1");
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGHUP, SIG_DFL);
    endProcess(status);
}

} // namespace halvane
