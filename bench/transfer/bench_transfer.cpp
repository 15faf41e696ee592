// Upload throughput against a baseline measured in the same run: a 64 MiB file uploaded over
// one link to a small recorder on 127.0.0.1, next to a plain TCP stream of the same file's
// bytes (read in the same chunk size, written with blocking sends). Printed as ratios, with
// the process CPU per uploaded MiB for both. The link runs with TCP_NODELAY; for comparison
// the upload is also measured with Nagle's algorithm back on.
#include "link/context.h"
#include "link/link.h"
#include "link/transfer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kFileSize = 64u << 20;
constexpr int kRounds = 15;

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

void send_all(int fd, const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    size_t off = 0;
    while (off < size) {
        ssize_t n = ::send(fd, p + off, size - off, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                pollfd pf{fd, POLLOUT, 0};
                ::poll(&pf, 1, 100);
                continue;
            }
            return;
        }
        off += static_cast<size_t>(n);
    }
}

int listen_loopback(uint16_t* port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    *port = ntohs(sa.sin_port);
    ::listen(fd, 4);
    return fd;
}

bool has(const char* text, size_t len, const char* needle)
{
    return ::memmem(text, len, needle, std::strlen(needle)) != nullptr;
}

long attr(const char* text, size_t len, const char* name)
{
    size_t n = std::strlen(name);
    const char* p = static_cast<const char*>(::memmem(text, len, name, n));
    return p ? std::atol(p + n) : -1;
}

// A recorder that accepts one link: answers the login, accepts every upload and, after the
// closing frame, sends its verdict. Frames are parsed straight from a large receive buffer.
struct Recorder {
    int listen_fd = -1;
    uint16_t port = 0;
    std::atomic<bool> stop{false};
    std::thread thread;

    Recorder()
    {
        listen_fd = listen_loopback(&port);
        thread = std::thread([this] { run(); });
    }
    ~Recorder()
    {
        stop.store(true);
        thread.join();
        ::close(listen_fd);
    }

    void run()
    {
        pollfd lp{listen_fd, POLLIN, 0};
        while (!stop.load() && ::poll(&lp, 1, 50) <= 0) {
        }
        if (stop.load())
            return;
        int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        std::vector<char> buf(4u << 20);
        size_t rp = 0, wp = 0;
        // Blocking receives as in the plain stream's receiver; the time-out lets it notice stop.
        timeval tv{0, 50000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        while (!stop.load()) {
            if (wp == buf.size()) {
                std::memmove(buf.data(), buf.data() + rp, wp - rp);
                wp -= rp;
                rp = 0;
            }
            ssize_t n = ::recv(fd, buf.data() + wp, buf.size() - wp, 0);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (n <= 0)
                break;
            wp += static_cast<size_t>(n);
            while (wp - rp >= 8) {
                const unsigned char* h = reinterpret_cast<const unsigned char*>(buf.data() + rp);
                size_t len = h[4] | h[5] << 8 | h[6] << 16 | static_cast<size_t>(h[7]) << 24;
                if (wp - rp < 8 + len)
                    break;
                const char* text = buf.data() + rp + 8;
                size_t textlen = strnlen(text, std::min<size_t>(len, 512));
                std::string reply;
                if (has(text, textlen, "Msg_type=\"MEDIA_DATA_MESSAGE\"")) {
                    long datalen = attr(text, textlen, "DataLen=\"");
                    long start = attr(text, textlen, "StartPos=\"");
                    if (datalen == 0 && start == static_cast<long>(kFileSize))
                        reply = frame(answer("SYSTEM_CONTROL_MESSAGE", "1022", "0", ""));
                } else if (has(text, textlen, "CMD_USER_AUTH")) {
                    reply = frame(answer("USER_AUTH_MESSAGE", "CMD_USER_AUTH", "0", "<USER_AUTH_RESPONSE Sessionid=\"b\"/>"));
                } else if (has(text, textlen, "Msg_code=\"1022\"")) {
                    reply = frame(answer("SYSTEM_CONTROL_MESSAGE", "1022", "0", ""));
                }
                rp += 8 + len;
                if (!reply.empty())
                    send_all(fd, reply.data(), reply.size());
            }
            if (rp == wp)
                rp = wp = 0;
        }
        ::close(fd);
    }
};

std::atomic<int> g_login{0};
std::atomic<int> g_result{-1};
std::atomic<int> g_results{0};

int on_event(int, int code, const void* data, int len)
{
    if (code == IPC_EVENT_LOGIN_OK)
        g_login.store(1);
    if (code == IPC_EVENT_UPLOAD_RESULT && len == 4) {
        int v;
        std::memcpy(&v, data, 4);
        g_result.store(v);
        g_results.fetch_add(1);
    }
    return 0;
}

double cpu_seconds()
{
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct Figure {
    double seconds = 1e9;
    double cpu = 0;
};

// One upload over the logged-in link 0; wall seconds and process CPU seconds.
bool upload_once(const std::string& path, Figure& best)
{
    int before = g_results.load();
    double c0 = cpu_seconds();
    auto t0 = Clock::now();
    if (ipc_file_upload(0, IPC_FILE_BOOT_PICTURE, path.c_str()) <= 0)
        return false;
    // Two results arrive for an accepted file: none here (the stream succeeded), then the verdict.
    while (g_results.load() == before) {
        if (Clock::now() - t0 > std::chrono::seconds(120))
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    double c = cpu_seconds() - c0;
    if (g_result.load() != 0)
        return false;
    if (s < best.seconds)
        best = {s, c};
    return true;
}

// The same bytes over a plain TCP connection: read in 40960-byte chunks, blocking sends; the
// receiver reads into a large buffer and counts.
Figure plain_once(const std::string& path)
{
    uint16_t port = 0;
    int lfd = listen_loopback(&port);
    std::atomic<long long> got{0};
    std::thread rx([&] {
        int fd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        std::vector<char> buf(4u << 20);
        for (;;) {
            ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
            if (n <= 0)
                break;
            got.fetch_add(n);
        }
        ::close(fd);
    });
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    double c0 = cpu_seconds();
    auto t0 = Clock::now();
    FILE* f = std::fopen(path.c_str(), "rb");
    std::vector<char> chunk(40960);
    size_t n;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), f)) > 0)
        send_all(fd, chunk.data(), n);
    std::fclose(f);
    ::shutdown(fd, SHUT_WR);
    rx.join();
    Figure fig{std::chrono::duration<double>(Clock::now() - t0).count(), cpu_seconds() - c0};
    ::close(fd);
    ::close(lfd);
    if (got.load() != static_cast<long long>(kFileSize))
        std::fprintf(stderr, "bench_transfer: plain stream moved %lld bytes\n", got.load());
    return fig;
}

}  // namespace

