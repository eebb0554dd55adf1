#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace korvalis::cli {

// One sub-command of `korvalis`. Each lives in its own source file and
// registers itself with a static TCommandRegistration.
struct TCommand {
    std::string Name;
    std::string Usage;   // one line, after "korvalis "
    std::string Summary; // one line for --help
    // Answers the exit code: 0 success, 1 failure, 2 wrong usage.
    std::function<int(std::span<const std::string> args)> Run;
    std::string Details = {}; // further lines for 'korvalis <command> --help'
};

struct TCommandRegistration {
    explicit TCommandRegistration(TCommand command);
};

std::span<const TCommand> Commands();

// "korvalis: <message>" on standard error.
void PrintError(std::string_view message);
// Prints the usage line of the command to standard error and answers 2.
int UsageError(std::string_view command, std::string_view message);

} // namespace korvalis::cli
