// The shared PostgreSQL store against a real server: a private cluster that the suite starts from
// Debian's packages in a temporary folder, reached only through its own Unix socket, run as the
// postgres user (the server refuses root) and removed at the end. Without root, the packages
// or libpq in this build, the cases that need the server skip and say why. The Windows build has
// no PostgreSQL: there only the first case is built, for what a postgresql:// store says.
#include "history/history.h"
#include "history/schema.h"
#include "common/pg_cluster.h"
#include "unit/history/helpers.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>

namespace {

using namespace history;
using history_test::job;
using history_test::TempDir;
#ifndef _WIN32
using test_common::Cluster;
#endif
using test_common::shell_output;

// A store's local queue file in a scratch folder, never the user's own.
OpenOptions local_in(const TempDir& dir, const std::string& name = "station.sqlite")
{
    OpenOptions o;
    o.local_path = dir / name;
    return o;
}

TEST(HistoryPostgresLocation, ServerAwayAtOpenQueuesAndNeverShowsThePassword)
{
    TempDir dir;
    Store store;
    std::string why;
    const std::string location = "postgresql://clerk:s3cret@/line?host=" + dir.path + "&port=5999";
    int rc = store.open(location, &why, local_in(dir));
    if (rc == kHistoryUnavailable) {
        EXPECT_EQ(why,
                  test_common::kWindows ? "PostgreSQL is not available in this build of the history: on Windows "
                                          "it is kept in SQLite files only"
                                        : "PostgreSQL is not available in this build of the history");
        GTEST_SKIP() << "built without PostgreSQL";
    }
    ASSERT_EQ(rc, kHistoryQueued) << why;
    EXPECT_EQ(why.rfind("PostgreSQL: ", 0), 0u) << why;
    EXPECT_NE(why.find("writes wait in " + dir / "station.sqlite"), std::string::npos) << why;
    EXPECT_EQ(store.where(), "postgresql://clerk@" + dir.path + ":5999/line");
    EXPECT_EQ(store.add_job(job(1), &why), kHistoryQueued);
    EXPECT_NE(why.find("kept in " + dir / "station.sqlite"), std::string::npos) << why;
    EXPECT_EQ(store.pending(), 1);
    EXPECT_EQ(store.flush(&why), kHistoryQueued);
    std::vector<JobRecord> got;
    EXPECT_EQ(store.query({}, &got, &why), kHistoryReadFailed);
    EXPECT_EQ(why.rfind("PostgreSQL: ", 0), 0u) << why;
    for (const char* name : {"station.sqlite", "station.sqlite-wal"}) {
        std::string bytes = shell_output("cat " + dir / name);
        EXPECT_EQ(bytes.find("s3cret"), std::string::npos) << name;
    }

    EXPECT_EQ(store.open("postgresql://h/db?no_such_option=1", &why, local_in(dir)), kHistoryBadLocation);
    EXPECT_EQ(why, "bad PostgreSQL connection string: invalid URI query parameter: \"no_such_option\"");
}

#ifndef _WIN32
bool built_with_postgres()
{
    TempDir dir;
    Store store;
    return store.open("postgresql:///x?host=/nonexistent", nullptr, local_in(dir)) != kHistoryUnavailable;
}

class HistoryPostgres : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!built_with_postgres()) {
            skip_ = "built without PostgreSQL";
            return;
        }
        cluster_ = new Cluster;
        skip_ = cluster_->start();
    }
    static void TearDownTestSuite()
    {
        delete cluster_;
        cluster_ = nullptr;
    }
    void SetUp() override
    {
        if (!skip_.empty())
            GTEST_SKIP() << "PostgreSQL test skipped: " << skip_;
    }

    static Cluster* cluster_;
    static std::string skip_;
};

Cluster* HistoryPostgres::cluster_ = nullptr;
std::string HistoryPostgres::skip_;

TEST_F(HistoryPostgres, TwoStationsAtOnceLoseNothing)
{
    ASSERT_TRUE(cluster_->create_db("two"));
    TempDir dir;
    constexpr int kEach = 100;
    // Both meet an empty database at once: one makes the schema while the other waits for it.
    auto statuses = history_test::run_writers(2, [&](int w) {
        Store store;
        const std::string name = w ? "B" : "A";
        if (store.open(cluster_->location("two"), nullptr, local_in(dir, name + ".sqlite")) != kHistoryOk)
            return 2;
        RunRecord run{"run-" + name, "station-" + name, "tool", "refresh", "", utc_now(), "", 0, 0, 0};
        if (store.add_run(run) != kHistoryOk)
            return 3;
        for (int n = 0; n < kEach; ++n)
            if (store.add_job(job(n, name)) != kHistoryOk)
                return 4;
        run.ended = utc_now();
        run.recorders = run.ok = kEach;
        if (store.add_run(run) != kHistoryOk || store.pending() != 0)
            return 5;
        return 0;
    });
    EXPECT_EQ(statuses, (std::vector<int>{0, 0}));

    Store store;
    std::string why;
    ASSERT_EQ(store.open(cluster_->location("two"), &why, local_in(dir)), kHistoryOk) << why;
    std::vector<JobRecord> got;
    ASSERT_EQ(store.query({}, &got, &why), kHistoryOk) << why;
    const auto all = history_test::serials(got);
    EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).size(), 2u * kEach);
    EXPECT_EQ(got.size(), 2u * kEach);
    std::vector<RunRecord> runs;
    ASSERT_EQ(store.query_runs({}, &runs, &why), kHistoryOk) << why;
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].recorders + runs[1].recorders, 2 * kEach);
    EXPECT_EQ(cluster_->psql("two", "SELECT max(version) FROM schema_version"), std::to_string(schema_version()));
}

