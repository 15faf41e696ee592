// The serve command's texts, shared by the tool that serves and the one that hands serve over to
// it (see serve_exec.cpp).
#pragma once

namespace dravlinctl {

inline constexpr char kServeSummary[] = "the console as a web page on this PC, with a JSON API";
inline constexpr char kServeUsage[] =
    "Usage: dravlinctl serve [--listen ADDR:PORT] [--token TOKEN | --token-file FILE] [--open]\n"
    "                        [--history STORE] [--parallel N] [--verbose]\n"
    "\n"
    "Serves the console as a web page and its JSON API (see README, 'The browser console'):\n"
    "search, pictures and reboot, factory pictures, reboot, firmware, the clock broadcast, each\n"
    "recorder's progress live, the list as CSV and the history.\n"
    "\n"
    "  --listen ADDR:PORT  where to listen (default 127.0.0.1:8765; an IPv4 address, no name)\n"
    "  --token TOKEN       the token every API call must carry (16 to 256 characters of letters,\n"
    "                      digits and - . _ ~ + / =); other users of this machine can read it while\n"
    "                      the tool runs: prefer --token-file\n"
    "  --token-file FILE   the token is the first line of FILE\n"
    "                      (without either, a new token is made and printed once)\n"
    "  --open              open the page in the system's browser, the token in the address's\n"
    "                      fragment (never sent over the network)\n"
    "  --history STORE     where each recorder's job is recorded, as for refresh (default the\n"
    "                      station's file; off)\n"
    "  --parallel N        recorders at once (1 to 64, default 64); more run in waves\n"
    "  --verbose           the link's diagnostic lines on standard error\n"
    "\n"
    "Every API call needs 'Authorization: Bearer TOKEN' (401 without it, on loopback too); a request\n"
    "whose Host or Origin names anything but the listening address or localhost is refused (403).\n"
    "Ctrl-C gives up the jobs under way, logs out and ends.\n"
    "Exit status: 0 after a stop, 1 when the server could not start, 2 for bad arguments.\n";

}  // namespace dravlinctl
