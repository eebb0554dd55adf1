#include "Process.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace korvalis::test {

TRunResult RunCommand(const std::string& commandLine) {
    TRunResult result;
    const std::string full = "exec 2>&1; " + commandLine;
    FILE* pipe = ::popen(full.c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.Output.append(buffer, n);
    const int status = ::pclose(pipe);
    if (status != -1 && WIFEXITED(status))
        result.ExitCode = WEXITSTATUS(status);
    return result;
}

std::string Quote(std::string_view arg) {
    std::string out = "'";
    for (char c : arg) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

bool HaveProgram(std::string_view program) {
    return RunCommand("command -v " + Quote(program) + " >/dev/null").ExitCode == 0;
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TTempDir::TTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvalis-install-XXXXXX");
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    FPath = pattern;
}

TTempDir::~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
}

} // namespace korvalis::test
