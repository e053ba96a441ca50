// The DV3000 (AMBE-3000R) vocoder chip, reached over a serial line or a UDP
// "AMBE server": start-up (flush, reset, product id, rate parameters) and
// the two exchanges that vocode one 20 ms block, PCM to a 72-bit frame and
// back. Root of the vocoder class chain: CDMR_DV3000 derives from it and the
// bridge derives from CDMR_DV3000, replacing processAudio() with its own
// audio sink.
//
// Which transport: the DV3000Options given at construction; every
// initDV3000() reopens that one. The serial object is created on the first
// serial start-up and kept.
//
// Ownership and lifetime: the object owns its endpoint and serial port and
// closes them when destroyed. Not copyable.
//
// Thread-safety: encoding and decoding may run on two threads at once. Every
// request/response exchange (encode, decode, rate command, sendRecv) holds
// `exchangeMutex`, and so does the whole of initDV3000(), so a re-start on a
// mode change never interleaves with an exchange of another thread, and
// replies never cross. The raw operations take the same lock for each call.
//
// Replies: before each request, replies that arrived too late for an
// earlier exchange are dropped (the endpoint drains its socket, the serial
// transport its input), and every reply's type, length and data field are
// checked before its payload is used.
//
// Losing the chip: a vocoding exchange that gets no answer within the voice
// time-out, or a bad one, marks the chip lost: dv3000Ready drops to 0 and
// the loss listener hears why. From then on every vocoding call fails at
// once, without touching the lock or the chip (encoding leaves the caller's
// frame untouched, decoding delivers silence), until a start-up succeeds
// again: initDV3000() on a mode change, or reprobe() from a background
// probe (Dv3000Recovery). Neither direction ever waits longer than one
// voice time-out for a chip that has gone.
#pragma once

#include "CDV3000Serial.h"
#include "CDV3000_UDP.h"
#include "DV3000Options.h"
#include "DV3000Protocol.h"
#include "DV3000Timing.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace halvane {

class CDV3000_Base {
public:
    static constexpr const unsigned char (&DV3000_AUDIO_HEADER)[dv3000::DATA_HEADER_SIZE] = dv3000::AUDIO_HEADER;
    static constexpr const unsigned char (&DV3000_AMBE_HEADER)[dv3000::DATA_HEADER_SIZE] = dv3000::AMBE_HEADER;
    static constexpr const unsigned char (&DV3000_REQ_PRODID)[sizeof(dv3000::REQ_PRODID)] = dv3000::REQ_PRODID;

    // Does not touch the hardware; the endpoint starts closed.
    explicit CDV3000_Base(DV3000Options options = DV3000Options{}, const DV3000Timing& timing = DV3000Timing{});
    virtual ~CDV3000_Base();
    CDV3000_Base(const CDV3000_Base&) = delete;
    CDV3000_Base& operator=(const CDV3000_Base&) = delete;

    // Opens the transport of the options, resets and identifies the chip and
    // sends the 17-byte rate command `rateCmd`. Returns dv3000Ready: 1 when
    // the chip accepted the rate command, else 0 (the log says which stage
    // failed). Blocks exchanges of other threads while it runs.
    int initDV3000(const unsigned char* rateCmd);
    // The same start-up with its log lines at debug level, for a probe that
    // repeats it until the chip answers.
    int reprobe(const unsigned char* rateCmd);

    // Hears, on the vocoding thread, that an exchange lost the chip and why
    // ("no answer within 250 ms"). Set before any thread vocodes; called
    // without the exchange lock held.
    void setLossListener(std::function<void(const std::string& reason)> listener);
    // Where the chip is, for log lines: the serial device, or host:port.
    std::string where() const;

    // Frame-feeding interface: declared for derived classes, unused by
    // every path, so without behaviour here.
    virtual void addFrame(unsigned char* frame);
    virtual void addBit(int bit);
    virtual void* decodeThread(void* arg);

