// File transfer over a link to a fake recorder on 127.0.0.1: exact upload frames and
// progress, the device's refusal and verdict, a link that breaks mid-stream, chunks that stay
// whole while other threads send requests, downloads with their failures and time-out, and
// the argument checks of the announcements.
#include "link/context.h"
#include "link/link.h"
#include "link/transfer.h"

#include "link_harness.h"
#include "common/pseudo_random.h"
#include "log_capture.h"
#include "util/clock.h"
#include "util/digest.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

using namespace link_test;

namespace {

// The upload / download data frame, built independently of the link: text, 4 zero bytes, data.
std::string data_frame(int code, long start, long datalen, const std::string& data)
{
    std::string text = "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
                       "Msg_type=\"MEDIA_DATA_MESSAGE\"\nMsg_code=\"" +
                       std::to_string(code) + "\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n<POS\nStartPos=\"" +
                       std::to_string(start) + "\"\nDataLen=\"" + std::to_string(datalen) +
                       "\"\n/>\n</MESSAGE_BODY>\n</XML_MORVEK>";
    return frame(text + std::string(4, '\0') + data);
}

std::string upload_chunk(long start, const std::string& data) { return data_frame(1, start, static_cast<long>(data.size()), data); }

using test_common::pseudo_random;

std::string md5_of(const std::string& s)
{
    char hex[kMd5HexSize];
    return md5_hex(s.data(), s.size(), hex);
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

int open_fds()
{
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
    }
    return n;
}

int32_t int_of(const Event& e)
{
    int32_t v = 0;
    if (e.data.size() == 4)
        std::memcpy(&v, e.data.data(), 4);
    return v;
}

std::vector<int32_t> values(int chanid, int code)
{
    std::vector<int32_t> out;
    for (const auto& e : rec().all())
        if (e.chanid == chanid && e.code == code)
            out.push_back(int_of(e));
    return out;
}

std::string upload_answer(const char* flag) { return frame(answer("SYSTEM_CONTROL_MESSAGE", "1022", flag, "")); }

struct Transfer : LogCapture {
    std::string dir;

    void SetUp() override
    {
        LogCapture::SetUp();
        rec().clear();
        ASSERT_EQ(ipc_init(), 1);
        char tmpl[] = "/tmp/dravlin_transfer_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        ipc_logout_all();
        rec().clear();
        std::filesystem::remove_all(dir);
        LogCapture::TearDown();
    }

    void login(FakeRecorder& dev, int chanid = 0, int autoreconnect = 1)
    {
        IpcLoginParam p = login_param(chanid, dev.port(), autoreconnect);
        ASSERT_EQ(ipc_login_delay(&p), 1);
        ASSERT_TRUE(wait_until([chanid] { return rec().count(chanid, IPC_EVENT_LOGIN_OK) == 1; }));
    }

    // The data frames the device received on its first connection.
    static std::vector<std::string> media_frames(FakeRecorder& dev)
    {
        std::vector<std::string> out;
        for (auto& f : dev.frames(0))
            if (f.find("Msg_type=\"MEDIA_DATA_MESSAGE\"") != std::string::npos)
                out.push_back(f);
        return out;
    }

