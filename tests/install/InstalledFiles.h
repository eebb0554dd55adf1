#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace korvalis::test {

enum class TFileKind { Program, UdevRule, Desktop, MetaInfo, Icon, ManPage };

struct TExpectedFile {
    std::string Path; // relative to the installation root, e.g. "usr/bin/korvalis"
    TFileKind Kind;
    int IconSize = 0;
};

inline void PrintTo(const TExpectedFile& file, std::ostream* os) {
    *os << file.Path;
}

// Everything an installation with this prefix must hold, and nothing more.
std::vector<TExpectedFile> ExpectedFiles(const std::string& prefix);

// Every regular file and symbolic link below ROOT, relative to it, sorted.
std::vector<std::string> ListTree(const std::filesystem::path& root);

// What is wrong with one installed file; empty when it is sound. ROOT is the
// installation root (a DESTDIR or an unpacked package), PREFIX the prefix
// inside it.
std::vector<std::string> CheckInstalledFile(const std::filesystem::path& root,
                                            const std::string& prefix, const TExpectedFile& file);

// Starts a window program offscreen; empty when it is still running after two
// seconds, otherwise what went wrong.
std::string StartsAndKeepsRunning(const std::string& commandLine);

// The gtest parameter name for a file: its path with '/' and '.' made '_'.
std::string TestName(const TExpectedFile& file);

} // namespace korvalis::test
