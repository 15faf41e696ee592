// The channel page and its parameters dialog. Most cases run over a fake channel port with the
// NVR's answers handed to the page's table as the link would hand them; the login case logs in
// to a simulated NVR on 127.0.0.1.
// Before any Qt header: the simulator names a member emit, which Qt defines as a macro.
#include "sim/fleet.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QTest>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "page_fixture.h"
#include "ui/pages/channel_set.h"
#include "ui/pages/dchan_ctrl.h"
#include "ui/platform/ip_address_ctrl.h"
#include "util/fixedstr.h"

using namespace page_test;

namespace {

// Records every request as text ("add 2:10.0.0.1@1,10.0.0.2@2", "del 3", ...).
class FakePort : public jobs::ChannelPort {
 public:
  std::atomic<int> result{0};
  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> lk(mu_);
    return calls_;
  }
  std::vector<ChannelParam> added() {
    std::lock_guard<std::mutex> lk(mu_);
    return added_;
  }
  bool saw(const std::string& call) {
    auto c = calls();
    return std::find(c.begin(), c.end(), call) != c.end();
  }
  void clear() {
    std::lock_guard<std::mutex> lk(mu_);
    calls_.clear();
    added_.clear();
  }

  int search_start() override { return note("start"); }
  int search_stop() override { return note("stop"); }
  int get_list(int slot) override { return note("list " + std::to_string(slot)); }
  int add(int count, const ChannelParam* r) override {
    std::string s = "add " + std::to_string(count) + ":";
    {
      std::lock_guard<std::mutex> lk(mu_);
      for (int i = 0; i < count; ++i) {
        added_.push_back(r[i]);
        s += (i ? "," : "") + fixed_str(r[i].IpAddr) + "@" + std::to_string(r[i].ChannelId);
      }
    }
    return note(s);
  }
  int del(int channel) override { return note("del " + std::to_string(channel)); }
  int swap(int a, int b) override { return note("swap " + std::to_string(a) + "," + std::to_string(b)); }
  int set_picnum(int n) override { return note("picnum " + std::to_string(n)); }
  int page_turn(int next) override { return note("page " + std::to_string(next)); }

 private:
  int note(const std::string& s) {
    std::lock_guard<std::mutex> lk(mu_);
    calls_.push_back(s);
    return result.load();
  }
  std::mutex mu_;
  std::vector<std::string> calls_;
  std::vector<ChannelParam> added_;
};

struct Cam {
  const char* proto;
  const char* ip;
  const char* sn = "";
};

std::string CameraBody(const std::vector<Cam>& cams) {
  std::string b = "<MESSAGE_BODY>\n";
  for (const Cam& c : cams)
    b += std::string("<IPCINFO Protocol=\"") + c.proto + "\" IPAddress=\"" + c.ip +
         "\" Username=\"admin\" Password=\"pw\" CtrlPort=\"8091\" SN=\"" + c.sn + "\" OsdName=\"cam\"/>\n";
  return b + "</MESSAGE_BODY>";
}

// One channel per entry: "" free, else "PROTO ip".
std::string ChannelBody(const std::vector<std::string>& rows) {
  std::string b = "<MESSAGE_BODY>\n";
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string& r = rows[i];
    const size_t sp = r.find(' ');
    const std::string proto = r.empty() ? "MVK" : r.substr(0, sp), ip = r.empty() ? "" : r.substr(sp + 1);
    b += "<ChannelInfo ChannelId=\"" + std::to_string(i + 1) + "\" Protocol=\"" + proto + "\" Status=\"0\" IpAddr=\"" +
         ip + "\" ChannnelName=\"\"/>\n";
  }
  return b + "</MESSAGE_BODY>";
}

std::vector<std::string> FreeRows(int n) { return std::vector<std::string>(static_cast<size_t>(n)); }

class ChanPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GuiApp();
    scoped = std::make_unique<ScopedUiSeam>(&seam);
    host = std::make_unique<QWidget>();
    host->resize(1200, 800);
    page = std::make_unique<CDChanCtrl>(&port);
    ASSERT_TRUE(page->Create(IDD_DCHANCTRL, host.get()));
  }
  void TearDown() override {
    page.reset();
    host.reset();
    scoped.reset();
  }

  // What the link's receive thread hands on for one answer.
  void Answer(int code, const std::string& body, int flag = 0) {
    AuxDataInfo info{};
    fixed_copy(info.msgtype, "SYSTEM_CONFIG_GET_MESSAGE");
    info.code = code;
    info.flag = flag;
    page->Table().on_aux(0, IPC_AUX_RESPONSE, body.data(), static_cast<int>(body.size()), &info);
  }
  void Cameras(const std::vector<Cam>& cams) { Answer(3801, CameraBody(cams)); }
  void Channels(const std::vector<std::string>& rows) { Answer(3803, ChannelBody(rows)); }
  void Click(int id) { page->OnCommand(id, BN_CLICKED); }
  void DoubleClick(int list, int row) { page->OnReportNotify(list, NM_REPORT_DBLCLK, row, 0); }
  QString Box() { return seam.boxes.empty() ? QString() : seam.boxes.back().text; }
  CReportCtrl& ipcs() { return page->IpcList(); }
  CReportCtrl& chans() { return page->ChannelList(); }

  FakePort port;
  RecordingUiSeam seam;
  std::unique_ptr<ScopedUiSeam> scoped;
  std::unique_ptr<QWidget> host;
  std::unique_ptr<CDChanCtrl> page;
};

}  // namespace

TEST_F(ChanPageTest, ListsHaveTheirColumnsAndOnlyTheIpcListSorts) {
  struct Case {
    CReportCtrl* list;
    std::vector<const char*> headings;
    bool checks, sortable;
  };
  const Case cases[] = {
      {&page->NvrList(), {"NVR 列表", "序列号"}, false, false},
      {&chans(), {"通道", "IP地址", "协议", "通道名称", "状态"}, true, false},
      {&ipcs(), {"IP地址", "协议", "通道名称", "序列号"}, true, true},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.list->GetColumnCount(), static_cast<int>(c.headings.size()));
    for (size_t i = 0; i < c.headings.size(); ++i)
      EXPECT_EQ(c.list->GetHeaderText(static_cast<int>(i)), U8(c.headings[i]));
    EXPECT_EQ((c.list->GetExtendedStyle() & LVS_EX_CHECKBOXES) != 0, c.checks);
    EXPECT_EQ(c.list->IsSortable(), c.sortable);
  }
  EXPECT_EQ(page->GetDlgItemText(IDC_CHAN_LOGIN_STATE), U8("NVR登录状态（无）"));
}

TEST_F(ChanPageTest, MergeKeepsOneRowPerAddressWithMvkWinning) {
  Cameras({{"MVK", "10.0.0.5", "A"}, {"ONVIF", "10.0.0.6", "B"}});
  Cameras({{"ONVIF", "10.0.0.5", "A2"}, {"MVK", "10.0.0.6", "B2"}, {"ONVIF", "10.0.0.7", "C"}});
  const char* want[][3] = {{"10.0.0.5", "MVK", "A"}, {"10.0.0.6", "MVK", "B2"}, {"10.0.0.7", "ONVIF", "C"}};
  ASSERT_EQ(ipcs().GetRowCount(), 3);
  for (int r = 0; r < 3; ++r) {
    EXPECT_EQ(ipcs().GetCellText(r, 0), U8(want[r][0]));
    EXPECT_EQ(ipcs().GetCellText(r, 1), U8(want[r][1]));
    EXPECT_EQ(ipcs().GetCellText(r, 3), U8(want[r][2]));
  }
}

