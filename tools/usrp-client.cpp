// usrp-client: plays an AllStarLink node towards Halvane's USRP port, for
// operators trying a set-up and for the end-to-end tests. Registers, runs the
// actions of its command line in order (voice from a file, DTMF, texts, call
// records, commands, TLV records, pings, pauses), listens, unregisters. A
// receiver thread prints everything that arrives and can record the voice to
// a WAV file. Exit status: 0 on success (and --help), 1 when the run fails
// (a port, a file, a send, no answer to the registration), 2 on bad
// arguments. docs/tools.md has the details.

#include "FileTransferClient.h"
#include "Hex.h"
#include "Log.h"
#include "PcmFile.h"
#include "TlvMessage.h"
#include "TlvProtocol.h"
#include "OptionCursor.h"
#include "StopSignal.h"
#include "ToolArguments.h"
#include "UsrpClient.h"
#include "WavWriter.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace halvane {

namespace {

using namespace std::chrono_literals;

const char* const USAGE = R"(usage: usrp-client [options] [actions]

Plays an AllStarLink node towards Halvane's USRP port: registers with
"REG:QUILLNET", runs the actions in the order given, listens, and prints
every packet it receives.

Connection:
  --to [HOST:]PORT      Halvane's USRP receive port (default 127.0.0.1:34001)
  --bind [HOST:]PORT    local address and port to receive on; port 0 picks a
                        free one (default 127.0.0.1:32001)
  --no-register         do not send "REG:QUILLNET" first
  --timeout SECONDS     wait this long for "REG:OK" (default 2)
  --unregister          send "REG:UNREG" at the very end

Actions (any number, run in order):
  --play FILE           one keyed transmission of the file's speech, then the
                        unkey; FILE is 8000 Hz: raw 16-bit little-endian
                        (.raw .pcm .s16 .sw) or a sound file (WAV, FLAC, ...)
  --dtmf DIGITS         a DTMF packet (type 1)
  --text TEXT           a text packet (type 2), e.g. INFO: or MODES:
  --call SRC,RPT,TG,SLOT,CC[,CALL]
                        a call record (metadata, type 2) for the next
                        transmission
  --send-command TEXT   a TAG_REMOTE_CMD record in a TLV packet, e.g.
                        codec=ulaw or txTg=91
  --tlv HEX             any TLV record (tag, length, value in hex) in a TLV
                        packet (type 4), e.g. "05 04 696E666F"
  --ping                a PING packet (type 3)
  --wait SECONDS        pause, receiving meanwhile
  --get NAME            fetch a file from Halvane's transfer directory and
                        save it here under its last name component; a NAME
                        beginning with "http" asks Halvane to push a URL
  --put FILE            upload FILE to Halvane's transfer directory

Voice:
  --codec slin|ulaw|adpcm   codec of --play (default slin)
  --unpaced             send --play as fast as possible, not every 20 ms
  --raw                 read every --play file as raw, whatever its name
  --record FILE.wav     write the voice received to FILE.wav (8000 Hz mono)

Output and duration:
  --listen SECONDS      receive this long after the actions (default: until
                        Ctrl-C when there are no actions, else 0)
  --verbose             print every received packet, with its bytes in hex
  --help                this text

Exit status: 0 success, 1 failure at run time, 2 bad arguments.
)";

struct Action {
    enum class Kind { Play, Dtmf, Text, Call, Command, Tlv, Ping, Wait, Get, Put };
    Kind kind = Kind::Ping;
    std::string text; // file name, digits, text or command
    CallRecord call;
    std::vector<std::uint8_t> record;
    std::chrono::milliseconds duration{0};
    std::vector<std::int16_t> pcm; // loaded before the run starts
};

struct Options {
    UsrpClient::Config config{"127.0.0.1", 32001, "127.0.0.1", 34001};
    bool registerFirst = true;
    std::chrono::milliseconds registrationTimeout = 2s;
    bool unregister = false;
    UsrpCodec codec = UsrpCodec::Slin;
    Pacing pacing = Pacing::Network;
    bool raw = false;
    std::string recordPath;
    std::optional<std::chrono::milliseconds> listen;
    bool verbose = false;
    bool help = false;
    std::vector<Action> actions;
};

