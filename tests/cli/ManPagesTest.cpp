// The manual pages name every option the programs take.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string Output(const std::string& command) {
    std::FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    std::string out;
    std::array<char, 4096> buffer;
    size_t n;
    while (pipe && (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        out.append(buffer.data(), n);
    if (pipe)
        ::pclose(pipe);
    return out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::set<std::string> Options(const std::string& help) {
    std::set<std::string> found;
    const std::regex option("--[a-z][a-z-]*[a-z]");
    for (auto it = std::sregex_iterator(help.begin(), help.end(), option);
         it != std::sregex_iterator(); ++it)
        found.insert(it->str());
    return found;
}

// "--save-pictures" as roff writes it in a page: \-\-save\-pictures.
std::string Roff(const std::string& option) {
    std::string out;
    for (const char c : option)
        out += c == '-' ? std::string("\\-") : std::string(1, c);
    return out;
}

// A help text with no long option at all is only fine for a command.
void ExpectNamed(const std::set<std::string>& options, const std::string& page,
                 const std::string& where, bool mayBeEmpty = false) {
    EXPECT_TRUE(mayBeEmpty || !options.empty()) << where;
    for (const std::string& o : options)
        EXPECT_NE(page.find(Roff(o)), std::string::npos)
            << where << ": " << o << " not in the page";
}

TEST(ManPages, NameEveryOptionTheProgramsTake) {
    const std::string page = ReadFile(KORVALIS_SOURCE_DIR "/resources/korvalis.1.in");
    ASSERT_FALSE(page.empty());
    const std::string help = Output(KORVALIS_CLI " --help");
    ExpectNamed(Options(help), page, "korvalis --help");
    // Every command's own --help, from the list of commands.
    std::istringstream lines(help.substr(help.find("Commands:")));
    std::string line;
    int commands = 0;
    std::smatch m;
    while (std::getline(lines, line))
        if (std::regex_match(line, m, std::regex("  ([a-z]+) +.*"))) {
            ++commands;
            const std::string command = m[1];
            ExpectNamed(Options(Output(KORVALIS_CLI " " + command + " --help")), page,
                        "korvalis " + command + " --help", /*mayBeEmpty=*/true);
        }
    EXPECT_GE(commands, 7);
#ifdef KORVALIS_DEMO
    ExpectNamed(Options(Output("QT_QPA_PLATFORM=offscreen " KORVALIS_DEMO " --help")),
                ReadFile(KORVALIS_SOURCE_DIR "/resources/korvalis-uploader-demo.1.in"),
                "korvalis-uploader-demo --help");
#endif
#ifdef KORVALIS_UPLOADER
    ExpectNamed(Options(Output(KORVALIS_UPLOADER " --help")),
                ReadFile(KORVALIS_SOURCE_DIR "/resources/korvalis-uploader.1.in"),
                "korvalis-uploader --help");
#endif
}

} // namespace
