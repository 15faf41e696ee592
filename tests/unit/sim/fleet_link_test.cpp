// The simulated fleet on 127.0.0.1 against the console's own link library: what an operator's
// console sees from a simulated recorder, and what the recorder notes about the console.
#include "link/link.h"
#include "common/loopback.h"
#include "link/requests.h"
#include "link/transfer.h"
#include "sim/fleet.h"
#include "util/digest.h"
#include "util/log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

template <class Pred>
bool wait_until(Pred pred, int timeout_ms = 20000)
{
    return test_common::wait_until(pred, timeout_ms, 5);
}

struct Ev {
    int chanid, code;
    int32_t value;  // for 4-byte events
    std::string text;
};

std::mutex g_mu;
std::vector<Ev> g_events;
std::vector<std::pair<int, int>> g_aux;  // kind, length

int on_event(int chanid, int code, const void* data, int len)
{
    Ev e{chanid, code, 0, {}};
    if (data && len == 4)
        std::memcpy(&e.value, data, 4);
    if (data && len > 0)
        e.text.assign(static_cast<const char*>(data), static_cast<size_t>(len));
    std::lock_guard<std::mutex> lk(g_mu);
    g_events.push_back(e);
    return 0;
}

int on_aux(int, int kind, const void*, int len, const void*)
{
    std::lock_guard<std::mutex> lk(g_mu);
    g_aux.emplace_back(kind, len);
    return 0;
}

std::vector<Ev> events(int chanid, int code = -1)
{
    std::lock_guard<std::mutex> lk(g_mu);
    std::vector<Ev> out;
    for (const Ev& e : g_events)
        if (e.chanid == chanid && (code < 0 || e.code == code))
            out.push_back(e);
    return out;
}

std::string file_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class FleetLink : public ::testing::Test {
protected:
    std::string dir;
    std::unique_ptr<sim::Fleet> fleet;
    std::atomic<bool> stop{false};
    std::thread loop;

    void SetUp() override
    {
        char tmpl[] = "/tmp/dravlin-simtest-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        if (std::getenv("SIMTEST_LOG"))
            log_set_sink(log_sink_to_debug);
        ASSERT_EQ(ipc_init(), 1);
        std::lock_guard<std::mutex> lk(g_mu);
        g_events.clear();
        g_aux.clear();
    }

    void TearDown() override
    {
        ipc_logout_all();
        stop = true;
        if (loop.joinable())
            loop.join();
        fleet.reset();
        std::filesystem::remove_all(dir);
    }

    // Devices 0..n-1 on 127.0.0.1, each on a free port of its own; faults as given.
    void start(int n, std::vector<std::pair<sim::LinkFault, std::string>> faults = {}, int reboot_ms = 5000)
    {
        sim::FleetOptions opt;
        opt.devices = n;
        opt.base_ip = 0x7F000001;
        opt.bind_addr = 0x7F000001;
        opt.port = 0;
        opt.source_addr = false;
        opt.control_bind = 0x7F000001;
        opt.ptz_port = 0;
        opt.link_faults = std::move(faults);
        opt.reboot_ms = reboot_ms;
        opt.link.store_dir = dir + "/store";
        opt.command_socket = dir + "/cmd.sock";
        opt.status_file = dir + "/status.json";
        fleet = std::make_unique<sim::Fleet>(opt);
        ASSERT_EQ(fleet->open(), 0) << fleet->error();
        loop = std::thread([this] {
            test_common::favour_this_thread();
            fleet->run(stop);
        });
    }

    void login(int chanid, int device, const char* user = "admin", const char* pass = "admin123")
    {
        IpcLoginParam p{};
        p.chanid = chanid;
        std::strcpy(p.address, "127.0.0.1");
        p.port = static_cast<uint16_t>(fleet->device_copy(device).ptz_port);
        p.autoreconnect = 1;
        p.evcb = on_event;
        p.auxcb = on_aux;
        std::strcpy(p.username, user);
        std::strcpy(p.password, pass);
        ASSERT_EQ(ipc_login_delay(&p), 1);
    }

    bool got(int chanid, int code, size_t count = 1, int timeout_ms = 20000)
    {
        return wait_until([&] { return events(chanid, code).size() >= count; }, timeout_ms);
    }

    std::string make_file(const std::string& name, size_t size)
    {
        std::string data(size, '\0');
        uint32_t x = static_cast<uint32_t>(size);
        for (char& c : data) {
            x = x * 1664525u + 1013904223u;
            c = static_cast<char>(x >> 24);
        }
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
        return path;
    }
};

std::string md5_of(const std::string& bytes)
{
    char hex[33];
    return md5_hex(bytes.data(), bytes.size(), hex);
}

}  // namespace