    // Concatenated data of the upload frames, checked against their own StartPos.
    static std::string reassemble(const std::vector<std::string>& frames)
    {
        std::string out;
        for (const auto& f : frames) {
            std::string payload = f.substr(8);
            size_t textlen = std::strlen(payload.c_str());
            out += payload.substr(textlen + 4);
        }
        return out;
    }
};

// ---- uploads ------------------------------------------------------------------------------

TEST_F(Transfer, HundredThousandBytesGoOutInThreeChunksAndAClosingFrame)
{
    FakeRecorder dev;
    login(dev);
    std::string src = pseudo_random(100000, 7);
    std::string path = dir + "/boot.jpg";
    write_file(path, src);

    int r = ipc_file_upload(0, IPC_FILE_BOOT_PICTURE, path.c_str());
    std::string announce = frame(answer("SYSTEM_CONTROL_MESSAGE", "1022", "0",
                                        "<REQUEST_PARAM\nFileType=\"3\"\nFilePath= \"" + path +
                                            "\"\nStartPos= \"0\"\nFileLength=\"100000\"\n/>"));
    EXPECT_EQ(r, static_cast<int>(announce.size()));
    ASSERT_TRUE(wait_until([&] { return dev.count_frames_containing("Msg_code=\"1022\"") == 1; }));
    EXPECT_EQ(dev.frames(0).back(), announce);

    ASSERT_TRUE(dev.send_to(0, upload_answer("0")));
    ASSERT_TRUE(wait_until([&] { return media_frames(dev).size() == 4; }));
    auto frames = media_frames(dev);
    std::vector<std::string> expected = {upload_chunk(0, src.substr(0, 40960)), upload_chunk(40960, src.substr(40960, 40960)),
                                         upload_chunk(81920, src.substr(81920)), upload_chunk(100000, "")};
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(frames[i], expected[i]) << "frame " << i;
    // The header bytes, literally: magic, then 210 text + 4 zero + 40960 data bytes.
    EXPECT_EQ(frames[0].substr(0, 8), std::string("\x58\x91\x58\x51\xD6\xA0\x00\x00", 8));
    EXPECT_EQ(frames[3].substr(0, 8), std::string("\x58\x91\x58\x51\xD7\x00\x00\x00", 8));
    EXPECT_EQ(md5_of(reassemble(frames)), md5_of(src));

    EXPECT_EQ(values(0, IPC_EVENT_UPLOAD_PROGRESS), (std::vector<int32_t>{40, 80, 100}));
    EXPECT_TRUE(values(0, IPC_EVENT_UPLOAD_RESULT).empty());  // the stream itself succeeded
    ASSERT_TRUE(dev.send_to(0, upload_answer("0")));        // the device's verdict
    ASSERT_TRUE(wait_until([] { return rec().count(0, IPC_EVENT_UPLOAD_RESULT) == 1; }));
    EXPECT_EQ(values(0, IPC_EVENT_UPLOAD_RESULT), std::vector<int32_t>{0});
    std::lock_guard<std::mutex> lk(ipc_lock(ipc_entry(0)));
    EXPECT_EQ(ipc_entry(0)->file, nullptr);
    EXPECT_EQ(ipc_entry(0)->localfile[0], '\0');
}

// Sources at the chunk boundary and empty ones: exact (StartPos, DataLen) sequence.
TEST_F(Transfer, ChunkBoundariesAndEmptySources)
{
    struct Case {
        const char* name;
        bool block;
        size_t size;
        std::vector<std::pair<long, long>> chunks;  // StartPos, DataLen
        std::vector<int32_t> progress;
    };
    const Case cases[] = {
        // The read that meets the file's end sends an empty chunk before the closing frame.
        {"file of 40960", false, 40960, {{0, 40960}, {40960, 0}, {40960, 0}}, {100}},
        {"block of 40960", true, 40960, {{0, 40960}, {40960, 0}}, {100}},
        {"empty file", false, 0, {{0, 0}, {0, 0}}, {100}},
        {"empty block", true, 0, {{0, 0}, {0, 0}}, {100}},
        {"block of 40961", true, 40961, {{0, 40960}, {40960, 1}, {40961, 0}}, {95, 100}},
    };
    int chan = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeRecorder dev;
        login(dev, chan);
        std::string src = pseudo_random(c.size, 11);
        std::string path = dir + "/src" + std::to_string(chan);
        int r;
        if (c.block) {
            r = ipc_file_upload_resource(chan, src.data(), static_cast<int>(src.size()));
        } else {
            write_file(path, src);
            r = ipc_file_upload(chan, IPC_FILE_CHANNEL_PICTURE, path.c_str());
        }
        EXPECT_GT(r, 0);
        ASSERT_TRUE(wait_until([&] { return dev.count_frames_containing("Msg_code=\"1022\"") == 1; }));
        if (c.block) {
            EXPECT_NE(dev.frames(0).back().find("FileType=\"3\"\nFilePath= \"RESOURCE_STARTPIC\"\nStartPos= \"0\"\nFileLength=\"" +
                                                std::to_string(c.size) + "\""),
                      std::string::npos);
        }
        ASSERT_TRUE(dev.send_to(0, upload_answer("0")));
        ASSERT_TRUE(wait_until([&] { return media_frames(dev).size() == c.chunks.size(); }));
        auto frames = media_frames(dev);
        for (size_t i = 0; i < c.chunks.size(); ++i)
            EXPECT_EQ(frames[i], upload_chunk(c.chunks[i].first, src.substr(static_cast<size_t>(c.chunks[i].first),
                                                                             static_cast<size_t>(c.chunks[i].second))))
                << "frame " << i;
        EXPECT_EQ(md5_of(reassemble(frames)), md5_of(src));
        ASSERT_TRUE(dev.send_to(0, upload_answer("0")));
        ASSERT_TRUE(wait_until([&] { return rec().count(chan, IPC_EVENT_UPLOAD_RESULT) == 1; }));
        EXPECT_EQ(values(chan, IPC_EVENT_UPLOAD_RESULT), std::vector<int32_t>{0});
        EXPECT_EQ(values(chan, IPC_EVENT_UPLOAD_PROGRESS), c.progress);
        ipc_logout(chan);
        ++chan;
    }
}

