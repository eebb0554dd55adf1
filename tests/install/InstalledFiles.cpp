#include "InstalledFiles.h"

#include "Process.h"
#include "UdevRules.h"

#include <sys/stat.h>

#include <algorithm>
#include <regex>

#if KORVALIS_HAVE_GUI
#include <QImage>
#endif

namespace fs = std::filesystem;

namespace korvalis::test {

namespace {

constexpr int kIconSizes[] = {16, 24, 32, 48, 64, 128, 256};

std::string Relative(const std::string& prefix) {
    return prefix.substr(prefix.find_first_not_of('/'));
}

std::string RulesDir(const std::string& prefix) {
    const std::string dir = KORVALIS_UDEV_RULES_DIR;
    return dir.front() == '/' ? dir.substr(1) : Relative(prefix) + "/" + dir;
}

// Owner writes, everyone reads, and programs are executable by everyone.
void CheckMode(const fs::path& path, unsigned want, std::vector<std::string>& problems) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        problems.push_back("not a regular file");
        return;
    }
    const unsigned mode = st.st_mode & 07777;
    if (mode != want) {
        char text[64];
        std::snprintf(text, sizeof text, "mode %04o, want %04o", mode, want);
        problems.push_back(text);
    }
}

std::string FirstMatch(const std::string& text, const std::string& pattern) {
    std::smatch m;
    return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : std::string();
}

} // namespace

std::string StartsAndKeepsRunning(const std::string& commandLine) {
    // A window program runs until it is closed: still running after two
    // seconds means it found its libraries and got through start-up.
    const TRunResult r =
        RunCommand("QT_QPA_PLATFORM=offscreen timeout 2 " + commandLine + " </dev/null");
    if (r.ExitCode != 124)
        return "'" + commandLine + "' ended with " + std::to_string(r.ExitCode) +
               " instead of running: " + r.Output;
    return {};
}

