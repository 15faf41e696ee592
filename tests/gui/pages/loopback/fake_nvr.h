// A recorder's control port on 127.0.0.1 for the page tests: answers logins, file-upload
// announcements, the streamed chunks, factory-picture restores, the reboot, the channel-add
// mode and the buzzer setting, and keeps what it was sent. Frames are parsed by an encoder of
// its own, so it shares nothing with the link code under test.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace page_test {

inline std::string Frame(const std::string& payload) {
  std::string f = {'\x58', '\x91', '\x58', '\x51'};
  const uint32_t len = static_cast<uint32_t>(payload.size());
  for (int i = 0; i < 4; ++i) f += static_cast<char>((len >> (8 * i)) & 0xFF);
  return f + payload;
}

inline std::string Answer(const std::string& type, const std::string& code, int flag, const std::string& body = "") {
  return "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\nMsg_type=\"" + type +
         "\"\nMsg_code=\"" + code + "\"\nMsg_flag=\"" + std::to_string(flag) + "\"\n/>\n<MESSAGE_BODY>\n" + body +
         "\n</MESSAGE_BODY>\n</XML_MORVEK>";
}

// The value of attribute name="..." (also name= "...") in text, or "".
inline std::string Attr(const std::string& text, const std::string& name) {
  size_t p = text.find(name + "=");
  if (p == std::string::npos) return "";
  p = text.find('"', p + name.size() + 1);
  if (p == std::string::npos) return "";
  size_t e = text.find('"', p + 1);
  return e == std::string::npos ? "" : text.substr(p + 1, e - p - 1);
}

class FakeNvr {
 public:
  enum class Login { Accept, Refuse, Silent };

  struct Upload {
    int fileType = -1;
    std::string path;
    int announced = 0;
    std::string data;
    bool complete = false;
  };

