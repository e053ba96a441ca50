// Picks the calls out of a stream of TLV records: a call starts with
// TAG_BEGIN_TX, takes every voice record after it and ends with the next
// TAG_END_TX (whatever its slot, so a recording shows a mismatched end
// instead of waiting for ever). Records of other tags are not part of a call,
// voice without a call before it is not collected, and a TAG_BEGIN_TX in the
// middle of a call starts the call again (the end of the earlier one was
// lost).
//
// Thread-safety: a plain value.
#pragma once

#include "SavedCall.h"
#include "TLV_CLASS.h"

#include <optional>

namespace halvane {

class CallCollector {
public:
    // Takes one record; returns the call it completes.
    std::optional<SavedCall> add(const TLV_CLASS& record);
    bool inCall() const { return inCall_; }
    // The call collected so far (empty between calls).
    const SavedCall& current() const { return current_; }

private:
    SavedCall current_;
    bool inCall_ = false;
};

} // namespace halvane
