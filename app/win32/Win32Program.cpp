#include "Win32Program.h"

#include "Win32Api.h"

#include <cstdio>

// Outside the project's namespace, where HANDLE is the desktop's own.
static bool Leads(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    return handle && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

namespace korvalis {

void UseParentConsole() {
    const bool out = Leads(STD_OUTPUT_HANDLE);
    const bool err = Leads(STD_ERROR_HANDLE);
    if ((out && err) || !AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    if (!out)
        std::freopen("CONOUT$", "w", stdout);
    if (!err)
        std::freopen("CONOUT$", "w", stderr);
}

std::optional<int> AnswerCommandLine(int argc, char** argv, const TProgramInfo& program) {
    if (argc < 2)
        return std::nullopt;
    UseParentConsole();
    if (const auto code = AnswerHelpOrVersion(argc, argv, program, stdout))
        return code;
    return RejectLeftoverArguments(argc, argv, program, stderr);
}

} // namespace korvalis
