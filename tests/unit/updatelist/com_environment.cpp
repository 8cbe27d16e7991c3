// MSXML needs COM on the thread that uses it: the tests run on the main thread.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>

namespace {

class ComEnvironment : public ::testing::Environment {
public:
    void SetUp() override { initialised_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
    void TearDown() override {
        if (initialised_) CoUninitialize();
    }

private:
    bool initialised_ = false;
};

[[maybe_unused]] ::testing::Environment* const kComEnvironment =
    ::testing::AddGlobalTestEnvironment(new ComEnvironment);

}  // namespace
