// tlv-partner: plays the digital-voice partner towards Halvane's TLV port,
// for operators trying a set-up and for the end-to-end tests. Binds the port
// Halvane sends to, runs the actions of its command line in order (call
// records, call ends, commands, events, tunes, raw records, replays of saved
// calls, pauses) while a receiver thread prints every record that arrives,
// counts the frames of each call and can save the next whole call to a file.
// Exit status: 0 on success (and --help), 1 when the run fails (a port, a
// file, a send, no call to save), 2 on bad arguments. docs/tools.md has the
// details, including the saved-call file format.

#include "CallCollector.h"
#include "Hex.h"
#include "Log.h"
#include "SavedCall.h"
#include "TlvPartner.h"
#include "TlvProtocol.h"
#include "OptionCursor.h"
#include "StopSignal.h"
#include "ToolArguments.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace halvane {

namespace {

using namespace std::chrono_literals;

const char* const USAGE = R"(usage: tlv-partner [options] [actions]

Plays the digital-voice partner towards Halvane's TLV port: binds the port
Halvane sends its records to, runs the actions in the order given, and
prints every record it receives, with the frame count of each call.

Connection:
  --to [HOST:]PORT      Halvane's TLV receive port (default 127.0.0.1:31000)
  --bind [HOST:]PORT    local address and port Halvane sends to; port 0 picks
                        a free one (default 127.0.0.1:31003)

Actions (any number, run in order):
  --begin SRC,RPT,TG,SLOT,CC[,CALL]
                        TAG_BEGIN_TX with that call record; CALL is the rest
                        of the text, commas included (JSON is fine)
  --set-info SRC,RPT,TG,SLOT,CC[,CALL]
                        TAG_SET_INFO with that call record
  --end SLOT            TAG_END_TX
  --send-command TEXT   TAG_REMOTE_CMD, e.g. txTg=91 or codec=ulaw
  --event TEXT          TAG_EVENT
  --tune TG             TAG_TG_TUNE, e.g. 3100
  --tlv HEX             any TLV record (tag, length, value in hex)
  --replay FILE         a saved call, voice paced like the network (a
                        three-frame AMBE record every 60 ms, an IMBE or
                        D-STAR frame every 20 ms)
  --wait SECONDS        pause, receiving meanwhile

Receiving:
  --save FILE           save the next whole call received (TAG_BEGIN_TX to
                        TAG_END_TX) to FILE, then stop
  --listen SECONDS      receive this long after the actions (default: until
                        Ctrl-C when there are no actions, else 0); with
                        --save, the longest wait for the call
  --verbose             print every received datagram in hex too

  --unpaced             replay as fast as possible
  --help                this text

Exit status: 0 success, 1 failure at run time, 2 bad arguments.
)";

struct Action {
    enum class Kind { Begin, SetInfo, End, Command, Event, Tune, Tlv, Replay, Wait };
    Kind kind = Kind::Wait;
    std::string text; // command, event, tune or file name
    CallRecord call;
    std::uint8_t slot = 0;
    std::vector<std::uint8_t> record;
    std::chrono::milliseconds duration{0};
    SavedCall saved; // loaded before the run starts
};

