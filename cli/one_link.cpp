// One recorder on link slot 0: choosing it, the login window, the callbacks, the logout.
#include "cli/one_link.h"

#include "cli/command.h"
#include "link/link.h"
#include "util/gbk.h"
#include "util/fixedstr.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <vector>

namespace dravlinctl {

namespace {

constexpr int kSlot = 0;

// The link's callbacks carry no pointer of ours; one conversation runs per process.
std::atomic<OneLink*> g_link{nullptr};

}  // namespace

std::string check_one_recorder(FleetOptions& o)
{
    std::string why = check_fleet_options(o);
    if (!why.empty())
        return why;
    if (o.serials.size() + o.targets.size() != 1)
        return "choose one NVR: --serial S, or --target IP[:PORT] with --user and --password";
    return "";
}

std::string device_text(std::string_view gbk) { return gbk_to_utf8(gbk); }

OneLink::OneLink(EventHandler on_event, AuxHandler on_aux) : on_event_(std::move(on_event)), on_aux_(std::move(on_aux))
{ }

OneLink::~OneLink() { close(); }

int OneLink::event_cb(int chanid, int code, const void*, int)
{
    OneLink* self = g_link.load();
    if (!self || chanid != kSlot)
        return 0;
    {
        std::lock_guard<std::mutex> lk(self->mu_);
        // Only the recorder's refusal is final; no answer, a bad answer or a connection closed
        // before the answer (a rebooting recorder) is tried again by the link.
        const int problem = ipc_login_problem(chanid);
        if (code == IPC_EVENT_LOGIN_OK)
            self->logged_in_ = true;
        else if (code == IPC_EVENT_LOGIN_FAIL && (problem == IPC_LOGIN_REFUSED || problem == IPC_LOGIN_PROBLEM_NONE))
            self->refused_ = true;
        else if (code == IPC_EVENT_DISCONNECTED && self->logged_in_)
            self->lost_ = true;
        if (!self->logged_in_ && (code == IPC_EVENT_LOGIN_FAIL || code == IPC_EVENT_DISCONNECTED))
            self->last_problem_ = problem;
    }
    self->cv_.notify_all();
    if (self->on_event_)
        self->on_event_(code);
    return 0;
}

int OneLink::aux_cb(int chanid, int kind, const void* data, int len, const void* info)
{
    OneLink* self = g_link.load();
    if (self && chanid == kSlot && self->on_aux_)
        self->on_aux_(kind, data, len, info);
    return 0;
}

int OneLink::open(const char* command, const FleetOptions& o)
{
    FleetChoice choice;
    int r = choose_recorders(command, o, choice);
    if (r != kExitOk)
        return r;
    if (!choice.unusable.empty()) {
        std::fprintf(stderr, "dravlinctl %s: %s not used: %s\n", command, choice.unusable[0].first.c_str(),
                     choice.unusable[0].second.c_str());
        return kExitFailed;
    }
    if (choice.recorders.empty()) {
        std::fprintf(stderr, "dravlinctl %s: %s not found\n", command,
                     o.serials.empty() ? "the NVR" : o.serials[0].c_str());
        return kExitFailed;
    }
    rec_ = choice.recorders[0];
    if (ipc_init() != 1) {
        std::fprintf(stderr, "dravlinctl %s: the link table could not be allocated\n", command);
        return kExitFailed;
    }
    IpcLoginParam p{};
    p.chanid = kSlot;
    fixed_copy(p.address, sizeof p.address - 1, rec_.address);
    p.port = rec_.port;
    p.autoreconnect = 1;  // a failed connect is tried again within the login window
    p.evcb = &OneLink::event_cb;
    p.auxcb = &OneLink::aux_cb;
    fixed_copy(p.username, sizeof p.username - 1, rec_.user);
    fixed_copy(p.password, sizeof p.password - 1, rec_.password);
    g_link.store(this);
    if (ipc_login_delay(&p) != 1) {
        g_link.store(nullptr);
        std::fprintf(stderr, "dravlinctl %s: the link to %s could not be started\n", command, rec_.name.c_str());
        return kExitFailed;
    }
    started_ = true;
    std::unique_lock<std::mutex> lk(mu_);
    cv_.wait_for(lk, std::chrono::seconds(kLoginWindowSeconds), [&] { return logged_in_ || refused_; });
    if (logged_in_)
        return kExitOk;
    bool refused = refused_;
    const int problem = last_problem_;
    lk.unlock();
    const char* why = problem == IPC_LOGIN_NO_ANSWER || problem == IPC_LOGIN_CLOSED ? " (no login answer)"
        : problem == IPC_LOGIN_BAD_ANSWER                                           ? " (bad login answer)"
        : problem == IPC_LOGIN_CONNECT_FAILED                                       ? " (could not connect)"
                                                                                    : "";
    std::fprintf(stderr, "dravlinctl %s: %s: %s\n", command, rec_.name.c_str(),
                 refused ? "the recorder refused the account"
                         : ("not logged in within " + std::to_string(kLoginWindowSeconds) + " s" + why).c_str());
    // Given up on: reset at once rather than wait for anything queued.
    ipc_logout_abort(kSlot);
    started_ = false;
    g_link.store(nullptr);
    return kExitFailed;
}

bool OneLink::lost() const
{
    std::lock_guard<std::mutex> lk(mu_);
    return lost_;
}

void OneLink::close()
{
    if (started_) {
        ipc_logout(kSlot);
        started_ = false;
    }
    OneLink* self = this;
    g_link.compare_exchange_strong(self, nullptr);
}

}  // namespace dravlinctl