namespace {

void CheckProgram(const fs::path& path, std::vector<std::string>& problems) {
    CheckMode(path, 0755, problems);
    if (ReadFile(path).compare(0, 4,
                               "\x7f"
                               "ELF") != 0)
        problems.push_back("not an ELF executable");
    // A run path into the build tree would load the build's libraries, or none.
    const TRunResult dyn = RunCommand("readelf -d " + Quote(path.string()));
    if (dyn.Output.find(KORVALIS_BUILD_DIR) != std::string::npos)
        problems.push_back("run path points into the build tree");
    if (path.filename() == "korvalis") {
        const TRunResult r = RunCommand(Quote(path.string()) + " --version");
        const std::string want = std::string("korvalis ") + KORVALIS_VERSION_STRING + "\n";
        if (r.ExitCode != 0 || r.Output != want)
            problems.push_back("'korvalis --version' printed '" + r.Output + "'");
    } else {
        const std::string problem = StartsAndKeepsRunning(path.string());
        if (!problem.empty())
            problems.push_back(problem);
    }
}

void CheckUdevRule(const fs::path& path, std::vector<std::string>& problems) {
    CheckMode(path, 0644, problems);
    // uaccess is applied by 73-seat-late.rules; a tag added after it is lost.
    if (path.filename().string() >= "73-seat-late.rules")
        problems.push_back("sorts after 73-seat-late.rules, so uaccess would not apply");
    const TUdevRulesFile rules = ParseUdevRules(ReadFile(path));
    for (const std::string& e : rules.Errors)
        problems.push_back("syntax: " + e);
    if (rules.Rules.empty())
        problems.push_back("no rules");
    bool uaccess = false, plugdev = false;
    for (const TUdevRule& rule : rules.Rules) {
        const std::string where = "rule at line " + std::to_string(rule.Line);
        const std::string* subsystem = rule.Find("SUBSYSTEM", "", "==");
        const std::string* vendor = rule.Find("ATTRS", "idVendor", "==");
        const std::string* product = rule.Find("ATTRS", "idProduct", "==");
        const std::string* kernels = rule.Find("KERNELS", "", "==");
        // sysfs spells the IDs in lower-case hex; "5020" has no letters, but a
        // changed ID must keep to that. The HID device's name carries them in
        // upper case: bus:VENDOR:PRODUCT.number.
        if (!subsystem || *subsystem != "hidraw")
            problems.push_back(where + " does not match SUBSYSTEM==\"hidraw\"");
        const bool byAttrs = vendor && *vendor == "0416" && product && *product == "5020";
        const bool byName = kernels && *kernels == "0003:0416:5020.*";
        if (!byAttrs && !byName)
            problems.push_back(where + " matches neither idVendor/idProduct 0416/5020 nor "
                                       "KERNELS==\"0003:0416:5020.*\"");
        const std::string* tag = rule.Find("TAG", "", "+=");
        uaccess |= tag && *tag == "uaccess";
        const std::string* group = rule.Find("GROUP", "", "=");
        const std::string* mode = rule.Find("MODE", "", "=");
        if (mode) {
            const unsigned bits = std::stoul(*mode, nullptr, 8);
            if (bits & 07)
                problems.push_back(where + " gives every user access (MODE " + *mode + ")");
            plugdev |= group && *group == "plugdev" && (bits & 060) == 060;
        }
    }
    if (!uaccess)
        problems.push_back("no TAG+=\"uaccess\" for the logged-in user");
    if (!plugdev)
        problems.push_back("no read/write access for the plugdev group");
    // Newer udev can check a rules file itself; trust it where it exists.
    if (RunCommand("udevadm verify --help >/dev/null").ExitCode == 0) {
        const TRunResult r =
            RunCommand("udevadm verify --resolve-names=never " + Quote(path.string()));
        if (r.ExitCode != 0)
            problems.push_back("udevadm verify: " + r.Output);
    }
}

void CheckDesktop(const fs::path& root, const std::string& prefix, const fs::path& path,
                  std::vector<std::string>& problems) {
    CheckMode(path, 0644, problems);
    if (!HaveProgram("desktop-file-validate")) {
        problems.push_back("desktop-file-validate is missing (run scripts/setup-deps)");
    } else {
        const TRunResult r = RunCommand("desktop-file-validate " + Quote(path.string()));
        if (r.ExitCode != 0 || !r.Output.empty())
            problems.push_back("desktop-file-validate: " + r.Output);
    }
    const std::string text = ReadFile(path);
    const std::string exec = FirstMatch(text, "\nExec=([^ \n]+)");
    const std::string icon = FirstMatch(text, "\nIcon=([^\n]+)");
    const fs::path usr = root / Relative(prefix);
    if (exec.empty() || !fs::exists(usr / "bin" / exec))
        problems.push_back("Exec '" + exec + "' is not an installed program");
    if (icon.empty() || !fs::exists(usr / "share/icons/hicolor/48x48/apps" / (icon + ".png")))
        problems.push_back("Icon '" + icon + "' has no installed hicolor icon");
}

void CheckMetaInfo(const fs::path& root, const std::string& prefix, const fs::path& path,
                   std::vector<std::string>& problems) {
    CheckMode(path, 0644, problems);
    if (!HaveProgram("appstreamcli")) {
        problems.push_back("appstreamcli is missing (run scripts/setup-deps)");
    } else {
        const TRunResult r = RunCommand("appstreamcli validate --no-net " + Quote(path.string()));
        if (r.ExitCode != 0 || std::regex_search(r.Output, std::regex("(^|\n)[EW]:")))
            problems.push_back("appstreamcli validate: " + r.Output);
    }
    const std::string text = ReadFile(path);
    const std::string id = FirstMatch(text, "<id>([^<]+)</id>");
    // Software centres find the data by its file name.
    if (path.filename() != id + ".metainfo.xml")
        problems.push_back("file name does not match the id '" + id + "'");
    const fs::path usr = root / Relative(prefix);
    const std::string launchable =
        FirstMatch(text, "<launchable type=\"desktop-id\">([^<]+)</launchable>");
    if (launchable.empty() || !fs::exists(usr / "share/applications" / launchable))
        problems.push_back("launchable '" + launchable + "' is not an installed desktop file");
    const std::regex binary("<binary>([^<]+)</binary>");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), binary);
         it != std::sregex_iterator(); ++it)
        if (!fs::exists(usr / "bin" / (*it)[1].str()))
            problems.push_back("provided binary '" + (*it)[1].str() + "' is not installed");
    const std::string newest = FirstMatch(text, "<release version=\"([^\"]+)\"");
    if (newest != KORVALIS_VERSION_STRING)
        problems.push_back("newest release is '" + newest + "', not " + KORVALIS_VERSION_STRING);
}

void CheckIcon(const fs::path& path, int size, std::vector<std::string>& problems) {
    CheckMode(path, 0644, problems);
#if KORVALIS_HAVE_GUI
    QImage image;
    if (!image.load(QString::fromStdString(path.string()), "PNG")) {
        problems.push_back("not a readable PNG");
        return;
    }
    if (image.width() != size || image.height() != size)
        problems.push_back("is " + std::to_string(image.width()) + "x" +
                           std::to_string(image.height()));
    // An icon drawn on a transparent ground: clear corners, solid middle.
    if (!image.hasAlphaChannel() || qAlpha(image.pixel(0, 0)) != 0 ||
        qAlpha(image.pixel(size / 2, size / 2)) != 255)
        problems.push_back("not an opaque emblem on a transparent ground");
#else
    (void)size;
    problems.push_back("icons installed by a build without the window");
#endif
}

