#include "CMicAudio.h"

#include "AudioDevice.h"
#include "Log.h"
#include "ProcessExit.h"
#include "dv3000_servers.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace halvane {

namespace {

constexpr const char* LOOPBACK = "127.0.0.1";
constexpr int BLOCK_BYTES = static_cast<int>(USRP_VOICE_BYTES);
constexpr std::chrono::milliseconds BLOCK_TIME{20};
// A device that keeps failing (or /dev/null) logs its first bad block and
// then one a minute, not a line per block for months.
constexpr int BAD_READS_PER_LINE = 3000;

// The console's settings before the loop changed them, and the ones in use.
// Guarded by consoleMutex, which the exit action takes too, so a process
// that ends while the loop starts still leaves the terminal as it found it.
std::mutex consoleMutex;
termios oldterm;
termios newterm;
bool consoleRaw = false;
bool processEnding = false;

void restoreConsole()
{
    std::lock_guard<std::mutex> lock(consoleMutex);
    processEnding = true;
    if (consoleRaw)
        tcsetattr(STDIN_FILENO, TCSANOW, &oldterm);
    consoleRaw = false;
}

// A terminal that is ours to change: changing or reading the terminal of a
// background job would stop the whole process.
bool haveConsole()
{
    return isatty(STDIN_FILENO) == 1 && tcgetpgrp(STDIN_FILENO) == getpgrp();
}

// Everything waiting counts as one key press: a function or arrow key
// sends several bytes at once and must toggle once, not once per byte.
bool readConsoleKey()
{
    char keys[32];
    return read(STDIN_FILENO, keys, sizeof(keys)) > 0;
}

void putBigEndian32(std::uint8_t* at, std::uint32_t value)
{
    at[0] = static_cast<std::uint8_t>(value >> 24);
    at[1] = static_cast<std::uint8_t>(value >> 16);
    at[2] = static_cast<std::uint8_t>(value >> 8);
    at[3] = static_cast<std::uint8_t>(value);
}

} // namespace

CMicAudio::CMicAudio(audio_opts* opts, audio_state* state)
    : CMicAudio(servers, Io{[opts, state](short* buf, int len) { return readAudioIn(opts, state, buf, len); },
                            [this] { return keyboard_ && readConsoleKey(); },
                            [](bool transmit) { soundCardMode(transmit); }})
{
    useConsole_ = true;
}

CMicAudio::CMicAudio(dv3000_servers& settings, Io io) : settings_(settings), io_(std::move(io)), useConsole_(false)
{
    std::memcpy(packet.data() + USRP_OFFSET_MAGIC, USRP_MAGIC, sizeof(USRP_MAGIC));
    packet[USRP_OFFSET_TYPE] = USRP_TYPE_VOICE; // little-endian
}

bool CMicAudio::setKeyboardNoBlock(bool on)
{
    static const bool registered = addExitAction(restoreConsole);
    std::lock_guard<std::mutex> lock(consoleMutex);
    if (!on) {
        if (consoleRaw)
            tcsetattr(STDIN_FILENO, TCSANOW, &oldterm);
        consoleRaw = false;
        return false;
    }
    if (consoleRaw)
        return true;
    // Without the exit action the terminal could be left without echo.
    if (!registered || processEnding || tcgetattr(STDIN_FILENO, &oldterm) != 0)
        return false;
    newterm = oldterm;
    newterm.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    // A read returns at once, with or without a key: no O_NONBLOCK on the
    // descriptor, which the shell shares and would keep after Halvane ends.
    newterm.c_cc[VMIN] = 0;
    newterm.c_cc[VTIME] = 0;
    consoleRaw = tcsetattr(STDIN_FILENO, TCSANOW, &newterm) == 0;
    return consoleRaw;
}

void CMicAudio::runLoop()
{
    start();
    while (running)
        runBlock();
    setKeyboardNoBlock(false);
    Log(3, "End reading audio from microphone\n");
}

bool CMicAudio::start()
{
    Log(3, "Begin reading audio from microphone%s\n", settings_.useVox ? " vox enabled" : "");
    if (useConsole_) {
        keyboard_ = haveConsole() && setKeyboardNoBlock(true);
        if (!keyboard_)
            Log(3, "Standard input is not a terminal in the foreground: keyboard PTT off, PTT by remote control "
                   "and VOX only\n");
    }
    running = sock.openSocket(LOOPBACK, settings_.usrpRxPort, 0) >= 0;
    io_.soundCardMode(ptt);
    remote = std::make_unique<CRemoteControl>(settings_);
    return running;
}

void CMicAudio::runBlock()
{
    readBlock();
    if (voxToggles()) {
        // A request or key waiting now would only undo what the voice did.
        remote->getPttToggle();
        io_.takeKey();
        toggle();
    } else if (remote->getPttToggle()) {
        io_.takeKey();
        toggle();
    } else if (io_.takeKey()) {
        toggle();
    } else if (ptt) {
        sendPacket();
    }
}

void CMicAudio::readBlock()
{
    const int got = io_.readAudio(block.data(), BLOCK_BYTES);
    if (got == BLOCK_BYTES) {
        badReads = 0;
        return;
    }
    if (badReads++ % BAD_READS_PER_LINE == 0)
        Log(5, "Bad read of mic audio %d\n", got);
    // What did not arrive is silence, not the previous block again.
    std::fill(block.begin() + (got > 0 ? got / 2 : 0), block.end(), 0);
    if (got <= 0)
        std::this_thread::sleep_for(BLOCK_TIME);
}

bool CMicAudio::voxToggles()
{
    if (!settings_.useVox)
        return false;
    for (short s : block)
        level = static_cast<int>((std::abs(static_cast<int>(s)) + level) * 0.5);
    const int trigger = settings_.voxTrigger;
    if (level > trigger) {
        hold = settings_.voxDecay;
        return !ptt;
    }
    return level < trigger && ptt && hold-- <= 0;
}

void CMicAudio::toggle()
{
    ptt = !ptt;
    io_.soundCardMode(ptt);
    Log(2, "Mic PTT %s\n", ptt ? "ON" : "OFF");
    remote->send(ptt ? "reply ptt true" : "reply ptt false");
    sendPacket();
}

int CMicAudio::sendPacket()
{
    putBigEndian32(packet.data() + USRP_OFFSET_KEYUP, ptt ? 1 : 0);
    putBigEndian32(packet.data() + USRP_OFFSET_SEQ, seq++);
    std::memcpy(packet.data() + USRP_HEADER_SIZE, block.data(), USRP_VOICE_BYTES);
    return sock.writeSocket(packet.data(), static_cast<unsigned>(packet.size()));
}

} // namespace halvane
