// A stand-in for a DV3000 (AMBE-3000R) chip: it speaks the chip's packet
// protocol over UDP (as an AMBE server does) and over a pseudo-terminal (as
// a chip on a USB serial adapter does), so Halvane can be run and tested
// without hardware. Used by the dv3000-sim program, the tests and the
// benchmarks.
//
// What it answers: flush bytes (skipped), soft reset (Ready), product id
// ("AMBE3000R"), rate parameters (status 0), speech packets (a channel
// packet with one 72-bit frame) and channel packets (a speech packet with
// 160 samples). Anything else is counted and ignored, as the chip would.
//
// Vocoding: by default a deterministic stand-in (standInEncode/
// standInDecode) lets tests check the byte flow end to end: the frame is a
// digest of the block, the block a tone whose pitch depends on the frame.
// Vocoder::Software puts Halvane's software codec in its place (AMBE+2 at
// the DMR rate and any other, D-STAR at the D-STAR rate), so speech can be
// heard through the whole hardware path; Options::encoder and
// Options::decoder, when set, take precedence over either.
//
// Faults: Options::faults injects the failures a real chip or server shows;
// see Fault. Reply faults hit the vocoding replies selected by faultOn,
// faultSkip and faultCount.
//
// Ownership and lifetime: the simulator owns its socket, pseudo-terminal and
// worker thread; stop() or the destructor ends the thread and closes them.
// Not copyable. The slave side of the pseudo-terminal is kept open by the
// simulator too, so a client may close and reopen it.
//
// Thread-safety: start(), stop() and the destructor belong to the owning
// thread; stats(), udpPort() and ptyPath() may be called from any thread.
// The encoder, decoder and trace hooks run on the worker thread.
#pragma once

#include "VoiceFrames.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <thread>
#include <vector>

namespace halvane {

class Dv3000Simulator {
public:
    enum class Fault {
        NoReady,      // no Ready after the soft reset
        BadProductId, // another chip's product id
        RateFail,     // the rate reply carries a failure status
        NoReply,      // a vocoding request gets no answer
        Late,         // the answer comes delayMs late
        Reset,        // Ready instead of the answer, as after a chip restart
        WrongType,    // the answer with the control type
        Short,        // only the first 3 bytes of the answer
        Truncated,    // the header and half the payload of the answer
        Long,         // the answer followed by 3 bytes more
        Garbage,      // noise (with a false start byte) before the answer
    };
    enum class FaultTarget { Any, Encode, Decode };
    // The rate parameters loaded last; the stand-in encoder folds it in.
    enum class RateMode : std::uint8_t { None = 0, Dmr = 1, Dstar = 2, Other = 3 };
    enum class Vocoder { StandIn, Software };

    // The 72 bits of a channel packet: an AMBE+2 frame or a D-STAR frame,
    // by the rate parameters loaded.
    using Frame = std::array<std::uint8_t, Ambe72Frame::SIZE>;
    using Block = PcmBlock;
    using Encoder = std::function<Frame(const Block& pcm, RateMode mode)>;
    using Decoder = std::function<Block(const Frame& frame, RateMode mode)>;

    struct Options {
        bool udp = false;
        std::string udpHost = "127.0.0.1";
        int udpPort = 2460; // 0 lets the system choose
        bool pty = false;
        // With pty: a symbolic link made to the pseudo-terminal and removed
        // by stop(), so that its path stays the same across a restart, as a
        // USB adapter's does when it is plugged in again.
        std::string ptyLink;
        std::vector<Fault> faults;
        FaultTarget faultOn = FaultTarget::Any;
        int faultSkip = 0;  // vocoding requests answered normally first
        int faultCount = 0; // faulty answers after those; 0 means all
        int delayMs = 1000;
        Vocoder vocoder = Vocoder::StandIn;
        Encoder encoder; // empty: standInEncode
        Decoder decoder; // empty: standInDecode
        // Set by --verbose; the program then sets `trace`.
        bool verbose = false;
        // One line per packet received and sent, when set.
        std::function<void(const std::string&)> trace;
    };

