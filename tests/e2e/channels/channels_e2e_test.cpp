// dravlinctl channels and config get against a simulated NVR in a private namespace: the
// channel table the tool prints must be the one the NVR holds after every step, a text that
// would break the request never leaves the tool, and every configuration reader reads what the
// recorder sent.
#include "link_e2e.h"

#include <cctype>
#include <fstream>
#include <functional>
#include <sstream>

using e2e::Json;
using e2e::NetnsLab;
using e2e::NetnsTest;

using namespace link_e2e;

namespace {

const std::string kNvr = "10.77.1.1";

// 16 channels and five cameras, 192.168.1.103 reported first as ONVIF, then as MVK.
std::string fleet_file(const std::string& dir, const std::string& extra = "")
{
    std::string path = dir + "/fleet.txt";
    std::ofstream f(path);
    f << "type=NVR-SIM16 channels=16 " << extra
      << " camera=MVK:192.168.1.101:8091:admin:470213:MVKIPC000101:Gate"
         " camera=ONVIF:192.168.1.103:80:admin:470213:ONV000103:Hall"
         " camera=ONVIF:192.168.1.102:80:admin:470213:ONV000102:Yard"
         " camera=MVK:192.168.1.104:8091:admin:470213:MVKIPC000104:Stairs"
         " camera=MVK:192.168.1.103:8091:admin:470213:MVKIPC000103:Hall"
         " camera=ONVIF:192.168.1.105:80:admin:470213:ONV000105:Garage\n";
    return path;
}

std::vector<std::string> ctl(std::vector<std::string> args)
{
    std::vector<std::string> argv = {kCtl};
    argv.insert(argv.end(), args.begin(), args.end());
    for (const char* a : {"--target", "10.77.1.1", "--user", "admin", "--password", "admin123"})
        argv.push_back(a);
    return argv;
}

// The tool's --json table equals the NVR's own, channel by channel.
void expect_table_is_the_nvrs(const std::string& out, const Json& nvr)
{
    Json printed;
    ASSERT_TRUE(e2e::parse_json(out, &printed)) << out;
    const Json& held = nvr["channels"];
    ASSERT_EQ(printed.size(), held.size()) << out;
    for (size_t i = 0; i < held.size(); ++i) {
        SCOPED_TRACE("channel " + std::to_string(i + 1));
        EXPECT_EQ(printed[i]["channel"].integer(), held[i]["id"].integer());
        EXPECT_EQ(printed[i]["ip"].str, held[i]["used"].b ? held[i]["ip"].str : "");
        if (held[i]["used"].b) {
            EXPECT_EQ(printed[i]["protocol"].str, held[i]["protocol"].str);
        }
    }
}

std::vector<std::string> used_ips(const Json& nvr)
{
    std::vector<std::string> ips;
    for (const Json& c : nvr["channels"].arr)
        ips.push_back(c["used"].b ? c["ip"].str : "");
    return ips;
}

std::vector<std::string> table_of(const std::vector<std::string>& first)
{
    std::vector<std::string> t = first;
    t.resize(16);
    return t;
}

}  // namespace

class ChannelsE2E : public NetnsTest { };