// Answers to an announced upload: (answer flag, verdict flag) -> event 56 values.
TEST_F(Transfer, RefusalAndNegativeVerdictReportFive)
{
    struct Case {
        const char* name;
        const char* answer;
        const char* verdict;  // null: the device sends none
        std::vector<int32_t> results;
        size_t data_frames;
    };
    const Case cases[] = {
        {"refused", "-1", nullptr, {5}, 0},
        {"accepted, verdict rejects", "0", "1", {5}, 2},
        {"accepted, verdict accepts", "0", "0", {0}, 2},
    };
    int chan = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeRecorder dev;
        login(dev, chan);
        std::string path = dir + "/p" + std::to_string(chan) + ".png";
        write_file(path, pseudo_random(1000, 3));
        ASSERT_GT(ipc_file_upload(chan, IPC_FILE_SHUTDOWN_PICTURE, path.c_str()), 0);
        ASSERT_TRUE(wait_until([&] { return dev.count_frames_containing("Msg_code=\"1022\"") == 1; }));
        ASSERT_TRUE(dev.send_to(0, upload_answer(c.answer)));
        if (c.verdict) {
            ASSERT_TRUE(wait_until([&] { return media_frames(dev).size() == c.data_frames; }));
            ASSERT_TRUE(dev.send_to(0, upload_answer(c.verdict)));
        }
        ASSERT_TRUE(wait_until([&] { return rec().count(chan, IPC_EVENT_UPLOAD_RESULT) == static_cast<int>(c.results.size()); }));
        EXPECT_EQ(values(chan, IPC_EVENT_UPLOAD_RESULT), c.results);
        EXPECT_EQ(media_frames(dev).size(), c.data_frames);
        ipc_logout(chan);
        ++chan;
    }
}

TEST_F(Transfer, SecondAnnouncementReplacesThePendingOneWithoutLeakingItsFile)
{
    FakeRecorder dev;
    login(dev);
    std::string a = dir + "/a.jpg", b = dir + "/b.png";
    std::string bytes_b = pseudo_random(5000, 5);
    write_file(a, pseudo_random(3000, 4));
    write_file(b, bytes_b);
    ASSERT_GT(ipc_file_upload(0, IPC_FILE_BOOT_PICTURE, a.c_str()), 0);
    int with_a = open_fds();
    ASSERT_GT(ipc_file_upload(0, IPC_FILE_CHANNEL_PICTURE, b.c_str()), 0);
    EXPECT_EQ(open_fds(), with_a);  // a closed, b open
    ASSERT_GT(ipc_file_upload_resource(0, bytes_b.data(), 10), 0);
    EXPECT_EQ(open_fds(), with_a - 1);  // b closed, a block needs no file

    ASSERT_TRUE(wait_until([&] { return dev.count_frames_containing("Msg_code=\"1022\"") == 3; }));
    ASSERT_TRUE(dev.send_to(0, upload_answer("0")));
    ASSERT_TRUE(wait_until([&] { return media_frames(dev).size() == 2; }));
    EXPECT_EQ(reassemble(media_frames(dev)), bytes_b.substr(0, 10));
}

