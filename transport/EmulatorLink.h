// The link to the external vocoder emulator: a program that turns 160-sample
// PCM blocks into 49-bit AMBE frames and back over UDP, one reply per request.
// Halvane either reaches a running emulator at "host:port" or starts it
// itself as "<command> -S 2470" and reaches it at 127.0.0.1:2470.
//
// Each direction has its own socket, so the emulator (which answers to the
// sender's address and port) can never hand the encode thread a decode reply
// or the other way round; each exchange also drops replies that came too late
// for an earlier request of its direction.
//
// Ownership and lifetime: owned by the bridge for the whole process. A
// started emulator runs on its own; Halvane never waits for it or stops it.
// Thread-safety: encode() and decode() may run at the same time on two
// threads; each direction is meant for one thread.
#pragma once

#include "CDV3000_UDP.h"

#include <atomic>
#include <chrono>
#include <string>

namespace halvane {

class EmulatorLink {
public:
    static constexpr int DEFAULT_PORT = 2470;
    static constexpr int PCM_BYTES = 320;
    static constexpr int FRAME49_BYTES = 7;

    struct Target {
        std::string host;
        int port = 0;
        bool startCommand = false; // the address is a command to run
    };

    // How `emulatorAddress` is read: "host:port" with a port other than 0
    // names a running emulator; anything else is the command that starts one.
    static Target parseAddress(const std::string& emulatorAddress);

    // Starts the emulator when the address is a command (waiting `startDelay`
    // for it to come up), then opens the two sockets towards it.
    explicit EmulatorLink(const std::string& emulatorAddress,
                          std::chrono::milliseconds startDelay = std::chrono::seconds(5));

    EmulatorLink(const EmulatorLink&) = delete;
    EmulatorLink& operator=(const EmulatorLink&) = delete;

    // Sends one PCM block (160 samples, host order) and reads the 7-byte
    // 49-bit frame. False, logging the first of a run of time-outs, when no
    // reply comes in time; `frame49` is then left as it was.
    bool encode(const short* pcm, unsigned char* frame49);

    // Sends one 7-byte 49-bit frame and reads up to 160 samples. False, with
    // a silent block, when no reply comes in time.
    bool decode(const unsigned char* frame49, short* pcm);

    // Test seam: how long an exchange waits for its reply (5 s).
    void setReplyTimeout(std::chrono::milliseconds timeout);

    const Target& target() const { return target_; }
    bool timedOut() const { return timedOut_.load(); }

private:
    void start(const std::string& command, std::chrono::milliseconds startDelay);
    // Records the outcome of one exchange: a run of time-outs logs once.
    void noteReply(bool answered, const char* direction);

    Target target_;
    CDV3000_UDP encodeSocket_;
    CDV3000_UDP decodeSocket_;
    std::atomic_bool timedOut_{false};
};

} // namespace halvane
