#pragma once

// The command line of the desktop programs. The window itself takes no
// options; --help and --version are answered on the terminal like every
// desktop program's launcher does, before any window or display is needed.

#include <cstdio>
#include <optional>

namespace korvalis {

struct TProgramInfo {
    const char* Name;
    const char* Version;
    // The whole --help text, ending in a newline.
    const char* Help;
};

// The exit code when the command line asks for help (-h, --help) or the
// version (-v, --version), after printing the answer to out; nothing when it
// asks for neither. Arguments after "--" are not looked at.
std::optional<int> AnswerHelpOrVersion(int argc, char** argv, const TProgramInfo& program,
                                       std::FILE* out);

// Run after the application took Qt's own options (-platform, -style,
// -session, ...): whatever is left is a mistake, reported in one line on err
// with exit code 2.
std::optional<int> RejectLeftoverArguments(int argc, char** argv, const TProgramInfo& program,
                                           std::FILE* err);

} // namespace korvalis
