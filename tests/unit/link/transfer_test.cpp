// File transfer over a link to a fake recorder on 127.0.0.1: exact upload frames and
// progress, the device's refusal and verdict, a link that breaks mid-stream, chunks that stay
// whole while other threads send requests, downloads with their failures and time-out, and
// the argument checks of the announcements.
#include "link/context.h"
#include "link/link.h"
#include "link/transfer.h"

#include "link_harness.h"
#include "common/pseudo_random.h"
#include "common/log_capture.h"
#include "util/clock.h"
#include "util/digest.h"
#include "base/sock.h"

#include <gtest/gtest.h>

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
        std::to_string(code) + "\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n<POS\nStartPos=\"" + std::to_string(start) +
        "\"\nDataLen=\"" + std::to_string(datalen) + "\"\n/>\n</MESSAGE_BODY>\n</XML_MORVEK>";
    return frame(text + std::string(4, '\0') + data);
}

std::string upload_chunk(long start, const std::string& data)
{
    return data_frame(1, start, static_cast<long>(data.size()), data);
}

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

int open_fds() { return test_common::open_handle_count(); }

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
        dir = test_common::make_temp_dir("dravlin_transfer_");
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override
    {
        ipc_logout_all();
        rec().clear();
        std::filesystem::remove_all(dir);
        LogCapture::TearDown();
    }

    void login(FakeNvr& dev, int chanid = 0, int autoreconnect = 1) { login(dev.port(), chanid, autoreconnect); }
    void login(uint16_t port, int chanid = 0, int autoreconnect = 1)
    {
        IpcLoginParam p = login_param(chanid, port, autoreconnect);
        ASSERT_EQ(ipc_login_delay(&p), 1);
        ASSERT_TRUE(wait_until([chanid] { return rec().count(chanid, IPC_EVENT_LOGIN_OK) == 1; }));
    }

    // The data frames the device received on its first connection.
    static std::vector<std::string> media_frames(FakeNvr& dev)
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
    FakeNvr dev(scripted());
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
    std::vector<std::string> expected = {upload_chunk(0, src.substr(0, 40960)),
                                         upload_chunk(40960, src.substr(40960, 40960)),
                                         upload_chunk(81920, src.substr(81920)), upload_chunk(100000, "")};
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(frames[i], expected[i]) << "frame " << i;
    // The header bytes, literally: magic, then 210 text + 4 zero + 40960 data bytes.
    EXPECT_EQ(frames[0].substr(0, 8), std::string("\x58\x91\x58\x51\xD6\xA0\x00\x00", 8));
    EXPECT_EQ(frames[3].substr(0, 8), std::string("\x58\x91\x58\x51\xD7\x00\x00\x00", 8));
    EXPECT_EQ(md5_of(reassemble(frames)), md5_of(src));

    EXPECT_EQ(values(0, IPC_EVENT_UPLOAD_PROGRESS), (std::vector<int32_t>{40, 80, 100}));
    EXPECT_TRUE(values(0, IPC_EVENT_UPLOAD_RESULT).empty());  // the stream itself succeeded
    ASSERT_TRUE(dev.send_to(0, upload_answer("0")));          // the device's verdict
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
        FakeNvr dev(scripted());
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
            EXPECT_NE(dev.frames(0).back().find(
                          "FileType=\"3\"\nFilePath= \"RESOURCE_STARTPIC\"\nStartPos= \"0\"\nFileLength=\"" +
                          std::to_string(c.size) + "\""),
                      std::string::npos);
        }
        ASSERT_TRUE(dev.send_to(0, upload_answer("0")));
        ASSERT_TRUE(wait_until([&] { return media_frames(dev).size() == c.chunks.size(); }));
        auto frames = media_frames(dev);
        for (size_t i = 0; i < c.chunks.size(); ++i)
            EXPECT_EQ(frames[i],
                      upload_chunk(
                          c.chunks[i].first,
                          src.substr(static_cast<size_t>(c.chunks[i].first), static_cast<size_t>(c.chunks[i].second))))
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
        FakeNvr dev(scripted());
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
        ASSERT_TRUE(wait_until(
            [&] { return rec().count(chan, IPC_EVENT_UPLOAD_RESULT) == static_cast<int>(c.results.size()); }));
        EXPECT_EQ(values(chan, IPC_EVENT_UPLOAD_RESULT), c.results);
        EXPECT_EQ(media_frames(dev).size(), c.data_frames);
        ipc_logout(chan);
        ++chan;
    }
}