bool parseArguments(const std::vector<std::string>& args, Options& options, std::string& error)
{
    OptionCursor option(args);
    while (option.next()) {
        const std::string& name = option.name();
        const std::string& value = option.value();
        const auto takeValue = [&]() { return option.takeValue(error); };
        const auto noValue = [&]() { return option.noValue(error); };
        const auto addAction = [&](Action::Kind kind) -> Action& {
            options.actions.push_back(Action{});
            options.actions.back().kind = kind;
            options.actions.back().text = value;
            return options.actions.back();
        };

        if (name == "--help" || name == "-h") {
            if (!noValue())
                return false;
            options.help = true;
        } else if (name == "--to") {
            if (!takeValue() || !parseEndpointArgument(value, false, options.config.remoteHost,
                                                       options.config.remotePort, error))
                return false;
        } else if (name == "--bind") {
            if (!takeValue() ||
                !parseEndpointArgument(value, true, options.config.localHost, options.config.localPort, error))
                return false;
        } else if (name == "--no-register") {
            if (!noValue())
                return false;
            options.registerFirst = false;
        } else if (name == "--timeout") {
            if (!takeValue() || !parseSecondsArgument(value, options.registrationTimeout, error))
                return false;
        } else if (name == "--unregister") {
            if (!noValue())
                return false;
            options.unregister = true;
        } else if (name == "--play") {
            if (!takeValue())
                return false;
            addAction(Action::Kind::Play);
        } else if (name == "--dtmf") {
            if (!takeValue())
                return false;
            if (value.empty()) {
                error = "--dtmf needs digits";
                return false;
            }
            addAction(Action::Kind::Dtmf);
        } else if (name == "--text") {
            if (!takeValue())
                return false;
            addAction(Action::Kind::Text);
        } else if (name == "--call") {
            CallRecord call;
            if (!takeValue() || !parseCallArgument(value, call, error))
                return false;
            addAction(Action::Kind::Call).call = call;
        } else if (name == "--send-command") {
            if (!takeValue())
                return false;
            if (value.size() > TLV_MAX_VALUE) {
                error = "--send-command text longer than " + std::to_string(TLV_MAX_VALUE) + " characters";
                return false;
            }
            addAction(Action::Kind::Command);
        } else if (name == "--tlv") {
            std::vector<std::uint8_t> record;
            if (!takeValue() || !parseRecordArgument(value, record, error))
                return false;
            addAction(Action::Kind::Tlv).record = record;
        } else if (name == "--ping") {
            if (!noValue())
                return false;
            addAction(Action::Kind::Ping);
        } else if (name == "--wait") {
            std::chrono::milliseconds duration{};
            if (!takeValue() || !parseSecondsArgument(value, duration, error))
                return false;
            addAction(Action::Kind::Wait).duration = duration;
        } else if (name == "--get" || name == "--put") {
            if (!takeValue())
                return false;
            if (value.empty()) {
                error = name + " needs a file name";
                return false;
            }
            addAction(name == "--get" ? Action::Kind::Get : Action::Kind::Put);
        } else if (name == "--codec") {
            if (!takeValue())
                return false;
            if (!parseUsrpCodec(value, options.codec)) {
                error = "unknown codec '" + value + "' (slin, ulaw or adpcm)";
                return false;
            }
        } else if (name == "--unpaced") {
            if (!noValue())
                return false;
            options.pacing = Pacing::Unpaced;
        } else if (name == "--raw") {
            if (!noValue())
                return false;
            options.raw = true;
        } else if (name == "--record") {
            if (!takeValue())
                return false;
            if (value.empty()) {
                error = "--record needs a file name";
                return false;
            }
            options.recordPath = value;
        } else if (name == "--listen") {
            std::chrono::milliseconds duration{};
            if (!takeValue() || !parseSecondsArgument(value, duration, error))
                return false;
            options.listen = duration;
        } else if (name == "--verbose") {
            if (!noValue())
                return false;
            options.verbose = true;
        } else {
            error = name.rfind("-", 0) == 0 ? "unknown option " + name : "unexpected argument '" + name + "'";
            return false;
        }
    }
    return true;
}


