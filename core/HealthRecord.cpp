#include "HealthRecord.h"

#include <cstdio>

namespace halvane {

HealthRecord health;

namespace {

std::string number(const HealthRecord::Counter& counter)
{
    return std::to_string(counter.load(std::memory_order_relaxed));
}

// The vocoder names are the bridge's own words, so they need no escaping.
std::string directionJson(const HealthRecord::Direction& d, const char* inName, const char* outName)
{
    return std::string("{\"vocoder\":\"") + d.vocoder.get() + "\",\"" + inName + "\":\"" + number(d.in) + "\",\"" +
           outName + "\":\"" + number(d.out) + "\",\"dropped_late\":\"" + number(d.droppedLate) +
           "\",\"dropped_overflow\":\"" + number(d.droppedOverflow) + "\",\"vocoder_failures\":\"" +
           number(d.vocoderFailures) + "\",\"calls_started\":\"" + number(d.callsStarted) +
           "\",\"calls_ended\":\"" + number(d.callsEnded) + "\"}";
}

std::string directionStatus(const char* name, const HealthRecord::Direction& d, const char* inUnit,
                            const char* outUnit)
{
    const auto load = [](const HealthRecord::Counter& c) {
        return static_cast<unsigned long long>(c.load(std::memory_order_relaxed));
    };
    const std::string vocoder = d.vocoder.get();
    char text[256];
    std::snprintf(text, sizeof(text), "%s (%s): %llu calls, %llu %s in, %llu %s out, %llu dropped, %llu vocoder failures",
                  name, vocoder.empty() ? "-" : vocoder.c_str(), load(d.callsStarted), load(d.in), inUnit, load(d.out),
                  outUnit, load(d.droppedLate) + load(d.droppedOverflow), load(d.vocoderFailures));
    return text;
}

void resetDirection(HealthRecord::Direction& d)
{
    for (HealthRecord::Counter* c :
         {&d.in, &d.out, &d.droppedLate, &d.droppedOverflow, &d.vocoderFailures, &d.callsStarted, &d.callsEnded})
        c->store(0, std::memory_order_relaxed);
    d.vocoder.set("");
}

} // namespace

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
