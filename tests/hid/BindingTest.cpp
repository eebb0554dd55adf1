// Run-time binding: loading by name, the all-found rule, load counts, version
// gates and release, with modules registered under test names.
#include "HidTestSupport.h"
#include "hid/Hid.h"
#include "hid/ModuleLoader.h"
#include "hid/SetupApi.h"
#include "hid/platform/Platforms.h"

#include <gtest/gtest.h>

namespace korvalis {
namespace {

using namespace korvalis::testing;

void Dummy() {}

TModuleDefinition ModuleWith(const std::vector<std::string>& names, const std::string& without) {
    TModuleDefinition m;
    for (const std::string& n : names)
        if (n != without)
            m.Symbols[n] = reinterpret_cast<void*>(&Dummy);
    return m;
}

std::vector<std::string> HidNames() {
    std::vector<std::string> names;
    for (auto& [n, gate] : HidEntryPointNames())
        names.push_back(n);
    return names;
}

struct TBindingTest : ::testing::Test {
    ~TBindingTest() override {
        SelectHidModules(PlatformHidModules());
        SetPlatformVersionForTesting(0);
        UnregisterModule("test-hid");
        UnregisterModule("test-setup");
    }
};

TEST_F(TBindingTest, SetupModuleLackingOneNameGivesNoDeviceLayer) {
    // Every single missing name, one at a time.
    for (const std::string& missing : SetupEntryPointNames()) {
        SCOPED_TRACE(missing);
        RegisterModule("test-setup", ModuleWith(SetupEntryPointNames(), missing));
        RegisterModule("test-hid", ModuleWith(HidNames(), ""));
        SelectHidModules({"test-hid", "test-setup"});
        bool changed = false;
        {
            THidDeviceController controller;
            controller.SetOnDeviceChange(
                TNotifyEvent::Make(nullptr, [&changed](THidDeviceController*) { changed = true; }));
            EXPECT_FALSE(IsSetupLibraryLoaded());
            EXPECT_EQ(SetupLibraryLoadCount(), 0);
            EXPECT_FALSE(IsHidLibraryLoaded());
            EXPECT_EQ(HidLibraryLoadCount(), 0);
            EXPECT_FALSE(controller.Active());
            RunFor(20);
            EXPECT_EQ(controller.DeviceList().size(), 0u);
        }
        EXPECT_FALSE(changed);
        EXPECT_EQ(HidLibraryLoadCount(), 0);
    }
}

TEST_F(TBindingTest, HidModuleNamesAndVersionGates) {
    struct Row {
        const char* missing;
        uint32_t version;
        bool loads;
    };
    const Row rows[] = {
        {"", MakePlatformVersion(6, 1), true},
        {"HidD_GetAttributes", MakePlatformVersion(6, 1), false},
        {"GetLastError", MakePlatformVersion(4, 19), false},
        // Entry points newer than the running kernel are neither looked up nor required.
        {"HidD_GetInputReport", MakePlatformVersion(5, 10, 200), true},
        {"HidD_SetOutputReport", MakePlatformVersion(4, 4), true},
        {"HidD_GetInputReport", MakePlatformVersion(5, 11), false},
        {"HidD_SetOutputReport", MakePlatformVersion(6, 18), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.missing) + " " + std::to_string(row.version));
        SetPlatformVersionForTesting(row.version);
        RegisterModule("test-hid", ModuleWith(HidNames(), row.missing));
        SelectHidModules({"test-hid", "test-setup"});
        LoadHidLibrary();
        EXPECT_EQ(IsHidLibraryLoaded(), row.loads);
        EXPECT_EQ(HidLibraryLoadCount(), row.loads ? 1 : 0);
        if (row.loads) {
            EXPECT_NE(HidApi().HidD_GetAttributes, nullptr);
            EXPECT_EQ(HidApi().HidD_GetInputReport != nullptr, row.version >= kInputReportGate);
        } else {
            EXPECT_EQ(HidApi().HidD_GetAttributes, nullptr); // every slot cleared
            EXPECT_EQ(HidApi().CreateFileA, nullptr);
        }
        if (row.loads)
            UnloadHidLibrary();
        EXPECT_FALSE(IsHidLibraryLoaded());
        EXPECT_EQ(HidLibraryLoadCount(), 0);
    }
}

TEST_F(TBindingTest, SetupLoadCountsAndMissingLibrary) {
    RegisterModule("test-setup", ModuleWith(SetupEntryPointNames(), ""));
    SelectHidModules({"test-hid", "test-setup"});
    EXPECT_TRUE(LoadSetupLibrary());
    EXPECT_EQ(SetupLibraryLoadCount(), 1);
    // A second load while loaded only raises the count.
    EXPECT_TRUE(LoadSetupLibrary());
    EXPECT_EQ(SetupLibraryLoadCount(), 2);
    UnloadSetupLibrary();
    EXPECT_TRUE(IsSetupLibraryLoaded());
    UnloadSetupLibrary();
    EXPECT_FALSE(IsSetupLibraryLoaded());
    EXPECT_EQ(SetupApi().SetupDiGetClassDevsA, nullptr);

    // A library that is not there keeps its count raised and is not tried
    // again; the second load must not claim success with nothing bound.
    SelectHidModules({"test-hid", "korvalis-no-such-module.so.9"});
    EXPECT_FALSE(LoadSetupLibrary());
    EXPECT_EQ(SetupLibraryLoadCount(), 1);
    EXPECT_FALSE(LoadSetupLibrary());
    EXPECT_EQ(SetupLibraryLoadCount(), 2);
    UnloadSetupLibrary();
    UnloadSetupLibrary();
    EXPECT_EQ(SetupLibraryLoadCount(), 0);
}

TEST_F(TBindingTest, AFailedHookLoadGivesBackItsCount) {
    struct TTable {
        void (*A)() = nullptr;
        void (*B)() = nullptr;
    };
    TModuleBinding<TTable> binding(
        {KORVALIS_BINDING_ENTRY(TTable, A, 0), KORVALIS_BINDING_ENTRY(TTable, B, 0)});
    struct Row {
        const char* module; // the names the module has; nullptr: no module at all
        bool loads;
    };
    const Row rows[] = {{"A", false}, {nullptr, false}, {"AB", true}, {"B", false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.module ? row.module : "missing");
        UnregisterModule("test-hid");
        if (row.module) {
            std::vector<std::string> names;
            for (const char* c = row.module; *c; ++c)
                names.emplace_back(1, *c);
            RegisterModule("test-hid", ModuleWith(names, ""));
        }
        EXPECT_EQ(binding.LoadOrGiveBack("test-hid"), row.loads);
        EXPECT_EQ(binding.LoadCount(), row.loads ? 1 : 0);
        if (row.loads)
            binding.Unload();
        EXPECT_EQ(binding.LoadCount(), 0);
        EXPECT_FALSE(binding.Loaded());
    }
}

TEST_F(TBindingTest, ControllerGivesBackEveryCountItHolds) {
    struct Row {
        const char* setup; // registered set-up module, "" none
        const char* missing;
        bool active;
    };
    const Row rows[] = {
        {"", "", false}, // the module is not there at all
        {"test-setup", "SetupMonitorReceive", false},
        {"test-setup", "", true},
        {"", "", false},
    };
    RegisterModule("test-hid", ModuleWith(HidNames(), ""));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.setup + std::string(" ") + row.missing);
        UnregisterModule("test-setup");
        if (*row.setup)
            RegisterModule("test-setup", ModuleWith(SetupEntryPointNames(), row.missing));
        SelectHidModules({"test-hid", "test-setup"});
        {
            THidDeviceController controller;
            EXPECT_EQ(controller.Active(), row.active);
            EXPECT_EQ(IsHidLibraryLoaded(), row.active);
        }
        // A missing module does not keep the next controller from trying again.
        EXPECT_EQ(SetupLibraryLoadCount(), 0);
        EXPECT_EQ(HidLibraryLoadCount(), 0);
        EXPECT_FALSE(IsSetupLibraryLoaded());
    }
}

