// The desktop programs' command lines, tried on the built programs: help and
// version answer on the terminal without a display, anything else unknown is
// refused in one line.
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

struct TRun {
    int Code = -1;
    bool Crashed = false;
    std::string Out, Err;
};

// Runs a program with no display at all; withQt gives it Qt's offscreen platform.
TRun RunProgram(const char* program, const QStringList& args, bool withQt) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    // A desktop session's runtime folder, so Qt has nothing to say of its own.
    QTemporaryDir runtime;
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    if (withQt)
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QString::fromLatin1(program), args);
    TRun run;
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.Crashed = process.exitStatus() != QProcess::NormalExit;
    run.Code = process.exitCode();
    run.Out = process.readAllStandardOutput().toStdString();
    run.Err = process.readAllStandardError().toStdString();
    return run;
}

TEST(CommandLine, HelpAndVersionOnTheTerminalAndUnknownOptionsRefused) {
    struct Row {
        const char* program;
        QStringList args;
        bool withQt;
        int code;
        std::string out; // what standard output starts with
        std::string err; // what standard error starts with
    };
    const Row rows[] = {
        {KORVALIS_UPLOADER, {"--help"}, false, 0, "usage: korvalis-uploader ", ""},
        {KORVALIS_UPLOADER, {"-h"}, false, 0, "usage: korvalis-uploader ", ""},
        {KORVALIS_UPLOADER,
         {"--version"},
         false,
         0,
         "korvalis-uploader " KORVALIS_VERSION "\n",
         ""},
        {KORVALIS_UPLOADER, {"-platform", "offscreen", "-v"}, false, 0, "korvalis-uploader ", ""},
        {KORVALIS_UPLOADER,
         {"--frobnicate"},
         true,
         2,
         "",
         "korvalis-uploader: unknown option '--frobnicate' (see 'korvalis-uploader --help')\n"},
        {KORVALIS_UPLOADER, {"picture.png"}, true, 2, "", "korvalis-uploader: takes no arguments"},
        {KORVALIS_DEMO, {"--help"}, false, 0, "usage: korvalis-uploader-demo [--fw A.B.C]", ""},
        {KORVALIS_DEMO,
         {"--version"},
         false,
         0,
         "korvalis-uploader-demo " KORVALIS_VERSION "\n",
         ""},
        {KORVALIS_DEMO, {"--frobnicate"}, true, 2, "", "korvalis-uploader-demo: Unknown option"},
        {KORVALIS_DEMO, {"--fw", "19.2"}, true, 2, "", "korvalis-uploader-demo: --fw takes A.B.C"},
    };
    for (const Row& row : rows) {
        const std::string name = std::string(row.program) + " " + row.args.join(' ').toStdString();
        const TRun run = RunProgram(row.program, row.args, row.withQt);
        EXPECT_FALSE(run.Crashed) << name;
        EXPECT_EQ(run.Code, row.code) << name << "\n" << run.Err;
        EXPECT_EQ(run.Out.substr(0, row.out.size()), row.out) << name;
        EXPECT_EQ(run.Err.substr(0, row.err.size()), row.err) << name;
        // Nothing else, and an error is one line.
        if (row.err.empty()) {
            EXPECT_EQ(run.Err, "") << name;
        }
        if (row.out.empty()) {
            EXPECT_EQ(run.Out, "") << name;
        }
        if (row.code == 2) {
            EXPECT_EQ(std::count(run.Err.begin(), run.Err.end(), '\n'), 1) << name << run.Err;
        }
    }
}

} // namespace
