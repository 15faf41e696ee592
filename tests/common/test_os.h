// What the suites need from the system beyond the product's own socket layer, in one form for
// Linux and Windows: loopback stream pairs and listeners, polling, sends and receives that
// never raise a signal, scratch folders, counts of the process's threads and open handles, a
// thread's priority, and a program started with its output in files. The Linux side is what
// the suites always did.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <io.h>
#include <tlhelp32.h>
#else
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace test_common {

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

// ---- sockets ------------------------------------------------------------------------------

inline void close_socket(int fd)
{
#ifdef _WIN32
    ::closesocket(static_cast<SOCKET>(fd));
#else
    ::close(fd);
#endif
}

// True when the last failed send or receive of this thread only found the socket busy.
inline bool socket_busy()
{
#ifdef _WIN32
    int e = ::WSAGetLastError();
    return e == WSAEWOULDBLOCK || e == WSAEINTR;
#else
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
#endif
}

struct PollFd {
    int fd;
    bool want_write;
    bool ready;  // readable (or writable), hung up or in error
};

// Waits up to timeout_ms for any of the sockets. Number ready, 0 on time-out, -1 on failure.
inline int poll_sockets(PollFd* fds, size_t count, int timeout_ms)
{
#ifdef _WIN32
    std::vector<WSAPOLLFD> p(count);
    for (size_t i = 0; i < count; ++i)
        p[i] = {static_cast<SOCKET>(fds[i].fd), static_cast<SHORT>(fds[i].want_write ? POLLWRNORM : POLLRDNORM), 0};
    int n = ::WSAPoll(p.data(), static_cast<ULONG>(count), timeout_ms);
#else
    std::vector<pollfd> p(count);
    for (size_t i = 0; i < count; ++i)
        p[i] = {fds[i].fd, static_cast<short>(fds[i].want_write ? POLLOUT : POLLIN), 0};
    int n = ::poll(p.data(), count, timeout_ms);
#endif
    for (size_t i = 0; i < count; ++i)
        fds[i].ready = n > 0 && p[i].revents != 0;
    return n;
}

inline bool wait_socket(int fd, bool write, int timeout_ms)
{
    PollFd p{fd, write, false};
    return poll_sockets(&p, 1, timeout_ms) > 0;
}

// One send that raises no signal on a closed peer: bytes taken or -1.
inline long send_some(int fd, const char* data, size_t len)
{
#ifdef _WIN32
    return ::send(static_cast<SOCKET>(fd), data, static_cast<int>(len), 0);
#else
    return ::send(fd, data, len, MSG_NOSIGNAL);
#endif
}

// One receive of what is queued, never waiting: >0 bytes, 0 the peer closed, -1 an error
// (socket_busy() when nothing was queued).
inline long recv_nowait(int fd, char* buf, size_t len)
{
#ifdef _WIN32
    if (!wait_socket(fd, false, 0)) {
        ::WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    return ::recv(static_cast<SOCKET>(fd), buf, static_cast<int>(len), 0);
#else
    return ::recv(fd, buf, len, MSG_DONTWAIT);
#endif
}

// Ends our sending direction; receiving goes on.
inline int shutdown_send(int fd)
{
#ifdef _WIN32
    return ::shutdown(static_cast<SOCKET>(fd), SD_SEND);
#else
    return ::shutdown(fd, SHUT_WR);
#endif
}

// Bytes received and not read yet, or -1.
inline int queued_bytes(int fd)
{
#ifdef _WIN32
    u_long n = 0;
    return ::ioctlsocket(static_cast<SOCKET>(fd), FIONREAD, &n) == 0 ? static_cast<int>(n) : -1;
#else
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
#endif
}

inline int set_int_option(int fd, int level, int name, int value)
{
    return ::setsockopt(fd, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}
inline int set_send_buffer(int fd, int bytes) { return set_int_option(fd, SOL_SOCKET, SO_SNDBUF, bytes); }
inline int set_recv_buffer(int fd, int bytes) { return set_int_option(fd, SOL_SOCKET, SO_RCVBUF, bytes); }

// Linger on with 0 s: closing the socket resets the connection.
inline int reset_on_close(int fd)
{
    linger l{1, 0};
    return ::setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
}

// A listening TCP socket on 127.0.0.1 (not inherited by started programs), its port in *port;
// rcvbuf > 0 sets the receive buffer its connections start with. -1 on failure.
inline int loopback_listener(int backlog, uint16_t* port, int rcvbuf = 0)
{
#ifdef _WIN32
    int fd = static_cast<int>(::socket(AF_INET, SOCK_STREAM, 0));
    if (fd < 0)
        return -1;
    // Address reuse would let the port be shared on Windows; a fresh ephemeral port needs none.
    ::SetHandleInformation(reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)), HANDLE_FLAG_INHERIT, 0);
    int len = sizeof(sockaddr_in);
#else
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    socklen_t len = sizeof(sockaddr_in);
#endif
    if (rcvbuf > 0)
        set_recv_buffer(fd, rcvbuf);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || ::listen(fd, backlog) != 0) {
        close_socket(fd);
        return -1;
    }
    *port = ntohs(sa.sin_port);
    return fd;
}