TEST_F(ChanPageTest, AddButtonsSendWhatFitsOrSayWhy) {
  struct Case {
    const char* name;
    std::vector<std::string> channels;
    std::vector<int> ticked;  // IPC rows; -1: 加满
    std::string call;         // the add sent, "" none
    const char* box;          // nullptr none
  };
  const char* kNoSel = "请在左则IPC列表选中相应IPC进行操作！\n如果没有IPC列表可双击NVR列表中NVR， 并点击搜索进行刷新！";
  const Case cases[] = {
      {"nothing ticked, empty table", {}, {}, "", kNoSel},
      {"fill: 3 cameras, 2 free", {"", "MVK 10.0.9.9", ""}, {-1}, "add 2:10.0.0.1@0,10.0.0.2@2", nullptr},
      {"ticked one already there", {"MVK 10.0.0.2", ""}, {1}, "", "选中的IPC已经添加在NVR通道列表中,不需要重复添加!"},
      {"no free channel",
       {"MVK 10.0.9.9"},
       {-1},
       "",
       "NVR 通道已满!请刷新或者删除某些通道后再添加!也可双击通道列表进行参数修改!"},
      {"ticked rows in list order", FreeRows(4), {2, 0}, "add 2:10.0.0.1@0,10.0.0.3@1", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.channels.empty()) Channels(c.channels);
    Cameras({{"MVK", "10.0.0.1"}, {"MVK", "10.0.0.2"}, {"MVK", "10.0.0.3"}});
    for (int r = 0; r < ipcs().GetRowCount(); ++r) ipcs().SetRowCheck(r, false);
    for (int r : c.ticked)
      if (r >= 0) ipcs().SetRowCheck(r, true);
    port.clear();
    seam.boxes.clear();
    Click(!c.ticked.empty() && c.ticked[0] < 0 ? IDC_CHAN_ADD_ALL : IDC_CHAN_ADD);
    EXPECT_EQ(port.calls(), c.call.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.call});
    EXPECT_EQ(Box(), c.box ? U8(c.box) : QString());
  }
}

TEST_F(ChanPageTest, DoubleClickAddsIntoTickedOrFirstFreeChannelAndFollowsTheSort) {
  Channels({"MVK 10.0.9.1", "MVK 10.0.9.2", "", "MVK 10.0.9.3", "MVK 10.0.9.4", "MVK 10.0.9.5"});
  Cameras({{"MVK", "10.0.0.20"}, {"MVK", "10.0.0.3"}, {"ONVIF", "10.0.0.100"}});
  chans().SetRowCheck(5, true);
  DoubleClick(IDC_CHAN_IPC_LIST, 0);
  chans().SetRowCheck(5, false);
  DoubleClick(IDC_CHAN_IPC_LIST, 1);
  EXPECT_EQ(port.calls(), (std::vector<std::string>{"add 1:10.0.0.20@5", "add 1:10.0.0.3@2"}));

  // Sorted by address, descending: each row still adds the camera it shows.
  ipcs().SortItems(0, false);
  ASSERT_EQ(ipcs().GetCellText(0, 0), U8("10.0.0.100"));
  port.clear();
  for (int r = 0; r < 3; ++r) DoubleClick(IDC_CHAN_IPC_LIST, r);
  EXPECT_EQ(port.calls(), (std::vector<std::string>{"add 1:10.0.0.100@2", "add 1:10.0.0.20@2", "add 1:10.0.0.3@2"}));

  Channels({"MVK 10.0.9.1"});
  port.clear();
  DoubleClick(IDC_CHAN_IPC_LIST, 0);
  EXPECT_TRUE(port.calls().empty());
  EXPECT_EQ(
      Box(),
      U8("NVR 通道已满!\n可刷新通道列表或者删除某些通道后再添加!\n可选中某个通道强制添加!可双击通道列表进行参数修改!"));
}