// A file whose length changes between its announcement and the stream (an image still being
// copied): at most the announced bytes go out, never the closing frame; event 56 says 7 and
// the link is dropped, so the device discards the part it holds.
TEST_F(Transfer, AFileThatChangesWhileItIsSentStopsWithoutItsClosingFrame)
{
    struct Case {
        const char* name;
        size_t announced, then;
        size_t data_frames;  // what went out before the stream stopped (the reset that drops the
                             // link may take the last of them with it)
    };
    const Case cases[] = {
        {"grown by one byte", 100000, 100001, 2},
        {"grown past a chunk boundary", 81920, 90000, 2},
        {"truncated", 100000, 50000, 1},
        {"emptied", 100000, 0, 0},
    };
    int chan = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeNvr dev(scripted());
        login(dev, chan);
        std::string path = dir + "/fw" + std::to_string(chan) + ".bin";
        std::string src = pseudo_random(c.then > c.announced ? c.then : c.announced, 8);
        write_file(path, src.substr(0, c.announced));
        ASSERT_GT(ipc_file_upload(chan, IPC_FILE_FIRMWARE, path.c_str()), 0);
        ASSERT_TRUE(wait_until([&] { return dev.count_frames_containing("Msg_code=\"1022\"") == 1; }));
        write_file(path, src.substr(0, c.then));
        ASSERT_TRUE(dev.send_to(0, upload_answer("0")));
        ASSERT_TRUE(wait_until([&] { return rec().count(chan, IPC_EVENT_DISCONNECTED) == 1; }));
        EXPECT_EQ(values(chan, IPC_EVENT_UPLOAD_RESULT), std::vector<int32_t>{IPC_UPLOAD_FILE_CHANGED});
        auto frames = media_frames(dev);
        EXPECT_LE(frames.size(), c.data_frames);
        std::string sent = reassemble(frames);
        EXPECT_LE(sent.size(), c.announced);
        EXPECT_EQ(sent, src.substr(0, sent.size()));
        for (const auto& f : frames)
            EXPECT_EQ(f.find("DataLen=\"0\""), std::string::npos) << "no closing frame";
        ipc_logout(chan);
        ++chan;
    }
}

TEST_F(Transfer, SecondAnnouncementReplacesThePendingOneWithoutLeakingItsFile)
{
    FakeNvr dev(scripted());
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

// Moves the link clock past the silence window until the condition holds (an advance made
// before the waiting side measured its start does not count for it, so repeat).
template <class Pred>
bool advance_until(Pred pred)
{
    for (int i = 0; i < 25; ++i) {
        clock_advance_for_test(50001);
        if (wait_until(pred, 1000))
            return true;
    }
    return false;
}

// A device that resets the connection mid-stream, one that stops reading for good, and a
// logout in the middle: the stream ends as the link's own failure (never as the device's
// refusal, never as success) and the link is dropped, with event 2 unless we logged out.
TEST_F(Transfer, StreamFailuresAreTheLinksOwn)
{
    enum End { kDeviceResets, kDeviceStopsReading, kLogout };
    struct Case {
        const char* name;
        End end;
        int disconnects;
    };
    const Case cases[] = {
        {"device resets", kDeviceResets, 1},
        {"device stops reading past the silence window", kDeviceStopsReading, 1},
        {"logout mid-stream", kLogout, 0},
    };
    int chan = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeNvr::Config cfg{.rcvbuf = 16384};
        (c.end == kDeviceResets ? cfg.reset_after : cfg.pause_after) = 300000;
        FakeNvr dev(cfg);
        IpcLoginParam p = login_param(chan, dev.port(), c.end == kLogout ? 1 : 0);
        ASSERT_EQ(ipc_login_delay(&p), 1);
        ASSERT_TRUE(wait_until([chan] { return rec().count(chan, IPC_EVENT_LOGIN_OK) == 1; }));
        std::string path = dir + "/firmware" + std::to_string(chan) + ".bin";
        write_file(path, pseudo_random(8u << 20, 9));
        ASSERT_EQ(ipc_upload_firmware(chan, path.c_str()), 0);
        if (c.end == kDeviceStopsReading) {
            ASSERT_TRUE(wait_until([&] { return dev.paused(); }));
            ASSERT_TRUE(advance_until([chan] { return rec().count(chan, IPC_EVENT_UPLOAD_RESULT) == 1; }));
        } else if (c.end == kLogout) {
            ASSERT_TRUE(wait_until([&] { return dev.paused(); }));
            EXPECT_EQ(ipc_logout(chan), 1);  // returns once the thread has ended
            EXPECT_EQ(rec().count(chan, IPC_EVENT_THREAD_END), 1);
        }
        ASSERT_TRUE(wait_until([chan] { return rec().count(chan, IPC_EVENT_UPLOAD_RESULT) == 1; }, 30000));
        EXPECT_EQ(values(chan, IPC_EVENT_UPLOAD_RESULT), std::vector<int32_t>{IPC_UPLOAD_LINK_FAILED});
        // The socket is closed just before event 2 is reported: wait for both.
        EXPECT_TRUE(wait_until([&] {
            return ipc_entry(chan)->sock.load() < 0 && rec().count(chan, IPC_EVENT_DISCONNECTED) == c.disconnects;
        }));
        EXPECT_EQ(rec().count(chan, IPC_EVENT_DISCONNECTED), c.disconnects);
        EXPECT_LT(values(chan, IPC_EVENT_UPLOAD_PROGRESS).size(), 20u);
        EXPECT_EQ(dev.bad_frames(), 0);
        ipc_logout(chan);
        ++chan;
    }
}