TEST_F(HistoryPostgres, RowsWrittenWhileTheServerIsDownArriveInOrderAfter)
{
    ASSERT_TRUE(cluster_->create_db("stop"));
    TempDir dir;
    Store store;
    std::string why;
    ASSERT_EQ(store.open(cluster_->location("stop"), &why, local_in(dir)), kHistoryOk) << why;
    auto rows = [&] { return cluster_->psql("stop", "SELECT string_agg(serial, ',' ORDER BY id) FROM jobs"); };
    for (int n = 0; n < 3; ++n)
        ASSERT_EQ(store.add_job(job(n, "A"), &why), kHistoryOk) << why;

    ASSERT_TRUE(cluster_->down());
    for (int n = 3; n < 6; ++n) {
        ASSERT_EQ(store.add_job(job(n, "A"), &why), kHistoryQueued);
        EXPECT_EQ(why.rfind("PostgreSQL: ", 0), 0u) << why;
    }
    RunRecord run{"run-a", "line-1", "tool", "refresh", "", job(0).started, job(5).ended, 6, 4, 2};
    EXPECT_EQ(store.add_run(run, &why), kHistoryQueued);
    EXPECT_EQ(store.pending(), 4);
    EXPECT_EQ(store.flush(&why), kHistoryQueued);

    // Back again: the next write sends what waited first, over a new connection.
    ASSERT_TRUE(cluster_->up());
    ASSERT_EQ(store.add_job(job(6, "A"), &why), kHistoryOk) << why;
    EXPECT_EQ(store.pending(), 0);
    EXPECT_EQ(rows(), "A0,A1,A2,A3,A4,A5,A6");
    std::vector<JobRecord> got;
    ASSERT_EQ(store.query({.serial = "A4"}, &got, &why), kHistoryOk) << why;
    ASSERT_EQ(got.size(), 1u);
    history_test::expect_same(got[0], job(4, "A"));
    std::vector<RunRecord> runs;
    ASSERT_EQ(store.query_runs({}, &runs, &why), kHistoryOk) << why;
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].failed, 2);

    // Or flush() sends them, without another write.
    ASSERT_TRUE(cluster_->down());
    EXPECT_EQ(store.add_job(job(7, "A"), &why), kHistoryQueued);
    ASSERT_TRUE(cluster_->up());
    EXPECT_EQ(store.flush(&why), kHistoryOk) << why;
    EXPECT_EQ(store.pending(), 0);
    EXPECT_EQ(rows(), "A0,A1,A2,A3,A4,A5,A6,A7");
}

TEST_F(HistoryPostgres, NewerSchemaIsReadAndWritesWaitOnTheStation)
{
    ASSERT_TRUE(cluster_->create_db("newer"));
    TempDir dir;
    const int newer = schema_version() + 1;
    {
        Store store;
        ASSERT_EQ(store.open(cluster_->location("newer"), nullptr, local_in(dir)), kHistoryOk);
        ASSERT_EQ(store.add_job(job(1)), kHistoryOk);
    }
    cluster_->psql("newer", "UPDATE schema_version SET version = " + std::to_string(newer));
    Store store;
    std::string why;
    EXPECT_EQ(store.open(cluster_->location("newer"), &why, local_in(dir)), kHistoryNewerSchema);
    const std::string refusal = "not written to " + store.where() + ": its schema version " + std::to_string(newer) +
        " is newer than this program's " + std::to_string(schema_version());
    EXPECT_EQ(why, refusal);
    EXPECT_EQ(store.add_job(job(2), &why), kHistoryQueued);
    EXPECT_EQ(why.rfind(refusal, 0), 0u) << why;
    EXPECT_EQ(store.pending(), 1);
    std::vector<JobRecord> got;
    ASSERT_EQ(store.query({}, &got, &why), kHistoryOk) << why;
    EXPECT_EQ(history_test::serials(got), std::vector<std::string>{"S1"});
}
#endif

}  // namespace
