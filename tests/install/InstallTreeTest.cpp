// `cmake --install` into a temporary DESTDIR, then every installed file is
// checked the way the desktop and the system will use it.
#include "InstalledFiles.h"
#include "Process.h"

#include <gtest/gtest.h>

#include <memory>

namespace fs = std::filesystem;
using namespace korvalis::test;

namespace {

class InstallTree : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        FRoot = std::make_unique<TTempDir>();
        const TRunResult r =
            RunCommand("DESTDIR=" + Quote(FRoot->Path().string()) + " " +
                       Quote(KORVALIS_CMAKE_COMMAND) + " --install " + Quote(KORVALIS_BUILD_DIR));
        FInstallOutput = r.Output;
        FInstalled = r.ExitCode == 0;
    }
    static void TearDownTestSuite() { FRoot.reset(); }

    void SetUp() override {
        ASSERT_TRUE(FInstalled) << "cmake --install failed (is everything built?):\n"
                                << FInstallOutput;
    }

    static inline std::unique_ptr<TTempDir> FRoot;
    static inline std::string FInstallOutput;
    static inline bool FInstalled = false;
};

TEST_F(InstallTree, InstallsExactlyTheExpectedFiles) {
    std::vector<std::string> want;
    for (const TExpectedFile& f : ExpectedFiles(KORVALIS_INSTALL_PREFIX))
        want.push_back(f.Path);
    const std::vector<std::string> got = ListTree(FRoot->Path());
    for (const std::string& p : want)
        EXPECT_TRUE(std::binary_search(got.begin(), got.end(), p)) << "missing: " << p;
    for (const std::string& p : got)
        EXPECT_TRUE(std::binary_search(want.begin(), want.end(), p)) << "unexpected: " << p;
}

class InstalledFile : public InstallTree, public ::testing::WithParamInterface<TExpectedFile> {};

TEST_P(InstalledFile, IsSound) {
    for (const std::string& problem :
         CheckInstalledFile(FRoot->Path(), KORVALIS_INSTALL_PREFIX, GetParam()))
        ADD_FAILURE() << GetParam().Path << ": " << problem;
}

INSTANTIATE_TEST_SUITE_P(Files, InstalledFile,
                         ::testing::ValuesIn(ExpectedFiles(KORVALIS_INSTALL_PREFIX)),
                         [](const auto& info) { return TestName(info.param); });

} // namespace
