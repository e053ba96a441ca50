// The subscriber database: radio IDs, call signs and names read from the
// subscriber file, and the call metadata the bridge builds from them.
//
// The file is comma-separated text, one record per line:
//  - a run of commas is one separator, so empty fields (leading ones too)
//    vanish and the next non-empty text takes their place;
//  - field 1 is the ID, read as strtol base 10 reads it: text that is not a
//    number gives 0, so a line of column titles becomes ID 0;
//  - field 2 is the call sign, verbatim; when it is the last field of its
//    line it keeps the line feed (and then only matches a lookup that has it);
//  - field 3 is the name, verbatim but for one trailing line feed, so a CRLF
//    file leaves a carriage return at the end of every name;
//  - further fields are ignored, and a line without a second field is skipped;
//  - a line ends at its first NUL byte, as a C string would;
//  - lines hold up to MAX_LINE characters, line feed not counted. A longer
//    line is skipped whole, with a warning that counts them: reading it in
//    pieces would turn its tail into a record of its own.
// Tables: ID to call sign (a later line replaces), call sign to ID (a later
// line replaces) and call sign to name (the first name stays). Call signs
// compare exactly, case included.
//
// Age: every lookup first checks whether the last load attempt is more than
// MAX_AGE_MS old, in wrapping 32-bit milliseconds (the difference is taken
// modulo 2^32, so the wrap every 49.7 days costs nothing), and if so reads
// `servers.subscriberFile` again before answering. A missing file is thus
// retried once a day.
//
// Ownership and lifetime: one per bridge, owned by it and destroyed with it.
// The tables are an immutable snapshot that a load replaces whole, in sorted
// flat vectors over one block of texts: smaller than the file. Whoever lets
// go of a snapshot last frees it and returns the allocator's free memory to
// the system, so reloads keep the process at the size of one load.
//
// Thread-safety: every member may be called from any thread at any time.
// A lookup holds its own reference to the snapshot it reads and returns
// copies, so a reload on another thread never frees text in use, and each
// caller gets its own text for a missing ID. Loads are serialised and build
// the new snapshot before publishing it: readers never see half-built or
// emptied tables, only the old ones or the new ones. A lookup that finds the
// tables expired while another thread is loading answers from the tables in
// place rather than waiting, so only one age-check reload runs at a time.
#pragma once

#include "CallRecord.h"
#include "TLV_CLASS.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace halvane {

class SubscriberDatabase {
public:
    // Current time in milliseconds, wrapping in 32 bits.
    using Clock = std::function<std::uint32_t()>;

    static constexpr std::uint32_t MAX_AGE_MS = 86'400'000;
    static constexpr std::size_t MAX_LINE = 2047;

    // Starts empty, with load time 0: the first lookup after the clock has
    // passed MAX_AGE_MS loads the file if nobody has called
    // loadSubscriberMap. `clock` must be callable from any thread.
    explicit SubscriberDatabase(Clock clock = systemMilliseconds);
    ~SubscriberDatabase();
    SubscriberDatabase(const SubscriberDatabase&) = delete;
    SubscriberDatabase& operator=(const SubscriberDatabase&) = delete;

    // Seconds times 1000 plus microseconds / 1000 of the wall clock, in
    // unsigned 32-bit arithmetic.
    static std::uint32_t systemMilliseconds();

    // Reads `path` into the tables, adding to what is there, and logs the
    // number of distinct IDs, or that the file was not found (the tables then
    // stay as they are). Sets the load time either way.
    void loadSubscriberMap(const char* path);
    // Empties the tables.
    void freeSubscriberMap();
    // The "reloadDatabase" command: logs it, then replaces the tables with
    // what `servers.subscriberFile` holds now (empty when it is missing).
    void reloadSubscriberMap();

    // The call sign of `id`, or `id` formatted with "%d" when it is unknown.
    std::string findSubscriber(unsigned int id);
    // The ID of exactly `call`, or 0 (also for a null `call`).
    unsigned int findSubscriber(const char* call);
    // The name of exactly `call`, or "".
    std::string findSubscriberName(const char* call);

    // The gateway's default metadata: its call sign, or its ID as decimal
    // text with a warning that it is not in the file.
    std::string buildDefaultMetadata(int gatewayDmrId);

    // The metadata record (TAG_SET_INFO) the bridge sends to the USRP client
    // when a call from the partner begins: a missing call sign is looked up
    // from the source, a source of 0 from the call sign, and when a client is
    // registered a non-empty call sign becomes the extended metadata text.
    TLV_CLASS callMetadataRecord(CallRecord call, bool clientRegistered);

    // {"call":"<call>","name":"<name>"}, texts verbatim. Cut to fit a call
    // record (CALL_TEXT_MAX): the name is shortened first, then the call,
    // each at a UTF-8 character boundary, so the object stays closed.
    static std::string extendedMetadata(std::string_view call, std::string_view name);

    // Distinct IDs in the tables now.
    std::size_t subscriberCount() const;
    // Time of the last load attempt, in the clock's milliseconds.
    std::uint32_t subscriberLoadTime() const { return loadTime_.load(); }

private:
    struct Tables;

    std::shared_ptr<const Tables> snapshot() const;
    void publish(std::shared_ptr<const Tables> tables);
    // Reloads when the tables are older than MAX_AGE_MS, unless another
    // thread is loading.
    void checkAge();
    // Reads `path` and publishes the result: on top of the current tables,
    // or with `replace` instead of them. The caller holds loadMutex_.
    void loadLocked(const std::string& path, bool replace);
    std::optional<std::string> callOf(unsigned int id);

    Clock clock_;
    mutable std::mutex snapshotMutex_;    // guards tables_ (the pointer, not the tables)
    std::shared_ptr<const Tables> tables_; // null when empty
    std::mutex loadMutex_;                 // one load at a time
    std::atomic<std::uint32_t> loadTime_{0};
};

} // namespace halvane