TEST_F(ChanPageTest, EditOpensTheDialogPreparedForTheRowAndSendsItsFields) {
  Channels({"", "ONVIF 10.0.0.7", "MVK 10.0.0"});
  struct Seen {
    QString ip, protocol, port, user, password;
    bool ipEnabled;
    QLineEdit::EchoMode echo;
  };
  std::vector<Seen> seen;
  std::function<void(CChannelSet&)> edit;
  int button = IDOK;
  seam.modalHook = [&](CDialog& d) {
    auto& dlg = dynamic_cast<CChannelSet&>(d);
    auto* pw = dlg.ControlAs<QLineEdit>(IDC_CHANSET_PASSWORD);
    seen.push_back({dlg.GetDlgItemText(IDC_CHANSET_ADDRESS), dlg.GetDlgItemText(IDC_CHANSET_PROTOCOL),
                    dlg.GetDlgItemText(IDC_CHANSET_PORT), dlg.GetDlgItemText(IDC_CHANSET_USER), pw->text(),
                    dlg.IsWindowEnabled(IDC_CHANSET_ADDRESS), pw->echoMode()});
    if (edit) edit(dlg);
    return button;
  };

  // A free row: editable default address; the operator's values go out as channel 1 - 1.
  edit = [](CChannelSet& dlg) {
    dlg.SetDlgItemText(IDC_CHANSET_ADDRESS, QStringLiteral("10.1.2.3"));
    dlg.ComboSetCurSel(IDC_CHANSET_PROTOCOL, 1);
    dlg.SetDlgItemText(IDC_CHANSET_PORT, QStringLiteral("81"));
    dlg.SetDlgItemText(IDC_CHANSET_PASSWORD, QStringLiteral("secret"));
  };
  DoubleClick(IDC_CHAN_CHANNEL_LIST, 0);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].ip, U8("192.168.1.0"));
  EXPECT_TRUE(seen[0].ipEnabled);
  EXPECT_EQ(seen[0].protocol, U8("MVK"));
  EXPECT_EQ(seen[0].port, U8("8091"));
  EXPECT_EQ(seen[0].user, U8("admin"));
  EXPECT_EQ(seen[0].password, U8("470213"));
  EXPECT_EQ(seen[0].echo, QLineEdit::Password);
  ASSERT_EQ(port.added().size(), 1u);
  const ChannelParam p = port.added()[0];
  EXPECT_EQ(p.ChannelId, 0);
  EXPECT_EQ(fixed_str(p.IpAddr), "10.1.2.3");
  EXPECT_EQ(p.Protocol, kNvrProtocolONVIF);
  EXPECT_EQ(p.CtrlPort, 81);
  EXPECT_EQ(fixed_str(p.Username), "admin");
  EXPECT_EQ(fixed_str(p.Password), "secret");

  // A used ONVIF row: its address, greyed, port 80, sent back unchanged.
  edit = nullptr;
  port.clear();
  DoubleClick(IDC_CHAN_CHANNEL_LIST, 1);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].ip, U8("10.0.0.7"));
  EXPECT_FALSE(seen[1].ipEnabled);
  EXPECT_EQ(seen[1].protocol, U8("ONVIF"));
  EXPECT_EQ(seen[1].port, U8("80"));
  EXPECT_EQ(port.calls(), (std::vector<std::string>{"add 1:10.0.0.7@1"}));

  // Cancel sends nothing; a password that would break the request is refused with a message.
  port.clear();
  button = IDCANCEL;
  DoubleClick(IDC_CHAN_CHANNEL_LIST, 1);
  button = IDOK;
  edit = [](CChannelSet& dlg) { dlg.SetDlgItemText(IDC_CHANSET_PASSWORD, QStringLiteral("a\"b")); };
  DoubleClick(IDC_CHAN_CHANNEL_LIST, 1);
  EXPECT_TRUE(port.calls().empty());
  EXPECT_EQ(Box(), U8(CDChanCtrl::kBadTextMessage));

  // An address that is not four numbers opens no dialog.
  seam.modalHook = nullptr;
  const size_t modals = seam.modals.size();
  DoubleClick(IDC_CHAN_CHANNEL_LIST, 2);
  EXPECT_EQ(seam.modals.size(), modals);
  EXPECT_EQ(Box(), U8("Ip地址异常:10.0.0"));
}