struct Options {
    TlvPartner::Config config{"127.0.0.1", 31003, "127.0.0.1", 31000};
    Pacing pacing = Pacing::Network;
    std::string savePath;
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
        const auto textFits = [&]() {
            if (value.size() <= TLV_MAX_VALUE)
                return true;
            error = name + " text longer than " + std::to_string(TLV_MAX_VALUE) + " characters";
            return false;
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
        } else if (name == "--begin" || name == "--set-info") {
            CallRecord call;
            if (!takeValue() || !parseCallArgument(value, call, error))
                return false;
            addAction(name == "--begin" ? Action::Kind::Begin : Action::Kind::SetInfo).call = call;
        } else if (name == "--end") {
            long long slot = 0;
            if (!takeValue() || !parseNumberArgument(value, 0, 255, slot, error))
                return false;
            addAction(Action::Kind::End).slot = static_cast<std::uint8_t>(slot);
        } else if (name == "--send-command") {
            if (!takeValue() || !textFits())
                return false;
            addAction(Action::Kind::Command);
        } else if (name == "--event") {
            if (!takeValue() || !textFits())
                return false;
            addAction(Action::Kind::Event);
        } else if (name == "--tune") {
            if (!takeValue() || !textFits())
                return false;
            if (value.empty()) {
                error = "--tune needs a talk group";
                return false;
            }
            addAction(Action::Kind::Tune);
        } else if (name == "--tlv") {
            std::vector<std::uint8_t> record;
            if (!takeValue() || !parseRecordArgument(value, record, error))
                return false;
            addAction(Action::Kind::Tlv).record = record;
        } else if (name == "--replay") {
            if (!takeValue())
                return false;
            addAction(Action::Kind::Replay);
        } else if (name == "--wait") {
            std::chrono::milliseconds duration{};
            if (!takeValue() || !parseSecondsArgument(value, duration, error))
                return false;
            addAction(Action::Kind::Wait).duration = duration;
        } else if (name == "--save") {
            if (!takeValue())
                return false;
            if (value.empty()) {
                error = "--save needs a file name";
                return false;
            }
            options.savePath = value;
        } else if (name == "--listen") {
            std::chrono::milliseconds duration{};
            if (!takeValue() || !parseSecondsArgument(value, duration, error))
                return false;
            options.listen = duration;
        } else if (name == "--unpaced") {
            if (!noValue())
                return false;
            options.pacing = Pacing::Unpaced;
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


std::string seconds(std::chrono::microseconds duration)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.2f s", static_cast<double>(duration.count()) / 1e6);
    return text;
}

// Everything that arrives: printed, calls collected and the first whole one
// saved. Runs on the receiver thread only; the main thread reads `saved`
// and `saveFailed`.
class Receiver {
public:
    Receiver(bool verbose, std::string savePath) : verbose_(verbose), savePath_(std::move(savePath)) {}

    void handle(const TlvMessage& message)
    {
        std::printf("<- %s\n", describeTlvMessage(message).c_str());
        if (verbose_)
            std::printf("   %s\n", hexText(message.datagram).c_str());
        if (!message.record)
            return;
        std::optional<SavedCall> call = collector_.add(*message.record);
        if (!call)
            return;
        std::chrono::microseconds airTime(0);
        for (const TLV_CLASS& record : call->records())
            airTime += voiceAirTime(record);
        std::printf("   call ended: %d voice records, %d frames, %s\n", call->voiceRecords(), call->voiceFrames(),
                    seconds(airTime).c_str());
        if (!savePath_.empty() && !saved.load()) {
            std::string error;
            if (call->save(savePath_, error)) {
                std::printf("   saved %zu records to %s\n", call->records().size(), savePath_.c_str());
            } else {
                std::fprintf(stderr, "tlv-partner: %s\n", error.c_str());
                saveFailed.store(true);
            }
            saved.store(true);
        }
    }

