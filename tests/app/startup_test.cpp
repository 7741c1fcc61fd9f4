#include "app/startup.h"

#include "app/history.h"
#include "tests/app/fakes.h"

#include <gtest/gtest.h>

namespace vostrale::app::test {
namespace {

class FakeHost final : public TrayHost {
  public:
    void InitialiseUi() override { steps.push_back("ui"); }
    MutexResult CreateInstanceMutex() override {
        steps.push_back("mutex");
        return mutex;
    }
    void RunWindow() override { steps.push_back("window"); }
    void Shutdown() override { steps.push_back("shutdown"); }
    MutexResult mutex = MutexResult::Created;
    std::vector<std::string> steps;
};

TEST(Startup, NoDriverExits9527BeforeAnythingElse) {
    Harness h;
    h.devices.dosDevices.clear();
    FakeHost host;
    EXPECT_EQ(RunProgram(*h.ctx, {}, nullptr, &host), kExitNoDriver);
    EXPECT_TRUE(host.steps.empty());
    ASSERT_EQ(h.ui.messages.size(), 1u);
    EXPECT_TRUE(h.ui.messages[0].text == L"No Driver Installed");
    EXPECT_TRUE(h.system.removed.empty());

    Harness old;
    old.driver.versionMajor = 0;
    FakeHost host2;
    EXPECT_EQ(RunProgram(*old.ctx, {L"/C"}, nullptr, &host2), kExitNoDriver);
    EXPECT_TRUE(host2.steps.empty());
    EXPECT_EQ(old.ui.messages.size(), 2u);
}

TEST(Startup, TrayInstanceSequence) {
    Harness h;
    h.system.AddFile(L"C:\\Program Files\\Vostrale\\vostrale.tmp");
    FakeHost host;
    EXPECT_EQ(RunProgram(*h.ctx, {L"C:\\bare.iso"}, nullptr, &host), kExitNormal);
    EXPECT_EQ(host.steps, (std::vector<std::string>{"ui", "mutex", "window", "shutdown"}));
    EXPECT_EQ(h.system.removed,
              (std::vector<std::wstring>{L"C:\\Program Files\\Vostrale\\vostrale.tmp",
                                         L"C:\\Program Files\\Vostrale\\vostrale32.tmp"}));
    EXPECT_EQ(h.ctx->settings.config, kConfigDefault);
    EXPECT_TRUE(h.driver.mountDrives.empty());
}

TEST(Startup, SecondInstanceLeavesQuietly) {
    // A running instance (or an elevated one) ends this one silently; a mutex that could not be
    // made at all says nothing about another instance, so the tray still starts.
    struct Case {
        MutexResult result;
        std::vector<std::string> steps;
    };
    const Case cases[] = {
        {MutexResult::AlreadyRunning, {"ui", "mutex", "shutdown"}},
        {MutexResult::Failed, {"ui", "mutex", "window", "shutdown"}},
        {MutexResult::Created, {"ui", "mutex", "window", "shutdown"}},
    };
    for (const Case& c : cases) {
        Harness h;
        FakeHost host;
        host.mutex = c.result;
        EXPECT_EQ(RunProgram(*h.ctx, {}, nullptr, &host), kExitNormal);
        EXPECT_EQ(host.steps, c.steps) << int(c.result);
        EXPECT_TRUE(h.ui.messages.empty());
    }
}

TEST(Startup, RemountOnlyWithTheOption) {
    for (uint32_t config : {0x160u, 0x170u}) {
        Harness h;
        uint8_t data[4] = {uint8_t(config), uint8_t(config >> 8), 0, 0};
        h.registry.SetValue(RegistryRoot::CurrentUser, kSettingsKey, kConfigValue, kRegDword, data,
                            4);
        h.system.AddFile(L"C:\\a.iso");
        SetDriveImage(&h.registry, 1, L"C:\\a.iso");
        FakeHost host;
        EXPECT_EQ(RunProgram(*h.ctx, {}, nullptr, &host), kExitNormal);
        EXPECT_EQ(h.ctx->settings.config, config);
        EXPECT_EQ(h.driver.mountDrives.size(), (config & kConfigRemount) ? 1u : 0u);
    }
}

TEST(Startup, OneShotNeverTouchesTheTray) {
    Harness h;
    h.system.AddFile(L"C:\\work\\x.iso");
    FakeHost host;
    EXPECT_EQ(RunProgram(*h.ctx, {L"/M:0", L"x.iso"}, nullptr, &host), kExitNormal);
    EXPECT_TRUE(host.steps.empty());
    EXPECT_EQ(h.driver.mountDrives, std::vector<uint32_t>{0});
    // With no driver the same command does nothing and still exits 0.
    Harness none;
    none.devices.dosDevices.clear();
    none.system.AddFile(L"C:\\work\\x.iso");
    FakeHost host2;
    EXPECT_EQ(RunProgram(*none.ctx, {L"/M:0", L"x.iso"}, nullptr, &host2), kExitNormal);
    EXPECT_TRUE(host2.steps.empty());
    EXPECT_TRUE(none.ui.messages.empty());
}

TEST(Startup, MutexOutcomes) {
    constexpr uint32_t kAlreadyExists = 183;
    EXPECT_EQ(ClassifyMutexResult(true, 0), MutexResult::Created);
    EXPECT_EQ(ClassifyMutexResult(true, kAlreadyExists), MutexResult::AlreadyRunning);
    // Created by an elevated instance: no handle, access denied.
    EXPECT_EQ(ClassifyMutexResult(false, kErrorAccessDenied), MutexResult::AlreadyRunning);
    EXPECT_EQ(ClassifyMutexResult(false, 8), MutexResult::Failed);
}

} // namespace
} // namespace vostrale::app::test