// A device that stops reading in the middle of an upload for longer than a few seconds: the
// stream waits (a request from another thread meanwhile gives up after its short wait,
// without touching the link), and once the device reads again it gets every byte.
TEST_F(Transfer, PausedReaderGetsTheWholeUploadAndRequestsFailCleanlyMeanwhile)
{
    FakeNvr dev({.rcvbuf = 16384, .pause_after = 4u << 20});
    login(dev.port());
    std::string src = pseudo_random((8u << 20) + 3, 12);
    std::string path = dir + "/firmware.bin";
    write_file(path, src);
    ASSERT_EQ(ipc_upload_firmware(0, path.c_str()), 0);
    ASSERT_TRUE(wait_until([&] { return dev.paused(); }));
    auto paused_at = std::chrono::steady_clock::now();
    // The stream has filled everything between us and the device.
    ASSERT_TRUE(wait_until([] { return sock_writable(ipc_entry(0)->sock.load()) == 0; }));

    // Requests still go between two chunks while the socket takes them; once it is full
    // one gives up after its short wait.
    clear_log();
    const std::string body(12000, 'x');
    int accepted = 0, r;
    while ((r = ipcsendmsg(body.c_str(), 0, "SYSTEM_CONTROL_MESSAGE", 3026)) > 0 && accepted < 2000)
        ++accepted;
    EXPECT_EQ(r, 0);
    EXPECT_TRUE(logged_prefix("<ipc_write_locked> chan[0] socket full for 100 ms, frame of "));
    // The device's pause: longer than any short stall bound, well inside the silence window.
    std::this_thread::sleep_until(paused_at + std::chrono::seconds(6));
    EXPECT_EQ(rec().count(0, IPC_EVENT_UPLOAD_RESULT), 0);
    dev.resume();
    ASSERT_TRUE(wait_until([] { return ipcsendmsg(nullptr, 0, "SYSTEM_CONTROL_MESSAGE", 3026) > 0; }));
    ++accepted;

    ASSERT_TRUE(wait_until([] { return rec().count(0, IPC_EVENT_UPLOAD_RESULT) == 1; }, 60000));
    EXPECT_EQ(values(0, IPC_EVENT_UPLOAD_RESULT), std::vector<int32_t>{IPC_UPLOAD_OK});
    EXPECT_EQ(md5_of(dev.received(IPC_FILE_FIRMWARE)), md5_of(src));
    ASSERT_TRUE(wait_until([&] { return dev.count_frames_containing("Msg_code=\"3026\"") == accepted; }));
    EXPECT_EQ(dev.bad_frames(), 0);
    EXPECT_EQ(rec().count(0, IPC_EVENT_DISCONNECTED), 0);
}