void CheckManPage(const fs::path& root, const fs::path& path, std::vector<std::string>& problems) {
    CheckMode(path, 0644, problems);
    const TRunResult page = RunCommand("gzip -dc " + Quote(path.string()));
    if (page.ExitCode != 0) {
        problems.push_back("not gzip-compressed: " + page.Output);
        return;
    }
    const std::string name = path.filename().string().substr(0, path.filename().string().find('.'));
    const std::string title =
        FirstMatch(page.Output, "^\\.TH +([^ ]+) +1 +\"[^\"]*\" +\"([^\"]*)\"");
    std::string upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    if (title != upper)
        problems.push_back(".TH names '" + title + "', not " + upper);
    if (page.Output.find(name + " " + KORVALIS_VERSION_STRING + "\"") == std::string::npos)
        problems.push_back("does not carry version " + std::string(KORVALIS_VERSION_STRING));
    if (HaveProgram("groff")) {
        const TRunResult lint = RunCommand("gzip -dc " + Quote(path.string()) +
                                           " | LC_ALL=C.UTF-8 groff -man -ww -z -Tutf8");
        if (lint.ExitCode != 0 || !lint.Output.empty())
            problems.push_back("groff: " + lint.Output);
    }
    // The FILES section names the rule where this installation put it.
    std::string rule =
        FirstMatch(page.Output, "\n\\.I ([^\n]*70\\\\-korvalis\\\\-uploader\\.rules)");
    if (rule.empty()) {
        // The demo needs no device access; the other programs do.
        if (name != "korvalis-uploader-demo")
            problems.push_back("does not name the udev rule");
    } else {
        rule = std::regex_replace(rule, std::regex("\\\\-"), "-");
        if (!fs::exists(root / rule.substr(1)))
            problems.push_back("names " + rule + ", which is not installed");
    }
}

} // namespace

std::vector<TExpectedFile> ExpectedFiles(const std::string& prefix) {
    const std::string usr = Relative(prefix);
    std::vector<TExpectedFile> files = {
        {usr + "/bin/korvalis", TFileKind::Program},
        {RulesDir(prefix) + "/70-korvalis-uploader.rules", TFileKind::UdevRule},
        {usr + "/share/man/man1/korvalis.1.gz", TFileKind::ManPage},
    };
#if KORVALIS_HAVE_GUI
    files.push_back({usr + "/bin/korvalis-uploader", TFileKind::Program});
#if KORVALIS_HAVE_DEMO
    files.push_back({usr + "/bin/korvalis-uploader-demo", TFileKind::Program});
    files.push_back({usr + "/share/man/man1/korvalis-uploader-demo.1.gz", TFileKind::ManPage});
#endif
    files.push_back({usr + "/share/applications/korvalis-uploader.desktop", TFileKind::Desktop});
    files.push_back(
        {usr + "/share/metainfo/org.korvalis.uploader.metainfo.xml", TFileKind::MetaInfo});
    files.push_back({usr + "/share/man/man1/korvalis-uploader.1.gz", TFileKind::ManPage});
    for (int size : kIconSizes) {
        const std::string dir = std::to_string(size) + "x" + std::to_string(size);
        files.push_back({usr + "/share/icons/hicolor/" + dir + "/apps/korvalis-uploader.png",
                         TFileKind::Icon, size});
    }
#endif
    std::sort(files.begin(), files.end(),
              [](const TExpectedFile& a, const TExpectedFile& b) { return a.Path < b.Path; });
    return files;
}

std::vector<std::string> ListTree(const fs::path& root) {
    std::vector<std::string> out;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(root))
        if (!e.is_directory() || e.is_symlink())
            out.push_back(fs::relative(e.path(), root).string());
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> CheckInstalledFile(const fs::path& root, const std::string& prefix,
                                            const TExpectedFile& file) {
    std::vector<std::string> problems;
    const fs::path path = root / file.Path;
    if (!fs::exists(path))
        return {"not installed"};
    switch (file.Kind) {
    case TFileKind::Program:
        CheckProgram(path, problems);
        break;
    case TFileKind::UdevRule:
        CheckUdevRule(path, problems);
        break;
    case TFileKind::Desktop:
        CheckDesktop(root, prefix, path, problems);
        break;
    case TFileKind::MetaInfo:
        CheckMetaInfo(root, prefix, path, problems);
        break;
    case TFileKind::Icon:
        CheckIcon(path, file.IconSize, problems);
        break;
    case TFileKind::ManPage:
        CheckManPage(root, path, problems);
        break;
    }
    return problems;
}

std::string TestName(const TExpectedFile& file) {
    std::string name = file.Path;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

} // namespace korvalis::test
