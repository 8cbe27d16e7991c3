#include <gtest/gtest.h>

#include "install/relaunch.h"
#include "install/session.h"

TEST(SessionGate, DecidesFromWhatItSaw) {
    struct Case {
        bool alive, exitWhenKilled, paused;
        GateAction expected;
    } cases[] = {
        {true, false, false, GateAction::Go},
        {true, false, true, GateAction::Wait},
        {true, true, true, GateAction::Wait},   // a paused window that lives holds the session
        {false, true, false, GateAction::End},  // the remembered switch ends it once the window is gone
        {false, true, true, GateAction::End},
        {false, false, true, GateAction::Go},   // a gone window without the switch holds nothing
    };
    for (const Case& c : cases)
        EXPECT_EQ(DecideGate(c.alive, c.exitWhenKilled, c.paused), c.expected)
            << c.alive << c.exitWhenKilled << c.paused;
}

TEST(SessionGate, NoHostWindowNeverHolds) { EXPECT_TRUE(CSessionGate(nullptr).Pass()); }

TEST(Relaunch, ParametersCarryTheMarker) {
    EXPECT_EQ(RelaunchParameters(L""), L"/___runas_admin___");
    EXPECT_EQ(RelaunchParameters(L"silence"), L"silence /___runas_admin___");
    EXPECT_EQ(RelaunchParameters(L"/silence /1234"), L"/silence /1234 /___runas_admin___");
}

#include "install/install_lock.h"

TEST(InstallSession, StepsCannotReleaseTheSessionsLock) {
    ASSERT_TRUE(BeginInstallSession(0));
    ReleaseInstallLock();  // what a step does when it ends
    EXPECT_TRUE(InstallLockHeld());
    EndInstallSession();
    EXPECT_FALSE(InstallLockHeld());
}