TEST_F(ChanPageTest, DeleteClearAndSwapReReadLaterWithoutHoldingTheWindow) {
  struct Case {
    const char* name;
    int button;
    std::vector<std::string> channels;
    std::vector<int> ticked;
    std::vector<std::string> requests;  // before the re-read
    const char* box;
  };
  const char* kTwo = "请勾选中两个通道进行交换!";
  // First: a table that was never read (an answer of no channels does not parse).
  const Case cases[] = {
      {"clear empty", IDC_CHAN_CLEAR, {}, {}, {}, nullptr},
      {"delete two", IDC_CHAN_DELETE, FreeRows(4), {0, 3}, {"del 0", "del 3"}, nullptr},
      {"delete none", IDC_CHAN_DELETE, FreeRows(4), {}, {}, nullptr},
      {"clear", IDC_CHAN_CLEAR, FreeRows(2), {}, {"del 255"}, nullptr},
      {"swap two", IDC_CHAN_SWAP, FreeRows(4), {3, 1}, {"swap 1,3"}, nullptr},
      {"swap one", IDC_CHAN_SWAP, FreeRows(4), {1}, {}, kTwo},
      {"swap three", IDC_CHAN_SWAP, FreeRows(4), {0, 1, 2}, {}, kTwo},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.channels.empty()) Channels(c.channels);
    for (int r : c.ticked) chans().SetRowCheck(r, true);
    port.clear();
    seam.boxes.clear();
    Click(c.button);
    EXPECT_EQ(port.calls(), c.requests);
    EXPECT_EQ(Box(), c.box ? U8(c.box) : QString());
    if (c.requests.empty()) {
      EXPECT_FALSE(page->RereadPending());
      continue;
    }
    // The handler has returned before the pause is over; the wait cursor shows meanwhile.
    EXPECT_TRUE(page->RereadPending());
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    // So are the buttons that act on the NVR, until the re-read's answer is shown.
    EXPECT_FALSE(page->IsWindowEnabled(IDC_CHAN_CLEAR));
    ASSERT_TRUE(WaitUntil([&] { return port.saw("list 0"); }, 10000));
    std::vector<std::string> want = c.requests;
    want.push_back("list 0");
    EXPECT_EQ(port.calls(), want);
    EXPECT_TRUE(page->RereadPending());
    Channels(c.channels);
    EXPECT_FALSE(page->RereadPending());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  }
}

TEST_F(ChanPageTest, CanvasMenuFollowsTheChannelCount) {
  struct Case {
    int rows;
    std::vector<int> ids;
  };
  const Case cases[] = {
      {4, {ID_CANVAS0_1, ID_CANVAS0_2, ID_CANVAS0_4}},
      {5, {ID_CANVAS1_1, ID_CANVAS1_2, ID_CANVAS1_4, ID_CANVAS1_6, ID_CANVAS1_8, ID_CANVAS1_9}},
      {16,
       {ID_CANVAS2_1, ID_CANVAS2_2, ID_CANVAS2_4, ID_CANVAS2_6, ID_CANVAS2_8, ID_CANVAS2_9, ID_CANVAS2_10,
        ID_CANVAS2_16}},
      {36,
       {ID_CANVAS5_1, ID_CANVAS5_2, ID_CANVAS5_4, ID_CANVAS5_6, ID_CANVAS5_8, ID_CANVAS5_9, ID_CANVAS5_10,
        ID_CANVAS5_16, ID_CANVAS5_25, ID_CANVAS5_32, ID_CANVAS5_36}},
      {37, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rows);
    Channels(FreeRows(c.rows));
    seam.menus.clear();
    port.clear();
    seam.menuAnswer = c.ids.empty() ? 0 : c.ids.back();
    Click(IDC_CHAN_CANVAS);
    if (c.ids.empty()) {
      EXPECT_TRUE(seam.menus.empty());
      continue;
    }
    ASSERT_EQ(seam.menus.size(), 1u);
    EXPECT_EQ(seam.menus[0].title, U8("画布"));
    EXPECT_EQ(seam.menus[0].ids, c.ids);
    const int pictures = c.rows == 4 ? 4 : c.rows == 5 ? 9 : c.rows == 16 ? 16 : 36;
    EXPECT_TRUE(WaitUntil([&] { return port.saw("picnum " + std::to_string(pictures)); }));
  }
}

