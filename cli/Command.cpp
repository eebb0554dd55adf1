#include "Command.h"

#include <cstdio>
#include <vector>

namespace korvalis::cli {

static std::vector<TCommand>& Registry() {
    static std::vector<TCommand> commands;
    return commands;
}

TCommandRegistration::TCommandRegistration(TCommand command) {
    Registry().push_back(std::move(command));
}

std::span<const TCommand> Commands() {
    return Registry();
}

void PrintError(std::string_view message) {
    std::fprintf(stderr, "korvalis: %.*s\n", int(message.size()), message.data());
}

int UsageError(std::string_view command, std::string_view message) {
    PrintError(message);
    for (const TCommand& c : Registry())
        if (c.Name == command)
            std::fprintf(stderr, "usage: korvalis %s\n", c.Usage.c_str());
    return 2;
}

} // namespace korvalis::cli
