#include "CallCollector.h"

#include "TlvMessage.h"
#include "TlvProtocol.h"

#include <utility>

namespace halvane {

std::optional<SavedCall> CallCollector::add(const TLV_CLASS& record)
{
    if (record.tag() == TAG_BEGIN_TX) {
        current_.clear();
        current_.add(record);
        inCall_ = true;
        return std::nullopt;
    }
    if (!inCall_)
        return std::nullopt;
    if (isVoiceTag(record.tag())) {
        current_.add(record);
        return std::nullopt;
    }
    if (record.tag() != TAG_END_TX)
        return std::nullopt;
    current_.add(record);
    inCall_ = false;
    SavedCall done = std::move(current_);
    current_.clear();
    return done;
}

} // namespace halvane
