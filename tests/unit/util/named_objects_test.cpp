#include "util/named_objects.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <string>

#include "util/text.h"

namespace {

struct Sd {
    PSECURITY_DESCRIPTOR sd = nullptr;
    explicit Sd(const wchar_t* sddl) {
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr)) sd = nullptr;
    }
    ~Sd() {
        if (sd) LocalFree(sd);
    }
};

struct Sid {
    PSID sid = nullptr;
    explicit Sid(const wchar_t* text) { ConvertStringSidToSidW(text, &sid); }
    ~Sid() {
        if (sid) LocalFree(sid);
    }
};

TEST(AdminOnlyObjectSddl, GrantsAdministratorsAndSystemOnly) {
    Sd d(kAdminOnlyObjectSddl);
    ASSERT_NE(d.sd, nullptr);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(d.sd, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED);  // nothing inherited from the namespace
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(d.sd, &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl);
    ASSERT_EQ(dacl->AceCount, 2);
    const WELL_KNOWN_SID_TYPE who[] = {WinBuiltinAdministratorsSid, WinLocalSystemSid};
    for (DWORD i = 0; i < 2; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &ace));
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(allowed->Mask, static_cast<ACCESS_MASK>(GENERIC_ALL));
        EXPECT_TRUE(IsWellKnownSid(reinterpret_cast<PSID>(&allowed->SidStart), who[i])) << i;
    }
}

TEST(AdminOnlyDescriptor, Table) {
    const wchar_t kOwn[] = L"S-1-5-21-1-2-3-1000";
    const struct {
        const wchar_t* sddl;
        bool accepted;
    } cases[] = {
        {L"O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)", true},
        {L"O:SYD:P(A;;GA;;;SY)", true},
        {L"O:S-1-5-21-1-2-3-1000D:P(A;;GA;;;BA)(A;;GA;;;SY)", true},  // this process's default owner
        {L"O:BAD:P(D;;GA;;;WD)(A;;GA;;;BA)", true},                    // a deny entry takes nothing away
        {L"O:S-1-5-21-1-2-3-1001D:P(A;;GA;;;BA)(A;;GA;;;SY)", false},  // another user made it
        {L"O:BUD:P(A;;GA;;;BA)", false},
        {L"D:P(A;;GA;;;BA)(A;;GA;;;SY)", false},                       // no owner to check
        {L"O:BA", false},                                               // no list at all
        {L"O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)(A;;GR;;;WD)", false},
        {L"O:BAD:P(A;;GA;;;BA)(A;;0x100000;;;BU)", false},              // users may wait on it
        {L"O:BAD:P(A;;GA;;;BA)(A;;GA;;;S-1-5-21-1-2-3-1000)", false},  // a user in the list
    };
    Sid own(kOwn);
    ASSERT_NE(own.sid, nullptr);
    for (const auto& c : cases) {
        Sd d(c.sddl);
        ASSERT_NE(d.sd, nullptr) << c.sddl;
        EXPECT_EQ(AdminOnlyDescriptor(d.sd, own.sid), c.accepted) << c.sddl;
    }
    EXPECT_FALSE(AdminOnlyDescriptor(nullptr, own.sid));
    // A null list lets everybody in (built by hand: Wine reads "D:NO_ACCESS_CONTROL" otherwise).
    SECURITY_DESCRIPTOR open{};
    Sid admins(L"BA");
    ASSERT_TRUE(InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&open, admins.sid, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE));
    EXPECT_FALSE(AdminOnlyDescriptor(&open, own.sid));
    Sd other(L"O:S-1-5-21-1-2-3-1000D:P(A;;GA;;;BA)");
    EXPECT_FALSE(AdminOnlyDescriptor(other.sd, nullptr));
}

std::wstring FreshName(const wchar_t* tag) {
    static LONG counter = 0;
    return mv::Format(L"mirovane-test-%s-%lu-%ld", tag, GetCurrentProcessId(), InterlockedIncrement(&counter));
}

TEST(OpenAdminMutex, OursIsOpenedAgainOthersAreRefused) {
    const std::wstring name = FreshName(L"ours");
    NamedMutex first = OpenAdminMutex(name.c_str());
    ASSERT_EQ(first.how, NamedMutexOpen::Created);
    NamedMutex second = OpenAdminMutex(name.c_str());
    EXPECT_EQ(second.how, NamedMutexOpen::OpenedOurs);
    EXPECT_TRUE(second.handle);

    // Made first by somebody else: with the default access list, one that lets everybody in,
    // or as another kind of object.
    const wchar_t* squatters[] = {nullptr, L"D:(A;;GA;;;WD)", L"D:NO_ACCESS_CONTROL"};
    for (const wchar_t* sddl : squatters) {
        const std::wstring n = FreshName(L"squat");
        Sd d(sddl ? sddl : L"D:P(A;;GA;;;BA)");
        SECURITY_ATTRIBUTES sa{sizeof(sa), d.sd, FALSE};
        mv::Handle squat(CreateMutexW(sddl ? &sa : nullptr, TRUE, n.c_str()));
        ASSERT_TRUE(squat) << (sddl ? sddl : L"default");
        NamedMutex m = OpenAdminMutex(n.c_str());
        EXPECT_EQ(m.how, NamedMutexOpen::Untrusted) << (sddl ? sddl : L"default");
        EXPECT_FALSE(m.handle);
    }
    const std::wstring n = FreshName(L"event");
    mv::Handle event(CreateEventW(nullptr, TRUE, FALSE, n.c_str()));
    ASSERT_TRUE(event);
    EXPECT_EQ(OpenAdminMutex(n.c_str()).how, NamedMutexOpen::Untrusted);
}

}  // namespace
