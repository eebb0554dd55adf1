// The Debian package of `make package`: its control data, dependencies that
// match what the programs link, its contents (the same checks as an install
// tree), the udev reload after installing, and in CI a real `dpkg -i`.
#include "InstalledFiles.h"
#include "Process.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

namespace fs = std::filesystem;
using namespace korvalis::test;

namespace {

const std::string kPackage = "korvalis-uploader";

// KORVALIS_DEB names a package directly; otherwise the newest build of this
// version in the package directory.
fs::path FindPackage() {
    if (const char* deb = std::getenv("KORVALIS_DEB"); deb && *deb)
        return deb;
    const fs::path dir = KORVALIS_PACKAGE_DIR;
    if (dir.empty() || !fs::is_directory(dir))
        return {};
    const std::string stem = kPackage + "_" + KORVALIS_VERSION_STRING + "_";
    fs::path best;
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name.rfind(stem, 0) == 0 && e.path().extension() == ".deb" &&
            (best.empty() || fs::last_write_time(e.path()) > fs::last_write_time(best)))
            best = e.path();
    }
    return best;
}

std::string Field(const fs::path& deb, const std::string& name) {
    const TRunResult r = RunCommand("dpkg-deb -f " + Quote(deb.string()) + " " + Quote(name));
    std::string value = r.Output;
    while (!value.empty() && value.back() == '\n')
        value.pop_back();
    return r.ExitCode == 0 ? value : std::string();
}

// "a (>= 1) | b, c" -> {{a, b}, {c}}
std::vector<std::set<std::string>> Relations(const std::string& field) {
    std::vector<std::set<std::string>> groups;
    std::stringstream all(field);
    std::string group;
    while (std::getline(all, group, ',')) {
        std::set<std::string> names;
        std::stringstream alternatives(group);
        std::string alt;
        while (std::getline(alternatives, alt, '|')) {
            std::smatch m;
            if (std::regex_search(alt, m, std::regex("([a-z0-9][a-z0-9+.-]+)")))
                names.insert(m[1].str());
        }
        if (!names.empty())
            groups.push_back(names);
    }
    return groups;
}

bool InRelations(const std::vector<std::set<std::string>>& groups, const std::string& name) {
    for (const auto& g : groups)
        if (g.count(name))
            return true;
    return false;
}

class DebianPackage : public ::testing::Test {
  protected:
    void SetUp() override {
        FDeb = FindPackage();
        if (FDeb.empty())
            GTEST_SKIP() << "no " << kPackage << "_" << KORVALIS_VERSION_STRING << "_*.deb in '"
                         << KORVALIS_PACKAGE_DIR
                         << "': run `make package` (`make test` does it first) or set "
                            "KORVALIS_DEB to test one";
        ASSERT_TRUE(HaveProgram("dpkg-deb"));
    }

    // The package's files, unpacked as dpkg would lay them out.
    fs::path Unpack() {
        FTree = std::make_unique<TTempDir>();
        const TRunResult r =
            RunCommand("dpkg-deb -x " + Quote(FDeb.string()) + " " + Quote(FTree->Path().string()));
        EXPECT_EQ(r.ExitCode, 0) << r.Output;
        return FTree->Path();
    }

    fs::path FDeb;
    std::unique_ptr<TTempDir> FTree;
};

TEST_F(DebianPackage, ControlFieldsDescribeThisBuild) {
    EXPECT_EQ(Field(FDeb, "Package"), kPackage);
    EXPECT_EQ(Field(FDeb, "Version"), KORVALIS_VERSION_STRING);
    std::string arch = RunCommand("dpkg --print-architecture").Output;
    arch.erase(arch.find_last_not_of('\n') + 1);
    EXPECT_EQ(Field(FDeb, "Architecture"), arch);
    EXPECT_EQ(Field(FDeb, "Section"), "utils");
    EXPECT_FALSE(Field(FDeb, "Maintainer").empty());
    EXPECT_NE(Field(FDeb, "Description").find("Korvalis"), std::string::npos);
}

