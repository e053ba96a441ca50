#include "SubscriberDatabase.h"

#include "Log.h"
#include "TlvProtocol.h"
#include "dv3000_servers.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <malloc.h>
#include <optional>
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

// Marks a call sign without a name in the call table.
constexpr std::uint32_t NO_NAME = UINT32_MAX;
static_assert(MAX_TEXT_BYTES < NO_NAME, "text offsets must stay below the no-name mark");
static_assert(SubscriberDatabase::MAX_LINE <= UINT16_MAX, "a text's length must fit 16 bits");

// One accepted line of the file, its texts still in the read buffer.
struct Line {
    std::uint32_t id = 0;
    std::string_view call;
    std::string_view name;
    bool hasName = false;
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// What the C string of `text` would hold.
std::string_view untilNul(std::string_view text)
{
    return text.substr(0, std::min(text.find('\0'), text.size()));
}

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

// The record of `line`, or nothing when it has no call sign.
std::optional<Line> parseLine(std::string_view line)
{
    line = untilNul(line);
    std::size_t pos = 0;
    const std::string_view idField = nextField(line, pos);
    Line parsed;
    parsed.call = nextField(line, pos);
    if (parsed.call.empty())
        return std::nullopt;
    parsed.name = nextField(line, pos);
    parsed.hasName = !parsed.name.empty();
    if (parsed.hasName && parsed.name.back() == '\n')
        parsed.name.remove_suffix(1);
    // The field is followed by a comma inside the buffer, where strtol stops.
    parsed.id = static_cast<std::uint32_t>(std::strtol(idField.data(), nullptr, 10));
    return parsed;
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

// Hands the allocator's free pages back to the system.
void returnFreeMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

std::string decimal(unsigned int id)
{
    // "%d", as the bridge prints IDs everywhere: an ID above 2^31 reads negative.
    return std::to_string(static_cast<int>(id));
}

} // namespace

struct SubscriberDatabase::Tables {
    // Call sign of an ID, sorted by ID.
    struct IdEntry {
        std::uint32_t id;
        std::uint32_t call; // offset in the pool
        std::uint16_t callLength;
    };
    // ID and name of a call sign, sorted by the hash of the call sign and
    // then the call sign: a search compares integers in the table and reads
    // one text from the pool.
    struct CallEntry {
        std::uint32_t hash;
        std::uint32_t call;
        std::uint32_t id;
        std::uint32_t name; // NO_NAME for none
        std::uint16_t callLength;
        std::uint16_t nameLength;
    };

    // Texts of every accepted line, in file order after those of an earlier
    // load: of two lines, the later one's texts have the higher offset. The
    // tables are flat vectors searched by halves; with the texts a subscriber
    // costs some 46 bytes, less than its line in the file.
    std::string pool;
    std::vector<IdEntry> ids;
    std::vector<CallEntry> calls;

    std::string_view text(std::uint32_t offset, std::uint16_t length) const
    {
        return std::string_view(pool.data() + offset, length);
    }
    std::string_view callOf(const IdEntry& entry) const { return text(entry.call, entry.callLength); }
    std::string_view callOf(const CallEntry& entry) const { return text(entry.call, entry.callLength); }

    const IdEntry* findId(std::uint32_t id) const
    {
        const auto it = std::lower_bound(ids.begin(), ids.end(), id,
                                         [](const IdEntry& entry, std::uint32_t key) { return entry.id < key; });
        return it != ids.end() && it->id == id ? &*it : nullptr;
    }

    static std::uint32_t hashCall(std::string_view call)
    {
        return static_cast<std::uint32_t>(std::hash<std::string_view>{}(call));
    }

    const CallEntry* findCall(std::string_view call) const
    {
        const std::uint32_t hash = hashCall(call);
        auto it = std::lower_bound(calls.begin(), calls.end(), hash,
                                   [](const CallEntry& entry, std::uint32_t key) { return entry.hash < key; });
        for (; it != calls.end() && it->hash == hash; ++it) {
            if (callOf(*it) == call)
                return &*it;
        }
        return nullptr;
    }

    // Makes room for `records` lines with `textBytes` of texts after what
    // `base` (if any) holds, and copies that in.
    void start(const Tables* base, std::size_t records, std::size_t textBytes)
    {
        const Tables none;
        const Tables& old = base != nullptr ? *base : none;
        pool.reserve(old.pool.size() + textBytes);
        ids.reserve(old.ids.size() + records);
        calls.reserve(old.calls.size() + records);
        pool = old.pool;
        ids = old.ids;
        calls = old.calls;
    }