std::string seconds(std::size_t samples)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.2f s", static_cast<double>(samples) / 8000.0);
    return text;
}

// Everything that arrives: printed, and voice written to the WAV file. Runs
// on the main thread until registration is done, then on the receiver
// thread only.
class Receiver {
public:
    Receiver(bool verbose, WavWriter* wav) : verbose_(verbose), wav_(wav) {}

    // File transfer records also go to `transfer` (guarded by `mutex`).
    void followTransfer(FileTransferClient* transfer, std::mutex* mutex)
    {
        transfer_ = transfer;
        transferMutex_ = mutex;
    }

    void handle(const UsrpMessage& message)
    {
        if (transfer_ != nullptr && message.kind == UsrpMessage::Kind::Tlv && message.tlv &&
            message.tlv->tag() == TAG_FILE_XFER) {
            std::lock_guard<std::mutex> lock(*transferMutex_);
            transfer_->receive(*message.tlv);
        }
        const bool voice = message.kind == UsrpMessage::Kind::Voice;
        const bool unkey = message.kind == UsrpMessage::Kind::Unkey;
        if (voice) {
            if (packets_ == 0)
                std::printf("<- transmission begins (%s, seq=%u)\n", usrpCodecName(*message.codec), message.seq);
            ++packets_;
            samples_ += message.pcm.size();
            totalSamples_ += message.pcm.size();
            if (wav_ != nullptr && !wav_->write(message.pcm) && !wavFailed_) {
                wavFailed_ = true;
                std::fprintf(stderr, "usrp-client: cannot write to the WAV file\n");
            }
        }
        if (verbose_ || (!voice && !unkey)) {
            std::printf("<- %s\n", describeUsrpMessage(message).c_str());
            if (verbose_)
                std::printf("   %s\n", hexText(message.datagram).c_str());
        }
        if (unkey) {
            if (packets_ > 0)
                std::printf("<- unkey: %d voice packets, %s\n", packets_, seconds(samples_).c_str());
            else if (!verbose_)
                std::printf("<- %s\n", describeUsrpMessage(message).c_str());
            packets_ = 0;
            samples_ = 0;
        }
    }

    std::size_t totalSamples() const { return totalSamples_; }
    bool wavFailed() const { return wavFailed_; }

private:
    bool verbose_;
    WavWriter* wav_;
    FileTransferClient* transfer_ = nullptr;
    std::mutex* transferMutex_ = nullptr;
    int packets_ = 0;
    std::size_t samples_ = 0;
    std::size_t totalSamples_ = 0;
    bool wavFailed_ = false;
};

// Sleeps until `until` or a stop signal.
void pause(std::chrono::steady_clock::time_point until)
{
    while (!stopRequested.load() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            50ms, until - std::chrono::steady_clock::now()));
}

// A file transfer in progress: the client object and the lock shared with
// the receiver thread.
struct Transfer {
    FileTransferClient* client;
    std::mutex* mutex;
};

// Waits until the transfer ends, or nothing has come for `quiet`.
FileTransferClient::State awaitTransfer(const Transfer& transfer, std::chrono::milliseconds quiet)
{
    auto lastChange = std::chrono::steady_clock::now();
    int lastCount = -1;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(*transfer.mutex);
            if (transfer.client->finished())
                return transfer.client->state();
            if (transfer.client->dataRecords() != lastCount) {
                lastCount = transfer.client->dataRecords();
                lastChange = std::chrono::steady_clock::now();
            }
        }
        if (stopRequested.load() || std::chrono::steady_clock::now() - lastChange > quiet) {
            std::lock_guard<std::mutex> lock(*transfer.mutex);
            return transfer.client->state();
        }
        std::this_thread::sleep_for(10ms);
    }
}

