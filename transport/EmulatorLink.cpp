#include "EmulatorLink.h"

#include "Log.h"
#include "Shell.h"

#include <cstdlib>
#include <cstring>
#include <thread>

namespace halvane {

EmulatorLink::Target EmulatorLink::parseAddress(const std::string& emulatorAddress)
{
    Target target;
    auto colon = emulatorAddress.find(':');
    if (colon != std::string::npos && colon > 0 && colon + 1 < emulatorAddress.size()) {
        int port = static_cast<int>(std::strtol(emulatorAddress.c_str() + colon + 1, nullptr, 10));
        if (port != 0) {
            target.host = emulatorAddress.substr(0, colon);
            target.port = port;
            return target;
        }
    }
    target.host = "127.0.0.1";
    target.port = DEFAULT_PORT;
    target.startCommand = true;
    return target;
}

EmulatorLink::EmulatorLink(const std::string& emulatorAddress, std::chrono::milliseconds startDelay)
    : target_(parseAddress(emulatorAddress))
{
    if (target_.startCommand)
        start(emulatorAddress, startDelay);
    Log(3, "Connecting to emulator on host %s:%d\n", target_.host.c_str(), target_.port);
    encodeSocket_.openSocket(target_.host.c_str(), target_.port, 0);
    decodeSocket_.openSocket(target_.host.c_str(), target_.port, 0);
}

void EmulatorLink::start(const std::string& command, std::chrono::milliseconds startDelay)
{
    std::string commandLine = command + " -S " + std::to_string(DEFAULT_PORT);
    Log(2, "Starting emulator with arguments: %s\n", commandLine.c_str());
    int pid = startShellCommand(commandLine);
    if (pid < 0) {
        Log(5, "Failed to fork emulator.\n");
        return;
    }
    // A watcher reaps the emulator when it ends, so it never lingers as a
    // zombie, and reports how it ended.
    std::thread([pid] {
        int status = waitShellCommand(pid);
        Log(2, "Emulator done, result = %d\n", status);
    }).detach();
    Log(2, "Wait...\n");
    std::this_thread::sleep_for(startDelay);
}

void EmulatorLink::setReplyTimeout(std::chrono::milliseconds timeout)
{
    encodeSocket_.setReplyTimeout(timeout);
    decodeSocket_.setReplyTimeout(timeout);
}

void EmulatorLink::noteReply(bool answered, const char* direction)
{
    if (answered) {
        timedOut_ = false;
        return;
    }
    if (!timedOut_.exchange(true))
        Log(5, "Emulator timed out on %s!\n", direction);
}

bool EmulatorLink::encode(const short* pcm, unsigned char* frame49)
{
    unsigned char reply[FRAME49_BYTES];
    int got = encodeSocket_.sendRecv(reinterpret_cast<const unsigned char*>(pcm), PCM_BYTES, reply, sizeof(reply));
    bool answered = got > 0;
    noteReply(answered, "encode");
    if (answered) {
        // A short reply keeps zeros in the bits it did not carry.
        std::memset(frame49, 0, FRAME49_BYTES);
        std::memcpy(frame49, reply, static_cast<size_t>(got));
    }
    return answered;
}

bool EmulatorLink::decode(const unsigned char* frame49, short* pcm)
{
    std::memset(pcm, 0, PCM_BYTES);
    int got = decodeSocket_.sendRecv(frame49, FRAME49_BYTES, reinterpret_cast<unsigned char*>(pcm), PCM_BYTES);
    bool answered = got > 0;
    noteReply(answered, "decode");
    return answered;
}

} // namespace halvane
