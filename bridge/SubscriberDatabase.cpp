#include "SubscriberDatabase.h"

#include "Log.h"
#include "TlvProtocol.h"
#include "dv3000_servers.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <sys/time.h>
#include <utility>
#include <vector>

namespace halvane {

namespace {

// A real file has some 250 000 lines and grows slowly; these bounds are far
// above it and only keep a wrong path (a disk image, a log) from taking all
// memory of a small box. They also keep text offsets within 32 bits.
constexpr std::size_t MAX_RECORDS = 4'000'000;
constexpr std::size_t MAX_TEXT_BYTES = 256u << 20;

constexpr std::size_t READ_CHUNK = 64u << 10;
static_assert(READ_CHUNK > SubscriberDatabase::MAX_LINE + 1, "a whole line must fit the read buffer");

// A text in the pool of a Tables. Offsets rather than pointers, so the pool
// may grow while it is filled and be copied as a whole by an additive load.
struct TextRef {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
};

// One accepted line of the file, in file order.
struct Row {
    std::uint32_t id = 0;
    TextRef call;
    TextRef name;
    bool hasName = false;
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The next field from `pos`: a run of commas is one separator, so empty
// fields never appear. Empty only when the line has no more fields.
std::string_view nextField(std::string_view line, std::size_t& pos)
{
    while (pos < line.size() && line[pos] == ',')
        ++pos;
    const std::size_t start = pos;
    pos = std::min(line.find(',', pos), line.size());
    return line.substr(start, pos - start);
}

// Feeds every line of `file` to `onLine` (line feed included when there is
// one) until it returns false. Over-long lines are skipped whole and counted
// in `overlong`. A read error ends the file where it happened.
template <typename OnLine>
void forEachLine(std::FILE* file, std::size_t& overlong, OnLine&& onLine)
{
    std::vector<char> buffer(READ_CHUNK);
    std::size_t have = 0;
    bool discarding = false; // inside an over-long line, up to its line feed
    for (;;) {
        const std::size_t got = std::fread(buffer.data() + have, 1, buffer.size() - have, file);
        have += got;
        std::size_t pos = 0;
        while (pos < have) {
            const char* start = buffer.data() + pos;
            const auto* lf = static_cast<const char*>(std::memchr(start, '\n', have - pos));
            if (lf == nullptr)
                break;
            const std::size_t length = static_cast<std::size_t>(lf - start) + 1;
            if (discarding)
                discarding = false;
            else if (length - 1 > SubscriberDatabase::MAX_LINE)
                ++overlong;
            else if (!onLine(std::string_view(start, length)))
                return;
            pos += length;
        }
        const std::size_t rest = have - pos;
        if (got == 0) {
            if (rest > 0 && !discarding) {
                if (rest > SubscriberDatabase::MAX_LINE)
                    ++overlong;
                else
                    onLine(std::string_view(buffer.data() + pos, rest));
            }
            return;
        }
        if (discarding || rest > SubscriberDatabase::MAX_LINE) {
            if (!discarding)
                ++overlong;
            discarding = true;
            have = 0;
        } else {
            std::memmove(buffer.data(), buffer.data() + pos, rest);
            have = rest;
        }
    }
}

// Shortens `text` to at most `limit` bytes without splitting a UTF-8
// character.
std::string_view cutUtf8(std::string_view text, std::size_t limit)
{
    if (text.size() <= limit)
        return text;
    std::size_t n = limit;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
        --n;
    return text.substr(0, n);
}

// What the C string of `text` would hold.
std::string_view untilNul(std::string_view text)
{
    return text.substr(0, std::min(text.find('\0'), text.size()));
}

std::string decimal(unsigned int id)
{
    // "%d", as the bridge prints IDs everywhere: an ID above 2^31 reads negative.
    return std::to_string(static_cast<int>(id));
}

} // namespace

struct SubscriberDatabase::Tables {
    struct IdEntry {
        std::uint32_t id;
        TextRef call;
    };
    struct CallEntry {
        TextRef call;
        std::uint32_t id;
        TextRef name;
        bool hasName;
    };

