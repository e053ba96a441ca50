// The subscriber file: comma-separated records read into the lookup tables,
// then looked up by the ID and call sign of the first record.
#include "FuzzSupport.h"
#include "SubscriberDatabase.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace halvane;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string path = fuzz::writeScratch("subscribers.csv", fuzz::textOf(data, size));
    SubscriberDatabase db([] { return std::uint32_t{1}; });
    db.loadSubscriberMap(path.c_str());
    const std::string first(fuzz::textOf(data, size).substr(0, 16));
    const unsigned int id = db.findSubscriber(first.c_str());
    db.findSubscriber(id);
    db.findSubscriberName(first.c_str());
    db.buildDefaultMetadata(static_cast<int>(id));
    db.findSubscriber(static_cast<unsigned int>(std::strtoul(first.c_str(), nullptr, 10)));
    return 0;
}
