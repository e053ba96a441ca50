// One call on the TLV side as a list of records (TAG_BEGIN_TX, voice
// records, TAG_END_TX), and its file form, so a call that Halvane sent can be
// kept and later replayed to it, and a test can ship a call as a small text
// file.
//
// File format ("saved call", docs/tools.md): text, one TLV record per line,
// written as upper-case hexadecimal bytes separated by blanks: tag, length,
// then the value. The first line written is the comment "# halvane saved
// call 1". When reading, lines whose first non-blank character is '#' and
// empty lines are skipped, pairs of hex digits may be run together or
// separated by blanks or tabs, and every record's length byte must equal
// its value byte count. Nothing else is in the file: the pacing of a replay
// follows from the records themselves (see TlvPartner::replay).
//
// Thread-safety: a plain value.
#pragma once

#include "CallRecord.h"
#include "TLV_CLASS.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace halvane {

class SavedCall {
public:
    static constexpr const char* FILE_HEADER = "# halvane saved call 1";

    void add(TLV_CLASS record) { records_.push_back(std::move(record)); }
    void clear() { records_.clear(); }
    const std::vector<TLV_CLASS>& records() const { return records_; }
    bool empty() const { return records_.empty(); }

    // The call record of the first TAG_BEGIN_TX, if any.
    std::optional<CallRecord> callRecord() const;
    // True when the list ends with a TAG_END_TX.
    bool ended() const;
    int voiceRecords() const;
    int voiceFrames() const;

    std::string toText() const;
    // False with `error` naming the line on a malformed file; `call` is
    // replaced only on success.
    static bool fromText(std::string_view text, SavedCall& call, std::string& error);

    bool save(const std::string& path, std::string& error) const;
    static bool load(const std::string& path, SavedCall& call, std::string& error);

private:
    std::vector<TLV_CLASS> records_;
};

} // namespace halvane
