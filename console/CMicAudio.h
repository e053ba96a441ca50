// The console radio: Halvane's own console becomes a transmitter. The loop
// reads speech from the local sound input in 20 ms blocks and, while
// push-to-talk (PTT) is on, sends each block as a 352-byte USRP voice packet
// to Halvane's own USRP port on 127.0.0.1, where the bridge encodes it like
// any client's voice. PTT toggles on any key at the console, on a remote
// "set ptt" (CRemoteControl, which the loop starts) and by voice level (VOX).
// Every toggle switches the mixer (soundCardMode), logs "Mic PTT ON"/"OFF",
// answers "reply ptt true"/"false" on the remote control's reply port and
// sends the block of the toggle: keyed when PTT is now on, as the unkey
// packet (still carrying the block) when it is now off.
//
// VOX: the level is an average with weight one half per sample, carried from
// block to block. Above `voxTrigger` it keys (or holds) PTT and reloads the
// hold count with `voxDecay`; below it, with PTT on, each block counts the
// hold down and PTT drops on the block after it reached 0 (the 101st quiet
// block for 100). A level equal to the trigger neither keys nor counts. The
// VOX settings are read anew for every block, so remote changes apply at once.
//
// The console: when standard input is a terminal in the foreground, its
// echo and line editing are switched off while the loop runs, and its saved
// settings come back however the process ends (an exit action, ProcessExit.h).
// Otherwise (a service) keyboard PTT is off and one line says so.
//
// Pacing: the sound input paces the loop (one blocking read per block); an
// audio file is read as fast as the loop runs and its end ends the process.
// A failing device is not allowed to spin the loop: a block that came back
// empty waits one block's time, and bad reads are logged once a minute.
//
// Ownership and lifetime: the loop owns its endpoint and the remote control;
// the audio records and the settings outlive it. runLoop runs on the main
// thread for the rest of the process.
// Thread-safety: one thread (the main thread) runs start/runBlock/runLoop;
// the remote control's thread only sets the PTT request and settings.
#pragma once

#include "CDV3000_UDP.h"
#include "CRemoteControl.h"
#include "UsrpProtocol.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

namespace halvane {

struct audio_opts;
struct audio_state;
struct dv3000_servers;

class CMicAudio {
public:
    // Where the loop gets its blocks and keys and what it switches.
    struct Io {
        // Reads one block of `bytes` bytes; returns the bytes read.
        std::function<int(short* block, int bytes)> readAudio;
        // True when a key press was waiting at the console (it is consumed;
        // the bytes of one key, or typed within one block, count once).
        std::function<bool()> takeKey;
        std::function<void(bool transmit)> soundCardMode;
    };

    // The program's loop: the sound input of `opts`, the console, the mixer
    // and the global settings.
    CMicAudio(audio_opts* opts, audio_state* state);
    // Tests: blocks, keys and the mixer from `io`; the console is left alone.
    CMicAudio(dv3000_servers& settings, Io io);
    CMicAudio(const CMicAudio&) = delete;
    CMicAudio& operator=(const CMicAudio&) = delete;

    // start(), then runBlock() for ever; returns only when the endpoint
    // could not be opened, with the console restored.
    void runLoop();

    // The set-up of the loop: the log line, the console, the endpoint (its
    // result), the mixer in receive mode and the remote control.
    bool start();
    // One block: read, VOX, keys and remote request, send.
    void runBlock();

    // Sends the current block with the key-up flag of `ptt` and the next
    // sequence number; returns what the endpoint returned.
    int sendPacket();

    // On: saves the console's settings and switches echo and line editing
    // off, reads not waiting for a key; true when the console is now so.
    // Off: restores the saved settings.
    static bool setKeyboardNoBlock(bool on);

    bool pttOn() const { return ptt; }

private:
    // Reads the next block; what did not arrive reads as silence.
    void readBlock();
    // Follows the block's level; true when VOX toggles PTT now.
    bool voxToggles();
    void toggle();

    dv3000_servers& settings_;
    Io io_;
    bool useConsole_;
    bool keyboard_ = false;

    CDV3000_UDP sock;
    std::unique_ptr<CRemoteControl> remote;
    std::array<std::uint8_t, USRP_PACKET_SIZE> packet{};
    std::array<short, USRP_VOICE_SAMPLES> block{};
    bool ptt = false;
    std::uint32_t seq = 0;
    bool running = false;
    int level = 0;
    int hold = 0;
    int badReads = 0;
};

} // namespace halvane
