// The channel-table controller on a fake port: answer routing, the camera-list merge, filling
// free channels in row order, and the delete, clear, swap, canvas and edit rules.
#include "jobs/channel_table.h"

#include "common/log_capture.h"
#include "link/link.h"
#include "util/fixedstr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace jobs;
using link_test::LogCapture;

// Records every request as a word ("list3", "add 0=10.0.0.1 2=10.0.0.3", "del255", ...).
struct FakePort : ChannelPort {
    std::vector<std::string> calls;
    int result = 0;

    int note(const std::string& word)
    {
        calls.push_back(word);
        return result;
    }
    int search_start() override { return note("search"); }
    int search_stop() override { return note("stop"); }
    int get_list(int slot) override { return note("list" + std::to_string(slot)); }
    int add(int count, const ChannelParam* r) override
    {
        std::string w = "add";
        for (int i = 0; i < count; ++i)
            w += " " + std::to_string(r[i].ChannelId) + "=" + fixed_str(r[i].IpAddr) + ":" +
                std::to_string(r[i].CtrlPort);
        return note(w);
    }
    int del(int channel) override { return note("del" + std::to_string(channel)); }
    int swap(int a, int b) override { return note("swap" + std::to_string(a) + "," + std::to_string(b)); }
    int set_picnum(int n) override { return note("canvas" + std::to_string(n)); }
    int page_turn(int next) override { return note("page" + std::to_string(next)); }
};

std::string ipc(const char* ip, const char* protocol, const char* name = "", const char* password = "pw")
{
    return std::string("<IPCINFO Protocol=\"") + protocol + "\" IPAddress=\"" + ip +
        "\" Username=\"admin\" Password=\"" + password + "\" CtrlPort=\"8091\" OsdName=\"" + name + "\"/>";
}

std::string chan(int id, const char* ip, const char* protocol = "MVK")
{
    return "<ChannelInfo ChannelId=\"" + std::to_string(id) + "\" Protocol=\"" + protocol + "\" IpAddr=\"" + ip +
        "\" ChannnelName=\"\" Status=\"0\"/>";
}

struct Table : LogCapture {
    FakePort port;
    ChannelTable table{port};

    void answer(int code, const std::string& inner, int flag = 0, int slot = 0,
                const char* type = "SYSTEM_CONFIG_GET_MESSAGE")
    {
        AuxDataInfo info{};
        fixed_copy(info.msgtype, type);
        info.code = code;
        info.flag = flag;
        std::string body = "<MESSAGE_BODY>\n" + inner + "\n</MESSAGE_BODY>";
        EXPECT_EQ(table.on_aux(slot, IPC_AUX_RESPONSE, body.data(), static_cast<int>(body.size()), &info), 0);
    }
    std::vector<std::string> camera_ips() const
    {
        std::vector<std::string> out;
        for (const auto& c : table.cameras())
            out.push_back(fixed_str(c.IpAddr) + "/" + nvr_protocol_text(c.Protocol));
        return out;
    }
    using Words = std::vector<std::string>;
};

TEST_F(Table, RoutesAnswersByCodeAndFlag)
{
    struct Case {
        const char* what;
        int code, flag, slot;
        const char* type;
        Table::Words calls;
        const char* log;
    } cases[] = {
        {"add confirmed: re-read on the same slot", 3804, 0, 3, "SYSTEM_CONFIG_GET_MESSAGE", {"list3"}, nullptr},
        {"swap confirmed", 3806, 0, 0, "SYSTEM_CONFIG_GET_MESSAGE", {"list0"}, nullptr},
        {"add refused", 3804, 1, 0, "SYSTEM_CONFIG_GET_MESSAGE", {}, "add channel fail\n"},
        {"delete answer ignored", 3805, 0, 0, "SYSTEM_CONFIG_GET_MESSAGE", {}, nullptr},
        {"another type", 3804, 0, 0, "SYSTEM_CONFIG_SET_MESSAGE", {}, nullptr},
    };
    for (const auto& c : cases) {
        port.calls.clear();
        clear_log();
        answer(c.code, "", c.flag, c.slot, c.type);
        EXPECT_EQ(port.calls, c.calls) << c.what;
        if (c.log) {
            EXPECT_TRUE(logged(c.log)) << c.what;
        }
    }
    EXPECT_EQ(table.answers().size(), 4u);  // the other type is not an answer of ours

    answer(3803, chan(1, "10.0.0.9") + chan(2, ""));
    ASSERT_EQ(table.channels().size(), 2u);
    EXPECT_EQ(table.first_free_row(), 1);
    answer(3803, "<ChannelInfo");
    EXPECT_TRUE(logged("xml parase error\n"));
    EXPECT_EQ(table.channels().size(), 2u);  // a broken answer leaves the table

    std::string body = "<MESSAGE_BODY/>";
    EXPECT_EQ(table.on_aux(0, IPC_AUX_RESPONSE, body.data(), static_cast<int>(body.size()), nullptr), 0);
    EXPECT_TRUE(logged("pExtData is NULL, AuxDataCB:\n<MESSAGE_BODY/>\n"));

    port.calls.clear();
    EXPECT_EQ(table.on_event(2, IPC_EVENT_LOGIN_OK), 0);
    EXPECT_EQ(port.calls, Table::Words{"list2"});
    EXPECT_EQ(table.login_state(), IPC_EVENT_LOGIN_OK);
    EXPECT_EQ(table.on_event(64, IPC_EVENT_LOGIN_OK), -1);
}