TEST_F(TBindingTest, ModuleLoaderByName) {
    // A library the system loader finds, resolved through the same calls.
    TModuleHandle libm = nullptr;
#ifdef _WIN32
    ASSERT_TRUE(LoadModule(libm, "msvcrt.dll"));
#else
    ASSERT_TRUE(LoadModule(libm, "libm.so.6"));
#endif
    bool all = true;
    auto cosine = ResolveAs<double (*)(double)>(libm, "cos", all);
    ASSERT_NE(cosine, nullptr);
    EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
    EXPECT_TRUE(all);
    EXPECT_EQ(ResolveName(libm, "korvalis_not_a_symbol", all), nullptr);
    EXPECT_FALSE(all);
    // The flag stays false once a name was missing.
    EXPECT_NE(ResolveName(libm, "sin", all), nullptr);
    EXPECT_FALSE(all);
    ReleaseModule(libm);
    EXPECT_EQ(libm, nullptr);
    all = true;
    EXPECT_EQ(ResolveName(libm, "cos", all), nullptr); // no handle, no routine
    EXPECT_FALSE(all);

    // An in-process module whose initialisation fails does not load; one
    // that loads runs its release hook once, at the last release.
    int unloads = 0;
    TModuleDefinition failing;
    failing.OnLoad = [] { return false; };
    RegisterModule("test-hid", failing);
    TModuleHandle h = nullptr;
    EXPECT_FALSE(LoadModule(h, "test-hid"));
    EXPECT_EQ(h, nullptr);
    TModuleDefinition counted = ModuleWith({"A"}, "");
    counted.OnUnload = [&unloads] { ++unloads; };
    RegisterModule("test-hid", counted);
    TModuleHandle a = nullptr, b = nullptr;
    ASSERT_TRUE(LoadModule(a, "test-hid"));
    ASSERT_TRUE(LoadModule(b, "test-hid"));
    EXPECT_EQ(a, b);
    ReleaseModule(a);
    EXPECT_EQ(unloads, 0);
    all = true;
    EXPECT_NE(ResolveName(b, "A", all), nullptr);
    ReleaseModule(b);
    EXPECT_EQ(unloads, 1);
    EXPECT_FALSE(LoadModule(h, "korvalis-no-such-module.so.9"));
}

TEST_F(TBindingTest, CancelIsLookedUpWhenNeeded) {
    RegisterModule("test-hid", ModuleWith(HidNames(), ""));
    SelectHidModules({"test-hid", "test-setup"});
    LoadHidLibrary();
    ASSERT_TRUE(IsHidLibraryLoaded());
    EXPECT_FALSE(HidCancelIo(1)); // the module has no CancelIo: nothing happens
    UnloadHidLibrary();
    EXPECT_FALSE(HidCancelIo(1));
}

} // namespace
} // namespace korvalis
