// dravlin-sim inside a lab, shared by every end-to-end suite (tool, link, discovery, pages): its
// status file and command socket live in the lab's folder. Needs DRAVLIN_SIM_PATH.
//
// The simulator runs at kRecorderNice: its one loop answers for a whole fleet of devices that
// would each have a processor of their own, and on a machine busy with other work (a build, the
// console's own threads) it must still answer 64 logins within the link's login window.
#pragma once

#include "common/test_os.h"
#include "netns_lab.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace e2e {

// "DRVSIM000001": the serial number of the simulator's recorder n (1-based) by default.
inline std::string sim_serial(int n)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "DRVSIM%06d", n);
    return buf;
}

struct Sim {
    NetnsLab& lab;
    std::string status, commands;
    pid_t pid = -1;
    // Without a status file (status_file false) the status is asked for on the command socket:
    // rewriting hundreds of recorders' status every 100 ms holds up the simulator's one loop.
    Sim(NetnsLab& l, std::vector<std::string> args, bool status_file = true)
        : lab(l), status(status_file ? l.dir() + "/sim.json" : ""), commands(l.dir() + "/sim.sock")
    {
        std::vector<std::string> argv = {DRAVLIN_SIM_PATH, "--command-socket", commands};
        if (status_file)
            argv.insert(argv.end(), {"--status", status});
        argv.insert(argv.end(), args.begin(), args.end());
        pid = lab.spawn(argv, "sim", test_common::kRecorderNice);
    }
    // Waits for the first status.
    bool ready()
    {
        Json j;
        return wait_until([&] { return status.empty() ? !read().obj.empty() : read_json_file(status, &j); });
    }
    // The simulator's whole status: a reply cut short (a signal in the middle of a read) is read
    // again, never taken half-parsed.
    Json read()
    {
        for (int attempt = 0;; ++attempt) {
            Json j;
            if (status.empty() ? parse_json(command("status"), &j) : read_json_file(status, &j))
                return j;
            if (attempt == 20)
                return Json();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    Json link(int index) { return read()["devices"][static_cast<size_t>(index)]["link"]; }
    // Datagrams of one code the fleet has logged.
    std::vector<Json> datagrams(int code)
    {
        std::vector<Json> out;
        Json j = read();
        for (const Json& d : j["datagrams"].arr)
            if (d["code"].integer() == code)
                out.push_back(d);
        return out;
    }
    std::string err() { return read_file(lab.dir() + "/sim.err"); }
    // One line to the command socket; its reply line, read whole however long.
    std::string command(const std::string& line)
    {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", commands.c_str());
        std::string reply;
        if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
            std::string l = line + "\n";
            if (::send(fd, l.data(), l.size(), 0) == static_cast<ssize_t>(l.size())) {
                char buf[65536];
                ssize_t n;
                while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0 || (n < 0 && errno == EINTR)) {
                    if (n < 0)
                        continue;
                    reply.append(buf, static_cast<size_t>(n));
                    if (reply.back() == '\n')
                        break;
                }
            }
        }
        if (fd >= 0)
            ::close(fd);
        if (!reply.empty() && reply.back() == '\n')
            reply.pop_back();
        return reply;
    }
};

}  // namespace e2e
