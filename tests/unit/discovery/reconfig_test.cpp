// Body builders of the reconfiguration requests: exact bytes, bounded reads of fixed fields,
// and cut-off instead of overrun.
#include "discovery/reconfig.h"
#include "helpers.h"
#include "util/fixedstr.h"

#include <cstring>
#include <memory>

class ReconfigBodyTest : public dtest::LogTest { };

TEST_F(ReconfigBodyTest, LanBodyIsExactAndReadsFullWidthFieldsBounded)
{
    auto cfg = std::make_unique<LanCfg>();
    fixed_copy(cfg->MacAddress, std::string(256, 'm'));  // fills the field: no terminator
    cfg->DHCP = 7;
    fixed_copy(cfg->IPAddress, "10.0.0.5");
    fixed_copy(cfg->Netmask, "255.0.0.0");
    fixed_copy(cfg->Gateway, "10.0.0.1");
    fixed_copy(cfg->DNS1, "1.1.1.1");
    char buf[kLanBodySize];
    ASSERT_EQ(MakeNetworkLANCfgXml(cfg.get(), "S1", buf), 1);
    EXPECT_EQ(std::string(buf),
              "<IPC_SERIALNUMBER\r\nSerialNumber=\"S1\"\r\n/>\r\n<LANConfig\r\nMacAddress=\"" + std::string(256, 'm') +
                  "\"\r\nDHCP=\"7\"\r\nIPAddress=\"10.0.0.5\"\r\nNetmask=\"255.0.0.0\"\r\n"
                  "Gateway=\"10.0.0.1\"\r\nDNS1=\"1.1.1.1\"\r\nDNS2=\"\"\r\n/>\r\n");

    EXPECT_EQ(MakeNetworkLANCfgXml(cfg.get(), "S1", nullptr), -1);
    EXPECT_EQ(dtest::count_logged("MakeNetworkLANCfgXml, param error, buf == NULL(1) || len < 1500(0) \n"), 1);
}

TEST_F(ReconfigBodyTest, LanBodyOfOverlongFieldsIsCutAtTheBuffer)
{
    auto cfg = std::make_unique<LanCfg>();
    for (char* f : {cfg->MacAddress, cfg->IPAddress, cfg->Netmask, cfg->Gateway, cfg->DNS1, cfg->DNS2})
        std::memset(f, 'x', 256);
    std::vector<char> buf(kLanBodySize + 64, '#');  // canary behind the 1500 bytes
    ASSERT_EQ(MakeNetworkLANCfgXml(cfg.get(), "S", buf.data()), 1);
    EXPECT_EQ(std::strlen(buf.data()), static_cast<size_t>(kLanBodySize - 1));
    for (size_t i = kLanBodySize; i < buf.size(); ++i)
        ASSERT_EQ(buf[i], '#') << "written past the buffer at " << i;
}

TEST_F(ReconfigBodyTest, StreamBodyIsExact)
{
    MediaStreamCfg cfg{1, 554, 0, 8091, 80};
    char buf[1500];
    ASSERT_EQ(MakeMediaStreamCfgXml(buf, sizeof buf, &cfg), 1);
    EXPECT_STREQ(buf,
                 "<MediaStreamConfig>\r\n<StreamAccess\r\nAuth=\"1\"\r\nVideoPort=\"554\"\r\nRTPOverRTSP=\"0\"\r\n"
                 "PTZPort=\"8091\"\r\nWEBPort=\"80\"\r\n/>\r\n</MediaStreamConfig>\r\n");
    EXPECT_EQ(MakeMediaStreamCfgXml(buf, 1499, &cfg), -1);
    EXPECT_EQ(dtest::count_logged("MakeMediaStreamCfgXml, param error, buf == NULL(0) || len < 1500(1) \n"), 1);
}

TEST_F(ReconfigBodyTest, UserBodyListsAccountsAndStaysInItsBuffer)
{
    auto cfg = std::make_unique<UserCfg>();
    std::vector<char> buf(kUserBodyMin + 64, '#');
    ASSERT_EQ(MakeUserCfgXml(kUserBodyMin, buf.data(), cfg.get()), 1);
    EXPECT_STREQ(buf.data(), "<UserConfig>\r\n</UserConfig>\r\n");

    cfg->count = 1;
    fixed_copy(cfg->accounts[0].Username, "admin");
    fixed_copy(cfg->accounts[0].Password, "pw");
    fixed_copy(cfg->accounts[0].Group, "Administrators");
    fixed_copy(cfg->accounts[0].Status, "12345678");  // full width
    ASSERT_EQ(MakeUserCfgXml(kUserBodyMin, buf.data(), cfg.get()), 1);
    EXPECT_STREQ(buf.data(),
                 "<UserConfig>\r\n<Account\r\nUsername=\"admin\"\r\nPassword=\"pw\"\r\nGroup=\"Administrators\"\r\n"
                 "Status=\"12345678\"\r\n/>\r\n</UserConfig>\r\n");

    // 40 accounts of full-width texts do not fit in 5000 bytes: cut, never overrun; a count
    // beyond 40 reads no further than the array.
    cfg->count = 1000;
    for (auto& a : cfg->accounts) {
        std::memset(a.Username, 'u', sizeof a.Username);
        std::memset(a.Password, 'p', sizeof a.Password);
        std::memset(a.Group, 'g', sizeof a.Group);
        std::memset(a.Status, 's', sizeof a.Status);
    }
    ASSERT_EQ(MakeUserCfgXml(kUserBodyMin, buf.data(), cfg.get()), 1);
    EXPECT_EQ(std::strlen(buf.data()), static_cast<size_t>(kUserBodyMin - 1));
    for (size_t i = kUserBodyMin; i < buf.size(); ++i)
        ASSERT_EQ(buf[i], '#');
    EXPECT_EQ(MakeUserCfgXml(4999, buf.data(), cfg.get()), -1);
}

TEST_F(ReconfigBodyTest, RestoreBodyUsesLineFeedsOnly)
{
    char buf[kRestoreBodySize];
    EXPECT_EQ(MakeRestoreXml("N1", buf, sizeof buf), 39);
    EXPECT_STREQ(buf, "<IPC_SERIALNUMBER\nSerialNumber=\"N1\"\n/>\n");
}
