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

// --- the order of a session, with steps and a watcher of the test's own

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "updatelist/download_list.h"

namespace {

// Every step, gate and observer call in the order they happened. Steps answer from a script
// (stage, count); a step without script left answers as its success.
struct Trace : SessionObserver {
    std::vector<std::string> calls;
    std::map<std::string, std::deque<StepResult>> script;
    std::deque<bool> gates;   // gate answers in turn; true once used up
    bool hold = true, relaunch = true;

    bool AskCloseHost(const std::wstring&) override { return true; }
    void LocalCheckEnded(int stage, bool elevating) override {
        calls.push_back("seen local " + std::to_string(stage) + (elevating ? " elevating" : ""));
    }
    void CopyEnded(int stage) override { calls.push_back("seen copy " + std::to_string(stage)); }

    std::function<StepResult(SessionObserver&)> Step(const std::string& name, StepResult success) {
        return [this, name, success](SessionObserver&) {
            calls.push_back(name);
            auto& q = script[name];
            if (q.empty()) return success;
            const StepResult r = q.front();
            q.pop_front();
            return r;
        };
    }
    SessionSteps Steps() {
        SessionSteps s;
        s.hold = [this] {
            calls.push_back("hold");
            return hold;
        };
        s.release = [this] { calls.push_back("release"); };
        s.check = Step("check", {UpdateCheckRemoteOk, 2});
        s.download = Step("download", {UpdateDownloadOk, 2});
        s.checkLocal = Step("local", {UpdateCheckLocalOk, 0});
        s.copy = Step("copy", {UpdateCopyOk, 0});
        s.gate = [this] {
            calls.push_back("gate");
            if (gates.empty()) return true;
            const bool go = gates.front();
            gates.pop_front();
            return go;
        };
        s.relaunch = [this] {
            calls.push_back("relaunch");
            return relaunch;
        };
        s.end = [this] { calls.push_back("end"); };
        return s;
    }
};

using Calls = std::vector<std::string>;
const Calls kWholeSession = {"hold",  "check", "gate",         "download", "gate",    "local",   "seen local 9",
                             "gate",  "copy",  "seen copy 12", "release",  "end"};

}  // namespace

TEST(SessionOrder, EveryStartAndEveryResultLeadsToItsNextStep) {
    struct Case {
        const char* name;
        SessionStart start;
        std::map<std::string, std::deque<StepResult>> script;
        std::deque<bool> gates;
        Calls expected;
        SessionEnd end = SessionEnd::Finished;
    } cases[] = {
        {"a whole session", {}, {}, {}, kWholeSession},
        {"nothing to update", {}, {{"check", {{UpdateCheckRemoteOk, 0}}}}, {}, {"hold", "check", "release", "end"}},
        {"failed check", {}, {{"check", {{UpdateCheckRemoteError, 0}}}}, {}, {"hold", "check", "release", "end"}},
        {"failed check with files", {}, {{"check", {{UpdateCheckRemoteError, 3}}}}, {}, {"hold", "check", "release", "end"}},
        {"after a check: the download first", {UpdateCheckRemoteOk, 2}, {}, {},
         {"hold", "download", "gate", "local", "seen local 9", "gate", "copy", "seen copy 12", "release", "end"}},
        {"after a check that found nothing", {UpdateCheckRemoteOk, 0}, {}, {}, {"hold", "release", "end"}},
        {"lists named on a version page are fetched again", {UpdateCheckRemoteOk, 2, true}, {}, {}, kWholeSession},
        {"after a relaunch: the local check first", {UpdateDownloadOk, 2, false, true}, {}, {},
         {"hold", "local", "seen local 9", "gate", "copy", "seen copy 12", "release", "end"}},
        {"a relaunched copy never hands on", {UpdateDownloadOk, 2, false, true}, {{"local", {{UpdateCheckLocalError, 1}}}}, {},
         {"hold", "local", "seen local 8", "release", "end"}},
        {"retries while a pass finishes something",
         {},
         {{"download", {{UpdateDownloadError, 1}, {UpdateDownloadError, 1}, {UpdateDownloadError, 0}}}},
         {},
         {"hold", "check", "gate", "download", "download", "download", "release", "end"}},
        {"a retry that completes goes on",
         {},
         {{"download", {{UpdateDownloadError, 1}, {UpdateDownloadOk, 2}}}},
         {},
         {"hold", "check", "gate", "download", "download", "gate", "local", "seen local 9", "gate", "copy", "seen copy 12",
          "release", "end"}},
        {"five passes at most",
         {},
         {{"download", std::deque<StepResult>(9, StepResult{UpdateDownloadError, 1})}},
         {},
         {"hold", "check", "gate", "download", "download", "download", "download", "download", "release", "end"}},
        {"locked files", {}, {{"local", {{UpdateCheckLocalError, 0}}}}, {},
         {"hold", "check", "gate", "download", "gate", "local", "seen local 8", "release", "end"}},
        {"hand-over to an elevated copy", {}, {{"local", {{UpdateCheckLocalError, 1}}}}, {},
         {"hold", "check", "gate", "download", "gate", "local", "seen local 8 elevating", "release", "relaunch"},
         SessionEnd::Relaunched},
        {"a failed copy still ends the session", {}, {{"copy", {{UpdateCopyError, 0}}}}, {},
         {"hold", "check", "gate", "download", "gate", "local", "seen local 9", "gate", "copy", "seen copy 11", "release",
          "end"}},
        {"the host window ends it after the check", {}, {}, {false}, {"hold", "check", "gate", "release", "end"}},
        {"the host window ends it after the download", {}, {}, {true, false},
         {"hold", "check", "gate", "download", "gate", "release", "end"}},
        {"the host window ends it before the copy", {}, {}, {true, true, false},
         {"hold", "check", "gate", "download", "gate", "local", "seen local 9", "gate", "release", "end"}},
    };
    for (const Case& c : cases) {
        Trace t;
        t.script = c.script;
        t.gates = c.gates;
        EXPECT_EQ(RunSession(c.start, t.Steps(), t), c.end) << c.name;
        EXPECT_EQ(t.calls, c.expected) << c.name;
    }
}

TEST(SessionOrder, ARefusedRelaunchOrABusyDirectoryChangesNothing) {
    Trace refused;
    refused.relaunch = false;
    refused.script["local"] = {{UpdateCheckLocalError, 2}};
    EXPECT_EQ(RunSession({}, refused.Steps(), refused), SessionEnd::Finished);
    // The directory is let go once, before the elevated copy would take it; the host program
    // comes back through the end sequence.
    EXPECT_EQ(refused.calls, (Calls{"hold", "check", "gate", "download", "gate", "local", "seen local 8 elevating",
                                    "release", "relaunch", "end"}));

    Trace busy;
    busy.hold = false;
    EXPECT_EQ(RunSession({}, busy.Steps(), busy), SessionEnd::Busy);
    EXPECT_EQ(busy.calls, Calls{"hold"});
}
