// A recorder that answers the login and then says nothing more: the console closes such a
// link after 50 s without a frame, reports the loss (event 2), and logs in again. Takes a
// minute.
#include "link_e2e.h"

using e2e::Json;
using e2e::NetnsLab;
using e2e::NetnsTest;
using namespace link_e2e;

class LinkSilenceE2E : public NetnsTest { };

TEST_F(LinkSilenceE2E, QuietRecorderIsDroppedAfterFiftySecondsWithEvent2)
{
    NetnsLab lab(2);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    Sim sim(lab, {"--devices", "2", "--link-fault", "silent-after-login:1"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    e2e::RunResult r = lab.run({kCtl, "login", "--seconds", "62"}, 120000);
    auto ev = events_of(r.out);
    const auto& sound = ev[serial(1)];
    const auto& quiet = ev[serial(2)];
    EXPECT_EQ(std::count(sound.begin(), sound.end(), 4), 1) << r.out;
    EXPECT_FALSE(has(sound, 2));
    // Logged in, dropped after 50 s with the loss reported, logged in again.
    EXPECT_EQ(std::count(quiet.begin(), quiet.end(), 4), 2) << r.out;
    EXPECT_EQ(std::count(quiet.begin(), quiet.end(), 2), 1) << r.out;
    EXPECT_LT(first(quiet, 4), first(quiet, 2)) << r.out;
    EXPECT_TRUE(e2e::wait_until([&] { return sim.link(1)["connections"].integer() == 2; }))
        << sim.link(1)["connections"].integer();
    EXPECT_EQ(sim.link(0)["connections"].integer(), 1);
    // The sound recorder answered the console's heartbeats, so its link never went quiet.
    EXPECT_GE(sim.link(0)["heartbeats"].integer(), 5);
}