TEST_F(FleetLink, LoginIsAcceptedOrRefusedAsTheRecorderDecides)
{
    start(3, {{sim::LinkFault::RefuseLogin, "1"}});
    login(0, 0);
    login(1, 1);
    login(2, 2, "admin", "not-the-password");
    ASSERT_TRUE(got(0, IPC_EVENT_LOGIN_OK));
    ASSERT_TRUE(got(1, IPC_EVENT_LOGIN_FAIL));
    ASSERT_TRUE(got(2, IPC_EVENT_LOGIN_FAIL));
    EXPECT_TRUE(events(1, IPC_EVENT_LOGIN_OK).empty());
    EXPECT_EQ(fleet->device_copy(0).link.logins_accepted, 1u);
    EXPECT_GE(fleet->device_copy(1).link.logins_refused, 1u);
    EXPECT_EQ(fleet->device_copy(2).link.last_user, "admin");
    // The login text as the console wrote it.
    sim::Device d = fleet->device_copy(0);
    ASSERT_FALSE(d.link.texts.empty());
    EXPECT_EQ(d.link.texts.front(),
              "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
              "Msg_type=\"USER_AUTH_MESSAGE\"\nMsg_code=\"CMD_USER_AUTH\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n"
              "<USER_AUTH_PARAM\nUsername=\"admin\"\nPassword=\"admin123\"/>\n</MESSAGE_BODY>\n</XML_MORVEK>");
}

TEST_F(FleetLink, UploadedPicturesArriveWithTheSourcesMd5)
{
    start(2);
    login(0, 0);
    ASSERT_TRUE(got(0, IPC_EVENT_LOGIN_OK));
    const size_t sizes[] = {300000, 40960, 0};
    const int types[] = {3, 4, 5};
    for (int i = 0; i < 3; ++i) {
        std::string path = make_file("pic" + std::to_string(i), sizes[i]);
        ASSERT_GT(ipc_file_upload(0, types[i], path.c_str()), 0);
        ASSERT_TRUE(got(0, IPC_EVENT_UPLOAD_RESULT, static_cast<size_t>(i + 1)));
        EXPECT_EQ(events(0, IPC_EVENT_UPLOAD_RESULT).back().value, 0);
        sim::Device d = fleet->device_copy(0);
        ASSERT_EQ(d.link.files.count(types[i]), 1u);
        const sim::StoredFile& f = d.link.files.at(types[i]);
        std::string bytes = file_bytes(path);
        EXPECT_EQ(f.size, static_cast<int64_t>(bytes.size()));
        EXPECT_EQ(f.md5, md5_of(bytes));
        EXPECT_EQ(f.name, path);
        EXPECT_EQ(file_bytes(f.path), bytes);
        EXPECT_TRUE(d.link.errors.empty()) << d.link.errors[0];
    }
    auto progress = events(0, IPC_EVENT_UPLOAD_PROGRESS);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().value, 100);
}

TEST_F(FleetLink, RefusedRejectedAndBrokenUploadsReportFailure)
{
    start(4,
          {{sim::LinkFault::RefuseUpload, "0"},
           {sim::LinkFault::RejectVerdict, "1"},
           {sim::LinkFault::CloseMidUpload, "2"},
           {sim::LinkFault::SlowRead, "3"}});
    std::string path = make_file("big", 400000);
    for (int i = 0; i < 4; ++i)
        login(i, i);
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(got(i, IPC_EVENT_LOGIN_OK)) << i;
        ASSERT_GT(ipc_file_upload(i, 3, path.c_str()), 0);
    }
    // The recorder that drops the link mid-upload: the console has usually handed every chunk
    // to its socket by then, so it learns of the loss as a broken link (event 2), never as a
    // positive verdict.
    ASSERT_TRUE(got(2, IPC_EVENT_DISCONNECTED, 1, 30000));
    for (const Ev& e : events(2, IPC_EVENT_UPLOAD_RESULT))
        EXPECT_NE(e.value, 0);
    EXPECT_EQ(fleet->device_copy(2).link.uploads_failed, 1u);
    EXPECT_EQ(fleet->device_copy(2).link.files.count(3), 0u);
    for (int i : {0, 1, 3}) {
        bool ok = got(i, IPC_EVENT_UPLOAD_RESULT, 1, 30000);
        std::string seen;
        for (const Ev& e : events(i))
            seen += " " + std::to_string(e.code);
        ASSERT_TRUE(ok) << "recorder " << i << ", events" << seen;
    }
    EXPECT_EQ(events(0, IPC_EVENT_UPLOAD_RESULT)[0].value, 5);
    EXPECT_TRUE(events(0, IPC_EVENT_UPLOAD_PROGRESS).empty());
    EXPECT_EQ(events(1, IPC_EVENT_UPLOAD_RESULT)[0].value, 5);
    EXPECT_EQ(events(1, IPC_EVENT_UPLOAD_PROGRESS).back().value, 100);
    // A slow reader still gets every byte.
    EXPECT_EQ(events(3, IPC_EVENT_UPLOAD_RESULT)[0].value, 0);
    EXPECT_EQ(fleet->device_copy(3).link.files.at(3).md5, md5_of(file_bytes(path)));
}

