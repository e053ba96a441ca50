// The console radio's remote control: a local program (typically a small
// control panel) keys the microphone loop, switches VOX and its parameters,
// sets the DMR identity of originated calls and reads these values back, one
// text datagram per command ("set NAME VALUE...", "get NAME"). Answers are
// text datagrams without a NUL to 127.0.0.1 on the reply port; the command
// table and the texts are in docs/remote-control.md.
//
// It listens on `remoteControlAddress` (127.0.0.1 unless the operator opens
// it to a network on purpose) port `remoteControlPort`, and replies to port
// `remoteControlReplyPort`. A command is at most 255 bytes; the rest of a
// longer datagram is cut. What a command sets is changed in the settings
// record at once, for the whole process; equal repeater and subscriber IDs
// and an "info" of fewer than five numbers are refused with a log line.
//
// Ownership and lifetime: the object owns both endpoints and the listener
// thread; the destructor stops and joins the thread. In the program it lives
// until the process ends. The settings record outlives it.
// Thread-safety: the listener thread writes the settings and the PTT
// request; getPttToggle and send may be called from any thread (the reply
// endpoint serialises sends).
#pragma once

#include "CDV3000_UDP.h"

#include <atomic>
#include <cstddef>
#include <thread>

namespace halvane {

struct dv3000_servers;

class CRemoteControl {
public:
    static constexpr std::size_t MAX_COMMAND = 255;

    // Opens both endpoints and starts the listener.
    explicit CRemoteControl(dv3000_servers& settings);
    ~CRemoteControl();
    CRemoteControl(const CRemoteControl&) = delete;
    CRemoteControl& operator=(const CRemoteControl&) = delete;

    // A "set ptt" came since the last call: returns it and clears it in one
    // step.
    bool getPttToggle() { return pttToggle.exchange(false); }

    // Sends `text` (without its NUL) to the reply port; returns the bytes sent.
    int send(const char* text);

private:
    void remoteLoop();
    // Acts on one command text; `text` is split in place.
    void handle(char* text);
    // `values` holds `count` words after the name.
    void set(const char* name, char* const* values, int count);
    void get(const char* name);
    void setInfo(char* const* values, int count);

    dv3000_servers& settings_;
    CDV3000_UDP listenSock;
    CDV3000_UDP replySock;
    std::atomic_bool pttToggle{false};
    std::atomic_bool stopping{false};
    std::thread listener;
};

} // namespace halvane