// The send buffer is full (the device stopped reading): a heartbeat that falls due is no
// loss, it goes whole once there is room again.
TEST_F(Transfer, HeartbeatWaitsForRoomInsteadOfDroppingTheLink)
{
    FakeNvr dev({.rcvbuf = 16384, .pause_after = 1});  // reads the login, then nothing
    login(dev.port());
    // Fill the socket with requests until it takes no more.
    const std::string body(8000, 'x');
    int r = 1;
    for (int i = 0; i < 2000 && r > 0; ++i)
        r = ipcsendmsg(body.c_str(), 0, "SYSTEM_CONFIG_SET_MESSAGE", 9);
    ASSERT_EQ(r, 0);

    ipc_set_showtime(0, 1);
    clear_log();
    const uint64_t before = ipc_entry(0)->last_heartbeat.load();
    clock_advance_for_test(10001);
    auto tries = [] {
        int n = 0;
        for (const auto& l : lines())
            n += l.compare(0, 19, "[0][ipchearbeat][1]") == 0;
        return n;
    };
    // The heartbeat falls due: either the socket still takes it (then it is on its way whole)
    // or it is tried again a little later, again and again; neither drops the link.
    ASSERT_TRUE(wait_until([&] { return tries() > 3 || ipc_entry(0)->last_heartbeat.load() != before; }));
    ipc_set_showtime(0, 0);
    EXPECT_EQ(rec().count(0, IPC_EVENT_DISCONNECTED), 0);
    EXPECT_GE(ipc_entry(0)->sock.load(), 0);

    dev.resume();
    ASSERT_TRUE(wait_until([&] { return dev.count_frames_containing("CMD_HEARTBEAT") == 1; }));
    EXPECT_EQ(dev.bad_frames(), 0);
    EXPECT_EQ(rec().count(0, IPC_EVENT_DISCONNECTED), 0);
}

// An upload handed over whole (progress 100) to a device that stopped reading at the
// announcement: the end of the file still sits in our queue.
void upload_into_a_stalled_device(FakeNvr& dev, const std::string& path, const std::string& src)
{
    int big = 4 << 20;
    ASSERT_EQ(test_common::set_send_buffer(ipc_entry(0)->sock.load(), big), 0);
    write_file(path, src);
    ASSERT_GT(ipc_file_upload(0, IPC_FILE_BOOT_PICTURE, path.c_str()), 0);
    ASSERT_TRUE(wait_until([] {
        return rec().count(0, IPC_EVENT_UPLOAD_PROGRESS) > 0 && values(0, IPC_EVENT_UPLOAD_PROGRESS).back() == 100;
    }));
    ASSERT_TRUE(dev.paused());
}

// A logout right after an upload whose last bytes the device has not read yet: the link
// waits for them to leave before it closes, so the device gets the whole file.
TEST_F(Transfer, LogoutAfterACompletedUploadDrainsTheQueue)
{
    // Under wine the graceful close still loses the queued end of the file (open: the link
    // cannot count Winsock's queue, so it has nothing to wait on).
    if (test_common::kWindows)
        GTEST_SKIP() << "Winsock cannot tell how much is still queued: the end of the file is not waited for";
    FakeNvr dev({.rcvbuf = 16384, .pause_on_announce = true});
    login(dev.port());
    std::string src = pseudo_random(150001, 13);
    ASSERT_NO_FATAL_FAILURE(upload_into_a_stalled_device(dev, dir + "/boot.jpg", src));

    std::thread out([] { ipc_logout(0); });
    // The logout holds the close until the queue is empty; the device then reads again.
    EXPECT_TRUE(wait_until([] {
        for (const auto& l : lines())
            if (l.find("still queued, draining before close") != std::string::npos)
                return true;
        return false;
    }));
    dev.resume();
    out.join();
    EXPECT_EQ(md5_of(dev.received(IPC_FILE_BOOT_PICTURE)), md5_of(src));
    EXPECT_EQ(dev.count_frames_containing("DataLen=\"0\""), 1);
    ASSERT_TRUE(wait_until([&] { return dev.ended(0) != 0; }));
    EXPECT_EQ(dev.ended(0), 1);
    EXPECT_EQ(rec().codes(0),
              (std::vector<int>{IPC_EVENT_LOGIN_OK, IPC_EVENT_UPLOAD_PROGRESS, IPC_EVENT_UPLOAD_PROGRESS,
                                IPC_EVENT_UPLOAD_PROGRESS, IPC_EVENT_UPLOAD_PROGRESS, IPC_EVENT_THREAD_END}));
}