TEST_F(ChannelsE2E, SearchFillSwapDeleteClearLeaveTheTableAsTheNvrReportsIt)
{
    NetnsLab lab(1);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    Sim sim(lab, {"--fleet", fleet_file(lab.dir())});
    ASSERT_TRUE(sim.ready()) << sim.err();
    const std::string serial = sim.read()["devices"][0]["serial"].str;
    auto nvr = [&] { return sim.link(0)["nvr"]; };
    // The status file follows the recorder within 100 ms.
    auto holds = [&](const std::vector<std::string>& table) {
        return e2e::wait_until([&] { return used_ips(nvr()) == table; });
    };

    // The camera list: one row per address, the MVK answer for 192.168.1.103 kept.
    e2e::RunResult r = lab.run(ctl({"channels", "search", "--seconds", "2", "--json"}));
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    Json cams;
    ASSERT_TRUE(e2e::parse_json(r.out, &cams)) << r.out;
    ASSERT_EQ(cams.size(), 5u) << r.out;
    const std::vector<std::string> order = {"192.168.1.101", "192.168.1.103", "192.168.1.102", "192.168.1.104",
                                            "192.168.1.105"};
    for (size_t i = 0; i < order.size(); ++i)
        EXPECT_EQ(cams[i]["ip"].str, order[i]);
    EXPECT_EQ(cams[1]["protocol"].str, "MVK");
    EXPECT_EQ(cams[1]["port"].integer(), 8091);
    EXPECT_EQ(cams[1]["serial"].str, "MVKIPC000103");

    r = lab.run(ctl({"channels", "fill", "--all", "--seconds", "2", "--json"}));
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(holds(table_of(order))) << r.out;
    EXPECT_EQ(nvr()["channels"][1]["protocol"].str, "MVK");
    expect_table_is_the_nvrs(r.out, nvr());

    // Found by serial number this time (a LAN search inside the namespace).
    r = lab.run({kCtl, "channels", "--serial", serial, "list", "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    expect_table_is_the_nvrs(r.out, nvr());

    r = lab.run(ctl({"channels", "swap", "1", "2", "--json"}));
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(holds(table_of({"192.168.1.103", "192.168.1.101", "192.168.1.102", "192.168.1.104", "192.168.1.105"})))
        << r.out;
    expect_table_is_the_nvrs(r.out, nvr());

    r = lab.run(ctl({"channels", "delete", "3", "--json"}));
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(holds(table_of({"192.168.1.103", "192.168.1.101", "", "192.168.1.104", "192.168.1.105"}))) << r.out;
    expect_table_is_the_nvrs(r.out, nvr());

    r = lab.run(ctl({"channels", "clear", "--json"}));
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(holds(table_of({}))) << r.out;
    expect_table_is_the_nvrs(r.out, nvr());
    EXPECT_TRUE(sim.link(0)["errors"].arr.empty());
}

TEST_F(ChannelsE2E, APasswordThatWouldBreakTheRequestIsRefusedBeforeAnythingIsSent)
{
    NetnsLab lab(1);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    Sim sim(lab, {"--fleet", fleet_file(lab.dir())});
    ASSERT_TRUE(sim.ready()) << sim.err();
    e2e::RunResult r = lab.run(ctl({"channels", "add", "--ip", "192.168.1.120", "--password", "pa\"ss"}));
    EXPECT_EQ(r.exit_code, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("--password"), std::string::npos) << r.err;
    Json link = sim.link(0);
    EXPECT_EQ(link["connections"].integer(), 0);
    for (const Json& req : link["requests"].arr)
        EXPECT_EQ(req.str.find("3804"), std::string::npos) << req.str;
}

namespace {

bool blank(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// Every value of that attribute of the elements of that name in the recorder's body, in order.
std::vector<std::string> attrs(const std::string& body, const std::string& element, const std::string& name)
{
    std::vector<std::string> out;
    const std::string open = "<" + element, key = name + "=\"";
    for (size_t at = body.find(open); at != std::string::npos; at = body.find(open, at + 1)) {
        size_t after = at + open.size();
        if (after >= body.size() || !(blank(body[after]) || body[after] == '/' || body[after] == '>'))
            continue;
        std::string tag = body.substr(at, body.find('>', at) - at);
        for (size_t k = tag.find(key); k != std::string::npos; k = tag.find(key, k + 1)) {
            if (blank(tag[k - 1])) {
                size_t v = k + key.size();
                out.push_back(tag.substr(v, tag.find('"', v) - v));
                break;
            }
        }
    }
    return out;
}

// The value of that attribute of the first element of that name.
std::string attr(const std::string& body, const std::string& element, const std::string& name)
{
    std::vector<std::string> all = attrs(body, element, name);
    return all.empty() ? "<missing " + element + " " + name + ">" : all[0];
}

std::vector<std::string> split(const std::string& s, char sep)
{
    std::vector<std::string> out;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, sep))
        out.push_back(part);
    return out;
}

struct ReaderRow {
    const char* name;
    int code;
    std::vector<std::string> as;
    // The reader's JSON against the body the recorder sent for that code.
    std::function<void(const Json& j, const std::string& body)> check;
};

const std::vector<ReaderRow>& reader_rows()
{
    static const std::vector<ReaderRow> rows = {
        {"encode",
         301,
         {"encode"},
         [](const Json& j, const std::string& b) {
             ASSERT_EQ(j["count"].integer(), 2);
             EXPECT_EQ(j["entries"][0]["Resolution"].str, "720P");  // the fleet file's
             EXPECT_EQ(j["entries"][1]["Stream"].str, "2");
             EXPECT_EQ(j["entries"][1]["BitRate"].str, attrs(b, "EncodeConfig", "BitRate")[1]);
             EXPECT_EQ(j["entries"][1]["BitRateControl"].str, attrs(b, "EncodeConfig", "BitRateControl")[1]);
         }},
        {"encode-params",
         301,
         {"encode-params"},
         [](const Json& j, const std::string& b) {
             EXPECT_EQ(j["main"]["resolution"].integer(), 13);
             EXPECT_EQ(j["main"]["resolution_text"].str, "720P");
             EXPECT_EQ(j["main"]["framerate"].integer(), std::stoi(attrs(b, "EncodeConfig", "FrameRate")[0]));
             EXPECT_EQ(j["sub"]["bitrate"].integer(), std::stoi(attrs(b, "EncodeConfig", "BitRate")[1]));
         }},
        {"accounts",
         302,
         {"accounts"},
         [](const Json& j, const std::string& b) {
             ASSERT_GE(j.size(), 2u);
             EXPECT_EQ(j[0]["Username"].str, "admin");  // the account the tool logged in with
             EXPECT_EQ(j[0]["Password"].str, "admin123");
             EXPECT_EQ(j[1]["Username"].str, attrs(b, "Account", "Username")[1]);
             EXPECT_EQ(j[1]["Group"].str, attrs(b, "Account", "Group")[1]);
         }},
        {"live-stream",
         303,
         {"live-stream"},
         [](const Json& j, const std::string& b) {
             EXPECT_EQ(j["VideoPort"].integer(), std::stoi(attr(b, "TRANS_PARAM", "VideoPort")));
             EXPECT_EQ(j["MulticastAddress"].str, attr(b, "TRANS_PARAM", "MulticastAddress"));
             EXPECT_EQ(j["Width"].integer(), 1280);  // 720P
             EXPECT_EQ(j["VideoEncoder"].str, attr(b, "VIDEO_PARAM", "Encoder"));
             std::string hex = attr(b, "VIDEO_PARAM", "Config");
             for (char& c : hex)
                 c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
             EXPECT_EQ(j["Config"].str, hex);
             EXPECT_EQ(j["ConfigLength"].integer(), static_cast<long long>(hex.size() / 2));
             EXPECT_EQ(j["SampleRate"].integer(), std::stoi(attr(b, "AUDIO_PARAM", "SampleRate")));
         }},
        {"vendor",
         304,
         {"vendor"},
         [](const Json& j, const std::string&) { EXPECT_EQ(j["VendorId"].str, "VENDOR-E2E"); }},
        {"request-param",
         304,
         {"request-param", "VENDOR_PARAM", "VendorId"},
         [](const Json& j, const std::string&) { EXPECT_EQ(j["value"].str, "VENDOR-E2E"); }},
        {"root-attr",
         304,
         {"root-attr", "VendorId"},
         [](const Json& j, const std::string& b) { EXPECT_EQ(j["value"].str, attr(b, "VENDOR_PARAM", "VendorId")); }},
        {"video-caps",
         305,
         {"video-caps"},
         [](const Json& j, const std::string& b) {
             std::string caplist = attr(b, "VideoCap", "CapList");
             EXPECT_EQ(j["CapList"].str, caplist);
             std::vector<std::string> items = split(caplist, ';');
             ASSERT_GE(items.size(), 2u);
             ASSERT_EQ(j["entries"].size(), items.size());
             std::vector<std::string> f = split(items[1], ',');
             ASSERT_EQ(f.size(), 11u);
             EXPECT_EQ(j["entries"][1]["Item0"].str, f[0]);
             EXPECT_EQ(j["entries"][1]["Item1"].str, f[1]);
             EXPECT_EQ(j["entries"][1]["Item2to10"][0].integer(), std::stoi(f[2]));
             EXPECT_EQ(j["entries"][1]["Item2to10"][8].integer(), std::stoi(f[10]));
         }},
        {"best-params",
         306,
         {"best-params"},
         [](const Json& j, const std::string& b) {
             std::vector<std::string> items = split(attr(b, "VideoBestParameter", "CapList"), ';');
             ASSERT_GE(items.size(), 2u);
             ASSERT_EQ(j.size(), items.size());
             std::vector<std::string> f = split(items[0], ',');
             ASSERT_EQ(f.size(), 7u);
             EXPECT_EQ(j[0]["Item0"].integer(), std::stoi(f[0]));
             EXPECT_EQ(j[0]["Item1"].str, f[1]);
             EXPECT_EQ(j[0]["Item3"].str, f[3]);
             EXPECT_EQ(j[0]["Item6"].integer(), std::stoi(f[6]));
         }},
    };
    return rows;
}

}  // namespace

TEST_F(ChannelsE2E, EveryConfigurationReaderReadsWhatTheRecorderHolds)
{
    NetnsLab lab(1);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    Sim sim(lab, {"--fleet", fleet_file(lab.dir(), "vendor=VENDOR-E2E resolution=720P")});
    ASSERT_TRUE(sim.ready()) << sim.err();
    for (const ReaderRow& row : reader_rows()) {
        SCOPED_TRACE(row.name);
        // The body as the recorder sent it, then the reader's record of it.
        e2e::RunResult raw = lab.run(ctl({"config", "get", "--code", std::to_string(row.code)}));
        ASSERT_EQ(raw.exit_code, 0) << raw.out << raw.err;
        std::vector<std::string> args = {"config", "get", "--code", std::to_string(row.code), "--as"};
        args.insert(args.end(), row.as.begin(), row.as.end());
        e2e::RunResult r = lab.run(ctl(args));
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err << "\nbody:\n" << raw.out;
        Json j;
        ASSERT_TRUE(e2e::parse_json(r.out, &j)) << r.out;
        row.check(j, raw.out);
    }
    // A reader that finds nothing it knows in the answer fails the command.
    e2e::RunResult r = lab.run(ctl({"config", "get", "--code", "999", "--as", "vendor"}));
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
}