TEST_F(FleetLink, RebootAnswersDropsTheLinkStaysAwayAndComesBack)
{
    start(1, {}, 1500);
    login(0, 0);
    ASSERT_TRUE(got(0, IPC_EVENT_LOGIN_OK));
    ASSERT_EQ(ipc_sys_Reboot(0), 0);
    ASSERT_TRUE(got(0, IPC_EVENT_REBOOT));
    EXPECT_EQ(events(0, IPC_EVENT_REBOOT)[0].value, 0);
    ASSERT_TRUE(got(0, IPC_EVENT_DISCONNECTED));
    EXPECT_TRUE(fleet->device_copy(0).link.rebooting || fleet->device_copy(0).link.connections >= 1);
    // The link reconnects on its own once the recorder is back.
    ASSERT_TRUE(got(0, IPC_EVENT_LOGIN_OK, 2, 30000));
    sim::Device d = fleet->device_copy(0);
    EXPECT_EQ(d.link.reboots, 1u);
    EXPECT_FALSE(d.link.rebooting);
    EXPECT_EQ(d.link.logins_accepted, 2u);
}

TEST_F(FleetLink, ControlAnswersBecomeTheirEvents)
{
    start(2, {{sim::LinkFault::TalkBusy, "1"}});
    login(0, 0);
    login(1, 1);
    ASSERT_TRUE(got(0, IPC_EVENT_LOGIN_OK));
    ASSERT_TRUE(got(1, IPC_EVENT_LOGIN_OK));
    ASSERT_EQ(ipc_sys_RestorePicture(0, 4), 0);
    ASSERT_TRUE(got(0, IPC_EVENT_UPLOAD_RESULT));
    EXPECT_EQ(events(0, IPC_EVENT_UPLOAD_RESULT)[0].value, 0);
    ASSERT_EQ(ipc_sys_SetBuzzerEnable(0, 1), 0);
    ASSERT_TRUE(got(0, IPC_EVENT_BUZZER));
    ASSERT_EQ(ipc_sys_SetChnAddDefMode(0, 1, 2), 0);
    ASSERT_TRUE(got(0, IPC_EVENT_CHANADD_MODE));
    ASSERT_EQ(ipc_sys_FormatDisk(0, 1), 0);
    ASSERT_GT(ipc_ptz_PTZControl(0, IPC_PTZ_UP, 3, 3), 0);
    ASSERT_TRUE(got(0, IPC_EVENT_PTZ_ANSWER));
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard<std::mutex> lk(g_mu);
        return !g_aux.empty();
    }));

    ASSERT_GT(ipc_talk_start(1), 0);
    ASSERT_TRUE(got(1, IPC_EVENT_TALK_FAIL));
    auto ev = events(1);
    auto busy = std::find_if(ev.begin(), ev.end(), [](const Ev& e) { return e.code == IPC_EVENT_TALK_BUSY; });
    auto fail = std::find_if(ev.begin(), ev.end(), [](const Ev& e) { return e.code == IPC_EVENT_TALK_FAIL; });
    ASSERT_NE(busy, ev.end());
    EXPECT_LT(busy - ev.begin(), fail - ev.begin());
    // The busy refusal makes the console stop the talk, with the login's session id.
    ASSERT_TRUE(wait_until([&] { return fleet->device_copy(1).link.talk_stops == 1; }));
    EXPECT_TRUE(fleet->device_copy(1).link.errors.empty());

    sim::Device d = fleet->device_copy(0);
    EXPECT_EQ(d.link.restores, std::vector<int>{4});
    EXPECT_EQ(d.link.buzzer, 1);
    EXPECT_EQ(d.link.chn_mode, 2);
    EXPECT_EQ(d.link.formats, std::vector<std::string>{"sd2"});
    EXPECT_EQ(d.link.ptz, std::vector<std::string>{"up"});
    EXPECT_TRUE(d.link.errors.empty()) << d.link.errors[0];
}

TEST_F(FleetLink, DownloadOfTheConfigurationAndACorruptChunk)
{
    start(2, {{sim::LinkFault::BadDownloadPos, "1"}});
    login(0, 0);
    login(1, 1);
    ASSERT_TRUE(got(0, IPC_EVENT_LOGIN_OK));
    ASSERT_TRUE(got(1, IPC_EVENT_LOGIN_OK));
    std::string local0 = dir + "/cfg0.xml", local1 = dir + "/cfg1.xml";
    ASSERT_GT(ipc_file_download(0, local0.c_str()), 0);
    ASSERT_TRUE(got(0, IPC_EVENT_DOWNLOAD_OK));
    std::string cfg = file_bytes(local0);
    EXPECT_NE(cfg.find("<NetworkConfig>"), std::string::npos);
    EXPECT_NE(cfg.find("DRVSIM000001"), std::string::npos);

    ASSERT_GT(ipc_file_download(1, local1.c_str()), 0);
    ASSERT_TRUE(got(1, IPC_EVENT_DOWNLOAD_FAIL));
    EXPECT_TRUE(got(1, IPC_EVENT_DISCONNECTED));
}