    // Every call sign is stored once in the pool, and both tables refer to
    // that copy; names follow it. Entries sit in flat vectors, found through
    // open-addressing indexes (entry number + 1, 0 for a free slot) kept at
    // most half full: a lookup touches three or four cache lines, and the
    // whole costs about half the memory of node-based maps.
    std::string pool;
    std::vector<IdEntry> ids;
    std::vector<CallEntry> calls;
    std::vector<std::uint32_t> idSlots;
    std::vector<std::uint32_t> callSlots;

    std::string_view text(TextRef ref) const { return std::string_view(pool.data() + ref.offset, ref.length); }

    static std::size_t hashId(std::uint32_t id)
    {
        // Fibonacci hashing: consecutive IDs, the usual case, spread evenly.
        return static_cast<std::size_t>((id * 0x9E3779B97F4A7C15ull) >> 32);
    }
    static std::size_t hashCall(std::string_view call) { return std::hash<std::string_view>{}(call); }

    // The slot that holds the entry `matches` accepts, or the free slot where
    // it belongs. The indexes are never more than half full, so the probe ends.
    template <typename Matches>
    static std::size_t probe(const std::vector<std::uint32_t>& slots, std::size_t hash, Matches&& matches)
    {
        const std::size_t mask = slots.size() - 1;
        std::size_t i = hash & mask;
        while (slots[i] != 0 && !matches(slots[i] - 1))
            i = (i + 1) & mask;
        return i;
    }

    std::size_t idSlot(std::uint32_t id) const
    {
        return probe(idSlots, hashId(id), [&](std::uint32_t entry) { return ids[entry].id == id; });
    }

    std::size_t callSlot(std::string_view call) const
    {
        return probe(callSlots, hashCall(call), [&](std::uint32_t entry) { return text(calls[entry].call) == call; });
    }

    const IdEntry* findId(std::uint32_t id) const
    {
        const std::uint32_t slot = idSlots[idSlot(id)];
        return slot != 0 ? &ids[slot - 1] : nullptr;
    }

    const CallEntry* findCall(std::string_view call) const
    {
        const std::uint32_t slot = callSlots[callSlot(call)];
        return slot != 0 ? &calls[slot - 1] : nullptr;
    }

    void putId(std::uint32_t id, TextRef call)
    {
        std::uint32_t& slot = idSlots[idSlot(id)];
        if (slot != 0) {
            ids[slot - 1].call = call;
        } else {
            ids.push_back({id, call});
            slot = static_cast<std::uint32_t>(ids.size());
        }
    }

    void putCall(const CallEntry& line)
    {
        std::uint32_t& slot = callSlots[callSlot(text(line.call))];
        if (slot == 0) {
            calls.push_back(line);
            slot = static_cast<std::uint32_t>(calls.size());
            return;
        }
        CallEntry& entry = calls[slot - 1];
        entry.id = line.id;
        if (!entry.hasName && line.hasName) {
            entry.name = line.name;
            entry.hasName = true;
        }
    }

