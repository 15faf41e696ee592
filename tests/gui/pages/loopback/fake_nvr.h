// A recorder's control port on 127.0.0.1 for the page tests: answers logins, file-upload
// announcements, the streamed chunks, factory-picture restores, the reboot, the channel-add
// mode and the buzzer setting, and keeps what it was sent. Frames come from the tests' own
// encoder (common/fake_recorder.h), so it shares nothing with the link code under test.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "common/fake_recorder.h"

namespace page_test {

inline std::string Answer(const std::string& type, const std::string& code, int flag, const std::string& body = "") {
  return test_common::answer(type, code, std::to_string(flag), body);
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

  explicit FakeNvr(Login login = Login::Accept) : login_(login) {}

  FakeNvr(const FakeNvr&) = delete;
  FakeNvr& operator=(const FakeNvr&) = delete;

  uint16_t port() const { return port_.port(); }
  // Refuse every upload announcement (answer 1022 with flag 1).
  void RefuseUploads(bool on) { refuseUploads_.store(on); }
  // Take requests but never answer them (logins are still answered).
  void Mute(bool on) { mute_.store(on); }
  // Keep every byte of an upload but give no verdict until SendVerdict.
  void HoldVerdict(bool on) { holdVerdict_.store(on); }
  bool SendVerdict(int flag) {
    int conn;
    {
      auto lk = port_.lock();
      conn = lastConn_;
    }
    return port_.send_to(conn, test_common::frame(Answer("SYSTEM_CONTROL_MESSAGE", "1022", flag)));
  }

  // Control codes received, in order, with the FileType for 1022 and 1004 ("1022:3").
  std::vector<std::string> Requests() {
    auto lk = port_.lock();
    return requests_;
  }
  std::vector<Upload> Uploads() {
    auto lk = port_.lock();
    return uploads_;
  }
  int Logins() {
    auto lk = port_.lock();
    return logins_;
  }
  int OpenConnections() { return port_.connections() - port_.closed_connections(); }

 private:
  // On the port's thread, under its lock.
  void Handle(int conn, const std::string& f, std::vector<std::string>& replies) {
    lastConn_ = conn;
    const std::string payload = f.substr(8);
    const std::string type = test_common::attr(payload, "Msg_type");
    const std::string code = test_common::attr(payload, "Msg_code");
    auto send = [&](const std::string& text) { replies.push_back(test_common::frame(text)); };
    if (type == "USER_AUTH_MESSAGE") {
      ++logins_;
      if (login_ == Login::Accept)
        send(Answer("USER_AUTH_MESSAGE", "CMD_USER_AUTH", 0, "<USER_AUTH_RESPONSE Sessionid=\"s1\"/>"));
      else if (login_ == Login::Refuse) send(Answer("USER_AUTH_MESSAGE", "CMD_USER_AUTH", -1));
      return;
    }
    if (type == "MEDIA_DATA_MESSAGE") {
      const int start = std::atoi(test_common::attr(payload, "StartPos").c_str());
      const int dlen = std::atoi(test_common::attr(payload, "DataLen").c_str());
      const size_t end = payload.find("</XML_MORVEK>");
      if (uploads_.empty() || end == std::string::npos) return;
      Upload& u = uploads_.back();
      const size_t data = end + std::string("</XML_MORVEK>").size() + 4;
      if (dlen > 0 && data + static_cast<size_t>(dlen) <= payload.size()) {
        if (u.data.size() < static_cast<size_t>(start) + dlen) u.data.resize(static_cast<size_t>(start) + dlen);
        u.data.replace(static_cast<size_t>(start), static_cast<size_t>(dlen), payload, data, static_cast<size_t>(dlen));
      }
      if (dlen == 0) {
        u.complete = true;
        if (!holdVerdict_.load()) send(Answer("SYSTEM_CONTROL_MESSAGE", "1022", 0));
      }
      return;
    }
    if (type != "SYSTEM_CONTROL_MESSAGE") return;
    std::string entry = code;
    if (code == "1022" || code == "1004") entry += ":" + test_common::attr(payload, "FileType");
    requests_.push_back(entry);
    if (code == "1022") {
      Upload u;
      u.fileType = std::atoi(test_common::attr(payload, "FileType").c_str());
      u.path = test_common::attr(payload, "FilePath");
      u.announced = std::atoi(test_common::attr(payload, "FileLength").c_str());
      uploads_.push_back(u);
    }
    if (mute_.load()) return;
    if (code == "1022") send(Answer(type, code, refuseUploads_.load() ? 1 : 0));
    else if (code == "1004" || code == "1006" || code == "1007") send(Answer(type, code, 0));
    else if (code == "3026") send(Answer(type, code, 1));
  }

  Login login_;
  std::atomic<bool> refuseUploads_{false};
  std::atomic<bool> mute_{false};
  std::atomic<bool> holdVerdict_{false};
  int lastConn_ = -1;
  std::vector<std::string> requests_;
  std::vector<Upload> uploads_;
  int logins_ = 0;
  test_common::FramePort port_{
      16, [this](int conn, const std::string& f, std::vector<std::string>& replies) { Handle(conn, f, replies); }};
};

}  // namespace page_test
