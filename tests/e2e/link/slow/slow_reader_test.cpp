// A recorder that reads an 8 MB firmware at 400 KB/s through a 16 KiB receive buffer and stops
// reading for 12 s at half the file: the upgrade waits for it (heartbeats and all), the
// recorder holds the whole file, its verdict arrives, and the run succeeds. Takes about 40 s.
#include "link_e2e.h"
#include "util/digest.h"

#include <fstream>

using e2e::Json;
using e2e::NetnsLab;
using e2e::NetnsTest;
using namespace link_e2e;

class LinkSlowReaderE2E : public NetnsTest {};

TEST_F(LinkSlowReaderE2E, PausingRecorderGetsTheWholeFirmware)
{
    NetnsLab lab(1);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    const std::string fw = lab.dir() + "/fw.bin";
    {
        std::ofstream f(fw, std::ios::binary);
        uint32_t x = 12345;
        for (int i = 0; i < 8 * 1000 * 1000; ++i) {
            x = x * 1103515245u + 12345u;
            f << static_cast<char>(x >> 24);
        }
    }
    char hex[33];
    ASSERT_NE(md5_file_hex(fw.c_str(), hex), nullptr);
    Sim sim(lab, {"--devices", "1", "--link-fault", "slow-read:0", "--slow-read", "400:12000:50"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    e2e::RunResult r = lab.run({kCtl, "upgrade", "--firmware", fw, "--json"}, 240000);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    ASSERT_TRUE(e2e::wait_until([&] { return sim.link(0)["uploads_completed"].integer() == 1; }))
        << sim.link(0)["uploads_failed"].integer();
    EXPECT_EQ(sim.link(0)["files"]["1"]["md5"].str, hex);
    EXPECT_EQ(sim.link(0)["uploads_failed"].integer(), 0);
}
