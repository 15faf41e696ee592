// Answer handling of the device table, fed directly with datagram texts.
#include "discovery/search_table.h"
#include "helpers.h"
#include "util/fixedstr.h"

#include <atomic>
#include <memory>

using dtest::LogTest;

namespace {

int handle(SearchTable& t, const std::string& text) { return t.handle_datagram(text.c_str()); }

std::atomic<int> g_callbacks{0};
void count_callback(const IPCSearchInfo*) { ++g_callbacks; }

}  // namespace

class SearchTableTest : public LogTest { };

TEST_F(SearchTableTest, ListsAGoodAnswerWithEveryField)
{
    auto table = std::make_unique<SearchTable>();
    sim::Device d = dtest::device(7);
    d.ptz_port = 9001;
    d.web_port = 8080;
    d.video_port = 5554;
    d.lan.dhcp = 1;
    d.accounts.push_back({"op", "secret", "Users", "Disable"});
    EXPECT_EQ(handle(*table, sim::build_answer(d)), 1);
    ASSERT_EQ(table->count(), 1);
    const IPCSearchInfo* r = table->slot(0);
    EXPECT_EQ(fixed_view(r->devid.SerialNumber), "SN000007");
    EXPECT_EQ(fixed_view(r->devid.DeviceType), "NVR-SIM16");
    EXPECT_EQ(fixed_view(r->lancfg.IPAddress), d.lan.ip);
    EXPECT_EQ(fixed_view(r->lancfg.MacAddress), d.lan.mac);
    EXPECT_EQ(fixed_view(r->lancfg.Gateway), "10.77.0.1");
    EXPECT_EQ(r->lancfg.DHCP, 1);
    EXPECT_EQ(r->streamcfg.PTZPort, 9001);
    EXPECT_EQ(r->streamcfg.WEBPort, 8080);
    EXPECT_EQ(r->streamcfg.VideoPort, 5554);
    ASSERT_EQ(r->usercfg.count, 2);
    EXPECT_EQ(fixed_view(r->usercfg.accounts[1].Username), "op");
    EXPECT_EQ(fixed_view(r->usercfg.accounts[1].Status), "Disable");
    EXPECT_EQ(dtest::count_logged("found mac=[" + d.lan.mac + "], ip=[" + d.lan.ip + "]\n"), 1);
}

