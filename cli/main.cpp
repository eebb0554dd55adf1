// korvalis: the command-line companion of the Korvalis Graphics Uploader.
#include "Command.h"

#include "graphics/Stream.h"
#include "imaging/PictureFile.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

#ifndef KORVALIS_VERSION
#define KORVALIS_VERSION "0.0.0"
#endif

using namespace korvalis;
using namespace korvalis::cli;

static void PrintHelp(std::FILE* out) {
    std::fprintf(out, "usage: korvalis <command> [options]\n\n"
                      "Prepares, checks and uploads pictures for Korvalis devices.\n\n"
                      "Commands:\n");
    std::vector<const TCommand*> sorted;
    for (const TCommand& c : Commands())
        sorted.push_back(&c);
    std::sort(sorted.begin(), sorted.end(),
              [](const TCommand* a, const TCommand* b) { return a->Name < b->Name; });
    for (const TCommand* c : sorted)
        std::fprintf(out, "  %-12s %s\n", c->Name.c_str(), c->Summary.c_str());
    std::fprintf(out, "\nPictures are %s files; the ending picks the reader\n(%s, in any case).\n",
                 PictureFormatNames().c_str(), PictureEndings().c_str());
    std::fprintf(out, "\nOptions:\n  --help       show this help\n  --version    show the version\n"
                      "\n'korvalis <command> --help' shows a command's options.\n");
}

static int Run(const std::vector<std::string>& args) {
    if (args.empty()) {
        PrintHelp(stderr);
        return 2;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        PrintHelp(stdout);
        return 0;
    }
    if (args[0] == "--version") {
        std::printf("korvalis %s\n", KORVALIS_VERSION);
        return 0;
    }
    for (const TCommand& c : Commands()) {
        if (c.Name != args[0])
            continue;
        const std::vector<std::string> rest(args.begin() + 1, args.end());
        if (std::find(rest.begin(), rest.end(), "--help") != rest.end()) {
            std::printf("usage: korvalis %s\n%s\n%s", c.Usage.c_str(), c.Summary.c_str(),
                        c.Details.c_str());
            return 0;
        }
        try {
            return c.Run(rest);
        } catch (const std::exception& e) {
            PrintError(e.what());
            return 1;
        }
    }
    PrintError("unknown command '" + args[0] + "' (see 'korvalis --help')");
    return 2;
}

#ifdef _WIN32

namespace {

// Text goes out as UTF-8 bytes, the same as on Linux: a console is switched
// to UTF-8 for the run (and back afterwards), a file or pipe gets the bytes
// unchanged, with no CR added before LF.
class TConsoleOutput {
  public:
    TConsoleOutput() : FCodePage(GetConsoleOutputCP()), FOut(GetStdHandle(STD_OUTPUT_HANDLE)) {
        _setmode(_fileno(stdout), _O_BINARY);
        _setmode(_fileno(stderr), _O_BINARY);
        if (FCodePage != 0)
            SetConsoleOutputCP(CP_UTF8);
        // The upload's progress bar redraws its line with escape sequences.
        if (GetConsoleMode(FOut, &FMode))
            SetConsoleMode(FOut, FMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
        else
            FOut = nullptr;
    }
    ~TConsoleOutput() {
        std::fflush(stdout);
        std::fflush(stderr);
        if (FCodePage != 0)
            SetConsoleOutputCP(FCodePage);
        if (FOut)
            SetConsoleMode(FOut, FMode);
    }

  private:
    UINT FCodePage;
    HANDLE FOut;
    DWORD FMode = 0;
};

} // namespace

int wmain(int argc, wchar_t** argv) {
    TConsoleOutput console;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(Utf8(std::wstring(argv[i])));
    return Run(args);
}

#else

int main(int argc, char** argv) {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
}

#endif
