// Shared pieces of the control-link end-to-end suites: dravlin-sim in a lab with its status
// file and command socket, and the event lines of dravlinctl login.
#pragma once

#include "netns_lab.h"

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <vector>

namespace link_e2e {

using e2e::Json;
using e2e::NetnsLab;

inline const std::string kCtl = DRAVLINCTL_PATH;
inline const std::string kSim = DRAVLIN_SIM_PATH;

inline std::string serial(int n)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "DRVSIM%06d", n);
    return buf;
}

// dravlin-sim in the lab, with its status file and command socket in the lab's folder.
struct Sim {
    NetnsLab& lab;
    std::string status, commands;
    pid_t pid = -1;
    Sim(NetnsLab& l, std::vector<std::string> args)
        : lab(l), status(l.dir() + "/sim.json"), commands(l.dir() + "/sim.sock")
    {
        std::vector<std::string> argv = {kSim, "--status", status, "--command-socket", commands};
        argv.insert(argv.end(), args.begin(), args.end());
        pid = lab.spawn(argv, "sim");
    }
    bool ready()
    {
        Json j;
        return e2e::wait_until([&] { return e2e::read_json_file(status, &j); });
    }
    Json read()
    {
        Json j;
        e2e::read_json_file(status, &j);
        return j;
    }
    Json link(int index) { return read()["devices"][static_cast<size_t>(index)]["link"]; }
    std::string err() { return e2e::read_file(lab.dir() + "/sim.err"); }
    // One line to the command socket; its reply line.
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
                char c;
                while (::recv(fd, &c, 1, 0) == 1 && c != '\n')
                    reply += c;
            }
        }
        if (fd >= 0)
            ::close(fd);
        return reply;
    }
};

// "<recorder> event <code> [value]" lines of dravlinctl login, per recorder in arrival order.
inline std::map<std::string, std::vector<int>> events_of(const std::string& out)
{
    std::map<std::string, std::vector<int>> ev;
    std::regex line(R"(^(\S+) event (\d+))");
    std::istringstream in(out);
    std::string l;
    while (std::getline(in, l)) {
        std::smatch m;
        if (std::regex_search(l, m, line))
            ev[m[1].str()].push_back(std::stoi(m[2].str()));
    }
    return ev;
}

inline bool has(const std::vector<int>& v, int code) { return std::find(v.begin(), v.end(), code) != v.end(); }

// The position of the first code, or -1.
inline int first(const std::vector<int>& v, int code)
{
    auto it = std::find(v.begin(), v.end(), code);
    return it == v.end() ? -1 : static_cast<int>(it - v.begin());
}

}  // namespace link_e2e