    // Appends a line, its texts copied to the pool.
    void add(const Line& line)
    {
        const auto call = static_cast<std::uint32_t>(pool.size());
        const auto callLength = static_cast<std::uint16_t>(line.call.size());
        pool.append(line.call);
        std::uint32_t name = NO_NAME;
        if (line.hasName) {
            name = static_cast<std::uint32_t>(pool.size());
            pool.append(line.name);
        }
        ids.push_back({line.id, call, callLength});
        const auto nameLength = static_cast<std::uint16_t>(line.name.size());
        calls.push_back({hashCall(line.call), call, line.id, name, callLength, nameLength});
    }

    // Sorts what add() appended (after any entries of an earlier load) and
    // folds repeats: a later line's ID or call sign replaces an earlier one,
    // a name only fills a gap. Ties are ordered by pool offset: file order.
    void sortAndFold()
    {
        std::sort(ids.begin(), ids.end(),
                  [](const IdEntry& a, const IdEntry& b) { return a.id != b.id ? a.id < b.id : a.call < b.call; });
        fold(ids, [](const IdEntry& a, const IdEntry& b) { return a.id == b.id; },
             [](IdEntry& kept, const IdEntry& later) { kept = later; });

        std::sort(calls.begin(), calls.end(), [this](const CallEntry& a, const CallEntry& b) {
            if (a.hash != b.hash)
                return a.hash < b.hash;
            const int order = callOf(a).compare(callOf(b));
            return order != 0 ? order < 0 : a.call < b.call;
        });
        const auto sameCall = [this](const CallEntry& a, const CallEntry& b) {
            return a.hash == b.hash && callOf(a) == callOf(b);
        };
        fold(calls, sameCall, [](CallEntry& kept, const CallEntry& later) {
            kept.id = later.id;
            if (kept.name == NO_NAME) {
                kept.name = later.name;
                kept.nameLength = later.nameLength;
            }
        });
    }

    // Merges each run of entries that `same` groups into its first, then
    // returns the slack of the vector.
    template <typename Entry, typename Same, typename Merge>
    static void fold(std::vector<Entry>& entries, Same&& same, Merge&& merge)
    {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (i > 0 && same(entries[kept - 1], entries[i]))
                merge(entries[kept - 1], entries[i]);
            else
                entries[kept++] = entries[i];
        }
        entries.resize(kept);
        entries.shrink_to_fit();
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

    // A first pass counts what the second keeps, so every part of the new
    // tables is allocated once at its size: no growing copies to leave holes
    // in the heap. A pipe is read once, growing as it goes.
    std::size_t lines = 0;
    std::size_t textBytes = 0;
    std::size_t overlong = 0;
    struct stat info {};
    if (fstat(fileno(file.get()), &info) == 0 && S_ISREG(info.st_mode)) {
        forEachLine(file.get(), overlong, [&](std::string_view text) {
            if (const std::optional<Line> line = parseLine(text)) {
                ++lines;
                textBytes += line->call.size() + line->name.size();
            }
            return lines < MAX_RECORDS && textBytes < MAX_TEXT_BYTES;
        });
        std::rewind(file.get());
    }

    const std::shared_ptr<const Tables> base = replace ? nullptr : snapshot();
    // Whoever lets go of a snapshot last frees it and hands the pages back
    // to the system; the allocator would otherwise keep them for the next
    // load, a day later.
    std::shared_ptr<Tables> tables(new Tables, [](const Tables* old) {
        delete old;
        returnFreeMemory();
    });
    tables->start(base.get(), std::min(lines, MAX_RECORDS), std::min(textBytes, MAX_TEXT_BYTES));

    overlong = 0;
    std::size_t read = 0;
    bool full = false;
    forEachLine(file.get(), overlong, [&](std::string_view text) {
        const std::optional<Line> line = parseLine(text);
        if (!line)
            return true;
        if (read >= MAX_RECORDS || tables->pool.size() + line->call.size() + line->name.size() > MAX_TEXT_BYTES) {
            full = true;
            return false;
        }
        tables->add(*line);
        ++read;
        return true;
    });
    file.reset();

    tables->sortAndFold();
    const int count = static_cast<int>(tables->ids.size());
    publish(std::move(tables));

    if (overlong > 0)
        Log(4, "Subscriber IDs file \"%s\": %zu lines longer than %zu characters skipped\n", shown.c_str(), overlong,
            MAX_LINE);
    if (full)
        Log(4, "Subscriber IDs file \"%s\": too large, only the first %zu records were read\n", shown.c_str(),
            read);
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
    return std::string(tables->callOf(*entry));
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
    return entry != nullptr && entry->name != NO_NAME ? std::string(tables->text(entry->name, entry->nameLength))
                                                     : std::string();
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
