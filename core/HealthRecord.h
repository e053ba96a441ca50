// What an operator can read about the running bridge: for each audio
// direction, what went in and came out, what was dropped and why, how often
// the vocoder failed, how many calls began and ended, and which vocoder does
// the work. The info file (HVINFO) carries it as its "health" member and the
// service manager's status line sums it up.
//
// Direction usrpToTlv: `in` counts the USRP client's keyed 20 ms blocks,
// `out` the vocoder frames sent to the partner. Direction tlvToUsrp: `in`
// counts the partner's frames of the call being received, `out` the blocks
// sent to the client. Drops are blocks or records that never reached the
// other side: `droppedLate` arrived after their turn (the pacer), and
// `droppedOverflow` found a queue full (the TLV queue, the pacer),
// `droppedCatchUp` were quiet blocks the pacer left out to shorten the delay
// after a burst (deliberate, so not among the drops of the status line).
//
// Adding a field: a member here and its entry in json() (and in statusLine()
// when it belongs in the one-line summary).
//
// Lifetime: one process-wide instance, `health`, for the whole process; the
// parts that count are handed the direction they count for.
// Thread-safety: any thread may add to or read any field at any time.
// Counters are atomics; the vocoder names are replaced whole. A reader sees
// each field whole, not all fields at one instant.
#pragma once

#include "SettingText.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace halvane {

class HealthRecord {
public:
    using Counter = std::atomic<std::uint64_t>;

    struct Direction {
        Counter in{0};
        Counter out{0};
        Counter droppedLate{0};
        Counter droppedOverflow{0};
        Counter droppedCatchUp{0};
        Counter vocoderFailures{0};
        Counter callsStarted{0};
        Counter callsEnded{0};
        // Datagrams from senders that are not the configured peer, dropped
        // by the listener this direction reads (USRP for usrpToTlv, TLV for
        // tlvToUsrp).
        Counter droppedUnknownSource{0};
        // "DV3000", "software" or "emulator"; empty until the bridge chose.
        SettingText<32> vocoder;
        // When `vocoder` last changed, in seconds since the epoch; 0 before.
        std::atomic<std::int64_t> vocoderSince{0};

        // Names the vocoder in use; the time is kept while the name stays.
        void useVocoder(const char* name);
    };

    Direction usrpToTlv;
    Direction tlvToUsrp;

    // {"usrp_to_tlv":{...},"tlv_to_usrp":{...}}, every value a JSON string
    // like the rest of the info record.
    std::string json() const;
    // One line without a line end, e.g. "USRP>TLV (DV3000): 2 calls, 1500
    // blocks in, 500 frames out, 0 dropped, 0 vocoder failures; TLV>USRP ...".
    std::string statusLine() const;

    // Every counter to 0 and the vocoders unnamed (tests).
    void reset();
};

extern HealthRecord health;

} // namespace halvane