    struct Stats {
        long flushBytes = 0; // zero bytes and other noise skipped
        long resets = 0;
        long productIdRequests = 0;
        long rateCommands = 0;
        long speechRequests = 0;
        long channelRequests = 0;
        long ignoredPackets = 0; // malformed or unknown
        long repliesSent = 0;
        long lateRepliesSent = 0;
        long faultsInjected = 0;
        RateMode mode = RateMode::None;
        std::vector<std::uint8_t> lastRateCommand;
        std::vector<std::uint8_t> lastSpeechRequest;
        std::vector<std::uint8_t> lastChannelRequest;
    };

    explicit Dv3000Simulator(Options options);
    ~Dv3000Simulator();
    Dv3000Simulator(const Dv3000Simulator&) = delete;
    Dv3000Simulator& operator=(const Dv3000Simulator&) = delete;

    // Opens the endpoints and starts answering. False with `error` set when
    // an endpoint cannot be opened or the options are unusable. After
    // stop() it starts again on the same UDP port (also one the system
    // chose) and behind the same link: a chip that was unplugged, or a
    // server restarted.
    bool start(std::string& error);
    // Stops answering and closes everything (the pseudo-terminal hangs up,
    // the link goes); harmless when not started.
    void stop();

    // The bound UDP port (after start), or 0 without UDP.
    int udpPort() const;
    // The path of the pseudo-terminal (after start): the link when one was
    // asked for, else the slave's own path; "" without one.
    std::string ptyPath() const;
    Stats stats() const;

    // The stand-in vocoder. Encoding: FNV-1a (64 bit) over the mode byte and
    // the 160 samples as big-endian byte pairs gives frame bytes 0-7, big-
    // endian; hashing one more byte 0xA5 on top gives byte 8. Decoding: a
    // sine of amplitude 8192 and frequency 250 + (FNV-1a (32 bit) of the
    // frame mod 3000) Hz, starting at phase 0, sample n rounded to nearest.
    static Frame standInEncode(const Block& pcm, RateMode mode);
    static Block standInDecode(const Frame& frame);

    // Fills the empty vocoder hooks of `options` with Halvane's software
    // codec: one encoder and one decoder state, whichever rate is loaded.
    static void useSoftwareVocoder(Options& options);

    // Command line of dv3000-sim (arguments after the program name). False
    // with `error` set on a bad argument; `help` is set by --help.
    static bool parseArguments(const std::vector<std::string>& args, Options& options, std::string& error,
                               bool& help);
    static std::string usage();
    static const char* faultName(Fault fault);

private:
    // Owns one descriptor.
    class Fd {
    public:
        Fd() = default;
        explicit Fd(int fd) : fd_(fd) {}
        ~Fd() { reset(); }
        Fd(const Fd&) = delete;
        Fd& operator=(const Fd&) = delete;
        int get() const { return fd_; }
        void reset(int fd = -1);

    private:
        int fd_ = -1;
    };

    // Where a reply goes: the pseudo-terminal, or the sender of a datagram.
    struct Destination {
        bool pty = false;
        sockaddr_in address{};
    };
    struct LateReply {
        std::chrono::steady_clock::time_point due;
        std::vector<std::uint8_t> bytes;
        Destination to;
    };

    bool openUdp(std::string& error);
    bool openPty(std::string& error);
    void run();
    void readDatagrams();
    void readPty();
    // Takes every complete packet off the front of `stream`, skipping noise.
    void parseStream(std::vector<std::uint8_t>& stream, const Destination& from);
    void handlePacket(const std::uint8_t* pkt, std::size_t size, const Destination& from);
    void handleControl(const std::uint8_t* pkt, std::size_t size, const Destination& from);
    void answerVocoding(std::vector<std::uint8_t> reply, bool encode, const Destination& to);
    bool has(Fault fault) const;
    void send(const std::vector<std::uint8_t>& bytes, const Destination& to);
    void flushPtyOutput();
    void sendDueLateReplies();
    void trace(const char* direction, const std::uint8_t* bytes, std::size_t size) const;

    Options options_;
    Fd udp_;
    Fd ptyMaster_;
    Fd ptySlave_;
    Fd wakeRead_;
    Fd wakeWrite_;
    std::thread thread_;
    int boundPort_ = 0;
    std::string ptyPath_;

    // Worker thread only.
    std::vector<std::uint8_t> ptyInput_;
    std::vector<std::uint8_t> ptyOutput_;
    std::deque<LateReply> late_;
    int vocodingRequests_ = 0;

    mutable std::mutex statsMutex_;
    Stats stats_;
};

} // namespace halvane