TEST_F(ChanPageTest, SearchToggleAndPlainRequests) {
  port.result = -4;
  Click(IDC_CHAN_IPC_SEARCH);
  EXPECT_EQ(page->GetDlgItemText(IDC_CHAN_IPC_SEARCH), U8("搜索"));
  port.result = 0;
  Cameras({{"MVK", "10.0.0.1"}});
  Click(IDC_CHAN_IPC_SEARCH);
  EXPECT_EQ(page->GetDlgItemText(IDC_CHAN_IPC_SEARCH), U8("停止"));
  EXPECT_EQ(ipcs().GetRowCount(), 0) << "a search starts from an empty list";
  Click(IDC_CHAN_IPC_SEARCH);
  EXPECT_EQ(page->GetDlgItemText(IDC_CHAN_IPC_SEARCH), U8("搜索"));
  Click(IDC_CHAN_PREV);
  Click(IDC_CHAN_NEXT);
  Click(IDC_CHAN_REFRESH);
  EXPECT_EQ(port.calls(), (std::vector<std::string>{"start", "start", "stop", "page 0", "page 1", "list 0"}));
}

TEST(ChannelSetDialog, OpensFromItsMembersAndReturnsTheFields) {
  GuiApp();
  RecordingUiSeam seam;
  ScopedUiSeam scoped(&seam);
  {
    CChannelSet dlg;
    dlg.m_protocol = QStringLiteral("other");
    dlg.m_address = 0x0A000007;
    dlg.m_addressEditable = 0;
    dlg.m_port = 80;
    ASSERT_TRUE(dlg.CreateIndirect());
    EXPECT_EQ(dlg.windowTitle(), U8("设置通道参数"));
    EXPECT_EQ(dlg.ComboGetCount(IDC_CHANSET_PROTOCOL), 2);
    EXPECT_EQ(dlg.GetDlgItemText(IDC_CHANSET_PROTOCOL), U8("ONVIF"));
    EXPECT_FALSE(dlg.IsWindowEnabled(IDC_CHANSET_ADDRESS));
    // An empty port keeps the dialog open; what came before the port is taken already.
    dlg.SetDlgItemText(IDC_CHANSET_USER, QStringLiteral("u2"));
    dlg.SetDlgItemText(IDC_CHANSET_PORT, QString());
    dlg.OnOK();
    EXPECT_FALSE(dlg.Ended());
    ASSERT_EQ(seam.boxes.size(), 1u);
    EXPECT_EQ(seam.boxes[0].text, U8("Please enter an integer."));
    EXPECT_EQ(dlg.m_user, U8("u2"));
    EXPECT_EQ(dlg.m_port, 80);
    dlg.SetDlgItemText(IDC_CHANSET_PORT, QStringLiteral("8000"));
    dlg.OnOK();
    EXPECT_TRUE(dlg.Ended());
    EXPECT_EQ(dlg.Result(), IDOK);
    EXPECT_EQ(dlg.m_address, 0x0A000007u);
    EXPECT_EQ(dlg.m_port, 8000);
    EXPECT_EQ(dlg.m_protocol, U8("ONVIF"));
  }
  CChannelSet mvk;
  mvk.m_protocol = QStringLiteral("MVK");
  mvk.m_addressEditable = 1;
  ASSERT_TRUE(mvk.CreateIndirect());
  EXPECT_EQ(mvk.GetDlgItemText(IDC_CHANSET_PROTOCOL), U8("MVK"));
  EXPECT_TRUE(mvk.IsWindowEnabled(IDC_CHANSET_ADDRESS));
}