bool getFile(const Transfer& transfer, const std::string& name)
{
    {
        std::lock_guard<std::mutex> lock(*transfer.mutex);
        std::printf("-> file request %s\n", quotedText(name).c_str());
        if (!transfer.client->requestFile(name))
            return false;
    }
    const FileTransferClient::State state = awaitTransfer(transfer, 3s);
    std::lock_guard<std::mutex> lock(*transfer.mutex);
    const FileTransferClient& xfer = *transfer.client;
    if (state != FileTransferClient::State::Done) {
        std::fprintf(stderr, "usrp-client: file transfer failed: %s\n",
                     xfer.error().empty() ? "no answer" : xfer.error().c_str());
        return false;
    }
    if (xfer.isUrl()) {
        std::printf("<- URL %s\n", xfer.remoteName().c_str());
        return true;
    }
    std::string local = xfer.remoteName();
    if (auto slash = local.find_last_of('/'); slash != std::string::npos)
        local.erase(0, slash + 1);
    if (local.empty() || local == "." || local == "..") {
        std::fprintf(stderr, "usrp-client: refusing to save a file named '%s'\n", xfer.remoteName().c_str());
        return false;
    }
    std::ofstream out(local, std::ios::binary);
    out.write(reinterpret_cast<const char*>(xfer.content().data()), static_cast<std::streamsize>(xfer.content().size()));
    if (!out) {
        std::fprintf(stderr, "usrp-client: cannot write %s\n", local.c_str());
        return false;
    }
    std::printf("<- saved %zu bytes to %s (MD5 checked)\n", xfer.content().size(), local.c_str());
    return true;
}

bool putFile(const Transfer& transfer, const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "usrp-client: cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<std::uint8_t> content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string name = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
    {
        std::lock_guard<std::mutex> lock(*transfer.mutex);
        std::printf("-> upload %s (%zu bytes)\n", name.c_str(), content.size());
        if (!transfer.client->upload(name, content))
            return false;
    }
    // Halvane answers only failures: a second of silence is success.
    std::this_thread::sleep_for(1s);
    std::lock_guard<std::mutex> lock(*transfer.mutex);
    if (transfer.client->state() == FileTransferClient::State::Failed) {
        std::fprintf(stderr, "usrp-client: upload refused: %s\n", transfer.client->error().c_str());
        return false;
    }
    return true;
}

bool runAction(UsrpClient& client, const Action& action, const Options& options, const Transfer& transfer)
{
    switch (action.kind) {
    case Action::Kind::Get:
        return getFile(transfer, action.text);
    case Action::Kind::Put:
        return putFile(transfer, action.text);
    case Action::Kind::Play: {
        std::printf("-> playing %s (%s, %s, %s)\n", action.text.c_str(), usrpCodecName(options.codec),
                    seconds(action.pcm.size()).c_str(), options.pacing == Pacing::Network ? "paced" : "unpaced");
        const std::uint32_t first = client.nextSequence();
        const bool sent = client.sendTransmission(action.pcm, options.codec, options.pacing, &stopRequested);
        std::printf("-> %u voice packets and the unkey\n", client.nextSequence() - first - 1);
        return sent;
    }
    case Action::Kind::Dtmf:
        std::printf("-> DTMF %s\n", quotedText(action.text).c_str());
        return client.sendDtmf(action.text);
    case Action::Kind::Text:
        std::printf("-> text %s\n", quotedText(action.text).c_str());
        return client.sendText(action.text);
    case Action::Kind::Call: {
        std::printf("-> call record %s\n", describeCallRecord(action.call).c_str());
        return client.sendCallRecord(action.call);
    }
    case Action::Kind::Command:
        std::printf("-> command %s\n", quotedText(action.text).c_str());
        return client.sendCommand(action.text);
    case Action::Kind::Tlv: {
        const TLV_CLASS record(action.record[TLV_OFFSET_TAG],
                               std::span<const std::uint8_t>(action.record).subspan(TLV_HEADER_SIZE));
        std::printf("-> TLV %s\n", describeTlvRecord(record).c_str());
        return client.sendTlv(record);
    }
    case Action::Kind::Ping:
        std::printf("-> ping\n");
        return client.sendPing();
    case Action::Kind::Wait:
        pause(std::chrono::steady_clock::now() + action.duration);
        return true;
    }
    return false;
}

