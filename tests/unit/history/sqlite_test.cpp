// The station's SQLite store: what open() makes of each kind of name, the file's mode and journal,
// records and their filters, older and newer schemas, and writers that are killed or write at once.
#include "history/history.h"
#include "history/schema.h"
#include "unit/history/helpers.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <thread>

namespace {

using namespace history;
using history_test::job;
using history_test::ScopedEnv;
using history_test::TempDir;

#ifndef _WIN32
int mode_of(const std::string& path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}
#endif

// One text value from an SQL statement on the file, read apart from the store.
std::string sql_text(const std::string& path, const std::string& sql)
{
    sqlite3* db = nullptr;
    std::string out = "(error)";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            out = sqlite3_column_text(st, 0) ? reinterpret_cast<const char*>(sqlite3_column_text(st, 0)) : "";
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return out;
}

bool sql_exec(const std::string& path, const std::string& sql)
{
    sqlite3* db = nullptr;
    bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
        sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

TEST(HistoryOpen, WhatEachNameOpens)
{
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    std::ofstream(dir / "plain.txt") << "not a database, but long enough to be read as a header of one";
    struct Case {
        const char* name;
        std::string location;
        int result;
        std::string reason;  // part of why; "" for none
        const char* where;
    };
    const Case cases[] = {
        {"off", "off", kHistoryDisabled, "", "off"},
        {"new file in new folders", dir / "a/b/h.sqlite", kHistoryOk, "", ""},
        {"unknown scheme", "mysql://db/h", kHistoryBadLocation, "unknown kind of history store: mysql://", ""},
        {"a folder", dir.path, kHistoryOpenFailed, "could not open " + dir.path + ": is a directory", ""},
        {"below a file", dir / "plain.txt/h.sqlite", kHistoryOpenFailed, "not a directory", ""},
        {"not a database", dir / "plain.txt", kHistoryOpenFailed, "file is not a database", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Store store;
        std::string why;
        EXPECT_EQ(store.open(c.location, &why), c.result);
        EXPECT_NE(why.find(c.reason), std::string::npos) << why;
        EXPECT_EQ(store.is_open(), c.result == kHistoryOk);
        EXPECT_EQ(store.where(), std::string(c.where).empty() && c.result == kHistoryOk ? c.location : c.where);
        // A write says the same without failing anything else.
        int add = store.add_job(job(1), &why);
        EXPECT_EQ(add,
                  c.result == kHistoryOk             ? kHistoryOk
                      : c.result == kHistoryDisabled ? kHistoryDisabled
                                                     : kHistoryNotOpen);
        if (add == kHistoryNotOpen) {
            EXPECT_EQ(why, "the history is not open");
        }
    }
}

// The user's data folder, else one below the home folder: XDG_DATA_HOME, then HOME; on Windows
// LOCALAPPDATA, then USERPROFILE.
TEST(HistoryOpen, DefaultPathFollowsTheDataFolderThenTheHome)
{
    struct Case {
        const char* name;
        std::optional<std::string> data, home;
        const char* path;
    };
#ifdef _WIN32
    const char *data_variable = "LOCALAPPDATA", *home_variable = "USERPROFILE";
    const Case cases[] = {
        {"LOCALAPPDATA", "C:\\x\\Local", "C:\\h", "C:\\x\\Local\\dravlin\\history.sqlite"},
        {"no LOCALAPPDATA", std::nullopt, "C:\\h", "C:\\h\\AppData\\Local\\dravlin\\history.sqlite"},
        {"neither", std::nullopt, std::nullopt, ""},
    };
#else
    const char *data_variable = "XDG_DATA_HOME", *home_variable = "HOME";
    const Case cases[] = {
        {"XDG_DATA_HOME", "/x/data", "/h", "/x/data/dravlin/history.sqlite"},
        {"relative XDG_DATA_HOME is ignored", "data", "/h", "/h/.local/share/dravlin/history.sqlite"},
        {"empty XDG_DATA_HOME", "", "/h", "/h/.local/share/dravlin/history.sqlite"},
        {"no XDG_DATA_HOME", std::nullopt, "/h", "/h/.local/share/dravlin/history.sqlite"},
        {"neither", std::nullopt, std::nullopt, ""},
    };
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnv data(data_variable, c.data), home(home_variable, c.home);
        std::string why;
        EXPECT_EQ(default_path(&why), c.path);
        EXPECT_EQ(why.empty(), *c.path != '\0') << why;
    }
}

// On Windows the file and its folders take their rights from the folder they are made in: below
// %LOCALAPPDATA%, the user's alone.
TEST(HistorySqlite, DefaultFileIsPrivateWithWalJournal)
{
    TempDir dir;
#ifdef _WIN32
    ScopedEnv data("LOCALAPPDATA", dir / "data");
    const std::string file = dir / "data\\dravlin\\history.sqlite";
#else
    ScopedEnv data("XDG_DATA_HOME", dir / "data");
    const std::string file = dir / "data/dravlin/history.sqlite";
    ::umask(022);
#endif
    Store store;
    std::string why;
    ASSERT_EQ(store.open("", &why), kHistoryOk) << why;
    EXPECT_EQ(store.where(), file);
    ASSERT_EQ(store.add_job(job(1), &why), kHistoryOk) << why;
#ifndef _WIN32
    EXPECT_EQ(mode_of(dir / "data"), 0700);
    EXPECT_EQ(mode_of(dir / "data/dravlin"), 0700);
    EXPECT_EQ(mode_of(file), 0600);
    EXPECT_EQ(mode_of(file + "-wal"), 0600);
#endif
    EXPECT_TRUE(std::filesystem::is_regular_file(file + "-wal"));
    EXPECT_EQ(sql_text(file, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(sql_text(file, "SELECT max(version) FROM schema_version"), std::to_string(schema_version()));
}

// A folder name beyond ASCII, the first of a few that the system's text can hold: as the command
// line gives it (UTF-8, or the ANSI code page on Windows) and in UTF-8. Empty when none fits.
struct Name {
    std::string native;
    std::u8string utf8;
};

Name name_beyond_ascii()
{
    for (std::u8string name : {u8"记录 é", u8"é"}) {
#ifdef _WIN32
        const char* utf8 = reinterpret_cast<const char*>(name.c_str());
        wchar_t wide[64] = {};
        char native[64] = {};
        BOOL lost = FALSE;
        BOOL* ask = ::GetACP() == CP_UTF8 ? nullptr : &lost;
        if (::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, 64) > 0 &&
            ::WideCharToMultiByte(CP_ACP, ask ? WC_NO_BEST_FIT_CHARS : 0, wide, -1, native, sizeof native, nullptr,
                                  ask) > 0 &&
            !lost)
            return {native, name};
#else
        return {std::string(name.begin(), name.end()), name};
#endif
    }
    return {};
}

// The file lands in the folder of that name (the system shows the same characters) and opens
// again there.
TEST(HistorySqlite, PathBeyondAsciiKeepsItsName)
{
    TempDir dir;
    const Name name = name_beyond_ascii();
    if (name.native.empty())
        GTEST_SKIP() << "the system's code page holds none of the names tried";
    const std::string file = dir / name.native + "/h.sqlite";
    {
        Store store;
        std::string why;
        ASSERT_EQ(store.open(file, &why), kHistoryOk) << why;
        EXPECT_EQ(store.where(), file);
        ASSERT_EQ(store.add_job(job(1), &why), kHistoryOk) << why;
    }
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::path(dir.path) / name.utf8 / "h.sqlite"));
    Store again;
    std::vector<JobRecord> got;
    ASSERT_EQ(again.open(file), kHistoryOk);
    ASSERT_EQ(again.query({}, &got), kHistoryOk);
    EXPECT_EQ(history_test::serials(got), std::vector<std::string>{"S1"});
}

TEST(HistorySqlite, RecordsComeBackWhole)
{
    TempDir dir;
    Store store;
    std::string why;
    ASSERT_EQ(store.open(dir / "h.sqlite", &why), kHistoryOk) << why;

    JobRecord full = job(7);
    full.files.push_back({"firmware", "固件 v2.bin", 33554432, "ffffffffffffffffffffffffffffffff"});
    full.message = "超时-处理异常,请重新操作 \"quoted\" 'and' ; -- not SQL";
    JobRecord bare;  // nothing known beyond the command: no files, -1 times, empty texts
    bare.command = "reboot";
    bare.started = full.started;
    bare.result = "not started";
    bare.files = {{"boot", "b.jpg", -1, ""}};
    ASSERT_EQ(store.add_job(full, &why), kHistoryOk) << why;
    ASSERT_EQ(store.add_job(bare, &why), kHistoryOk) << why;

    std::vector<JobRecord> got;
    ASSERT_EQ(store.query({}, &got, &why), kHistoryOk) << why;
    ASSERT_EQ(got.size(), 2u);
    history_test::expect_same(got[0], bare);  // same start: the later write first
    history_test::expect_same(got[1], full);

    // A run is written when it starts and again with its counts when it ends.
    RunRecord run{"run-a", "line-1", "tool", "refresh", "--boot b.jpg --parallel 16", full.started, "", 0, 0, 0};
    ASSERT_EQ(store.add_run(run, &why), kHistoryOk) << why;
    run.ended = full.ended;
    run.recorders = 2;
    run.ok = 1;
    run.failed = 1;
    ASSERT_EQ(store.add_run(run, &why), kHistoryOk) << why;
    std::vector<RunRecord> runs;
    ASSERT_EQ(store.query_runs({}, &runs, &why), kHistoryOk) << why;
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].options, run.options);
    EXPECT_EQ(runs[0].ended, run.ended);
    EXPECT_EQ(runs[0].recorders, 2);
    EXPECT_EQ(runs[0].ok, 1);
    EXPECT_EQ(runs[0].failed, 1);
}

