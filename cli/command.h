// dravlinctl's command table. Each command lives in its own cmd_<name>.cpp and registers
// itself with a static DRAVLIN_COMMAND(...) so commands can be added without touching main.
#pragma once

#include <string>
#include <vector>

namespace dravlinctl {

struct Command {
    const char* name;
    const char* summary;                               // one line for the tool's --help
    const char* usage;                                 // full text for `dravlinctl NAME --help`
    int (*run)(const std::vector<std::string>& args);  // args after the command name
};

void register_command(const Command& cmd);
const std::vector<Command>& commands();

struct Registrar {
    explicit Registrar(const Command& cmd) { register_command(cmd); }
};

// Exit codes shared by every command.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the operation ran and something did not succeed
constexpr int kExitUsage = 2;   // bad arguments

// Prints "dravlinctl NAME: message" and a hint to standard error; returns kExitUsage.
int usage_error(const char* command, const std::string& message);

}  // namespace dravlinctl

#define DRAVLIN_CONCAT2(a, b) a##b
#define DRAVLIN_CONCAT(a, b) DRAVLIN_CONCAT2(a, b)
#define DRAVLIN_COMMAND(...) \
    static ::dravlinctl::Registrar DRAVLIN_CONCAT(dravlin_cmd_, __LINE__)(::dravlinctl::Command{__VA_ARGS__})