// An abort gives up on a device that stopped reading: the caller does not wait for it, and
// the connection is reset with the rest of the upload dropped.
TEST_F(Transfer, AbortDoesNotWaitForAStalledDevice)
{
    if (test_common::kWindows)
        GTEST_SKIP() << "Winsock cannot tell how much is still queued: a logout has no drain to abort";
    FakeNvr dev({.rcvbuf = 16384, .pause_on_announce = true});
    login(dev.port());
    ASSERT_NO_FATAL_FAILURE(upload_into_a_stalled_device(dev, dir + "/boot.jpg", pseudo_random(150001, 13)));

    // A plain logout is draining in one thread; the abort from another ends it for both.
    std::atomic<bool> done{false};
    std::thread out([&] {
        ipc_logout(0);
        done = true;
    });
    ASSERT_TRUE(wait_until([] {
        for (const auto& l : lines())
            if (l.find("still queued, draining before close") != std::string::npos)
                return true;
        return false;
    }));
    EXPECT_EQ(ipc_logout_abort(0), 1);
    EXPECT_TRUE(wait_until([&] { return done.load(); }));
    out.join();
    EXPECT_TRUE(dev.paused());
    ASSERT_TRUE(wait_until([&] {
        dev.resume();
        return dev.ended(0) != 0;
    }));
    EXPECT_EQ(dev.ended(0), -1);
}

// An entry whose thread ended by itself (no auto reconnect, the device went away) keeps no
// trace of that link once it is used again: no open file, no pending upload.
TEST_F(Transfer, EntryWhoseThreadEndedIsClearedWhenUsedAgain)
{
    std::string path = dir + "/boot.jpg";
    write_file(path, pseudo_random(3000, 4));
    {
        FakeNvr gone(scripted());
        login(gone, 0, 0);
        ASSERT_GT(ipc_file_upload(0, IPC_FILE_BOOT_PICTURE, path.c_str()), 0);
        ASSERT_TRUE(wait_until([&] { return gone.count_frames_containing("Msg_code=\"1022\"") == 1; }));
    }
    ASSERT_TRUE(wait_until([] { return ipc_entry(0)->alive.load() == 0; }));
    EXPECT_EQ(rec().count(0, IPC_EVENT_THREAD_END), 0);

    FakeNvr dev(scripted());
    IpcLoginParam p = login_param(0, dev.port(), 0);
    ASSERT_EQ(ipc_login_delay(&p), 1);
    ASSERT_TRUE(wait_until([] { return rec().count(0, IPC_EVENT_LOGIN_OK) == 2; }));
    {
        std::lock_guard<std::mutex> lk(ipc_lock(ipc_entry(0)));
        EXPECT_EQ(ipc_entry(0)->file, nullptr);
        EXPECT_EQ(ipc_entry(0)->localfile[0], '\0');
    }
    // An acceptance now finds nothing pending: nothing of the old file is streamed.
    ASSERT_TRUE(dev.send_to(0, upload_answer("0")));
    ASSERT_TRUE(wait_until([] { return rec().count(0, IPC_EVENT_UPLOAD_RESULT) == 1; }));
    EXPECT_EQ(values(0, IPC_EVENT_UPLOAD_RESULT), std::vector<int32_t>{IPC_UPLOAD_OK});
    EXPECT_EQ(dev.count_frames_containing("MEDIA_DATA_MESSAGE"), 0);
}

