#pragma once

// The command line of the Windows desktop programs. They are window
// programs without a console of their own: --help and --version answer on
// the console they were started from.

#include "app/LaunchOptions.h"

#include <optional>

#ifndef KORVALIS_VERSION
#define KORVALIS_VERSION "0.0.0"
#endif

namespace korvalis {

// Standard output and error go to the console of the program that started
// this one, unless they already lead somewhere (a pipe, a file).
void UseParentConsole();

// With UseParentConsole: the exit code for --help, --version or an argument
// the program does not take; nothing when there are no arguments.
std::optional<int> AnswerCommandLine(int argc, char** argv, const TProgramInfo& program);

} // namespace korvalis