int main()
{
    char dir[] = "/tmp/bench_transfer_XXXXXX";
    if (!::mkdtemp(dir)) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string path = std::string(dir) + "/upload.bin";
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        std::vector<unsigned char> block(1u << 20);
        uint32_t x = 2463534242u;
        for (size_t done = 0; done < kFileSize; done += block.size()) {
            for (auto& b : block) {
                x ^= x << 13;
                x ^= x >> 17;
                x ^= x << 5;
                b = static_cast<unsigned char>(x);
            }
            std::fwrite(block.data(), 1, block.size(), f);
        }
        std::fclose(f);
    }

    // The link prints every request it sends to standard output; keep the figures readable.
    std::fflush(stdout);
    int saved_stdout = ::dup(1);
    int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(devnull, 1);
    ipc_init();
    Recorder rec;
    IpcLoginParam p{};
    p.chanid = 0;
    std::strcpy(p.address, "127.0.0.1");
    p.port = rec.port;
    p.autoreconnect = 0;
    p.evcb = on_event;
    std::strcpy(p.username, "admin");
    std::strcpy(p.password, "admin");
    ipc_login_delay(&p);
    auto t0 = Clock::now();
    while (!g_login.load() && Clock::now() - t0 < std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!g_login.load()) {
        std::fprintf(stderr, "bench_transfer: login failed\n");
        return 1;
    }

    // Rounds interleave the three measurements so that load from elsewhere on the machine
    // hits them alike; the best round of each counts.
    Figure plain, link, nagle;
    bool ok = true;
    int fd = ipc_entry(0)->sock.load();
    for (int round = 0; round < kRounds && ok; ++round) {
        Figure f = plain_once(path);
        if (f.seconds < plain.seconds)
            plain = f;
        ok = upload_once(path, link);
        int off = 0, on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &off, sizeof off);
        ok = ok && upload_once(path, nagle);
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ipc_logout(0);
    ipc_deinit();
    std::fflush(stdout);
    ::dup2(saved_stdout, 1);
    ::close(devnull);
    ::close(saved_stdout);
    std::remove(path.c_str());
    ::rmdir(dir);
    if (!ok) {
        std::fprintf(stderr, "bench_transfer: an upload failed\n");
        return 1;
    }

    const double mib = static_cast<double>(kFileSize) / (1u << 20);
    std::printf("plain TCP stream of 64 MiB: %.0f MiB/s\n", mib / plain.seconds);
    std::printf("link upload of 64 MiB: %.0f MiB/s, %.2f x the plain stream (target >= 0.80)\n", mib / link.seconds,
                plain.seconds / link.seconds);
    std::printf("link upload with Nagle's algorithm (TCP_NODELAY off): %.0f MiB/s, %.2f x the plain stream\n",
                mib / nagle.seconds, plain.seconds / nagle.seconds);
    std::printf("CPU per uploaded MiB: %.3f ms (plain stream %.3f ms, %.2f x), both ends in this process\n",
                1000 * link.cpu / mib, 1000 * plain.cpu / mib, link.cpu / plain.cpu);
    return 0;
}