TEST_F(FleetLink, CommandInterfaceSendsUnsolicitedMessages)
{
    start(1);
    login(0, 0);
    ASSERT_TRUE(got(0, IPC_EVENT_LOGIN_OK));
    EXPECT_EQ(fleet->command("alarm 0 3"), "ok 1");
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard<std::mutex> lk(g_mu);
        for (auto& [kind, len] : g_aux)
            if (kind == IPC_AUX_ALARM && len == 3 * 1072)
                return true;
        return false;
    }));
    EXPECT_EQ(fleet->command("heartbeat DRVSIM000001 mvk"), "ok 1");
    EXPECT_EQ(fleet->command("unknown all"), "ok 1");
    EXPECT_EQ(fleet->command("alarm 7"), "error: no device 7 (the fleet has 1)");
    EXPECT_EQ(fleet->command("fault 0 no-such on").rfind("error: unknown link fault", 0), 0u);

    // The same interface over the Unix socket.
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::string path = dir + "/cmd.sock";
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    std::string cmd = "bad 0 magic\n";
    ASSERT_EQ(::send(fd, cmd.data(), cmd.size(), 0), static_cast<ssize_t>(cmd.size()));
    char buf[64] = {};
    ASSERT_GT(::recv(fd, buf, sizeof buf - 1, 0), 0);
    ::close(fd);
    EXPECT_STREQ(buf, "ok 1\n");
    ASSERT_TRUE(got(0, IPC_EVENT_DISCONNECTED));
    // Heartbeats and the unknown message did not end the link: only the bad frame did.
    EXPECT_EQ(events(0, IPC_EVENT_DISCONNECTED).size(), 1u);
    EXPECT_EQ(fleet->device_copy(0).link.unsolicited, 4u);
}

TEST(FleetOptions, LinkFaultsComeFromTheFleetFileTheOptionsAndTheCommandInterface)
{
    char tmpl[] = "/tmp/dravlin-simtest-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    std::ofstream(dir + "/fleet.txt") << "serial=AAA ip=127.0.0.1 ptz=0 link-fault=refuse-login link-fault=slow-read\n"
                                         "serial=BBB ip=127.0.0.1 ptz=0\n";
    {
        sim::FleetOptions opt;
        opt.fleet_file = dir + "/fleet.txt";
        opt.bind_addr = 0x7F000001;
        opt.port = 0;
        opt.control_bind = 0x7F000001;
        opt.link_faults = {{sim::LinkFault::TalkBusy, "BBB"}, {sim::LinkFault::BadXml, "0"}};
        sim::Fleet fleet(opt);
        ASSERT_EQ(fleet.open(), 0) << fleet.error();
        sim::Device a = fleet.device_copy(0), b = fleet.device_copy(1);
        EXPECT_TRUE(a.has(sim::LinkFault::RefuseLogin));
        EXPECT_TRUE(a.has(sim::LinkFault::SlowRead));
        EXPECT_TRUE(a.has(sim::LinkFault::BadXml));
        EXPECT_FALSE(a.has(sim::LinkFault::TalkBusy));
        EXPECT_TRUE(b.has(sim::LinkFault::TalkBusy));
        EXPECT_NE(a.ptz_port, 0);
        EXPECT_NE(a.ptz_port, b.ptz_port);
        EXPECT_EQ(fleet.command("fault BBB talk-busy off"), "ok 1");
        EXPECT_EQ(fleet.command("fault all refuse-upload"), "ok 2");
        EXPECT_FALSE(fleet.device_copy(1).has(sim::LinkFault::TalkBusy));
        EXPECT_TRUE(fleet.device_copy(1).has(sim::LinkFault::RefuseUpload));
        EXPECT_EQ(fleet.command("alarm CCC").rfind("error: no device with serial number CCC", 0), 0u);
        // Refused as such even with no link up to carry them.
        EXPECT_EQ(fleet.command("alram all"), "error: unknown command 'alram'");
        EXPECT_EQ(fleet.command("bad 0 zzz"), "error: bad frame kinds are magic, truncated, huge-length, bad-xml");
        EXPECT_EQ(fleet.command("alarm all"), "ok 0");
        std::string status = fleet.status_json();
        EXPECT_EQ(status.find('\n', status.size() - 1), status.size() - 1);
        EXPECT_NE(fleet.command("status").find(
                      "\"faults\": [\"refuse-login\", \"bad-xml\", \"slow-read\", \"refuse-upload\"]"),
                  std::string::npos);
    }
    for (auto bad : std::vector<std::pair<sim::LinkFault, std::string>>{{sim::LinkFault::TalkBusy, "CCC"},
                                                                        {sim::LinkFault::TalkBusy, "2"}}) {
        sim::FleetOptions opt;
        opt.fleet_file = dir + "/fleet.txt";
        opt.bind_addr = 0x7F000001;
        opt.port = 0;
        opt.control_bind = 0x7F000001;
        opt.link_faults = {bad};
        sim::Fleet fleet(opt);
        EXPECT_NE(fleet.open(), 0) << bad.second;
        EXPECT_NE(fleet.error().find("link fault talk-busy"), std::string::npos) << fleet.error();
    }
    std::ofstream(dir + "/bad.txt") << "serial=AAA link-fault=sometimes\n";
    sim::FleetOptions opt;
    opt.fleet_file = dir + "/bad.txt";
    sim::Fleet fleet(opt);
    EXPECT_NE(fleet.open(), 0);
    EXPECT_NE(fleet.error().find("bad value for 'link-fault'"), std::string::npos) << fleet.error();
    std::filesystem::remove_all(dir);
}

