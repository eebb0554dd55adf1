#include "LaunchOptions.h"

#include <cstring>

namespace korvalis {

std::optional<int> AnswerHelpOrVersion(int argc, char** argv, const TProgramInfo& program,
                                       std::FILE* out) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--") == 0)
            break;
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::fputs(program.Help, out);
            return 0;
        }
        if (std::strcmp(arg, "--version") == 0 || std::strcmp(arg, "-v") == 0) {
            std::fprintf(out, "%s %s\n", program.Name, program.Version);
            return 0;
        }
    }
    return std::nullopt;
}

std::optional<int> RejectLeftoverArguments(int argc, char** argv, const TProgramInfo& program,
                                           std::FILE* err) {
    if (argc < 2)
        return std::nullopt;
    const char* arg = argv[1];
    if (arg[0] == '-' && arg[1] != '\0')
        std::fprintf(err, "%s: unknown option '%s' (see '%s --help')\n", program.Name, arg,
                     program.Name);
    else
        std::fprintf(err, "%s: takes no arguments, got '%s' (see '%s --help')\n", program.Name, arg,
                     program.Name);
    return 2;
}

} // namespace korvalis
