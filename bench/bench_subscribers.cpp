// Loading and querying the subscriber database at the size of a real file:
// 250 000 lines of "ID,CALL,First,Last,City,State,Country", written to a
// temporary file once. Lookups draw from a shuffled ring of keys, nine hits to
// one miss, so neither the cache nor the branch predictor sees one key over
// and over. Items per second is lookups (or lines loaded) per second.
//
// BM_ReloadMemory runs first, in a fresh process: it prints the file size and
// the resident set before the load, after the first load and after each of
// ten "reloadDatabase" reloads, as a small box running for months sees them.
// Its counters are the loaded size over the file size and the last reload's
// resident set over the first load's (the goals: at most 1.0 and 1.1).

#include "Log.h"
#include "SubscriberDatabase.h"
#include "dv3000_servers.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sys/stat.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace halvane {

namespace {

constexpr int LINES = 250'000;
constexpr std::size_t RING = 4096;

std::string callOf(int i)
{
    static const char* const prefixes[] = {"K", "W", "N", "VE", "G", "DL", "F", "VK", "JA", "PY"};
    const char* prefix = prefixes[i % 10];
    char call[16];
    std::snprintf(call, sizeof(call), "%s%d%c%c%c", prefix, i % 10, 'A' + (i / 10) % 26, 'A' + (i / 260) % 26,
                  'A' + (i / 6760) % 26);
    return call + std::to_string(i / 175760);
}

// The synthetic file, removed at exit.
class SubscriberFile {
public:
    SubscriberFile()
    {
        char pattern[] = "/tmp/halvane-bench-subscribers-XXXXXX";
        const int fd = mkstemp(pattern);
        if (fd >= 0)
            close(fd);
        path_ = pattern;
        std::ofstream out(path_, std::ios::binary);
        out << "Radio_ID,Callsign,First_Name,Last_Name,City,State,Country\n";
        for (int i = 0; i < LINES; ++i) {
            out << 1000000 + i * 7 << ',' << callOf(i) << ",Name" << i % 997 << ",Surname" << i % 4999
                << ",Springfield,Region,Country\n";
        }
    }
    ~SubscriberFile() { std::remove(path_.c_str()); }
    SubscriberFile(const SubscriberFile&) = delete;
    SubscriberFile& operator=(const SubscriberFile&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

const SubscriberFile& subscriberFile()
{
    static const SubscriberFile file;
    return file;
}

SubscriberDatabase& loadedDatabase()
{
    static SubscriberDatabase db;
    static const bool loaded = [] {
        setLogLevel(0);
        db.loadSubscriberMap(subscriberFile().path().c_str());
        return true;
    }();
    (void)loaded;
    return db;
}

double residentMegabytes()
{
    long pages = 0;
    long resident = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1e6;
}

void BM_ReloadMemory(benchmark::State& state)
{
    setLogLevel(0);
    const std::string& path = subscriberFile().path();
    struct stat info {};
    const double fileMegabytes = stat(path.c_str(), &info) == 0 ? static_cast<double>(info.st_size) / 1e6 : 0;
    servers.subscriberFile.set(path);
    for (auto _ : state) {
        const double before = residentMegabytes();
        SubscriberDatabase db;
        db.loadSubscriberMap(path.c_str());
        const double first = residentMegabytes();
        std::printf("file %.1f MB, %d lines; RSS before load %.1f MB, after first load %.1f MB (+%.1f)\nreloads:",
                    fileMegabytes, LINES, before, first, first - before);
        double last = first;
        for (int i = 0; i < 10; ++i) {
            db.reloadSubscriberMap();
            last = residentMegabytes();
            std::printf(" %.1f", last);
        }
        std::printf(" MB\n");
        state.counters["loaded/file"] = (first - before) / fileMegabytes;
        state.counters["reload10/first"] = last / first;
    }
}
BENCHMARK(BM_ReloadMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

std::vector<int> ring()
{
    std::mt19937 rng(250);
    std::vector<int> keys(RING);
    for (std::size_t i = 0; i < RING; ++i)
        keys[i] = i % 10 == 9 ? -1 : static_cast<int>(rng() % LINES);
    std::shuffle(keys.begin(), keys.end(), rng);
    return keys;
}

void BM_Load(benchmark::State& state)
{
    setLogLevel(0);
    const std::string& path = subscriberFile().path();
    for (auto _ : state) {
        SubscriberDatabase db;
        db.loadSubscriberMap(path.c_str());
        benchmark::DoNotOptimize(db.subscriberCount());
    }
    state.SetItemsProcessed(state.iterations() * LINES);
}
BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond);

void BM_FindById(benchmark::State& state)
{
    SubscriberDatabase& db = loadedDatabase();
    std::vector<unsigned> ids;
    for (int k : ring())
        ids.push_back(k < 0 ? 999u : 1000000u + static_cast<unsigned>(k) * 7u);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(db.findSubscriber(ids[i]));
        i = (i + 1) % RING;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FindById)->Threads(1)->Threads(2);

void BM_FindByCall(benchmark::State& state)
{
    SubscriberDatabase& db = loadedDatabase();
    std::vector<std::string> calls;
    for (int k : ring())
        calls.push_back(k < 0 ? "NOCALL" : callOf(k));
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(db.findSubscriber(calls[i].c_str()));
        i = (i + 1) % RING;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FindByCall)->Threads(1)->Threads(2);

void BM_FindName(benchmark::State& state)
{
    SubscriberDatabase& db = loadedDatabase();
    std::vector<std::string> calls;
    for (int k : ring())
        calls.push_back(k < 0 ? "NOCALL" : callOf(k));
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(db.findSubscriberName(calls[i].c_str()));
        i = (i + 1) % RING;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FindName);

} // namespace

} // namespace halvane