TEST_F(DebianPackage, DependsOnExactlyTheLinkedLibraries) {
    const auto depends = Relations(Field(FDeb, "Depends"));
    const auto recommends = Relations(Field(FDeb, "Recommends"));
    // The window, the picture readers and the JPEG library.
    for (const char* required : {"libqt6widgets6", "zlib1g", "libjpeg62-turbo"})
        EXPECT_TRUE(InRelations(depends, required)) << "Depends lacks " << required;
    // libudev is opened at run time; the programs work without it, minus hot-plug.
    EXPECT_TRUE(InRelations(recommends, "libudev1"));
    EXPECT_FALSE(InRelations(depends, "libudev1"));

    // Oracle: the packages that ship the libraries the ELF files ask for.
    const fs::path tree = Unpack();
    std::string multiarch = RunCommand("dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null").Output;
    multiarch.erase(multiarch.find_last_not_of('\n') + 1);
    ASSERT_FALSE(multiarch.empty());
    std::set<std::string> sonames;
    for (const std::string& rel : ListTree(tree)) {
        const TRunResult dyn =
            RunCommand("readelf -d " + Quote((tree / rel).string()) + " 2>/dev/null");
        const std::regex needed("\\(NEEDED\\)[^\\[]*\\[([^\\]]+)\\]");
        for (auto it = std::sregex_iterator(dyn.Output.begin(), dyn.Output.end(), needed);
             it != std::sregex_iterator(); ++it)
            sonames.insert((*it)[1].str());
    }
    // One search for all of them: each dpkg -S reads the whole database.
    std::string search = "dpkg -S";
    for (const std::string& soname : sonames)
        search += " " + Quote("*/" + soname);
    const TRunResult owners = RunCommand(search);
    std::set<std::string> linked;
    for (const std::string& soname : sonames) {
        std::smatch m;
        const std::regex line("(^|\n)([a-z0-9][a-z0-9+.-]+)(:[a-z0-9]+)?: [^\n]*/" + multiarch +
                              "/" + std::regex_replace(soname, std::regex("[.+]"), "\\$&") +
                              "(\n|$)");
        if (std::regex_search(owners.Output, m, line))
            linked.insert(m[2].str());
        else
            ADD_FAILURE() << "the programs need " << soname << ", which no installed package ships";
    }
    ASSERT_FALSE(linked.empty()) << "no linked libraries found";
    for (const std::string& p : linked)
        EXPECT_TRUE(InRelations(depends, p)) << "linked from " << p << ", not in Depends";
    for (const auto& group : depends) {
        bool used = false;
        for (const std::string& p : group)
            used |= linked.count(p) > 0;
        EXPECT_TRUE(used) << "Depends on " << *group.begin() << ", which nothing links";
    }
}

TEST_F(DebianPackage, ContentsPassTheInstallChecks) {
    const fs::path tree = Unpack();
    std::vector<std::string> want;
    for (const TExpectedFile& f : ExpectedFiles("/usr"))
        want.push_back(f.Path);
    EXPECT_EQ(ListTree(tree), want);
    for (const TExpectedFile& f : ExpectedFiles("/usr"))
        for (const std::string& problem : CheckInstalledFile(tree, "/usr", f))
            ADD_FAILURE() << f.Path << ": " << problem;
    // Everything belongs to root, whoever built the package.
    const TRunResult list = RunCommand("dpkg-deb -c " + Quote(FDeb.string()));
    std::stringstream lines(list.Output);
    for (std::string line; std::getline(lines, line);)
        EXPECT_NE(line.find(" root/root "), std::string::npos) << line;
}

TEST_F(DebianPackage, PostInstallReloadsTheUdevRules) {
    TTempDir control;
    const TRunResult r =
        RunCommand("dpkg-deb -e " + Quote(FDeb.string()) + " " + Quote(control.Path().string()));
    ASSERT_EQ(r.ExitCode, 0) << r.Output;
    for (const char* script : {"postinst", "postrm"}) {
        const fs::path path = control.Path() / script;
        ASSERT_TRUE(fs::exists(path)) << script;
        EXPECT_EQ(fs::status(path).permissions() & fs::perms::owner_exec, fs::perms::owner_exec)
            << script;
        EXPECT_EQ(RunCommand("sh -n " + Quote(path.string())).ExitCode, 0) << script;
        const std::string text = ReadFile(path);
        EXPECT_NE(text.find("udevadm control --reload-rules"), std::string::npos) << script;
        EXPECT_NE(text.find("udevadm trigger --subsystem-match=hidraw"), std::string::npos)
            << script;
    }
    // Where udev is not running (chroots, containers) the script must still
    // succeed, or dpkg would leave the package half-configured.
    const TRunResult run = RunCommand("PATH=/nonexistent /bin/sh " +
                                      Quote((control.Path() / "postinst").string()) + " configure");
    EXPECT_EQ(run.ExitCode, 0) << run.Output;
}

bool CiRoot() {
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true" && ::geteuid() == 0;
}

TEST_F(DebianPackage, InstallsWithDpkgAndRuns) {
    if (!CiRoot())
        GTEST_SKIP() << "installs into the system only in CI as root (CI=true)";
    const bool wasInstalled =
        RunCommand("dpkg-query -W -f='${db:Status-Status}' " + kPackage).Output == "installed";
    const TRunResult install = RunCommand("dpkg -i " + Quote(FDeb.string()));
    ASSERT_EQ(install.ExitCode, 0) << install.Output;
    const TRunResult version = RunCommand("korvalis --version");
    EXPECT_EQ(version.ExitCode, 0);
    EXPECT_EQ(version.Output, std::string("korvalis ") + KORVALIS_VERSION_STRING + "\n");
    EXPECT_EQ(RunCommand("command -v korvalis").Output, "/usr/bin/korvalis\n");
    // What the menu entry starts.
    const std::string desktop = ReadFile("/usr/share/applications/korvalis-uploader.desktop");
    std::smatch exec;
    ASSERT_TRUE(std::regex_search(desktop, exec, std::regex("\nExec=([^\n]+)")));
    EXPECT_EQ(StartsAndKeepsRunning(exec[1].str()), "");
    const TRunResult listed = RunCommand("dpkg -L " + kPackage);
    for (const TExpectedFile& f : ExpectedFiles("/usr"))
        EXPECT_NE(listed.Output.find("/" + f.Path + "\n"), std::string::npos) << f.Path;
    if (!wasInstalled) {
        const TRunResult remove = RunCommand("dpkg --purge " + kPackage);
        EXPECT_EQ(remove.ExitCode, 0) << remove.Output;
        EXPECT_FALSE(fs::exists("/usr/bin/korvalis"));
    }
}

} // namespace