// A recorder that answers the login and accepts the upload, then misbehaves: it either
// reads a little of the stream and resets the connection, or stops reading altogether.
class StallingDevice {
public:
    explicit StallingDevice(bool reset) : reset_(reset)
    {
        lfd_ = test_common::loopback_listener(4, &port_);
        thread_ = std::thread([this] { run(); });
    }
    ~StallingDevice()
    {
        release_.store(true);
        thread_.join();
        ::close(lfd_);
    }
    uint16_t port() const { return port_; }

private:
    void run()
    {
        pollfd p{lfd_, POLLIN, 0};
        if (::poll(&p, 1, 20000) <= 0)
            return;
        int fd = ::accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
        std::string in;
        char buf[65536];
        bool answered_login = false, accepted = false;
        while (!accepted) {
            pollfd q{fd, POLLIN, 0};
            if (::poll(&q, 1, 20000) <= 0)
                break;
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            in.append(buf, static_cast<size_t>(n));
            if (!answered_login && in.find("CMD_USER_AUTH") != std::string::npos) {
                answered_login = true;
                send_all(fd, frame(answer("USER_AUTH_MESSAGE", "CMD_USER_AUTH", "0", "<USER_AUTH_RESPONSE Sessionid=\"s\"/>")));
            }
            if (in.find("Msg_code=\"1022\"") != std::string::npos) {
                send_all(fd, upload_answer("0"));
                accepted = true;
            }
        }
        if (reset_) {
            for (int got = 0; got < 100000;) {
                ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                got += static_cast<int>(n);
            }
            linger l{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        } else {
            while (!release_.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::close(fd);
    }

    bool reset_;
    int lfd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> release_{false};
    std::thread thread_;
};

// The device resets the connection mid-stream: the stream ends with a failure, never with
// success, and the link reports the loss.
TEST_F(Transfer, BrokenLinkMidStreamReportsFailure)
{
    StallingDevice dev(true);
    IpcLoginParam p = login_param(0, dev.port(), 0);
    ASSERT_EQ(ipc_login_delay(&p), 1);
    ASSERT_TRUE(wait_until([] { return rec().count(0, IPC_EVENT_LOGIN_OK) == 1; }));
    std::string path = dir + "/firmware.bin";
    write_file(path, pseudo_random(32u << 20, 9));
    ASSERT_EQ(ipc_upload_firmware(0, path.c_str()), 0);
    ASSERT_TRUE(wait_until([] { return rec().count(0, IPC_EVENT_UPLOAD_RESULT) == 1; }, 30000));
    EXPECT_EQ(values(0, IPC_EVENT_UPLOAD_RESULT), std::vector<int32_t>{5});
    ASSERT_TRUE(wait_until([] { return rec().count(0, IPC_EVENT_DISCONNECTED) >= 1; }));
    EXPECT_LT(values(0, IPC_EVENT_UPLOAD_PROGRESS).size(), 20u);
}

// A device that stops reading leaves the stream waiting for room; a logout still ends it at
// once, as a failure, and the thread goes.
TEST_F(Transfer, LogoutEndsAStalledUpload)
{
    StallingDevice dev(false);
    IpcLoginParam p = login_param(0, dev.port(), 1);
    ASSERT_EQ(ipc_login_delay(&p), 1);
    ASSERT_TRUE(wait_until([] { return rec().count(0, IPC_EVENT_LOGIN_OK) == 1; }));
    std::string path = dir + "/firmware.bin";
    write_file(path, pseudo_random(32u << 20, 10));
    ASSERT_EQ(ipc_upload_firmware(0, path.c_str()), 0);
    IpcLinkContext* ipc = ipc_entry(0);
    ASSERT_TRUE(wait_until([ipc] {
        std::lock_guard<std::mutex> lk(ipc_lock(ipc));
        return ipc->bytessent > 0;
    }));
    EXPECT_EQ(ipc_logout(0), 1);  // returns once the thread has ended
    EXPECT_EQ(values(0, IPC_EVENT_UPLOAD_RESULT), std::vector<int32_t>{5});
    EXPECT_EQ(rec().count(0, IPC_EVENT_THREAD_END), 1);
}

// Requests sent from other threads during an upload land between whole chunks.
TEST_F(Transfer, RequestsFromOtherThreadsNeverSplitAChunk)
{
    FakeRecorder dev;
    login(dev);
    std::string src = pseudo_random(4u << 20, 21);
    std::string path = dir + "/big.bin";
    write_file(path, src);
    ASSERT_GT(ipc_file_upload(0, IPC_FILE_FIRMWARE, path.c_str()), 0);
    ASSERT_TRUE(wait_until([&] { return dev.count_frames_containing("Msg_code=\"1022\"") == 1; }));

    std::atomic<bool> done{false};
    std::atomic<int> sent{0};
    std::thread ui([&] {
        while (!done.load()) {
            if (ipcsendmsg("<REQUEST_PARAM\nFileType=\"9\"\n/>", 0, "SYSTEM_CONTROL_MESSAGE", 1004) > 0)
                sent.fetch_add(1);
            std::this_thread::yield();
        }
    });
    ASSERT_TRUE(dev.send_to(0, upload_answer("0")));
    ASSERT_TRUE(wait_until([&] { return dev.count_frames_containing("DataLen=\"0\"") >= 1; }, 60000));
    done.store(true);
    ui.join();
    ASSERT_TRUE(wait_until([&] { return dev.count_frames_containing("Msg_code=\"1004\"") == sent.load(); }));

    auto frames = dev.frames(0);
    for (const auto& f : frames)
        ASSERT_EQ(f.substr(0, 4), "\x58\x91\x58\x51");
    auto media = media_frames(dev);
    EXPECT_EQ(media.size(), 4u * 1024 * 1024 / 40960 + 2);
    EXPECT_EQ(md5_of(reassemble(media)), md5_of(src));
}

TEST_F(Transfer, ProgressStepsOfFiveEachAtMostOnce)
{
    IpcLinkContext ctx;
    ctx.chanid = 9;
    ctx.evcb = on_event;
    struct Step {
        int64_t done, total;
    };
    const std::vector<Step> steps = {{1, 100}, {7, 100}, {9, 100}, {10, 100}, {3, 100}, {99, 100}, {150, 100}, {100, 100}};
    for (const auto& s : steps)
        ReportLoadProgress(&ctx, s.done, s.total);
    EXPECT_EQ(values(9, IPC_EVENT_UPLOAD_PROGRESS), (std::vector<int32_t>{5, 10, 95, 100}));

    rec().clear();
    IpcLinkContext empty;
    empty.chanid = 8;
    empty.evcb = on_event;
    ReportLoadProgress(&empty, 0, 0);  // nothing to divide: the empty source is complete
    EXPECT_EQ(values(8, IPC_EVENT_UPLOAD_PROGRESS), std::vector<int32_t>{100});
    ReportLoadProgress(nullptr, 1, 2);
    EXPECT_TRUE(logged("<ReportLoadProgress> input pointer is NULL!\n"));
}

TEST_F(Transfer, AnnouncementArgumentChecks)
{
    std::string missing = dir + "/missing.jpg";
    std::string present = dir + "/present.jpg";
    write_file(present, "x");
    // Nothing logged in on any entry here.
    EXPECT_EQ(ipc_file_upload(0, 3, nullptr), -1);
    EXPECT_TRUE(logged("<ipc_file_upload> param fail\n"));
    EXPECT_EQ(ipc_file_upload(64, 3, present.c_str()), -1);
    EXPECT_TRUE(logged("<ipc_file_upload> fail, chanid:64, max:64\n"));
    EXPECT_EQ(ipc_file_upload(1, 3, present.c_str()), -1);
    EXPECT_TRUE(logged("<ipc_file_upload>chan[1] has not login, fail\n"));
    EXPECT_EQ(ipc_file_upload_resource(2, "abc", 3), -1);
    EXPECT_TRUE(logged("<ipc_file_upload_resource>chan[2] has not login, fail\n"));
    EXPECT_EQ(ipc_upload_firmware(1, present.c_str()), -4);
    EXPECT_EQ(ipc_file_download(0, nullptr), -1);
    EXPECT_TRUE(logged("<ipc_file_download> param fail\n"));
    EXPECT_EQ(ipc_file_download(-1, present.c_str()), -1);
    EXPECT_TRUE(logged("<ipc_file_download> fail, chanid:-1, max:64\n"));
    EXPECT_EQ(ipc_file_remove(0, nullptr), -1);
    EXPECT_TRUE(logged("<ipc_file_remove> param fail\n"));
    EXPECT_EQ(ipc_file_remove(64, "/x"), -1);
    EXPECT_TRUE(logged("<ipc_file_remove> fail, chanid:64, max:64\n"));

    FakeRecorder dev;
    login(dev);
    EXPECT_EQ(ipc_file_upload(0, 3, missing.c_str()), kUploadFileNotFound);
    EXPECT_TRUE(logged("<ipc_file_upload>file: " + missing + " not found!"));
    EXPECT_EQ(ipc_file_upload_resource(0, nullptr, 3), -1);
    EXPECT_TRUE(logged("pResource is NULL\n"));
    EXPECT_EQ(ipc_upload_firmware(0, missing.c_str()), -4);
    EXPECT_EQ(ipc_upload_firmware(0, present.c_str()), 0);
    ASSERT_TRUE(wait_until([&] { return dev.count_frames_containing("FileType=\"1\"\nFilePath= \"" + present) == 1; }));

    std::string remove = frame(answer("SYSTEM_CONTROL_MESSAGE", "1024", "0", "<REQUEST_PARAM\nFileName = \"/mnt/nand/x.bin\"\n/>"));
    EXPECT_EQ(ipc_file_remove(0, "/mnt/nand/x.bin"), static_cast<int>(remove.size()));
    ASSERT_TRUE(wait_until([&] { return dev.count_frames_containing("Msg_code=\"1024\"") == 1; }));
    EXPECT_EQ(dev.frames(0).back(), remove);
}

TEST_F(Transfer, ConfigUploadChecksTheDocument)
{
    struct Case {
        const char* name;
        const char* xml;  // null: no file at all
        int result;       // < 0 expected failure, 1: announced
    };
    const Case cases[] = {
        {"missing", nullptr, -1},
        {"unparsable", "<a><b></a>", -1},
        {"no root", "<<<", -2},
        {"no lan", "<Config><NetworkConfig/><MediaConfig><Video><Capture/></Video></MediaConfig></Config>", -3},
        {"no capture", "<Config><NetworkConfig><LANConfig/></NetworkConfig><MediaConfig><Video/></MediaConfig></Config>", -4},
        {"complete", "<Config><NetworkConfig><LANConfig IP=\"1\"/></NetworkConfig><MediaConfig><Video><Capture/></Video></MediaConfig></Config>", 1},
    };
    FakeRecorder dev;
    login(dev);
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir + "/cfg" + std::to_string(n++) + ".xml";
        if (c.xml)
            write_file(path, c.xml);
        int r = ipc_config_upload(0, path.c_str());
        if (c.result < 0)
            EXPECT_EQ(r, c.result);
        else
            EXPECT_GT(r, 0);
    }
    ASSERT_TRUE(wait_until([&] { return dev.count_frames_containing("FileType=\"0\"") == 1; }));
    EXPECT_EQ(ipc_config_upload(0, nullptr), -1);
}

// ---- downloads ------------------------------------------------------------------------------

const std::string kRemote = "/mnt/nand/config.xml";

std::string download_result(const std::string& local, int start, int error)
{
    return "<RESPONSE_PARAM\nRemoteFileName=\"" + kRemote + "\"\nLocalFileName=\"" + local + "\"\nStartPos=\"" +
           std::to_string(start) + "\"\nErrorCode=\"" + std::to_string(error) + "\"\n/>";
}

std::string event_text(int chanid, int code)
{
    for (const auto& e : rec().all())
        if (e.chanid == chanid && e.code == code)
            return e.data;
    return "<none>";
}

TEST_F(Transfer, DownloadIntoAStaleFileReplacesItsContent)
{
    FakeRecorder dev;
    login(dev);
    std::string local = dir + "/config.xml";
    write_file(local, std::string(5000, 'S'));  // an earlier download's leftovers

    std::string request = frame(answer("SYSTEM_CONTROL_MESSAGE", "1023", "0",
                                       "<REQUEST_PARAM\nFileName = \"/mnt/nand/config.xml\"\nStartPos=\"0\"\n/>"));
    EXPECT_EQ(ipc_file_download(0, local.c_str()), static_cast<int>(request.size()));
    ASSERT_TRUE(wait_until([&] { return dev.count_frames_containing("Msg_code=\"1023\"") == 1; }));
    EXPECT_EQ(dev.frames(0).back(), request);

    std::string part1 = pseudo_random(3000, 1), part2 = pseudo_random(1234, 2);
    ASSERT_TRUE(dev.send_to(0, data_frame(2, 0, 3000, part1) + data_frame(2, 3000, 1234, part2) + data_frame(2, 4234, 0, "")));
    ASSERT_TRUE(wait_until([] { return rec().count(0, IPC_EVENT_DOWNLOAD_OK) == 1; }));
    EXPECT_EQ(event_text(0, IPC_EVENT_DOWNLOAD_OK), download_result(local, 0, 0));
    EXPECT_EQ(read_file(local), part1 + part2);
    EXPECT_EQ(rec().count(0, IPC_EVENT_DOWNLOAD_FAIL), 0);
    EXPECT_EQ(rec().count(0, IPC_EVENT_DISCONNECTED), 0);
    EXPECT_EQ(ipc_entry(0)->downloading.load(), 0);
}

// Failed download steps: event 17 with the received StartPos, the connection closed, nothing
// read beyond the frame.
TEST_F(Transfer, DownloadStepFailures)
{
    struct Case {
        const char* name;
        std::string second;  // the frame after a good first chunk of 100 bytes
        int start;
    };
    const std::string data = pseudo_random(100, 5);
    const Case cases[] = {
        {"StartPos again 0", data_frame(2, 0, 100, data), 0},
        {"DataLen beyond the frame", data_frame(2, 100, 5000, data), 100},
        {"negative DataLen", data_frame(2, 100, -7, data), 100},
        {"no POS", frame(answer("MEDIA_DATA_MESSAGE", "2", "0", "<X/>") + std::string(4, '\0')), -1},
    };
    int chan = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeRecorder dev;
        login(dev, chan, 0);
        std::string local = dir + "/dl" + std::to_string(chan) + ".xml";
        ASSERT_GT(ipc_file_download(chan, local.c_str()), 0);
        ASSERT_TRUE(dev.send_to(0, data_frame(2, 0, 100, data) + c.second));
        ASSERT_TRUE(wait_until([&] { return rec().count(chan, IPC_EVENT_DOWNLOAD_FAIL) == 1; }));
        EXPECT_EQ(event_text(chan, IPC_EVENT_DOWNLOAD_FAIL), download_result(local, c.start, -1));
        ASSERT_TRUE(wait_until([&] { return dev.closed_connections() == 1; }));
        EXPECT_EQ(rec().count(chan, IPC_EVENT_DISCONNECTED), 1);
        EXPECT_EQ(rec().count(chan, IPC_EVENT_DOWNLOAD_OK), 0);
        EXPECT_EQ(read_file(local), data);  // the partial file stays
        ++chan;
    }
}

TEST_F(Transfer, SilentDownloadTimesOutWithoutEvent)
{
    FakeRecorder dev;
    login(dev);
    std::string local = dir + "/t.xml";
    ASSERT_GT(ipc_file_download(0, local.c_str()), 0);
    ASSERT_TRUE(dev.send_to(0, data_frame(2, 0, 10, "0123456789")));
    IpcLinkContext* ipc = ipc_entry(0);
    auto bytes_done = [ipc] {
        std::lock_guard<std::mutex> lk(ipc_lock(ipc));
        return ipc->bytesdone;
    };
    ASSERT_TRUE(wait_until([&] { return bytes_done() == 10; }));
    clock_advance_for_test(10001);
    ASSERT_TRUE(wait_until([&] { return ipc->downloading.load() == 0; }));
    {
        std::lock_guard<std::mutex> lk(ipc_lock(ipc));
        EXPECT_EQ(ipc->dlfile, nullptr);
        EXPECT_EQ(ipc->bytesdone, 0);
    }
    EXPECT_EQ(rec().count(0, IPC_EVENT_DOWNLOAD_OK), 0);
    EXPECT_EQ(rec().count(0, IPC_EVENT_DOWNLOAD_FAIL), 0);
    EXPECT_EQ(rec().count(0, IPC_EVENT_DISCONNECTED), 0);
    EXPECT_TRUE(logged_prefix("ipccheckdownloadtimeout, timeout, now:"));
    EXPECT_EQ(read_file(local), "0123456789");
}

TEST_F(Transfer, ConfigDownloadJoinsFolderAndName)
{
    FakeRecorder dev;
    login(dev);
    for (std::string folder : {dir, dir + "/"}) {
        ASSERT_GT(ipc_config_download(0, folder.c_str()), 0);
        std::lock_guard<std::mutex> lk(ipc_lock(ipc_entry(0)));
        EXPECT_EQ(std::string(ipc_entry(0)->dlpath), dir + "/config.xml");
    }
    EXPECT_TRUE(std::filesystem::exists(dir + "/config.xml"));
    EXPECT_EQ(ipc_config_download(0, nullptr), -1);
}

}  // namespace