TEST(HistorySqlite, FiltersNewestFirst)
{
    TempDir dir;
    Store store;
    std::string why;
    ASSERT_EQ(store.open(dir / "h.sqlite", &why), kHistoryOk) << why;
    // S0..S5 a second apart; S2 and S5 failed; S4 was an upgrade on another station.
    for (int n = 0; n < 6; ++n) {
        JobRecord j = job(n, "S", n == 4 ? "upgrade" : "refresh");
        if (n == 4)
            j.station = "line-2";
        ASSERT_EQ(store.add_job(j, &why), kHistoryOk) << why;
    }
    ASSERT_EQ(store.add_job(job(1), &why), kHistoryOk);  // S1 again, same time as its first
    struct Case {
        const char* name;
        Filter filter;
        std::vector<std::string> serials;
    };
    const std::string t3 = job(3).started;
    const Case cases[] = {
        {"all", {}, {"S5", "S4", "S3", "S2", "S1", "S1", "S0"}},
        {"serial", {.serial = "S1"}, {"S1", "S1"}},
        {"since a time", {.since = t3}, {"S5", "S4", "S3"}},
        {"since a day", {.since = "2026-12-07"}, {"S5", "S4", "S3", "S2", "S1", "S1", "S0"}},
        {"since the next day", {.since = "2026-12-08"}, {}},
        {"command", {.command = "upgrade"}, {"S4"}},
        {"station", {.station = "line-1"}, {"S5", "S3", "S2", "S1", "S1", "S0"}},
        {"failed", {.failed_only = true}, {"S5", "S2"}},
        {"limit", {.limit = 2}, {"S5", "S4"}},
        {"all together",
         {.serial = "S5", .since = t3, .command = "refresh", .station = "line-1", .failed_only = true, .limit = 1},
         {"S5"}},
        {"none match", {.serial = "S9"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<JobRecord> got;
        ASSERT_EQ(store.query(c.filter, &got, &why), kHistoryOk) << why;
        EXPECT_EQ(history_test::serials(got), c.serials);
    }
}

TEST(HistorySqlite, MigratesAnOlderSchemaKeepingItsRows)
{
    TempDir dir;
    const std::string file = dir / "h.sqlite";
    // A file as the first version left it, with one job in it.
    ASSERT_TRUE(sql_exec(file,
                         std::string("CREATE TABLE schema_version (version INTEGER NOT NULL);"
                                     "INSERT INTO schema_version VALUES (1);") +
                             migrations().front().sqlite +
                             "INSERT INTO jobs (uid, run_id, station, front, command, started, ended, serial, "
                             "device_type, address, mac, result, message, version) VALUES ('u1', 'r', 'st', "
                             "'tool', 'reboot', '2026-01-01T00:00:00.000Z', '', 'OLD1', '', '', '', 'ok', '', "
                             "'0.0.9')"));
    Store store;
    std::string why;
    ASSERT_EQ(store.open(file, &why), kHistoryOk) << why;
    EXPECT_EQ(sql_text(file, "SELECT group_concat(version) FROM schema_version"), std::to_string(schema_version()));
    EXPECT_EQ(sql_text(file, "SELECT count(*) FROM sqlite_master WHERE name = 'jobs_by_serial'"), "1");
    ASSERT_EQ(store.add_job(job(1), &why), kHistoryOk) << why;
    std::vector<JobRecord> got;
    ASSERT_EQ(store.query({}, &got, &why), kHistoryOk) << why;
    EXPECT_EQ(history_test::serials(got), (std::vector<std::string>{"S1", "OLD1"}));
    EXPECT_EQ(got[1].login_ms, -1);
}

TEST(HistorySqlite, NewerSchemaIsReadNeverWritten)
{
    TempDir dir;
    const std::string file = dir / "h.sqlite";
    {
        Store store;
        ASSERT_EQ(store.open(file), kHistoryOk);
        ASSERT_EQ(store.add_job(job(1)), kHistoryOk);
    }
    const int newer = schema_version() + 1;
    ASSERT_TRUE(sql_exec(file, "UPDATE schema_version SET version = " + std::to_string(newer)));
    Store store;
    std::string why;
    const std::string refusal = "not written to " + file + ": its schema version " + std::to_string(newer) +
        " is newer than this program's " + std::to_string(schema_version());
    EXPECT_EQ(store.open(file, &why), kHistoryNewerSchema);
    EXPECT_EQ(why, refusal);
    EXPECT_EQ(store.add_job(job(2), &why), kHistoryNewerSchema);
    EXPECT_EQ(why, refusal);
    EXPECT_EQ(store.add_run(RunRecord{.run_id = "r"}, &why), kHistoryNewerSchema);
    std::vector<JobRecord> got;
    ASSERT_EQ(store.query({}, &got, &why), kHistoryOk) << why;
    EXPECT_EQ(history_test::serials(got), std::vector<std::string>{"S1"});
    EXPECT_EQ(sql_text(file, "SELECT max(version) FROM schema_version"), std::to_string(newer));
}

// Writes records 0, 1, ... until it is killed, saying each number on standard output once its
// add_job has returned.
int write_until_killed(int, const std::string& file)
{
    Store store;
    if (store.open(file) != kHistoryOk)
        return 2;
    for (int n = 0;; ++n) {
        if (store.add_job(job(n)) != kHistoryOk)
            return 3;
        std::printf("%d\n", n);
        std::fflush(stdout);
    }
}
const history_test::Writer killed_writer("killed", write_until_killed);

std::string file_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The numbers written whole to the file so far.
std::set<int> numbers_in(const std::string& path)
{
    const std::string text = file_text(path);
    std::set<int> numbers;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        numbers.insert(std::atoi(text.c_str() + start));
    return numbers;
}

// A writer killed at any moment leaves a sound file that holds every record whose add_job had
// returned when it died.
TEST(HistorySqlite, KilledWriterKeepsEveryFinishedRecord)
{
    TempDir dir;
    const std::string file = dir / "h.sqlite";
    test_common::ChildProcess writer;
    ASSERT_TRUE(history_test::start_writer(writer, killed_writer, 0, file, dir / "acks.txt", dir / "err.txt"));
    // Kill it mid-stream, once it has written a few hundred records.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int status = 0;
    while (numbers_in(dir / "acks.txt").size() < 300 && !writer.ended(&status) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_FALSE(writer.ended(&status)) << "the writer ended by itself with " << status;
    writer.kill_and_wait(&status);
    const std::set<int> done = numbers_in(dir / "acks.txt");
    ASSERT_GE(done.size(), 300u);

    EXPECT_EQ(sql_text(file, "PRAGMA integrity_check"), "ok");
    Store store;
    std::string why;
    ASSERT_EQ(store.open(file, &why), kHistoryOk) << why;
    std::vector<JobRecord> got;
    ASSERT_EQ(store.query({}, &got, &why), kHistoryOk) << why;
    std::set<std::string> found;
    for (const JobRecord& j : got) {
        found.insert(j.serial);
        EXPECT_EQ(j.files.size(), 1u);
    }
    for (int k : done)
        EXPECT_TRUE(found.count("S" + std::to_string(k))) << "S" << k << " was written but is missing";
    EXPECT_LE(got.size(), done.size() + 1);  // at most the one whose add had not returned
}

constexpr int kEachWriter = 200;

// Writes kEachWriter records (serials A... or B...) once FILE.go exists, so that both writers
// start together; both also open the new file at once: one makes the schema, the other waits
// and finds it.
int write_two_hundred(int index, const std::string& file)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!std::filesystem::exists(file + ".go")) {
        if (std::chrono::steady_clock::now() > deadline)
            return 4;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Store store;
    std::string why;
    if (store.open(file, &why) != kHistoryOk) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 2;
    }
    for (int n = 0; n < kEachWriter; ++n) {
        if (store.add_job(job(n, index ? "B" : "A"), &why) != kHistoryOk) {
            std::fprintf(stderr, "%s\n", why.c_str());
            return 3;
        }
    }
    return 0;
}
const history_test::Writer two_writers("two", write_two_hundred);

TEST(HistorySqlite, TwoWritersAtOnceLoseNothing)
{
    TempDir dir;
    const std::string file = dir / "h.sqlite";
    test_common::ChildProcess writers[2];
    for (int w = 0; w < 2; ++w) {
        const std::string n = std::to_string(w);
        ASSERT_TRUE(history_test::start_writer(writers[w], two_writers, w, file, dir / ("out" + n), dir / ("err" + n)));
    }
    std::ofstream(file + ".go").close();
    for (int w = 0; w < 2; ++w) {
        const std::string n = std::to_string(w);
        EXPECT_EQ(history_test::wait_writer(writers[w]), 0) << file_text(dir / ("err" + n));
    }
    Store store;
    std::string why;
    ASSERT_EQ(store.open(file, &why), kHistoryOk) << why;
    std::vector<JobRecord> got;
    ASSERT_EQ(store.query({}, &got, &why), kHistoryOk) << why;
    const auto all = history_test::serials(got);
    std::set<std::string> found(all.begin(), all.end());
    EXPECT_EQ(got.size(), 2u * kEachWriter);
    EXPECT_EQ(found.size(), 2u * kEachWriter);
}

TEST(HistoryText, UtcTextAndIds)
{
    const std::pair<int64_t, const char*> cases[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {1796635812345, "2026-12-07T09:30:12.345Z"},
        {-1, "1969-12-31T23:59:59.999Z"},
        {951868799999, "2000-02-29T23:59:59.999Z"},
        {253402300799999, "9999-12-31T23:59:59.999Z"},
    };
    for (const auto& [ms, text] : cases)
        EXPECT_EQ(utc_text(ms), text);
    EXPECT_EQ(utc_now().size(), 24u);
    std::string a = new_id(), b = new_id();
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, b);
    EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
}

}  // namespace
