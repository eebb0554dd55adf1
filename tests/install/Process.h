#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace korvalis::test {

struct TRunResult {
    int ExitCode = -1;  // -1 when the command could not be run or was killed
    std::string Output; // standard output and standard error together
};

// Runs a shell command line and collects what it prints.
TRunResult RunCommand(const std::string& commandLine);
// Quotes one argument for the shell.
std::string Quote(std::string_view arg);
// True when PROGRAM is found on PATH.
bool HaveProgram(std::string_view program);
std::string ReadFile(const std::filesystem::path& path);

// A fresh directory removed with everything in it at the end of the scope.
class TTempDir {
  public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::filesystem::path& Path() const { return FPath; }

  private:
    std::filesystem::path FPath;
};

} // namespace korvalis::test