TEST(FleetOptions, ChannelTableAndCamerasComeFromTypeAndFleetFileAndShowInTheStatus)
{
    char tmpl[] = "/tmp/dravlin-simtest-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    std::ofstream(dir + "/fleet.txt")
        << "serial=N16 ip=127.0.0.1 ptz=0\n"
           "serial=N32 ip=127.0.0.1 ptz=0 type=NVR-SIM32\n"
           "serial=N2 ip=127.0.0.1 ptz=0 channels=2 camera=ONVIF:10.0.0.9:80:u:p:SN9:Door "
           "camera=MVK:10.0.0.9:8091\n"
           "serial=CAM ip=127.0.0.1 ptz=0 type=IPC-SIM camera=none\n";
    sim::FleetOptions opt;
    opt.fleet_file = dir + "/fleet.txt";
    opt.bind_addr = 0x7F000001;
    opt.port = 0;
    opt.control_bind = 0x7F000001;
    sim::Fleet fleet(opt);
    ASSERT_EQ(fleet.open(), 0) << fleet.error();
    const size_t channels[] = {16, 32, 2, 0}, cameras[] = {6, 6, 2, 0};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(fleet.device_copy(i).channels.size(), channels[i]) << i;
        EXPECT_EQ(fleet.device_copy(i).cameras.size(), cameras[i]) << i;
    }
    std::string status = fleet.status_json();
    EXPECT_NE(status.find("\"nvr\": {\"channels\": [{\"id\": 1, \"used\": false, \"protocol\": \"MVK\", \"ip\": \"\", "
                          "\"port\": 0, \"user\": \"\", \"password\": \"\"}, {\"id\": 2,"),
              std::string::npos);
    EXPECT_NE(status.find(
                  "{\"protocol\": \"ONVIF\", \"ip\": \"10.0.0.9\", \"port\": 80, \"sn\": \"SN9\", \"osd\": \"Door\"}"),
              std::string::npos);
    std::vector<sim::Device> out;
    std::string err;
    for (const char* bad :
         {"channels=-1", "channels=x", "camera=RTSP:10.0.0.9:80", "camera=MVK:10.0.0:80", "camera=MVK:10.0.0.9"}) {
        EXPECT_NE(sim::parse_fleet_text(bad, opt, &out, &err), 0) << bad;
        EXPECT_NE(err.find("bad value"), std::string::npos) << err;
    }
    std::filesystem::remove_all(dir);
}

TEST(FleetOptions, OnlineAfterComesFromTheFleetFileOrTheSpread)
{
    struct Row {
        std::string text;
        int64_t spread_ms;
        std::vector<int64_t> after_ms;
    };
    const Row rows[] = {
        {"serial=A\nserial=B online_after=0.5\nserial=C online_after=12\nserial=D online_after=.25",
         0,
         {0, 500, 12000, 250}},
        // Recorder i after i * spread / N, unless its line says otherwise.
        {"serial=A\nserial=B\nserial=C\nserial=D online_after=0", 1000, {0, 250, 500, 0}},
        // The last word wins; what lies below a millisecond drops out.
        {"serial=A online_after=1000000 online_after=0.0019", 0, {1}},
    };
    for (const Row& row : rows) {
        sim::FleetOptions opt;
        opt.online_spread_ms = row.spread_ms;
        std::vector<sim::Device> out;
        std::string err;
        ASSERT_EQ(sim::parse_fleet_text(row.text, opt, &out, &err), 0) << row.text << ": " << err;
        std::vector<int64_t> after;
        for (const sim::Device& d : out)
            after.push_back(d.online_after_ms);
        EXPECT_EQ(after, row.after_ms) << row.text;
    }
    for (const char* bad :
         {"online_after=", "online_after=-1", "online_after=+1", "online_after=1e3", "online_after=0x10",
          "online_after=inf", "online_after=.", "online_after=1.2.3", "online_after=1000000.5"}) {
        std::vector<sim::Device> out;
        std::string err;
        EXPECT_NE(sim::parse_fleet_text(bad, {}, &out, &err), 0) << bad;
        EXPECT_NE(err.find("bad value for 'online_after'"), std::string::npos) << err;
    }
}

