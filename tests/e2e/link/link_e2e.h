// Shared pieces of the control-link end-to-end suites: the tool's path and the event lines of
// dravlinctl login (the simulator is sim_process.h's).
#pragma once

#include "netns_lab.h"
#include "sim_process.h"

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace link_e2e {

using e2e::Json;
using e2e::NetnsLab;

inline const std::string kCtl = DRAVLINCTL_PATH;

using e2e::Sim;
inline std::string serial(int n) { return e2e::sim_serial(n); }

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