TEST_F(SearchTableTest, DropsForeignAndMalformedAnswers)
{
    struct Case {
        sim::AnswerFault fault;
        const char* log_prefix;  // nullptr: dropped without a line
    } cases[] = {
        {sim::AnswerFault::MissingSerial, "serial number not found\n, msg="},
        {sim::AnswerFault::EmptySerial, "SerialNumber not found.\n"},
        {sim::AnswerFault::MissingType, "serial number not found\n, msg="},
        {sim::AnswerFault::NoTypeAttr, nullptr},
        {sim::AnswerFault::MissingLan, "lan config not found.\n"},
        {sim::AnswerFault::MissingStream, "stream config not found.\n"},
        {sim::AnswerFault::MissingUser, "user config not found.\n"},
        {sim::AnswerFault::WrongCode, nullptr},
        {sim::AnswerFault::Nvs, nullptr},
        {sim::AnswerFault::Dvs, nullptr},
        {sim::AnswerFault::Truncated, "GetMessageHeader fail\n"},
        {sim::AnswerFault::Garbage, "GetMessageHeader fail\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(sim::fault_name(c.fault));
        dtest::clear_log();
        auto table = std::make_unique<SearchTable>();
        sim::Device d = dtest::device(1);
        d.fault = c.fault;
        EXPECT_EQ(handle(*table, sim::build_answer(d)), 0);
        EXPECT_EQ(table->count(), 0);
        if (c.log_prefix) {
            EXPECT_TRUE(dtest::logged_prefix(c.log_prefix));
        }
        EXPECT_FALSE(dtest::logged_prefix("found mac="));
    }
}

TEST_F(SearchTableTest, TypeMatchIsCaseSensitiveAnywhereInTheText)
{
    struct Case {
        const char* type;
        bool listed;
    } cases[] = {{"NVR-16", true},    {"XNVSX", false}, {"HDVS", false},
                 {"nvs-lower", true}, {"dvs", true},    {"ZIZ-UD355", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        auto table = std::make_unique<SearchTable>();
        EXPECT_EQ(handle(*table, sim::build_answer(dtest::device(1, c.type))), c.listed ? 1 : 0);
    }
}

TEST_F(SearchTableTest, AnswerWithoutBodyElementIsRead)
{
    auto table = std::make_unique<SearchTable>();
    sim::Device d = dtest::device(3);
    d.fault = sim::AnswerFault::NoBody;
    EXPECT_EQ(handle(*table, sim::build_answer(d)), 1);
}

TEST_F(SearchTableTest, SameSerialRefreshesOneRecord)
{
    auto table = std::make_unique<SearchTable>();
    table->set_callback(count_callback);
    g_callbacks = 0;
    sim::Device d = dtest::device(5);
    EXPECT_EQ(handle(*table, sim::build_answer(d)), 1);
    d.lan.ip = "10.77.9.9";
    d.ptz_port = 7000;
    EXPECT_EQ(handle(*table, sim::build_answer(d)), 2);
    EXPECT_EQ(handle(*table, sim::build_answer(dtest::device(6))), 1);
    ASSERT_EQ(table->count(), 2);
    EXPECT_EQ(fixed_view(table->slot(0)->lancfg.IPAddress), "10.77.9.9");
    EXPECT_EQ(table->slot(0)->streamcfg.PTZPort, 7000);
    EXPECT_EQ(g_callbacks.load(), 2);
    EXPECT_EQ(dtest::count_logged("found mac=[" + d.lan.mac + "], ip=[10.77.9.9]\n"), 0);

    // Serial numbers compare exactly.
    sim::Device upper = dtest::device(5);
    upper.serial = "sn000005";
    EXPECT_EQ(handle(*table, sim::build_answer(upper)), 1);
}

TEST_F(SearchTableTest, OverlongTextsAreCutToTheirFieldsAndPrintedBounded)
{
    auto table = std::make_unique<SearchTable>();
    sim::Device d = dtest::device(9);
    d.fault = sim::AnswerFault::LongFields;
    ASSERT_EQ(handle(*table, sim::build_answer(d)), 1);
    const IPCSearchInfo* r = table->slot(0);
    EXPECT_EQ(fixed_view(r->devid.SerialNumber).size(), 32u);
    EXPECT_EQ(fixed_view(r->lancfg.MacAddress).size(), 256u);
    EXPECT_EQ(fixed_view(r->usercfg.accounts[0].Status).size(), 8u);
    // The log line holds exactly the 256 bytes of each field, not what follows it in memory.
    std::string mac(fixed_view(r->lancfg.MacAddress));
    std::string ip(fixed_view(r->lancfg.IPAddress));
    EXPECT_EQ(dtest::count_logged("found mac=[" + mac + "], ip=[" + ip + "]\n"), 1);
}

TEST_F(SearchTableTest, FullTableDropsNewDevicesButRefreshesListedOnes)
{
    auto table = std::make_unique<SearchTable>();
    for (int i = 0; i < kMaxSearchDevices; ++i)
        ASSERT_EQ(handle(*table, sim::build_answer(dtest::device(i))), 1);
    sim::Device extra = dtest::device(kMaxSearchDevices);
    EXPECT_EQ(handle(*table, sim::build_answer(extra)), 0);
    EXPECT_EQ(table->count(), kMaxSearchDevices);
    EXPECT_EQ(dtest::count_logged("found mac=[" + extra.lan.mac + "], ip=[" + extra.lan.ip +
                                  "], but ipc count exceed 1000\n"),
              1);
    sim::Device again = dtest::device(0);
    again.lan.ip = "10.77.200.1";
    EXPECT_EQ(handle(*table, sim::build_answer(again)), 2);
    EXPECT_EQ(fixed_view(table->slot(0)->lancfg.IPAddress), "10.77.200.1");
}

TEST_F(SearchTableTest, CopyAndOverwriteBounds)
{
    auto table = std::make_unique<SearchTable>();
    auto rec = std::make_unique<IPCSearchInfo>();
    EXPECT_EQ(table->copy(0, rec.get()), 0);
    EXPECT_EQ(table->copy(-1, rec.get()), -1);
    EXPECT_EQ(table->copy(kMaxSearchDevices, rec.get()), -1);
    EXPECT_FALSE(table->overwrite(0, *rec));
    ASSERT_EQ(handle(*table, sim::build_answer(dtest::device(1))), 1);
    EXPECT_EQ(table->copy(0, rec.get()), 1);
    fixed_copy(rec->lancfg.IPAddress, "1.2.3.4");
    EXPECT_TRUE(table->overwrite(0, *rec));
    EXPECT_EQ(fixed_view(table->slot(0)->lancfg.IPAddress), "1.2.3.4");
}