  explicit FakeNvr(Login login = Login::Accept) : login_(login) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    ::listen(listen_, 16);
    if (::pipe(wake_) != 0) std::abort();
    thread_ = std::thread([this] { Run(); });
  }

  ~FakeNvr() {
    stop_.store(true);
    char c = 1;
    (void)!::write(wake_[1], &c, 1);
    thread_.join();
    for (auto& c : conns_)
      if (c.fd >= 0) ::close(c.fd);
    ::close(listen_);
    ::close(wake_[0]);
    ::close(wake_[1]);
  }

  FakeNvr(const FakeNvr&) = delete;
  FakeNvr& operator=(const FakeNvr&) = delete;

  uint16_t port() const { return port_; }
  // Refuse every upload announcement (answer 1022 with flag 1).
  void RefuseUploads(bool on) { refuseUploads_.store(on); }
  // Take requests but never answer them (logins are still answered).
  void Mute(bool on) { mute_.store(on); }

  // Control codes received, in order, with the FileType for 1022 and 1004 ("1022:3").
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lk(mu_);
    return requests_;
  }
  std::vector<Upload> Uploads() {
    std::lock_guard<std::mutex> lk(mu_);
    return uploads_;
  }
  int Logins() {
    std::lock_guard<std::mutex> lk(mu_);
    return logins_;
  }
  int OpenConnections() {
    std::lock_guard<std::mutex> lk(mu_);
    int n = 0;
    for (const auto& c : conns_) n += c.fd >= 0 ? 1 : 0;
    return n;
  }

 private:
  struct Conn {
    int fd = -1;
    std::string in;
  };

  void Run() {
    while (!stop_.load()) {
      std::vector<pollfd> fds{{listen_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      std::vector<size_t> idx{SIZE_MAX, SIZE_MAX};
      for (size_t i = 0; i < conns_.size(); ++i) {
        if (conns_[i].fd < 0) continue;
        fds.push_back({conns_[i].fd, POLLIN, 0});
        idx.push_back(i);
      }
      if (::poll(fds.data(), fds.size(), 200) <= 0) continue;
      if (fds[0].revents) {
        int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          std::lock_guard<std::mutex> lk(mu_);
          conns_.push_back({fd, {}});
        }
      }
      for (size_t k = 2; k < fds.size(); ++k)
        if (fds[k].revents) Read(conns_[idx[k]]);
    }
  }

  void Read(Conn& c) {
    char buf[65536];
    ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
      std::lock_guard<std::mutex> lk(mu_);
      ::close(c.fd);
      c.fd = -1;
      return;
    }
    c.in.append(buf, static_cast<size_t>(n));
    while (c.in.size() >= 8) {
      uint32_t len = 0;
      for (int b = 0; b < 4; ++b) len |= static_cast<uint32_t>(static_cast<unsigned char>(c.in[4 + b])) << (8 * b);
      if (c.in.size() < 8 + static_cast<size_t>(len)) break;
      std::string payload = c.in.substr(8, len);
      c.in.erase(0, 8 + len);
      Handle(c, payload);
    }
  }

  void Send(Conn& c, const std::string& text) {
    const std::string f = Frame(text);
    size_t off = 0;
    while (off < f.size()) {
      ssize_t n = ::send(c.fd, f.data() + off, f.size() - off, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) {
          pollfd p{c.fd, POLLOUT, 0};
          ::poll(&p, 1, 100);
          continue;
        }
        return;
      }
      off += static_cast<size_t>(n);
    }
  }

  void Handle(Conn& c, const std::string& payload) {
    const std::string type = Attr(payload, "Msg_type");
    const std::string code = Attr(payload, "Msg_code");
    if (type == "USER_AUTH_MESSAGE") {
      {
        std::lock_guard<std::mutex> lk(mu_);
        ++logins_;
      }
      if (login_ == Login::Accept)
        Send(c, Answer("USER_AUTH_MESSAGE", "CMD_USER_AUTH", 0, "<USER_AUTH_RESPONSE Sessionid=\"s1\"/>"));
      else if (login_ == Login::Refuse)
        Send(c, Answer("USER_AUTH_MESSAGE", "CMD_USER_AUTH", -1));
      return;
    }
    if (type == "MEDIA_DATA_MESSAGE") {
      const int start = std::atoi(Attr(payload, "StartPos").c_str());
      const int dlen = std::atoi(Attr(payload, "DataLen").c_str());
      const size_t end = payload.find("</XML_MORVEK>");
      bool finished = false;
      {
        std::lock_guard<std::mutex> lk(mu_);
        if (uploads_.empty() || end == std::string::npos) return;
        Upload& u = uploads_.back();
        const size_t data = end + std::string("</XML_MORVEK>").size() + 4;
        if (dlen > 0 && data + static_cast<size_t>(dlen) <= payload.size()) {
          if (u.data.size() < static_cast<size_t>(start) + dlen) u.data.resize(static_cast<size_t>(start) + dlen);
          u.data.replace(static_cast<size_t>(start), static_cast<size_t>(dlen), payload, data, static_cast<size_t>(dlen));
        }
        if (dlen == 0) {
          u.complete = true;
          finished = true;
        }
      }
      if (finished) Send(c, Answer("SYSTEM_CONTROL_MESSAGE", "1022", 0));
      return;
    }
    if (type != "SYSTEM_CONTROL_MESSAGE") return;
    std::string entry = code;
    if (code == "1022" || code == "1004") entry += ":" + Attr(payload, "FileType");
    {
      std::lock_guard<std::mutex> lk(mu_);
      requests_.push_back(entry);
      if (code == "1022") {
        Upload u;
        u.fileType = std::atoi(Attr(payload, "FileType").c_str());
        u.path = Attr(payload, "FilePath");
        u.announced = std::atoi(Attr(payload, "FileLength").c_str());
        uploads_.push_back(u);
      }
    }
    if (mute_.load()) return;
    if (code == "1022") Send(c, Answer(type, code, refuseUploads_.load() ? 1 : 0));
    else if (code == "1004" || code == "1006" || code == "1007") Send(c, Answer(type, code, 0));
    else if (code == "3026") Send(c, Answer(type, code, 1));
  }

  Login login_;
  std::atomic<bool> refuseUploads_{false};
  std::atomic<bool> mute_{false};
  std::atomic<bool> stop_{false};
  int listen_ = -1;
  int wake_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::vector<Conn> conns_;  // changed by the recorder's own thread under mu_
  std::mutex mu_;
  std::vector<std::string> requests_;
  std::vector<Upload> uploads_;
  int logins_ = 0;
  std::thread thread_;
};

}  // namespace page_test
