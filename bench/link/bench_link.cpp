// Link throughput and idle cost, against baselines measured in the same run:
//  - messages per second that one link reads, parses and delivers, next to a bare TinyXML
//    parse of the same message (the floor for any handler that parses each message);
//  - CPU used by 64 logged-in idle links, as a share of one core, over two heartbeat periods
//    (the links log in together, so a shorter window would count their heartbeats or not by
//    chance).
// Everything runs on 127.0.0.1 against a small in-process recorder, which sleeps until a
// connection has something for it, so that the figure is the links' own cost.
#include "link/context.h"
#include "link/link.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <unistd.h>

#include <tinyxml.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string frame(const std::string& payload)
{
    std::string f = "\x58\x91\x58\x51";
    uint32_t len = static_cast<uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i)
        f += static_cast<char>((len >> (8 * i)) & 0xFF);
    return f + payload;
}

std::string answer(const std::string& type, const std::string& code, const std::string& flag, const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\nMsg_type=\"" + type +
        "\"\nMsg_code=\"" + code + "\"\nMsg_flag=\"" + flag + "\"\n/>\n<MESSAGE_BODY>\n" + body +
        "\n</MESSAGE_BODY>\n</XML_MORVEK>";
}

void send_all(int fd, const std::string& bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            return;
        }
        off += static_cast<size_t>(n);
    }
}

// Accepts connections and answers every login; keeps the accepted sockets.
struct Recorder {
    int listen_fd = -1;
    int wake[2] = {-1, -1};  // written once to stop the thread
    uint16_t port = 0;
    std::atomic<bool> stop{false};
    std::atomic<pid_t> tid{0};  // its thread, left out of the links' wake-ups
    std::mutex mu;
    std::vector<int> conns;
    std::thread thread;