    // Encodes one block: `len` sample bytes (320) in host order, sent to
    // the chip big-endian. Writes the 9 frame bytes to `ambe` and returns 9;
    // on any failure (or while the chip is not ready) returns 0 and leaves
    // `ambe` as it was.
    virtual int dv3000Encode(unsigned char* ambe, unsigned int len, short* samples);
    // Sink for decoded audio (160 samples, host order, `len` = 320 bytes).
    // This base discards the block: transport does not play audio; the
    // bridge's override sends it on (and to the local sound card).
    virtual void processAudio(void* pcm, int len);
    // Decodes one frame of `len` bytes (9) into 160 samples in host order.
    // False, with 160 zero samples, on any failure or while the chip is not
    // ready.
    virtual bool dv3000Decode(const unsigned char* ambe, unsigned int len, short* pcm);

    // Decodes `frame` with dv3000Decode() and hands the block (silence on
    // failure) to processAudio(), both on the caller's thread. Returns the
    // decode result.
    bool dv3000ProcessMbeFrame(const unsigned char* frame, unsigned int len);

    // One exchange under exchangeMutex on the active transport; returns the
    // reply length (0 on time-out; a short count for a cut serial reply).
    int sendRecv(const unsigned char* out, int outLen, unsigned char* in, int inLen);

    // Raw write, raw read and zero-time readiness test on the active
    // transport, each under exchangeMutex for its own duration.
    int sendToDV3000(const unsigned char* buf, int len);
    int readFromDV3000(unsigned char* buf, int len);
    bool isReadDataReady();

    // Checks framing and type of a received packet of `count` bytes; logs
    // the reason at level 5 and returns false when it is not a well-formed
    // packet of type `type`. Reads at most `count` bytes of `pkt`.
    bool validateDV3000(int count, const unsigned char* pkt, unsigned char type);

    // Test seam: pauses and time-outs of later start-ups and exchanges.
    void setTiming(const DV3000Timing& timing);

    // 1 while the chip is configured and answering: set by a start-up that
    // succeeded, cleared when one begins and when the chip is lost.
    std::atomic_int dv3000Ready{0};
    // The AMBE server endpoint; opened by initDV3000() for a network chip.
    CDV3000_UDP udp;

protected:
    // Serialises exchanges with the chip; held by initDV3000() throughout.
    std::mutex exchangeMutex;

private:
    int startUp(const unsigned char* rateCmd, bool quietly);
    // The steps after opening the transport; `stage` tells how far they got.
    // Caller holds exchangeMutex.
    bool startChip(const unsigned char* rateCmd, const char*& stage);
    // One vocoding exchange of `request` into `reply` (REPLY_SIZE bytes),
    // with the loss handling described above; true for a whole frame
    // (`encoding`) or block.
    bool vocode(const unsigned char* request, int length, unsigned char* reply, bool encoding);
    // Why `reply` is no answer to a vocoding request, or empty. Caller holds
    // the lock.
    std::string replyFault(int count, const unsigned char* reply, bool encoding);
    // `normal`, or debug while a quiet start-up runs.
    int level(int normal) const;
    // Polls five times for a packet that `accept` takes. Caller holds the lock.
    template <typename Accept>
    bool pollForReply(Accept accept);
    // Unlocked forms of the public operations; caller holds exchangeMutex.
    int exchange(const unsigned char* out, int outLen, unsigned char* in, int inLen,
                 std::chrono::milliseconds timeout);
    int rawSend(const unsigned char* buf, int len);
    int rawRead(unsigned char* buf, int len);
    bool rawReady();
    int dropPendingInput();
    bool rateReplyAccepted(int count, const unsigned char* reply);
    void reportLatencyTimer() const;

    // Guarded by exchangeMutex.
    const DV3000Options options;
    std::unique_ptr<CDV3000Serial> serial;
    bool serialActive = false;
    DV3000Timing timing;
    // Set during a quiet start-up; read by level() from that thread, and
    // from validateDV3000() on any thread.
    std::atomic_bool quiet{false};
    // Set before the vocoding threads start, then only read.
    std::function<void(const std::string&)> lossListener;
};

} // namespace halvane