// Accepts one connection (not inherited by started programs), or -1.
inline int accept_socket(int listen_fd)
{
#ifdef _WIN32
    SOCKET s = ::accept(static_cast<SOCKET>(listen_fd), nullptr, nullptr);
    if (s == INVALID_SOCKET)
        return -1;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<int>(s);
#else
    return ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
#endif
}

// A connected pair of stream sockets: a Unix socketpair on Linux; on Windows, which has none
// for Winsock, a TCP connection over 127.0.0.1. 0, or -1 with nothing left open.
inline int stream_pair(int sv[2])
{
#ifdef _WIN32
    uint16_t port = 0;
    int lfd = loopback_listener(1, &port);
    if (lfd < 0)
        return -1;
    SOCKET c = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    int a = -1;
    if (c != INVALID_SOCKET && ::connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0)
        a = accept_socket(lfd);
    close_socket(lfd);
    if (a < 0) {
        if (c != INVALID_SOCKET)
            ::closesocket(c);
        return -1;
    }
    ::SetHandleInformation(reinterpret_cast<HANDLE>(c), HANDLE_FLAG_INHERIT, 0);
    set_int_option(static_cast<int>(c), IPPROTO_TCP, TCP_NODELAY, 1);
    set_int_option(a, IPPROTO_TCP, TCP_NODELAY, 1);
    sv[0] = static_cast<int>(c);
    sv[1] = a;
    return 0;
#else
    return ::socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
#endif
}

// ---- the process --------------------------------------------------------------------------

inline long process_id()
{
#ifdef _WIN32
    return static_cast<long>(::GetCurrentProcessId());
#else
    return static_cast<long>(::getpid());
#endif
}

// Threads of this process.
inline int thread_count()
{
    int n = 0;
#ifdef _WIN32
    HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 te{};
    te.dwSize = sizeof te;
    DWORD self = ::GetCurrentProcessId();
    for (BOOL ok = ::Thread32First(snap, &te); ok; ok = ::Thread32Next(snap, &te))
        n += te.th32OwnerProcessID == self;
    ::CloseHandle(snap);
#else
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
#endif
    return n;
}

// The nice value of a simulated or fake recorder's threads (and of dravlin-sim in the
// end-to-end fixture): each stands in for a device with a processor of its own, so a machine
// busy with other work must not hold its login answer past the link's 200 ms login window.
constexpr int kRecorderNice = -10;

// Runs the calling thread ahead of the test's other threads and of other work on the machine:
// kRecorderNice on Linux (only root may lower it, as CI runs; otherwise nothing changes), above
// normal priority on Windows.
inline void favour_this_thread()
{
#ifdef _WIN32
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
#else
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kRecorderNice);
#endif
}