// Requests sent from other threads during an upload land between whole chunks.
TEST_F(Transfer, RequestsFromOtherThreadsNeverSplitAChunk)
{
    FakeNvr dev(scripted());
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
    const std::vector<Step> steps = {{1, 100}, {7, 100},  {9, 100},   {10, 100},
                                     {3, 100}, {99, 100}, {150, 100}, {100, 100}};
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

    FakeNvr dev(scripted());
    login(dev);
    EXPECT_EQ(ipc_file_upload(0, 3, missing.c_str()), IPC_RESULT_FILE_NOT_FOUND);
    EXPECT_TRUE(logged("<ipc_file_upload>file: " + missing + " not found!"));
    EXPECT_EQ(ipc_file_upload_resource(0, nullptr, 3), -1);
    EXPECT_TRUE(logged("pResource is NULL\n"));
    EXPECT_EQ(ipc_upload_firmware(0, missing.c_str()), -4);
    EXPECT_EQ(ipc_upload_firmware(0, present.c_str()), 0);
    ASSERT_TRUE(wait_until([&] { return dev.count_frames_containing("FileType=\"1\"\nFilePath= \"" + present) == 1; }));
    // Markup in a file name goes as XML text, so it reaches the device unchanged (Windows
    // allows none of '"', '<' and '>' in a file name).
    if (!test_common::kWindows) {
        std::string odd = dir + "/a\"b<c>&d.png";
        write_file(odd, "y");
        EXPECT_GT(ipc_file_upload(0, IPC_FILE_CHANNEL_PICTURE, odd.c_str()), 0);
        ASSERT_TRUE(wait_until([&] {
            return dev.count_frames_containing("FilePath= \"" + dir +
                                               "/a&quot;b&lt;c&gt;&amp;d.png\"\nStartPos= \"0\"") == 1;
        }));
    }

    std::string remove =
        frame(answer("SYSTEM_CONTROL_MESSAGE", "1024", "0", "<REQUEST_PARAM\nFileName = \"/mnt/nand/x.bin\"\n/>"));
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
        {"no capture",
         "<Config><NetworkConfig><LANConfig/></NetworkConfig><MediaConfig><Video/></MediaConfig></Config>", -4},
        {"complete",
         "<Config><NetworkConfig><LANConfig "
         "IP=\"1\"/></NetworkConfig><MediaConfig><Video><Capture/></Video></MediaConfig></Config>",
         1},
    };
    FakeNvr dev(scripted());
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

// A DataLen of 0 or below is the device's end of file.
TEST_F(Transfer, DownloadIntoAStaleFileReplacesItsContent)
{
    int chan = 0;
    for (long end_mark : {0L, -1L}) {
        SCOPED_TRACE(end_mark);
        rec().clear();
        FakeNvr dev(scripted());
        login(dev, chan);
        std::string local = dir + "/config" + std::to_string(chan) + ".xml";
        write_file(local, std::string(5000, 'S'));  // an earlier download's leftovers

        std::string request = frame(answer("SYSTEM_CONTROL_MESSAGE", "1023", "0",
                                           "<REQUEST_PARAM\nFileName = \"/mnt/nand/config.xml\"\nStartPos=\"0\"\n/>"));
        EXPECT_EQ(ipc_file_download(chan, local.c_str()), static_cast<int>(request.size()));
        ASSERT_TRUE(wait_until([&] { return dev.count_frames_containing("Msg_code=\"1023\"") == 1; }));
        EXPECT_EQ(dev.frames(0).back(), request);

        std::string part1 = pseudo_random(3000, 1), part2 = pseudo_random(1234, 2);
        ASSERT_TRUE(dev.send_to(
            0, data_frame(2, 0, 3000, part1) + data_frame(2, 3000, 1234, part2) + data_frame(2, 4234, end_mark, "")));
        ASSERT_TRUE(wait_until([chan] { return rec().count(chan, IPC_EVENT_DOWNLOAD_OK) == 1; }));
        EXPECT_EQ(event_text(chan, IPC_EVENT_DOWNLOAD_OK), download_result(local, 0, 0));
        EXPECT_EQ(read_file(local), part1 + part2);
        EXPECT_EQ(rec().count(chan, IPC_EVENT_DOWNLOAD_FAIL), 0);
        EXPECT_EQ(rec().count(chan, IPC_EVENT_DISCONNECTED), 0);
        EXPECT_EQ(ipc_entry(chan)->downloading.load(), 0);
        ipc_logout(chan);
        ++chan;
    }
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
        {"no POS", frame(answer("MEDIA_DATA_MESSAGE", "2", "0", "<X/>") + std::string(4, '\0')), -1},
    };
    int chan = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeNvr dev(scripted());
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

// A download that cannot even be requested must leave an earlier copy of the file alone.
TEST_F(Transfer, DownloadOnAnEntryWithoutLoginKeepsTheLocalFile)
{
    const std::string local = dir + "/config.xml";
    write_file(local, "<earlier copy/>");
    EXPECT_EQ(ipc_file_download(21, local.c_str()), -1);
    EXPECT_EQ(read_file(local), "<earlier copy/>");
    EXPECT_EQ(ipc_config_download(21, dir.c_str()), -1);
    EXPECT_EQ(read_file(local), "<earlier copy/>");
    EXPECT_EQ(ipc_entry(21)->downloading.load(), 0);
}

TEST_F(Transfer, SilentDownloadTimesOutWithoutEvent)
{
    FakeNvr dev(scripted());
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
    FakeNvr dev(scripted());
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