    std::atomic_bool saved{false};
    std::atomic_bool saveFailed{false};

private:
    bool verbose_;
    std::string savePath_;
    CallCollector collector_;
};

bool runAction(TlvPartner& partner, const Action& action, Pacing pacing)
{
    switch (action.kind) {
    case Action::Kind::Begin:
        std::printf("-> TAG_BEGIN_TX %s\n", describeCallRecord(action.call).c_str());
        return partner.sendBegin(action.call);
    case Action::Kind::SetInfo:
        std::printf("-> TAG_SET_INFO %s\n", describeCallRecord(action.call).c_str());
        return partner.sendSetInfo(action.call);
    case Action::Kind::End:
        std::printf("-> TAG_END_TX slot=%u\n", static_cast<unsigned>(action.slot));
        return partner.sendEnd(action.slot);
    case Action::Kind::Command:
        std::printf("-> TAG_REMOTE_CMD %s\n", quotedText(action.text).c_str());
        return partner.sendCommand(action.text);
    case Action::Kind::Event:
        std::printf("-> TAG_EVENT %s\n", quotedText(action.text).c_str());
        return partner.sendEvent(action.text);
    case Action::Kind::Tune:
        std::printf("-> TAG_TG_TUNE %s\n", quotedText(action.text).c_str());
        return partner.sendTune(action.text);
    case Action::Kind::Tlv: {
        const TLV_CLASS record(action.record[TLV_OFFSET_TAG],
                               std::span<const std::uint8_t>(action.record).subspan(TLV_HEADER_SIZE));
        std::printf("-> %s\n", describeTlvRecord(record).c_str());
        return partner.sendRecord(record);
    }
    case Action::Kind::Replay:
        std::printf("-> replaying %s: %zu records, %d frames (%s)\n", action.text.c_str(),
                    action.saved.records().size(), action.saved.voiceFrames(),
                    pacing == Pacing::Network ? "paced" : "unpaced");
        return partner.replay(action.saved, pacing, &stopRequested);
    case Action::Kind::Wait: {
        const auto until = std::chrono::steady_clock::now() + action.duration;
        while (!stopRequested.load() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                50ms, until - std::chrono::steady_clock::now()));
        return true;
    }
    }
    return false;
}

int run(Options& options)
{
    for (Action& action : options.actions) {
        std::string error;
        if (action.kind == Action::Kind::Replay && !SavedCall::load(action.text, action.saved, error)) {
            std::fprintf(stderr, "tlv-partner: %s\n", error.c_str());
            return 1;
        }
    }

    std::string error;
    TlvPartner partner;
    if (!partner.open(options.config, error)) {
        std::fprintf(stderr, "tlv-partner: %s\n", error.c_str());
        return 1;
    }
    std::printf("tlv-partner: listening on %s:%d, sending to %s\n", options.config.localHost.c_str(),
                partner.localPort(), DatagramSocket::addressText(partner.remote()).c_str());

    Receiver receiver(options.verbose, options.savePath);
    std::atomic_bool receiving{true};
    std::thread receiverThread([&] {
        while (receiving.load()) {
            if (const std::optional<TlvMessage> message = partner.receive(100ms))
                receiver.handle(*message);
        }
        // What arrived before the end is still reported, however busy the
        // machine kept this thread.
        while (const std::optional<TlvMessage> message = partner.receive(0ms))
            receiver.handle(*message);
    });

    bool ok = true;
    for (const Action& action : options.actions) {
        if (stopRequested.load())
            break;
        if (!runAction(partner, action, options.pacing)) {
            std::fprintf(stderr, "tlv-partner: cannot send to %s\n",
                         DatagramSocket::addressText(partner.remote()).c_str());
            ok = false;
            break;
        }
    }

    const bool saving = !options.savePath.empty();
    if (ok) {
        const bool forever = !options.listen && (saving || options.actions.empty());
        const auto until = forever ? std::chrono::steady_clock::time_point::max()
                                   : std::chrono::steady_clock::now() + options.listen.value_or(0ms);
        while (!stopRequested.load() && std::chrono::steady_clock::now() < until && !(saving && receiver.saved.load()))
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                20ms, until - std::chrono::steady_clock::now()));
    }
    receiving.store(false);
    receiverThread.join();

    if (ok && saving && !receiver.saved.load()) {
        std::fprintf(stderr, "tlv-partner: no whole call arrived to save in %s\n", options.savePath.c_str());
        ok = false;
    }
    return ok && !receiver.saveFailed.load() ? 0 : 1;
}

} // namespace

} // namespace halvane

int main(int argc, char** argv)
{
    using namespace halvane;
    // The packet code logs only on misuse this program rules out; a log line
    // must not open Halvane's own log file.
    setLogLevel(0);
    // Line by line, so a test or a pipe sees each record as it arrives.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    Options options;
    std::string error;
    if (!parseArguments(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "tlv-partner: %s\nTry 'tlv-partner --help'.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    installStopHandler();
    return run(options);
}
