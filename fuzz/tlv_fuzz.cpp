// TLV datagrams from the partner: the datagram check, the record reader of a
// USRP payload area, and the call record with its JSON call text.
#include "CallRecord.h"
#include "FuzzSupport.h"
#include "TLV_CLASS.h"
#include "TlvDatagram.h"
#include "TlvProtocol.h"

#include <cstdint>
#include <cstdlib>
#include <span>

using namespace halvane;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> bytes(data, size);
    if (std::unique_ptr<TLV_CLASS> record = acceptTlvDatagram(bytes, "127.0.0.1", 31001)) {
        // A record accepted from the wire is sent on as it came.
        if (record->size() != size || !std::equal(bytes.begin(), bytes.end(), record->data()))
            std::abort();
        const CallRecord call = parseCallRecord(*record);
        // Made again, a call record reads back the same identity.
        const CallRecord again = parseCallRecord(makeCallRecord(TAG_BEGIN_TX, call));
        if (again.source != (call.source & 0xFFFFFF) || again.repeater != call.repeater ||
            again.destination != (call.destination & 0xFFFFFF) || again.slot != call.slot ||
            again.colorCode != call.colorCode)
            std::abort();
    }
    if (std::unique_ptr<TLV_CLASS> record = TLV_CLASS::fromRecord(bytes))
        parseCallRecord(*record);
    parseCallRecord(bytes);
    callFromText(fuzz::textOf(data, size));
    return 0;
}
