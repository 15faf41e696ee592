// dravlinctl: the headless maintenance tool over Dravlin's libraries.
#include "cli/command.h"
#include "cli/fleet.h"
#include "cli/interrupt.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#ifndef DRAVLIN_VERSION
#define DRAVLIN_VERSION "0.0.0"
#endif

namespace dravlinctl {

static std::vector<Command>& table()
{
    static std::vector<Command> t;
    return t;
}

void register_command(const Command& cmd) { table().push_back(cmd); }

const std::vector<Command>& commands()
{
    auto& t = table();
    std::sort(t.begin(), t.end(), [](const Command& a, const Command& b) { return std::strcmp(a.name, b.name) < 0; });
    return t;
}

int usage_error(const char* command, const std::string& message)
{
    std::fprintf(stderr, "dravlinctl %s: %s\nTry 'dravlinctl %s --help'.\n", command, message.c_str(), command);
    return kExitUsage;
}

}  // namespace dravlinctl

static void print_help(FILE* out)
{
    std::fprintf(out,
                 "Usage: dravlinctl COMMAND [OPTIONS]\n"
                 "       dravlinctl --help | --version\n"
                 "\n"
                 "Maintenance of the NVRs and IP cameras on this LAN, without the console window.\n"
                 "\n"
                 "Commands:\n");
    for (const auto& c : dravlinctl::commands())
        std::fprintf(out, "  %-16s %s\n", c.name, c.summary);
    if (dravlinctl::commands().empty())
        std::fprintf(out, "  (none yet)\n");
    std::fprintf(out,
                 "\n"
                 "Run 'dravlinctl COMMAND --help' for a command's options; every option also takes\n"
                 "the form --option=value.\n"
                 "Exit status: 0 when every chosen recorder succeeded, 1 when something failed, 2 for bad arguments;\n"
                 "refresh, reboot, upgrade, buzzer and channel-mode stopped by SIGINT or SIGTERM end in order\n"
                 "with 130 or 143 (see their --help).\n");
}

int main(int argc, char** argv)
{
    dravlinctl::start_interrupt_watch();
    if (argc < 2) {
        print_help(stderr);
        return dravlinctl::kExitUsage;
    }
    std::string first = argv[1];
    if (first == "--help" || first == "-h" || first == "help") {
        print_help(stdout);
        return dravlinctl::kExitOk;
    }
    if (first == "--version") {
        std::printf("dravlinctl %s\n", DRAVLIN_VERSION);
        return dravlinctl::kExitOk;
    }
    for (const auto& c : dravlinctl::commands()) {
        if (first == c.name) {
            std::vector<std::string> args =
                dravlinctl::split_option_values(std::vector<std::string>(argv + 2, argv + argc));
            if (std::find_if(args.begin(), args.end(),
                             [](const std::string& a) { return a == "--help" || a == "-h"; }) != args.end()) {
                std::fputs(c.usage, stdout);
                return dravlinctl::kExitOk;
            }
            return c.run(args);
        }
    }
    std::fprintf(stderr, "dravlinctl: unknown command '%s'\nTry 'dravlinctl --help'.\n", first.c_str());
    return dravlinctl::kExitUsage;
}