// Open descriptors of this process (on Windows those of the C runtime, where fopen's files
// are); compare counts only.
inline int open_handle_count()
{
    int n = 0;
#ifdef _WIN32
    for (int fd = 0; fd < 2048; ++fd)
        n += ::_get_osfhandle(fd) != -1;
#else
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
    }
#endif
    return n;
}

// A new empty folder under the system's temporary folder, named prefix + a random suffix;
// "" when none could be made.
inline std::string make_temp_dir(const std::string& prefix)
{
    std::error_code ec;
    std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec)
        return "";
    std::random_device rd;
    std::mt19937 gen(rd() ^ static_cast<unsigned>(process_id()));
    const char alnum[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = prefix;
        for (int i = 0; i < 6; ++i)
            name += alnum[gen() % (sizeof alnum - 1)];
        std::filesystem::path p = base / name;
        if (std::filesystem::create_directory(p, ec))
            return p.string();
    }
    return "";
}

// A started program whose standard output and error go to files.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess()
    {
        if (started_ && !ended_) {
            int status;
            kill_and_wait(&status);
        }
    }

    bool start(const std::string& exe, const std::vector<std::string>& args, const std::string& out_path,
               const std::string& err_path)
    {
#ifdef _WIN32
        // The command line as the C runtime splits it again: quotes around every argument,
        // backslashes doubled before a quote.
        std::string cmd;
        std::vector<std::string> all{exe};
        all.insert(all.end(), args.begin(), args.end());
        for (const auto& a : all) {
            if (!cmd.empty())
                cmd += ' ';
            cmd += '"';
            size_t slashes = 0;
            for (char c : a) {
                if (c == '\\') {
                    ++slashes;
                } else {
                    if (c == '"')
                        cmd.append(slashes + 1, '\\');
                    slashes = 0;
                }
                cmd += c;
            }
            cmd.append(slashes, '\\');
            cmd += '"';
        }
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        HANDLE out = ::CreateFileA(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        HANDLE err = ::CreateFileA(err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        STARTUPINFOA si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = INVALID_HANDLE_VALUE;
        si.hStdOutput = out;
        si.hStdError = err;
        PROCESS_INFORMATION pi{};
        bool ok = out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
            ::CreateProcessA(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
        if (out != INVALID_HANDLE_VALUE)
            ::CloseHandle(out);
        if (err != INVALID_HANDLE_VALUE)
            ::CloseHandle(err);
        if (!ok)
            return false;
        ::CloseHandle(pi.hThread);
        process_ = pi.hProcess;
        pid_ = static_cast<int>(pi.dwProcessId);
#else
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<std::string> argv_s{exe};
        argv_s.insert(argv_s.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argv_s)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        int rc = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0)
            return false;
        pid_ = pid;
#endif
        started_ = true;
        return true;
    }

    int id() const { return pid_; }

    // True once the program has ended; *status is its exit status, -1 when it did not exit
    // normally. Never waits.
    bool ended(int* status)
    {
        if (ended_) {
            *status = status_;
            return true;
        }
#ifdef _WIN32
        if (::WaitForSingleObject(process_, 0) != WAIT_OBJECT_0)
            return false;
        DWORD code = 0;
        status_ = ::GetExitCodeProcess(process_, &code) ? static_cast<int>(code) : -1;
        ::CloseHandle(process_);
#else
        int st = 0;
        if (::waitpid(pid_, &st, WNOHANG) != pid_)
            return false;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
#endif
        ended_ = true;
        *status = status_;
        return true;
    }

    // Ends the program and collects it; its status is -1 (it did not exit on its own).
    void kill_and_wait(int* status)
    {
#ifdef _WIN32
        ::TerminateProcess(process_, 255);
        ::WaitForSingleObject(process_, INFINITE);
        ::CloseHandle(process_);
#else
        int st = 0;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &st, 0);
#endif
        ended_ = true;
        status_ = -1;
        *status = -1;
    }

private:
    bool started_ = false;
    bool ended_ = false;
    int status_ = -1;
    int pid_ = -1;
#ifdef _WIN32
    HANDLE process_ = nullptr;
#endif
};

}  // namespace test_common