namespace {

// A fleet on 127.0.0.1 run by its own thread, without the console's link.
struct LoopbackFleet {
    std::unique_ptr<sim::Fleet> fleet;
    std::atomic<bool> stop{false};
    std::thread loop;

    explicit LoopbackFleet(sim::FleetOptions opt)
    {
        opt.base_ip = 0x7F000001;
        opt.bind_addr = 0x7F000001;
        opt.port = 0;
        opt.source_addr = false;
        opt.ptz_port = 0;
        fleet = std::make_unique<sim::Fleet>(opt);
        if (fleet->open() == 0)
            loop = std::thread([this] {
                test_common::favour_this_thread();
                fleet->run(stop);
            });
    }
    ~LoopbackFleet()
    {
        stop = true;
        if (loop.joinable())
            loop.join();
    }

    void datagram(const std::string& text)
    {
        int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(0x7F000001);
        sa.sin_port = htons(fleet->port());
        ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        ::close(fd);
    }
};

std::string network_change(const std::string& serial, const std::string& ip, int code = 2)
{
    return "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
           "Msg_type=\"SYSTEM_SEARCHIPC_MESSAGE\"\nMsg_code=\"" +
        std::to_string(code) +
        "\"\nMsg_flag=\"0\"\n/>\n"
        "<MESSAGE_BODY>\n<IPC_SERIALNUMBER\nSerialNumber=\"" +
        serial +
        "\"\n/>\n<LANConfig\nMacAddress=\"M\"\n"
        "DHCP=\"0\"\nIPAddress=\"" +
        ip +
        "\"\nNetmask=\"255.0.0.0\"\nGateway=\"127.0.0.1\"\nDNS1=\"\"\nDNS2=\"\"\n/>\n"
        "</MESSAGE_BODY>\n</XML_MORVEK>";
}

bool can_connect(uint32_t addr, int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addr);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

TEST(FleetNetwork, ChangeMovesTheControlPortAndAFloodStaysBounded)
{
    LoopbackFleet lab({});
    ASSERT_TRUE(lab.loop.joinable()) << lab.fleet->error();
    const int port = lab.fleet->device_copy(0).ptz_port;
    ASSERT_TRUE(can_connect(0x7F000001, port));

    lab.datagram(network_change("DRVSIM000001", "127.0.0.2"));
    ASSERT_TRUE(wait_until([&] { return lab.fleet->device_copy(0).addr == 0x7F000002; }));
    EXPECT_TRUE(can_connect(0x7F000002, port));
    EXPECT_FALSE(can_connect(0x7F000001, port));

    // An address this host does not have: the recorder stays reachable where it was.
    lab.datagram(network_change("DRVSIM000001", "192.0.2.7"));
    ASSERT_TRUE(wait_until([&] { return lab.fleet->device_copy(0).network_changes == 2; }));
    EXPECT_EQ(lab.fleet->device_copy(0).addr, 0x7F000002u);
    EXPECT_TRUE(can_connect(0x7F000002, port));

    // A restore goes back to the first address and its port.
    lab.datagram(network_change("DRVSIM000001", "", 5));
    ASSERT_TRUE(wait_until([&] { return lab.fleet->device_copy(0).addr == 0x7F000001; }));
    EXPECT_TRUE(can_connect(0x7F000001, port));

    // A flood of changes and of made-up codes keeps only the latest of each.
    for (int i = 0; i < 300; ++i)
        lab.datagram(network_change("DRVSIM000001", "127.0.0.1", i % 2 ? 2 : 100 + i));
    ASSERT_TRUE(wait_until([&] { return lab.fleet->device_copy(0).network_changes == 152; }));
    EXPECT_LE(lab.fleet->device_copy(0).received.size(), 32u);
    EXPECT_NE(lab.fleet->status_json().find("\"codes_other\": "), std::string::npos);
    EXPECT_EQ(lab.fleet->status_json().find("\"codes_other\": 0,"), std::string::npos);

    // A recorder with the ignore fault keeps the change it was sent, and nothing else.
    ASSERT_EQ(lab.fleet->command("fault DRVSIM000001 ignore-network on"), "ok 1");
    const size_t kept = lab.fleet->device_copy(0).received.size();
    lab.datagram(network_change("DRVSIM000001", "127.0.0.3"));
    lab.datagram(network_change("DRVSIM000001", "", 5));
    ASSERT_TRUE(wait_until([&] { return lab.fleet->device_copy(0).received.back().code == 5; }));
    sim::Device d = lab.fleet->device_copy(0);
    EXPECT_EQ(d.lan.ip, "127.0.0.1");
    EXPECT_EQ(d.network_changes, 152u);
    EXPECT_EQ(d.received.size(), std::min<size_t>(kept + 2, 32));
}

namespace {

// A number of the status's top level, or of the first device object after `serial`'s.
std::string status_field(const std::string& status, const std::string& key, const std::string& serial = "")
{
    size_t from = serial.empty() ? 0 : status.find("\"serial\": \"" + serial + "\"");
    size_t at = from == std::string::npos ? from : status.find("\"" + key + "\": ", from);
    if (at == std::string::npos)
        return "(none)";
    at += key.size() + 4;
    return status.substr(at, status.find_first_of(",}", at) - at);
}

// One search from a socket of its own: the serial numbers of every answer it brought. The fleet
// answers in the pass that takes the request (no spread), so the round is whole once the status
// counts the request and as many answers have arrived as the status says were sent.
std::set<std::string> search_round(LoopbackFleet& lab, int sock)
{
    std::string before = lab.fleet->status_json();
    uint64_t datagrams = std::stoull(status_field(before, "datagrams_total"));
    uint64_t answers = std::stoull(status_field(before, "answers_total"));
    std::string request = "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
                          "Msg_type=\"SYSTEM_SEARCHIPC_MESSAGE\"\nMsg_code=\"1\"\nMsg_flag=\"0\"\n/>\n"
                          "<MESSAGE_BODY>\n</MESSAGE_BODY>\n</XML_MORVEK>";
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(0x7F000001);
    sa.sin_port = htons(lab.fleet->port());
    ::sendto(sock, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    std::string after;
    EXPECT_TRUE(wait_until([&] {
        after = lab.fleet->status_json();
        return std::stoull(status_field(after, "datagrams_total")) > datagrams;
    }));
    std::set<std::string> serials;
    for (uint64_t n = std::stoull(status_field(after, "answers_total")) - answers; n > 0; --n) {
        char buf[8192];
        ssize_t got = ::recv(sock, buf, sizeof buf, 0);  // SO_RCVTIMEO bounds the wait
        if (got <= 0) {
            ADD_FAILURE() << "an answer the fleet sent did not arrive";
            break;
        }
        std::string answer(buf, static_cast<size_t>(got));
        size_t at = answer.find("SerialNumber=\"");
        if (at != std::string::npos)
            serials.insert(answer.substr(at + 14, answer.find('"', at + 14) - at - 14));
    }
    return serials;
}

}  // namespace

TEST(FleetOnline, RecordersComeOnlineLateAndArePluggedInAndOut)
{
    char tmpl[] = "/tmp/dravlin-simtest-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    std::ofstream(dir + "/fleet.txt") << "serial=NOW ip=127.0.0.1 ptz=0\n"
                                         "serial=SOON ip=127.0.0.1 ptz=0 online_after=0.2\n"
                                         "serial=LATE ip=127.0.0.1 ptz=0 online_after=3600\n";
    sim::FleetOptions opt;
    opt.fleet_file = dir + "/fleet.txt";
    opt.control_bind = 0x7F000001;
    opt.spread_ms = 0;
    opt.reboot_ms = 100;
    LoopbackFleet lab(opt);
    ASSERT_TRUE(lab.loop.joinable()) << lab.fleet->error();
    EXPECT_EQ(status_field(lab.fleet->status_json(), "online_after_ms", "SOON"), "200");
    int sock = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(0x7F000001);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    timeval tv{20, 0};
    ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    const std::vector<std::string> serials = {"NOW", "SOON", "LATE"};
    struct Step {
        std::vector<std::pair<std::string, std::string>> commands;  // and their replies
        std::set<std::string> online;
        bool resets_link = false;  // a console's link to NOW ends with a reset
    };
    const Step steps[] = {
        // SOON once its 0.2 s have passed; LATE not within its hour.
        {{}, {"NOW", "SOON"}},
        {{{"plug LATE in", "ok 1"}}, {"NOW", "SOON", "LATE"}},
        {{{"plug 0 out", "ok 1"}}, {"SOON", "LATE"}, true},
        // Out twice is still out, and an unplugged recorder cannot be rebooted.
        {{{"plug NOW out", "ok 1"}, {"reboot 0", "ok 0"}}, {"SOON", "LATE"}},
        {{{"plug 0 in", "ok 1"}}, {"NOW", "SOON", "LATE"}},
        // Back from a reboot with its serial number.
        {{{"reboot SOON", "ok 1"}}, {"NOW", "SOON", "LATE"}},
        // Unplugged while rebooting: it stays away when the reboot is over.
        {{{"reboot 1", "ok 1"}, {"plug 1 out", "ok 1"}}, {"NOW", "LATE"}},
        {{{"plug all in", "ok 3"},
          {"plug 1 sideways", "error: plug DEV in|out"},
          {"plug 7 in", "error: no device 7 (the fleet has 3)"}},
         {"NOW", "SOON", "LATE"}},
        {{{"plug all out", "ok 3"}}, {}},
    };
    for (size_t n = 0; n < std::size(steps); ++n) {
        const Step& step = steps[n];
        int link = -1;
        if (step.resets_link) {
            link = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_addr.s_addr = htonl(0x7F000001);
            sa.sin_port = htons(static_cast<uint16_t>(lab.fleet->device_copy(0).ptz_port));
            ASSERT_EQ(::connect(link, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
            ::setsockopt(link, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            ASSERT_TRUE(wait_until([&] { return lab.fleet->open_connections() == 1; }));
        }
        for (const auto& [command, reply] : step.commands)
            EXPECT_EQ(lab.fleet->command(command), reply) << "step " << n;
        if (link >= 0) {
            char c;
            EXPECT_EQ(::recv(link, &c, 1, 0), -1) << "step " << n;
            EXPECT_EQ(errno, ECONNRESET) << "step " << n;
            ::close(link);
        }
        // Arrivals and reboots take their time.
        ASSERT_TRUE(wait_until([&] {
            for (int i = 0; i < 3; ++i) {
                sim::Device d = lab.fleet->device_copy(i);
                if (d.link.rebooting || d.online() != (step.online.count(d.serial) == 1))
                    return false;
            }
            return true;
        })) << "step "
            << n;
        EXPECT_EQ(search_round(lab, sock), step.online) << "step " << n;
        std::string status = lab.fleet->status_json();
        for (int i = 0; i < 3; ++i) {
            const std::string& serial = serials[static_cast<size_t>(i)];
            const char* online = step.online.count(serial) ? "true" : "false";
            EXPECT_EQ(status_field(status, "online", serial), online) << "step " << n << " " << serial;
            EXPECT_EQ(status_field(status, "listening", serial), online) << "step " << n << " " << serial;
            if (int port = lab.fleet->device_copy(i).ptz_port; port != 0) {
                EXPECT_EQ(can_connect(0x7F000001, port), step.online.count(serial) == 1)
                    << "step " << n << " " << serial;
            }
        }
        if (n == 0) {
            // A recorder not plugged in ignores the network's datagrams too.
            lab.datagram(network_change("LATE", "127.0.0.2"));
            lab.datagram(network_change("LATE", "", 101));
            ASSERT_TRUE(wait_until([&] { return lab.fleet->device_copy(0).clock_datagrams == 1; }));
            EXPECT_EQ(lab.fleet->device_copy(2).network_changes, 0u);
            EXPECT_EQ(lab.fleet->device_copy(2).clock_datagrams, 0u);
        }
    }
    EXPECT_EQ(lab.fleet->device_copy(1).link.reboots, 2u);
    ::close(sock);
    std::filesystem::remove_all(dir);
}

TEST(FleetCommandSocket, RepliesLargerThanTheSocketBufferArriveWhole)
{
    char tmpl[] = "/tmp/dravlin-simtest-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    sim::FleetOptions opt;
    opt.devices = 256;
    opt.control_bind = 0x7F000001;
    opt.command_socket = dir + "/cmd.sock";
    {
        LoopbackFleet lab(opt);
        ASSERT_TRUE(lab.loop.joinable()) << lab.fleet->error();
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::memcpy(sa.sun_path, opt.command_socket.c_str(), opt.command_socket.size() + 1);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        // Three status replies of 256 recorders (each above the socket buffer) asked at once, the last line without its newline,
        // and the sending side closed as `echo ... | socat` does.
        std::string cmd = "status\nstatus\nstatus";
        ASSERT_EQ(::send(fd, cmd.data(), cmd.size(), 0), static_cast<ssize_t>(cmd.size()));
        ::shutdown(fd, SHUT_WR);
        std::string got;
        char buf[65536];
        for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
            got.append(buf, static_cast<size_t>(n));
        ::close(fd);
        size_t lines = 0;
        for (size_t start = 0, nl; (nl = got.find('\n', start)) != std::string::npos; start = nl + 1, ++lines) {
            std::string line = got.substr(start, nl - start);
            EXPECT_GT(line.size(), 220000u);
            EXPECT_NE(line.find("\"serial\": \"DRVSIM000256\""), std::string::npos);
            EXPECT_EQ(line.substr(line.size() - 4), "] } ");
        }
        EXPECT_EQ(lines, 3u);
    }
    std::filesystem::remove_all(dir);
}
