// The history's cost to a run: one job record written to the station's SQLite file (median of
// many; target ≤ 1 ms), and the 64 records of a full wave one after another, with the default
// durability (WAL, synchronous=NORMAL) and with full_sync (a disk flush per write). The baseline
// is a bare SQLite insert of one small row into a file with the same journal and sync setting,
// measured in the same run: the figure beside it is what the record's fields, its file rows and
// the transaction add.
#include "history/history.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// A refresh's record: three pictures sent, then the reboot.
history::JobRecord record(int n)
{
    history::JobRecord j;
    j.station = "line-1";
    j.front = "tool";
    j.command = "refresh";
    j.run_id = "0123456789abcdef0123456789abcdef";
    j.started = history::utc_now();
    j.ended = history::utc_now();
    j.serial = "NVR" + std::to_string(100000 + n);
    j.device_type = "NVR-16";
    j.address = "10.77.1." + std::to_string(n % 250 + 1);
    j.mac = "00:11:22:33:44:55";
    j.files = {{"boot", "boot.jpg", 204800, "0123456789abcdef0123456789abcdef"},
               {"channel", "channel.png", 61440, "0123456789abcdef0123456789abcdef"},
               {"shutdown", "shutdown.png", 51200, "0123456789abcdef0123456789abcdef"}};
    j.result = "ok";
    j.login_ms = 42;
    j.total_ms = 1830;
    j.version = "0.1.0";
    return j;
}

struct Figures {
    double one_median = 0, one_p90 = 0, wave = 0;  // ms
};

// writes: how many single writes to time; each wave of 64 is timed whole, three times.
bool measure_store(const std::string& path, bool full_sync, int writes, Figures* f)
{
    history::Store store;
    history::OpenOptions options;
    options.full_sync = full_sync;
    std::string why;
    if (store.open(path, &why, options) != history::kHistoryOk) {
        std::fprintf(stderr, "bench_history: %s\n", why.c_str());
        return false;
    }
    std::vector<double> one;
    for (int n = 0; n < writes; ++n) {
        history::JobRecord j = record(n);
        auto t0 = Clock::now();
        if (store.add_job(j, &why) != history::kHistoryOk) {
            std::fprintf(stderr, "bench_history: %s\n", why.c_str());
            return false;
        }
        one.push_back(ms_since(t0));
    }
    std::vector<double> waves;
    for (int w = 0; w < 3; ++w) {
        std::vector<history::JobRecord> wave;
        for (int n = 0; n < 64; ++n)
            wave.push_back(record(n));
        auto t0 = Clock::now();
        for (const auto& j : wave)
            if (store.add_job(j, &why) != history::kHistoryOk)
                return false;
        waves.push_back(ms_since(t0));
    }
    f->one_median = median(one);
    f->one_p90 = percentile(one, 0.9);
    f->wave = median(waves);
    return true;
}

// The baseline: one row of two small columns per transaction, same journal and sync.
bool measure_bare(const std::string& path, bool full_sync, int writes, double* median_ms)
{
    sqlite3* db = nullptr;
    std::string setup = std::string("PRAGMA journal_mode = WAL; PRAGMA synchronous = ") +
        (full_sync ? "FULL" : "NORMAL") + "; CREATE TABLE t (serial TEXT, result TEXT);";
    sqlite3_stmt* st = nullptr;
    bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
        sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?1, 'ok')", -1, &st, nullptr) == SQLITE_OK;
    std::vector<double> times;
    for (int n = 0; ok && n < writes; ++n) {
        std::string serial = "NVR" + std::to_string(n);
        auto t0 = Clock::now();
        sqlite3_bind_text(st, 1, serial.c_str(), -1, SQLITE_TRANSIENT);
        ok = sqlite3_step(st) == SQLITE_DONE;
        sqlite3_reset(st);
        times.push_back(ms_since(t0));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    if (ok)
        *median_ms = median(times);
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    const int writes = argc > 1 ? std::max(11, std::atoi(argv[1])) : 501;
    // The station's file lives on a disk, not in memory: use the build folder's file system.
    const char* base = std::getenv("DRAVLIN_BINARY_DIR");
    std::error_code ec;
    std::filesystem::path dir =
        std::filesystem::path(base && *base ? base : std::filesystem::temp_directory_path(ec).string()) /
        ("bench_history_" + std::to_string(Clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        std::fprintf(stderr, "bench_history: cannot create %s\n", dir.string().c_str());
        return 1;
    }
    int status = 0;
    for (bool full_sync : {false, true}) {
        const char* name = full_sync ? "FULL (full_sync)" : "NORMAL (default)";
        const std::string tag = full_sync ? "full" : "normal";
        Figures f;
        double bare = 0;
        // FULL flushes the disk on every write: fewer of them say as much.
        const int n = full_sync ? std::max(11, writes / 5) : writes;
        if (!measure_store((dir / ("history_" + tag + ".sqlite")).string(), full_sync, n, &f) ||
            !measure_bare((dir / ("bare_" + tag + ".sqlite")).string(), full_sync, n, &bare)) {
            status = 1;
            break;
        }
        std::printf("history one write on SQLite, WAL synchronous=%s: median %.3f ms, p90 %.3f ms, "
                    "%.2fx a bare one-row insert (%.3f ms), median of %d; target <= 1 ms: %s\n",
                    name, f.one_median, f.one_p90, f.one_median / bare, bare, n,
                    f.one_median <= 1.0 ? "met" : "NOT met");
        std::printf("history 64 writes in a row, WAL synchronous=%s: %.2f ms (%.3f ms each), median of 3\n", name,
                    f.wave, f.wave / 64);
        std::fflush(stdout);
    }
    std::filesystem::remove_all(dir, ec);
    return status;
}
