#include "CRemoteControl.h"

#include "Log.h"
#include "dv3000_servers.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace halvane {

namespace {

constexpr const char* REPLY_HOST = "127.0.0.1";
constexpr const char* WORD_BREAKS = " \t\r\n";
// "set info" and its five numbers, the most words a command uses.
constexpr int MAX_WORDS = 7;
constexpr int INFO_NUMBERS = 5;

int toInt(const char* word)
{
    return static_cast<int>(std::clamp<long>(std::strtol(word, nullptr, 10), INT_MIN, INT_MAX));
}

// The command as the log shows it: anyone who can reach the port chooses
// these bytes, and the log is echoed to the operator's terminal.
std::string printable(const char* text)
{
    std::string shown(text);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
            c = '.';
    }
    return shown;
}

} // namespace

CRemoteControl::CRemoteControl(dv3000_servers& settings) : settings_(settings)
{
    const std::string address = settings_.remoteControlAddress.get();
    listenSock.setBindAddress(address);
    listenSock.openSocket(address.c_str(), settings_.remoteControlPort, CDV3000_UDP::FLAG_BIND);
    replySock.openSocket(REPLY_HOST, settings_.remoteControlReplyPort, 0);
    if (!listenSock.isOpen())
        return;
    Log(3, "Remote control on %s:%d, replies to %s:%d\n", address.c_str(), settings_.remoteControlPort.load(),
        REPLY_HOST, settings_.remoteControlReplyPort.load());
    listener = std::thread([this] { remoteLoop(); });
}

CRemoteControl::~CRemoteControl()
{
    stopping = true;
    listenSock.closeSocket();
    if (listener.joinable())
        listener.join();
}

int CRemoteControl::send(const char* text)
{
    return replySock.writeSocket(reinterpret_cast<const unsigned char*>(text),
                                 static_cast<unsigned>(std::strlen(text)));
}

void CRemoteControl::remoteLoop()
{
    char buffer[MAX_COMMAND + 1];
    while (!stopping) {
        if (!listenSock.waitForData()) {
            if (!listenSock.isOpen())
                return;
            continue;
        }
        std::memset(buffer, 0, sizeof(buffer));
        if (listenSock.readSocket(reinterpret_cast<unsigned char*>(buffer), MAX_COMMAND) <= 0)
            continue;
        Log(2, "Remote control: %s\n", printable(buffer).c_str());
        handle(buffer);
    }
}

void CRemoteControl::handle(char* text)
{
    char* words[MAX_WORDS];
    int count = 0;
    char* rest = nullptr;
    for (char* word = strtok_r(text, WORD_BREAKS, &rest); word != nullptr && count < MAX_WORDS;
         word = strtok_r(nullptr, WORD_BREAKS, &rest))
        words[count++] = word;
    if (count < 2)
        return;
    if (std::strcmp(words[0], "set") == 0)
        set(words[1], words + 2, count - 2);
    else if (std::strcmp(words[0], "get") == 0)
        get(words[1]);
}

void CRemoteControl::set(const char* name, char* const* values, int count)
{
    if (std::strcmp(name, "ptt") == 0) {
        pttToggle = true;
        return;
    }
    if (count < 1)
        return;
    if (std::strcmp(name, "vox") == 0)
        settings_.useVox = std::strcmp(values[0], "true") == 0;
    else if (std::strcmp(name, "vox_threshold") == 0)
        settings_.voxTrigger = toInt(values[0]);
    else if (std::strcmp(name, "vox_delay") == 0)
        settings_.voxDecay = toInt(values[0]);
    else if (std::strcmp(name, "info") == 0)
        setInfo(values, count);
}

void CRemoteControl::setInfo(char* const* values, int count)
{
    if (count < INFO_NUMBERS) {
        Log(5, "Remote control: set info needs five numbers (subscriber ID, repeater ID, talk group, slot, "
               "colour code); nothing changed\n");
        return;
    }
    const int gateway = toInt(values[0]);
    const int repeater = toInt(values[1]);
    // The configuration check ends the process with this message; a
    // datagram must not, so here it only costs the command.
    if (repeater == gateway) {
        Log(5, "Repeater ID (%d) can not be the same as subscriber ID (%d). Fatal error exiting\n", repeater, repeater);
        return;
    }
    // Readers take the two IDs one at a time: store them in the order that
    // never shows them equal in between (only a swap of the two must).
    if (gateway != settings_.repeaterID) {
        settings_.gatewayDmrId = gateway;
        settings_.repeaterID = repeater;
    } else {
        settings_.repeaterID = repeater;
        settings_.gatewayDmrId = gateway;
    }
    settings_.txTg = toInt(values[2]);
    settings_.txTs = toInt(values[3]);
    settings_.colorCode = toInt(values[4]);
}

void CRemoteControl::get(const char* name)
{
    char reply[MAX_COMMAND + 32];
    if (std::strcmp(name, "ptt") == 0)
        std::snprintf(reply, sizeof(reply), "reply ptt toggle");
    else if (std::strcmp(name, "vox") == 0)
        std::snprintf(reply, sizeof(reply), "reply vox %s", settings_.useVox ? "true" : "false");
    else if (std::strcmp(name, "vox_threshold") == 0)
        std::snprintf(reply, sizeof(reply), "reply vox_threshold %d", settings_.voxTrigger.load());
    else if (std::strcmp(name, "vox_delay") == 0)
        std::snprintf(reply, sizeof(reply), "reply vox_delay %d", settings_.voxDecay.load());
    else if (std::strcmp(name, "info") == 0)
        std::snprintf(reply, sizeof(reply), "reply dmr_info %s %d %d %s", "BM", settings_.repeaterID.load(),
                      settings_.gatewayDmrId.load(), "Q9ZZZ");
    else
        std::snprintf(reply, sizeof(reply), "reply %s unknown", name);
    send(reply);
}

} // namespace halvane
