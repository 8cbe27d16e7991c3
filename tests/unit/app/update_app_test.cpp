// The entry point's last line of defence and the application directory's access.
#include "app/update_app.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <new>
#include <stdexcept>

#include "../notify/sample_host.h"
#include "util/files.h"

using testing_support::AppDirScope;

namespace {

class Failing : public CUpdateApp {
public:
    explicit Failing(int kind) : kind_(kind) {}
    BOOL InitInstance() override {
        if (kind_ == 0) throw std::bad_alloc();
        if (kind_ == 1) throw std::runtime_error("broken state");
        throw 42;
    }

private:
    int kind_;
};

TEST(UpdateApp, UnexpectedFailureIsOneLogLineAndItsOwnExitCode) {
    const struct {
        int kind;
        const char* line;
    } cases[] = {
        {0, "]Unexpected failure [std::bad_alloc], the updater stops\r\n"},
        {1, "]Unexpected failure [broken state], the updater stops\r\n"},
        {2, "]Unexpected failure [unknown exception], the updater stops\r\n"},
    };
    for (const auto& c : cases) {
        AppDirScope app(L"failure");
        Failing failing(c.kind);
        EXPECT_EQ(RunUpdateApp(failing), kExitUnexpectedFailure);
        const std::string log = app.LogBytes();
        EXPECT_NE(log.find(c.line), std::string::npos) << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    }
    EXPECT_LT(kExitUnexpectedFailure, 0);  // never a count of files
}

TEST(AppDir, AccessForAdministratorsSystemAndUsers) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(kAppDirSddl, SDDL_REVISION_1, &sd, nullptr));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(sd, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "nothing inherited from the parent";
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl);
    const struct {
        WELL_KNOWN_SID_TYPE who;
        ACCESS_MASK mask;
    } expected[] = {
        {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS},
        {WinLocalSystemSid, FILE_ALL_ACCESS},
        {WinBuiltinUsersSid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE},
    };
    ASSERT_EQ(dacl->AceCount, 3);
    for (DWORD i = 0; i < 3; ++i) {
        void* raw = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &raw));
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << i;
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) << i;
        EXPECT_EQ(ace->Mask, expected[i].mask) << i;
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof(sid);
        ASSERT_TRUE(CreateWellKnownSid(expected[i].who, nullptr, sid, &size));
        EXPECT_TRUE(EqualSid(&ace->SidStart, sid)) << i;
    }
    LocalFree(sd);
}

TEST(AppDir, CreatedWithItsParents) {
    // Wine keeps no access list on its directories, so only the creation shows here.
    AppDirScope scope(L"appdir");
    const std::wstring dir = scope.dir() + L"Brenwick\\omra\\Product\\";
    EXPECT_TRUE(CreateAppDirTree(dir));
    EXPECT_TRUE(mv::DirExists(dir));
    EXPECT_TRUE(CreateAppDirTree(dir));  // already there
    EXPECT_FALSE(CreateAppDirTree(L""));
}

}  // namespace