    Recorder()
    {
        listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listen_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        ::getsockname(listen_fd, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
        ::listen(listen_fd, 256);
        if (::pipe2(wake, O_CLOEXEC) != 0)
            std::abort();
        thread = std::thread([this] { run(); });
    }
    ~Recorder()
    {
        stop = true;
        char c = 1;
        if (::write(wake[1], &c, 1) != 1)
            std::abort();
        thread.join();
        ::close(wake[0]);
        ::close(wake[1]);
        for (int fd : conns)
            ::close(fd);
        ::close(listen_fd);
    }
    void run()
    {
        tid = static_cast<pid_t>(::syscall(SYS_gettid));
        const std::string ok =
            frame(answer("USER_AUTH_MESSAGE", "CMD_USER_AUTH", "0", "<USER_AUTH_RESPONSE Sessionid=\"b\"/>"));
        while (!stop) {
            std::vector<pollfd> fds{{listen_fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
            {
                std::lock_guard<std::mutex> lk(mu);
                for (int fd : conns)
                    fds.push_back({fd, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), -1) <= 0 || fds[1].revents)
                continue;
            if (fds[0].revents) {
                int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    std::lock_guard<std::mutex> lk(mu);
                    conns.push_back(fd);
                }
            }
            for (size_t i = 2; i < fds.size(); ++i) {
                if (!fds[i].revents)
                    continue;
                char buf[4096];
                ssize_t n = ::recv(fds[i].fd, buf, sizeof buf, MSG_DONTWAIT);
                if (n > 0 && std::string(buf, static_cast<size_t>(n)).find("USER_AUTH_PARAM") != std::string::npos) {
                    send_all(fds[i].fd, ok);
                } else if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                    std::lock_guard<std::mutex> lk(mu);
                    for (auto it = conns.begin(); it != conns.end(); ++it) {
                        if (*it == fds[i].fd) {
                            ::close(*it);
                            conns.erase(it);
                            break;
                        }
                    }
                }
            }
        }
    }
};

std::atomic<int> g_logins{0};
std::atomic<long> g_delivered{0};

int on_event(int, int code, const void*, int)
{
    if (code == IPC_EVENT_LOGIN_OK)
        ++g_logins;
    return 0;
}

int on_aux(int, int, const void*, int, const void*)
{
    ++g_delivered;
    return 0;
}

IpcLoginParam param(int chanid, uint16_t port)
{
    IpcLoginParam p{};
    p.chanid = chanid;
    std::strcpy(p.address, "127.0.0.1");
    p.port = port;
    p.autoreconnect = 1;
    p.evcb = on_event;
    p.auxcb = on_aux;
    std::strcpy(p.username, "admin");
    std::strcpy(p.password, "123456");
    return p;
}

bool wait_for(const std::atomic<int>& v, int target, int ms)
{
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (v.load() < target && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return v.load() >= target;
}

// Times every thread of this process but `skip` was put on a CPU (each wake-up once).
double scheduled_except(pid_t skip)
{
    double n = 0;
    DIR* dir = ::opendir("/proc/self/task");
    if (!dir)
        return -1;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.' || std::atoi(e->d_name) == skip)
            continue;
        std::ifstream in(std::string("/proc/self/task/") + e->d_name + "/schedstat");
        double run = 0, wait = 0, slices = 0;
        if (in >> run >> wait >> slices)
            n += slices;
    }
    ::closedir(dir);
    return n;
}

double cpu_seconds()
{
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
        static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main()
{
    ipc_init();
    Recorder dev;

    // ---- messages per second on one link --------------------------------------------------
    const std::string msg = answer("SYSTEM_CONTROL_MESSAGE", "1017", "0",
                                   "<DISK_INFO Index=\"1\" Total=\"953869\" Free=\"120004\" Status=\"0\"/>");
    const int kMessages = 50000;
    IpcLoginParam p = param(0, dev.port);
    ipc_login_delay(&p);
    if (!wait_for(g_logins, 1, 10000)) {
        std::fprintf(stderr, "bench_link: login failed\n");
        return 1;
    }
    int fd;
    {
        std::lock_guard<std::mutex> lk(dev.mu);
        fd = dev.conns.front();
    }
    std::string burst;
    for (int i = 0; i < 1000; ++i)
        burst += frame(msg);

    auto t0 = Clock::now();
    for (int i = 0; i < kMessages / 1000; ++i)
        send_all(fd, burst);
    while (g_delivered.load() < kMessages)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    double link_s = std::chrono::duration<double>(Clock::now() - t0).count();

    auto t1 = Clock::now();
    for (int i = 0; i < kMessages; ++i) {
        TiXmlDocument doc;
        doc.Parse(msg.c_str(), nullptr, TIXML_ENCODING_LEGACY);
    }
    double parse_s = std::chrono::duration<double>(Clock::now() - t1).count();
    double link_rate = kMessages / link_s, parse_rate = kMessages / parse_s;
    std::printf("link messages handled per second: %.0f (%.2f x a bare TinyXML parse at %.0f/s)\n", link_rate,
                link_rate / parse_rate, parse_rate);
    ipc_logout_all();

    // ---- 64 idle links -----------------------------------------------------------------------
    g_logins = 0;
    for (int i = 0; i < kIpcMaxLinks; ++i) {
        IpcLoginParam q = param(i, dev.port);
        ipc_login_delay(&q);
    }
    if (!wait_for(g_logins, kIpcMaxLinks, 60000)) {
        std::fprintf(stderr, "bench_link: only %d of 64 links logged in\n", g_logins.load());
        return 1;
    }
    const double seconds = 2 * kHeartbeatIntervalMs / 1000.0;
    double c0 = cpu_seconds();
    double s0 = scheduled_except(dev.tid.load());
    auto w0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double cpu = cpu_seconds() - c0;
    double woken = scheduled_except(dev.tid.load()) - s0;
    double wall = std::chrono::duration<double>(Clock::now() - w0).count();
    std::printf("64 idle links: %.3f%% of one core (%.4f ms CPU per link per second; target <= 0.2%%)\n",
                100.0 * cpu / wall, 1000.0 * cpu / wall / kIpcMaxLinks);
    if (s0 >= 0)
        std::printf("64 idle links: %.1f wake-ups/s, the recorder's thread left out (the heartbeats alone: %.1f)\n",
                    woken / wall, kIpcMaxLinks * 1000.0 / kHeartbeatIntervalMs);
    // Logout of an idle link: the thread is woken, not found at its next poll.
    std::vector<double> logout_ms;
    for (int i = 0; i < kIpcMaxLinks; ++i) {
        auto t0 = Clock::now();
        ipc_logout(i);
        logout_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(logout_ms.begin(), logout_ms.end());
    std::printf("ipc_logout of an idle link: median %.2f ms, slowest %.2f ms (64 links)\n",
                logout_ms[logout_ms.size() / 2], logout_ms.back());
    ipc_logout_all();
    ipc_deinit();
    return 0;
}