// The page against two simulated NVRs on 127.0.0.1: listed through the real search, a
// double-click logs in to one and shows its channel table; a double-click on the other logs the
// first out, empties both lists at once and shows the second one's own; the page logs out as it
// goes.
TEST(ChanPageLogin, LogsInToTheListedNvrAndASecondOneReplacesIt) {
  GuiApp();
  RecordingUiSeam seam;
  ScopedUiSeam scoped(&seam);
  sim::FleetOptions opt;
  opt.devices = 2;
  opt.base_ip = 0x7F000001;  // 127.0.0.1 and 127.0.0.2, each listening on its own address
  opt.bind_addr = 0x7F000001;
  opt.port = 0;
  opt.source_addr = false;
  opt.ptz_port = 0;
  opt.spread_ms = 0;
  sim::Fleet fleet(opt);
  ASSERT_EQ(fleet.open(), 0) << fleet.error();
  std::atomic<bool> stop{false};
  std::thread loop([&] {
    test_common::favour_this_thread();
    fleet.run(stop);
  });

  QWidget host;
  auto page = std::make_unique<CDChanCtrl>();
  ASSERT_TRUE(page->Create(IDD_DCHANCTRL, &host));
  EXPECT_FALSE(page->IsWindowEnabled(IDC_CHAN_ADD_ALL)) << "nothing to act on before a login";
  page->OnCommand(IDC_CHAN_NVR_SEARCH, BN_CLICKED);
  ASSERT_TRUE(page->IsNvrSearching());
  EXPECT_EQ(page->GetDlgItemText(IDC_CHAN_NVR_SEARCH), U8("停止搜索"));
  ASSERT_TRUE(WaitUntil([] { return searchipc_port() != 0; }));
  const sim::Device nvrs[2] = {fleet.device_copy(0), fleet.device_copy(1)};
  const int sock = udp_bind(0x7F000001, 0, false);
  ASSERT_GE(sock, 0);
  for (const sim::Device& nvr : nvrs) {
    const std::string a = sim::build_answer(nvr);
    ASSERT_GT(udp_sendto(sock, a.data(), static_cast<int>(a.size()), 0x7F000001, searchipc_port()), 0);
  }
  sock_close(sock);
  ASSERT_TRUE(WaitUntil([] { return getipccount() >= 2; }));
  page->OnTimer(CDChanCtrl::kNvrListTimer);
  ASSERT_EQ(page->NvrList().GetRowCount(), 2);
  auto rowOf = [&](const sim::Device& nvr) {
    for (int r = 0; r < 2; ++r)
      if (page->NvrList().GetCellText(r, 1) == QString::fromStdString(nvr.serial)) return r;
    return -1;
  };
  EXPECT_EQ(page->NvrList().GetCellText(rowOf(nvrs[0]), 0), U8("127.0.0.1"));

  page->OnReportNotify(IDC_CHAN_NVR_LIST, NM_REPORT_DBLCLK, rowOf(nvrs[0]), 0);
  ASSERT_TRUE(WaitUntil([&] { return page->GetDlgItemText(IDC_CHAN_LOGIN_STATE) == U8("NVR(127.0.0.1) 连接成功"); }));
  ASSERT_TRUE(
      WaitUntil([&] { return page->ChannelList().GetRowCount() == static_cast<int>(nvrs[0].channels.size()); }));
  EXPECT_TRUE(page->IsWindowEnabled(IDC_CHAN_ADD_ALL));
  page->OnCommand(IDC_CHAN_IPC_SEARCH, BN_CLICKED);
  EXPECT_EQ(page->GetDlgItemText(IDC_CHAN_IPC_SEARCH), U8("停止"));
  ASSERT_TRUE(WaitUntil([&] { return page->IpcList().GetRowCount() > 0; }));

  page->OnReportNotify(IDC_CHAN_NVR_LIST, NM_REPORT_DBLCLK, rowOf(nvrs[1]), 0);
  EXPECT_EQ(page->IpcList().GetRowCount(), 0);
  EXPECT_EQ(page->ChannelList().GetRowCount(), 0);
  EXPECT_EQ(page->GetDlgItemText(IDC_CHAN_IPC_SEARCH), U8("搜索"));
  EXPECT_EQ(page->GetDlgItemText(IDC_CHAN_LOGIN_STATE), U8("NVR登录状态（无）"));
  EXPECT_FALSE(page->IsWindowEnabled(IDC_CHAN_ADD_ALL));
  ASSERT_TRUE(WaitUntil([&] { return page->LoggedIn(); }));
  ASSERT_TRUE(
      WaitUntil([&] { return page->ChannelList().GetRowCount() == static_cast<int>(nvrs[1].channels.size()); }));
  EXPECT_EQ(page->IpcList().GetRowCount(), 0) << "the first NVR's cameras are gone";
  EXPECT_EQ(page->ChannelList().GetCellText(0, 0), U8("1"));

  page.reset();
  EXPECT_EQ(getipccount(), 0) << "the page's search stopped with it";
  EXPECT_TRUE(WaitUntil([&] { return fleet.open_connections() == 0; }));
  runner_host::Shutdown();
  stop = true;
  loop.join();
}
