// The entry point's last line of defence.
#include "app/update_app.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "../notify/sample_host.h"

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

}  // namespace