int run(Options& options)
{
    for (Action& action : options.actions) {
        std::string error;
        if (action.kind == Action::Kind::Play &&
            !readPcmFile(action.text, options.raw ? PcmFileKind::Raw : PcmFileKind::Auto, action.pcm, error)) {
            std::fprintf(stderr, "usrp-client: %s\n", error.c_str());
            return 1;
        }
    }

    std::string error;
    WavWriter wav;
    if (!options.recordPath.empty() && !wav.open(options.recordPath, error)) {
        std::fprintf(stderr, "usrp-client: %s\n", error.c_str());
        return 1;
    }
    UsrpClient client;
    if (!client.open(options.config, error)) {
        std::fprintf(stderr, "usrp-client: %s\n", error.c_str());
        return 1;
    }
    std::printf("usrp-client: %s:%d -> %s\n", options.config.localHost.c_str(), client.localPort(),
                DatagramSocket::addressText(client.remote()).c_str());

    Receiver receiver(options.verbose, wav.isOpen() ? &wav : nullptr);
    std::mutex transferMutex;
    FileTransferClient transferClient([&client](const TLV_CLASS& record) { return client.sendTlv(record); });
    receiver.followTransfer(&transferClient, &transferMutex);
    const Transfer transfer{&transferClient, &transferMutex};
    if (options.registerFirst) {
        std::printf("-> text \"REG:QUILLNET\"\n");
        if (!client.registerClient()) {
            std::fprintf(stderr, "usrp-client: cannot send to %s\n",
                         DatagramSocket::addressText(client.remote()).c_str());
            return 1;
        }
        std::vector<UsrpMessage> before;
        const std::optional<UsrpMessage> reply =
            client.receiveText(USRP_REG_OK, options.registrationTimeout, &before);
        for (const UsrpMessage& message : before)
            receiver.handle(message);
        if (!reply) {
            std::fprintf(stderr, "usrp-client: no \"REG:OK\" from %s within %lld ms; is Halvane listening there?\n",
                         DatagramSocket::addressText(client.remote()).c_str(),
                         static_cast<long long>(options.registrationTimeout.count()));
            return 1;
        }
        receiver.handle(*reply);
    }

    std::atomic_bool receiving{true};
    std::thread receiverThread([&] {
        while (receiving.load()) {
            if (const std::optional<UsrpMessage> message = client.receive(100ms))
                receiver.handle(*message);
        }
        // What arrived before the end is still reported, however busy the
        // machine kept this thread.
        while (const std::optional<UsrpMessage> message = client.receive(0ms))
            receiver.handle(*message);
    });

    bool ok = true;
    for (const Action& action : options.actions) {
        if (stopRequested.load())
            break;
        if (!runAction(client, action, options, transfer)) {
            if (action.kind != Action::Kind::Get && action.kind != Action::Kind::Put)
                std::fprintf(stderr, "usrp-client: cannot send to %s\n",
                             DatagramSocket::addressText(client.remote()).c_str());
            ok = false;
            break;
        }
    }

    if (ok) {
        if (options.listen)
            pause(std::chrono::steady_clock::now() + *options.listen);
        else if (options.actions.empty())
            pause(std::chrono::steady_clock::time_point::max());
    }
    receiving.store(false);
    receiverThread.join();

    if (options.unregister) {
        std::printf("-> text \"REG:UNREG\"\n");
        ok = client.unregisterClient() && ok;
    }
    if (wav.isOpen()) {
        std::printf("usrp-client: recorded %s of voice to %s\n", seconds(receiver.totalSamples()).c_str(),
                    options.recordPath.c_str());
        wav.close();
        ok = ok && !receiver.wavFailed();
    }
    return ok ? 0 : 1;
}

} // namespace

} // namespace halvane

int main(int argc, char** argv)
{
    using namespace halvane;
    // The packet code logs only on misuse this program rules out; a log line
    // must not open Halvane's own log file.
    setLogLevel(0);
    // Line by line, so a test or a pipe sees each packet as it arrives.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    Options options;
    std::string error;
    if (!parseArguments(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "usrp-client: %s\nTry 'usrp-client --help'.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    installStopHandler();
    return run(options);
}
