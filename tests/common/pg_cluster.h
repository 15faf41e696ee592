// A private PostgreSQL server for the suites that need one: a cluster that the test starts from
// Debian's packages in a temporary folder, reached only through its own Unix socket, run as the
// postgres user (the server refuses root) and removed at the end.
#pragma once

#include "common/test_os.h"

#ifndef _WIN32
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace test_common {

inline std::string shell_output(const std::string& command)
{
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        ::pclose(p);
    }
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

#ifndef _WIN32
// The newest server binaries Debian installed, "" when none.
inline std::string pg_server_bin()
{
    std::string best;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
        std::string bin = e.path().string() + "/bin";
        if (::access((bin + "/pg_ctl").c_str(), X_OK) == 0 && ::access((bin + "/initdb").c_str(), X_OK) == 0 &&
            (best.empty() || std::atoi(e.path().filename().c_str()) > std::atoi(best.c_str() + 20)))
            best = bin;
    }
    return best;
}

class Cluster {
public:
    // "" once the server runs, else why the cases that need it skip.
    std::string start()
    {
        if (::geteuid() != 0)
            return "needs root, to run a private PostgreSQL server as the postgres user";
        bin_ = pg_server_bin();
        if (bin_.empty())
            return "no PostgreSQL server under /usr/lib/postgresql (package postgresql)";
        struct passwd* pw = ::getpwnam("postgres");
        if (!pw)
            return "no postgres user (package postgresql)";
        if (dir_.path.empty() || ::chown(dir_.path.c_str(), pw->pw_uid, pw->pw_gid) != 0 ||
            ::chmod(dir_.path.c_str(), 0700) != 0)
            return "could not make the cluster's folder";
        if (!as_postgres("initdb -D " + data() + " -A trust -U postgres -E UTF8 --locale=C -N", "initdb.log"))
            return "initdb failed: " + shell_output("cat " + dir_.path + "/initdb.log");
        if (!up())
            return "the server did not start: " + shell_output("cat " + dir_.path + "/server.log");
        return "";
    }

    ~Cluster()
    {
        if (!bin_.empty())
            as_postgres("pg_ctl -D " + data() + " -m immediate -w stop", "stop.log");
    }

    // Unix socket only (listen_addresses empty), in the cluster's own folder.
    bool up()
    {
        return as_postgres("pg_ctl -D " + data() + " -l " + dir_.path + "/server.log -w -t 60 -o \"-k " + dir_.path +
                               " -c listen_addresses='' -c fsync=off\" start",
                           "start.log");
    }
    bool down() { return as_postgres("pg_ctl -D " + data() + " -m fast -w -t 60 stop", "stop.log"); }

    bool create_db(const std::string& name) { return as_postgres("createdb -h " + dir_.path + " " + name, "db.log"); }

    // One SQL statement's rows, fields separated by |.
    std::string psql(const std::string& db, const std::string& sql)
    {
        return shell_output("cd " + dir_.path + " && runuser -u postgres -- " + bin_ + "/psql -h " + dir_.path +
                            " -d " + db + " -XAt -c \"" + sql + "\" 2>&1");
    }

    std::string location(const std::string& db) const
    {
        return "postgresql:///" + db + "?host=" + dir_.path + "&user=postgres";
    }

    std::string folder() const { return dir_.path; }

private:
    std::string data() const { return dir_.path + "/data"; }

    bool as_postgres(const std::string& command, const char* log)
    {
        std::string line = "cd " + dir_.path + " && runuser -u postgres -- " + bin_ + "/" + command + " >" + dir_.path +
            "/" + log + " 2>&1";
        return std::system(line.c_str()) == 0;
    }

    struct Dir {
        std::string path = make_temp_dir("dravlin_pg_");
        ~Dir()
        {
            std::error_code ec;
            if (!path.empty())
                std::filesystem::remove_all(path, ec);
        }
    } dir_;
    std::string bin_;
};
#endif

}  // namespace test_common
