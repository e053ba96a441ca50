#include "HealthRecord.h"

#include <cstdio>
#include <ctime>

namespace halvane {

HealthRecord health;

namespace {

std::string number(const HealthRecord::Counter& counter)
{
    return std::to_string(counter.load(std::memory_order_relaxed));
}

// UTC, "2026-12-06T18:48:00Z" (`withDate`) or "18:48:00Z"; "" for 0.
std::string utcText(std::int64_t seconds, bool withDate)
{
    if (seconds == 0)
        return "";
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    char text[32] = "";
    if (::gmtime_r(&t, &utc) != nullptr)
        std::strftime(text, sizeof(text), withDate ? "%Y-%m-%dT%H:%M:%SZ" : "%H:%M:%SZ", &utc);
    return text;
}

// The vocoder names are the bridge's own words, so they need no escaping.
std::string directionJson(const HealthRecord::Direction& d, const char* inName, const char* outName)
{
    return std::string("{\"vocoder\":\"") + d.vocoder.get() + "\",\"vocoder_since\":\"" +
           utcText(d.vocoderSince.load(), true) + "\",\"" + inName + "\":\"" + number(d.in) + "\",\"" + outName +
           "\":\"" + number(d.out) + "\",\"dropped_late\":\"" + number(d.droppedLate) +
           "\",\"dropped_overflow\":\"" + number(d.droppedOverflow) + "\",\"dropped_catch_up\":\"" +
           number(d.droppedCatchUp) + "\",\"dropped_unknown_source\":\"" +
           number(d.droppedUnknownSource) + "\",\"vocoder_failures\":\"" + number(d.vocoderFailures) +
           "\",\"calls_started\":\"" + number(d.callsStarted) + "\",\"calls_ended\":\"" + number(d.callsEnded) +
           "\"}";
}

std::string directionStatus(const char* name, const HealthRecord::Direction& d, const char* inUnit,
                            const char* outUnit)
{
    const auto load = [](const HealthRecord::Counter& c) {
        return static_cast<unsigned long long>(c.load(std::memory_order_relaxed));
    };
    std::string vocoder = d.vocoder.get();
    const std::string since = utcText(d.vocoderSince.load(), false);
    if (vocoder.empty())
        vocoder = "-";
    else if (!since.empty())
        vocoder += " since " + since;
    char text[320];
    std::snprintf(text, sizeof(text),
                  "%s (%s): %llu calls, %llu %s in, %llu %s out, %llu dropped, %llu vocoder failures, %llu from "
                  "unknown senders",
                  name, vocoder.c_str(), load(d.callsStarted), load(d.in), inUnit, load(d.out), outUnit,
                  load(d.droppedLate) + load(d.droppedOverflow), load(d.vocoderFailures), load(d.droppedUnknownSource));
    return text;
}

void resetDirection(HealthRecord::Direction& d)
{
    for (HealthRecord::Counter* c : {&d.in, &d.out, &d.droppedLate, &d.droppedOverflow, &d.droppedCatchUp, &d.vocoderFailures,
                                     &d.callsStarted, &d.callsEnded, &d.droppedUnknownSource})
        c->store(0, std::memory_order_relaxed);
    d.vocoder.set("");
    d.vocoderSince = 0;
}

} // namespace

void HealthRecord::Direction::useVocoder(const char* name)
{
    if (vocoder.get() == name)
        return;
    vocoder.set(name);
    vocoderSince = static_cast<std::int64_t>(std::time(nullptr));
}

std::string HealthRecord::json() const
{
    return "{\"usrp_to_tlv\":" + directionJson(usrpToTlv, "blocks_in", "frames_out") +
           ",\"tlv_to_usrp\":" + directionJson(tlvToUsrp, "frames_in", "blocks_out") + "}";
}

std::string HealthRecord::statusLine() const
{
    return directionStatus("USRP>TLV", usrpToTlv, "blocks", "frames") + "; " +
           directionStatus("TLV>USRP", tlvToUsrp, "frames", "blocks");
}

void HealthRecord::reset()
{
    resetDirection(usrpToTlv);
    resetDirection(tlvToUsrp);
}

} // namespace halvane