    // Enters what `base` held, then `rows` in file order: a later ID or call
    // sign replaces an earlier one, a name only fills a gap.
    void build(const Tables* base, const std::vector<Row>& rows)
    {
        const std::size_t most = (base != nullptr ? std::max(base->ids.size(), base->calls.size()) : 0) + rows.size();
        std::size_t slots = 16;
        while (slots < 2 * most)
            slots *= 2;
        idSlots.assign(slots, 0);
        callSlots.assign(slots, 0);
        ids.reserve(most);
        calls.reserve(most);
        if (base != nullptr) {
            for (const IdEntry& entry : base->ids)
                putId(entry.id, entry.call);
            for (const CallEntry& entry : base->calls)
                putCall(entry);
        }
        for (const Row& row : rows) {
            putId(row.id, row.call);
            putCall({row.call, row.id, row.name, row.hasName});
        }
        ids.shrink_to_fit();
        calls.shrink_to_fit();
    }
};

SubscriberDatabase::SubscriberDatabase(Clock clock) : clock_(std::move(clock)) {}

SubscriberDatabase::~SubscriberDatabase() = default;

std::uint32_t SubscriberDatabase::systemMilliseconds()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<std::uint32_t>(now.tv_sec) * 1000u + static_cast<std::uint32_t>(now.tv_usec) / 1000u;
}

std::shared_ptr<const SubscriberDatabase::Tables> SubscriberDatabase::snapshot() const
{
    std::lock_guard<std::mutex> lock(snapshotMutex_);
    return tables_;
}

void SubscriberDatabase::publish(std::shared_ptr<const Tables> tables)
{
    {
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        tables_.swap(tables);
    }
    // The old tables, if nobody else holds them, are freed here, outside the
    // lock, so readers never wait for that.
}

void SubscriberDatabase::loadSubscriberMap(const char* path)
{
    std::lock_guard<std::mutex> lock(loadMutex_);
    loadLocked(path != nullptr ? path : "", false);
}

void SubscriberDatabase::freeSubscriberMap()
{
    std::lock_guard<std::mutex> lock(loadMutex_);
    publish(nullptr);
}

void SubscriberDatabase::reloadSubscriberMap()
{
    Log(3, "Reload subscriber database files\n");
    std::lock_guard<std::mutex> lock(loadMutex_);
    loadLocked(servers.subscriberFile.get(), true);
}

void SubscriberDatabase::loadLocked(const std::string& path, bool replace)
{
    FilePtr file(path.empty() ? nullptr : std::fopen(path.c_str(), "r"));
    // A relative path is read from the working directory, which a service
    // sets; the message names the file that was looked for.
    std::error_code error;
    const std::string shown = path.empty() ? path : std::filesystem::absolute(path, error).lexically_normal().string();
    if (file == nullptr) {
        Log(3, "Subscriber IDs file \"%s\" not found.\n", shown.c_str());
        if (replace)
            publish(nullptr);
        loadTime_.store(clock_());
        return;
    }

    const std::shared_ptr<const Tables> base = replace ? nullptr : snapshot();
    auto tables = std::make_shared<Tables>();
    struct stat info {};
    const std::size_t fileSize =
        fstat(fileno(file.get()), &info) == 0 && info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : 0;
    if (base != nullptr)
        tables->pool = base->pool;
    // The file bounds the texts kept from it, so one reservation avoids
    // copying a growing pool; the slack is returned below.
    tables->pool.reserve(tables->pool.size() + std::min(fileSize, MAX_TEXT_BYTES));

    std::vector<Row> rows;
    std::size_t overlong = 0;
    bool full = false;
    std::string& pool = tables->pool;
    forEachLine(file.get(), overlong, [&](std::string_view line) {
        line = untilNul(line);
        std::size_t pos = 0;
        const std::string_view idField = nextField(line, pos);
        const std::string_view call = nextField(line, pos);
        if (call.empty())
            return true;
        std::string_view name = nextField(line, pos);
        const bool hasName = !name.empty();
        if (hasName && name.back() == '\n')
            name.remove_suffix(1);
        if (rows.size() >= MAX_RECORDS || pool.size() + call.size() + name.size() > MAX_TEXT_BYTES) {
            full = true;
            return false;
        }
        Row row;
        // The field is followed by a comma inside the buffer, where strtol stops.
        row.id = static_cast<std::uint32_t>(std::strtol(idField.data(), nullptr, 10));
        row.call = {static_cast<std::uint32_t>(pool.size()), static_cast<std::uint32_t>(call.size())};
        pool.append(call);
        row.hasName = hasName;
        if (hasName) {
            row.name = {static_cast<std::uint32_t>(pool.size()), static_cast<std::uint32_t>(name.size())};
            pool.append(name);
        }
        rows.push_back(row);
        return true;
    });
    file.reset();

    pool.shrink_to_fit();
    tables->build(base.get(), rows);
    const int count = static_cast<int>(tables->ids.size());
    publish(std::move(tables));

    if (overlong > 0)
        Log(4, "Subscriber IDs file \"%s\": %zu lines longer than %zu characters skipped\n", shown.c_str(), overlong,
            MAX_LINE);
    if (full)
        Log(4, "Subscriber IDs file \"%s\": too large, only the first %zu records were read\n", shown.c_str(),
            rows.size());
    Log(3, "Subscriber IDs loaded: %d from \"%s\"\n", count, shown.c_str());
    loadTime_.store(clock_());
}

void SubscriberDatabase::checkAge()
{
    // Elapsed time modulo 2^32: right across the wrap of the millisecond count.
    const auto expired = [this] { return static_cast<std::uint32_t>(clock_() - loadTime_.load()) > MAX_AGE_MS; };
    if (!expired())
        return;
    std::unique_lock<std::mutex> lock(loadMutex_, std::try_to_lock);
    if (!lock.owns_lock() || !expired())
        return;
    loadLocked(servers.subscriberFile.get(), true);
}

std::optional<std::string> SubscriberDatabase::callOf(unsigned int id)
{
    checkAge();
    const auto tables = snapshot();
    const auto* entry = tables != nullptr ? tables->findId(id) : nullptr;
    if (entry == nullptr)
        return std::nullopt;
    return std::string(tables->text(entry->call));
}

std::string SubscriberDatabase::findSubscriber(unsigned int id)
{
    std::optional<std::string> call = callOf(id);
    return call ? std::move(*call) : decimal(id);
}

unsigned int SubscriberDatabase::findSubscriber(const char* call)
{
    checkAge();
    const auto tables = snapshot();
    const auto* entry = tables != nullptr && call != nullptr ? tables->findCall(call) : nullptr;
    return entry != nullptr ? entry->id : 0;
}

std::string SubscriberDatabase::findSubscriberName(const char* call)
{
    checkAge();
    const auto tables = snapshot();
    const auto* entry = tables != nullptr && call != nullptr ? tables->findCall(call) : nullptr;
    return entry != nullptr && entry->hasName ? std::string(tables->text(entry->name)) : std::string();
}

std::size_t SubscriberDatabase::subscriberCount() const
{
    const auto tables = snapshot();
    return tables != nullptr ? tables->ids.size() : 0;
}

std::string SubscriberDatabase::buildDefaultMetadata(int gatewayDmrId)
{
    std::optional<std::string> call = callOf(static_cast<unsigned int>(gatewayDmrId));
    if (!call) {
        Log(4, "Your gatewayDmrId %d is NOT in the subscriber file.  Please correct this.\n", gatewayDmrId);
        return decimal(static_cast<unsigned int>(gatewayDmrId));
    }
    Log(3, "Default extended metadata <%s>\n", call->c_str());
    return std::move(*call);
}

TLV_CLASS SubscriberDatabase::callMetadataRecord(CallRecord call, bool clientRegistered)
{
    if (call.call.empty()) {
        if (std::optional<std::string> found = callOf(call.source))
            call.call = std::move(*found);
    }
    if (call.source == 0 && !call.call.empty())
        call.source = findSubscriber(call.call.c_str());
    if (!call.call.empty() && clientRegistered)
        call.call = extendedMetadata(call.call, findSubscriberName(call.call.c_str()));
    return makeCallRecord(TAG_SET_INFO, call);
}

std::string SubscriberDatabase::extendedMetadata(std::string_view call, std::string_view name)
{
    constexpr std::string_view open = "{\"call\":\"";
    constexpr std::string_view middle = "\",\"name\":\"";
    constexpr std::string_view close = "\"}";
    constexpr std::size_t room = CALL_TEXT_MAX - open.size() - middle.size() - close.size();
    call = cutUtf8(untilNul(call), room);
    name = cutUtf8(untilNul(name), room - call.size());

    std::string text;
    text.reserve(open.size() + call.size() + middle.size() + name.size() + close.size());
    text.append(open).append(call).append(middle).append(name).append(close);
    return text;
}

} // namespace halvane