TEST_F(Table, OneCameraRowPerAddressAndMvkWins)
{
    EXPECT_EQ(table.start_search(), 0);
    EXPECT_TRUE(table.searching());
    answer(3801, ipc("10.0.0.5", "MVK", "first") + ipc("10.0.0.6", "ONVIF"));
    answer(3801, ipc("10.0.0.5", "ONVIF", "second") + ipc("10.0.0.6", "MVK") + ipc("10.0.0.7", "ONVIF"));
    EXPECT_EQ(camera_ips(), (Table::Words{"10.0.0.5/MVK", "10.0.0.6/MVK", "10.0.0.7/ONVIF"}));
    EXPECT_EQ(fixed_str(table.cameras()[0].OsdName), "first");
    answer(3801, "<X/>");  // no IPCINFO: the list stays
    EXPECT_EQ(table.cameras().size(), 3u);
    table.start_search();
    EXPECT_TRUE(table.cameras().empty());
}

TEST_F(Table, FillsFreeChannelsInRowOrder)
{
    answer(3801, ipc("10.0.0.1", "MVK") + ipc("10.0.0.2", "MVK") + ipc("10.0.0.3", "ONVIF") + ipc("10.0.0.4", "MVK"));
    EXPECT_EQ(table.fill().result, kChanTableFull);  // no channel table yet
    answer(3803, chan(1, "") + chan(2, "10.0.0.2") + chan(3, ""));
    port.calls.clear();

    ChanOp op = table.fill();
    EXPECT_EQ(op.result, kChanOk);
    EXPECT_EQ(op.sent, 2);
    EXPECT_EQ(port.calls, Table::Words{"add 0=10.0.0.1:8091 2=10.0.0.3:8091"});
    EXPECT_TRUE(logged("has sampe ip:10.0.0.2\n"));
    EXPECT_TRUE(logged("to add:10.0.0.3 to 2\n"));

    EXPECT_EQ(table.add_cameras({}).result, kChanNoSelection);
    EXPECT_EQ(table.add_cameras({1}).result, kChanAlreadyAdded);
    EXPECT_EQ(table.add_cameras({9}).result, kChanBadArgument);

    // Double-click add: the first ticked channel, else the first free one.
    port.calls.clear();
    EXPECT_EQ(table.add_camera(3, {2, 1}).result, kChanOk);
    EXPECT_EQ(table.add_camera(3, {}).result, kChanOk);
    EXPECT_EQ(port.calls, (Table::Words{"add 1=10.0.0.4:8091", "add 0=10.0.0.4:8091"}));

    port.result = -4;
    EXPECT_EQ(table.fill().result, kChanNotSent);
    EXPECT_TRUE(logged("nvr_chan_add return fail\n"));
}

TEST_F(Table, RefusesTextsThatWouldBreakTheRequest)
{
    answer(3801, ipc("10.0.0.1", "MVK", "", "a&amp;b"));
    answer(3803, chan(1, ""));
    port.calls.clear();
    EXPECT_EQ(table.fill().result, kChanBadText);
    ChannelParam p{};
    fixed_copy(p.IpAddr, "10.0.0.9");
    fixed_copy(p.Password, "x\"y");
    EXPECT_EQ(table.set_channel(p).result, kChanBadText);
    EXPECT_TRUE(port.calls.empty());
}

TEST_F(Table, DeleteClearSwapCanvasAndEdit)
{
    EXPECT_EQ(table.clear().sent, 0);  // empty table: nothing
    std::string rows;
    for (int i = 1; i <= 16; ++i)
        rows += chan(i, i == 2 ? "10.0.0.7" : i == 3 ? "10.0.x" : "", i == 2 ? "ONVIF" : "MVK");
    answer(3803, rows);
    port.calls.clear();

    ChanOp del = table.delete_channels({0, 3, 40});
    EXPECT_EQ(del.sent, 2);
    EXPECT_EQ(del.reread_after_ms, 1000);
    ChanOp clr = table.clear();
    EXPECT_EQ(clr.reread_after_ms, 16 * 800);
    EXPECT_EQ(table.swap({5}).result, kChanNeedTwo);
    EXPECT_EQ(table.swap({1, 2, 3}).result, kChanNeedTwo);
    EXPECT_EQ(table.swap({6, 1}).reread_after_ms, 300);
    EXPECT_EQ(table.set_canvas(16), 0);
    EXPECT_EQ(table.set_canvas(25), kChanBadArgument);  // not offered for 16 channels
    EXPECT_EQ(table.turn_page(true), 0);
    EXPECT_EQ(port.calls, (Table::Words{"del0", "del3", "del255", "swap1,6", "canvas16", "page1"}));

    EXPECT_EQ(ChannelTable::canvas_choices(4), (std::vector<int>{1, 2, 4}));
    EXPECT_EQ(ChannelTable::canvas_choices(5).back(), 9);
    EXPECT_EQ(ChannelTable::canvas_choices(36).back(), 36);
    EXPECT_TRUE(ChannelTable::canvas_choices(37).empty());

    ChannelEditForm form;
    ASSERT_EQ(table.edit_form(0, form), kChanOk);
    EXPECT_EQ(form.ip, "192.168.1.0");
    EXPECT_TRUE(form.ip_editable);
    EXPECT_EQ(form.port, 8091);
    EXPECT_EQ(form.user, "admin");
    ASSERT_EQ(table.edit_form(1, form), kChanOk);
    EXPECT_EQ(form.ip, "10.0.0.7");
    EXPECT_FALSE(form.ip_editable);
    EXPECT_EQ(form.port, 80);
    EXPECT_EQ(table.edit_form(2, form), kChanBadAddress);
    port.calls.clear();
    form.ip = "10.0.0.8";
    EXPECT_EQ(table.apply_edit(1, form).result, kChanOk);  // channel 2 shown, index 1 sent
    EXPECT_EQ(port.calls, Table::Words{"add 1=10.0.0.8:80"});
}

}  // namespace
