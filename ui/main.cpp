#include "Application.h"
#include "ClassicPass.h"
#include "CommandLine.h"
#include "FigureExport.h"
#include "FigureTable.h"
#include "Form1.h"
#include "MessageText.h"
#include "OrthoWindow.h"

#include <QGuiApplication>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

/** True when Qt has a screen to open the window on. */
bool HasDisplay(const std::vector<std::string>& arguments)
{
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return CommandLine::ChoosesQtPlatform(arguments);
}

/**
 * Puts a stand-in on each of standard input, output and error that was closed: the file
 * or device opened next would take its number, and the program's output would go into
 * it. Reads and writes on the stand-in fail with EBADF, as on the closed stream.
 */
void KeepStandardStreamsTaken()
{
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int standIn = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (standIn >= 0 && standIn != fd) {
            ::dup2(standIn, fd);
            ::close(standIn);
        }
    }
}

/**
 * The figure export, `--export FILE OUT.png [OPTION...]` (`args` the words after
 * "--export"): no window and no display. The scale bar's label needs fonts, which Qt
 * gives once there is an application object: one on the offscreen platform, whatever
 * the environment names.
 */
int RunExportMode(const std::vector<std::string>& args, char* program)
{
    CommandLine::ExportOptions options;
    std::string error;
    if (!CommandLine::ParseExport(args, options, error)) {
        std::fprintf(stderr, "volinspect: --export: %s (see --help)\n", error.c_str());
        return 2;
    }
    // (A failed write ends the run with its own status, as in every mode: see main.)
    if (options.Help || options.Version) {
        StandardOutput().Write(options.Help ? CommandLine::UsageText()
                                            : CommandLine::VersionText());
        return 0;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The platform's setup asks for the user's runtime folder, and Qt complains when the
    // environment names none (an ssh session, cron): nothing of the export lives there.
    static const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
            if (!message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
                previous(type, context, message);
        });
    int qtArgc = 1;
    char* qtArgv[] = {program, nullptr};
    QGuiApplication app(qtArgc, qtArgv);
    try {
        return RunExport(options);
    } catch (...) {
        std::fprintf(stderr, "volinspect: %s\n", DescribeCurrentException().c_str());
        return 1;
    }
}

/** The run of the mode the arguments choose; returns its exit status. */
int Run(int argc, char** argv)
{
    const std::vector<std::string> given(argv + 1, argv + argc);
    // The table of many files: no window, no display and no Qt at all.
    if (!given.empty() && given[0] == "--figures")
        return RunFigureTable({given.begin() + 1, given.end()},
                              {stdin, stdout, stderr, isatty(STDERR_FILENO) == 1});
    if (!given.empty() && given[0] == "--export")
        return RunExportMode({given.begin() + 1, given.end()}, argv[0]);
    // The inspector window, on FILE when one is named.
    if (!given.empty() && given[0] == "--inspect") {
        if (!HasDisplay(given)) {
            std::fprintf(stderr, "volinspect: no display available: the inspector window needs an "
                                 "X11 or Wayland display (set DISPLAY or WAYLAND_DISPLAY)\n");
            return 2;
        }
        TApplication app(argc, argv);
        const QStringList rest = app.arguments().mid(2);
        if (rest.size() > 1) {
            std::fprintf(stderr, "volinspect: --inspect takes at most one file\n");
            return 2;
        }
        int status = 0;
        RunGuarded([&] {
            TOrthoWindow inspector;
            inspector.show();
            if (!rest.isEmpty()) inspector.OpenFile(rest.front());
            status = app.exec();
        });
        return status;
    }
    // Qt's own options belong to the window; QApplication takes them out of a window
    // run, and every run leaves them out of the pass alike.
    const std::vector<std::string> arguments = CommandLine::WithoutQtOptions(given);

    switch (CommandLine::InfoRequest(arguments)) {
    case CommandLine::Request::Help:
        StandardOutput().Write(CommandLine::UsageText());
        return 0;
    case CommandLine::Request::Version:
        StandardOutput().Write(CommandLine::VersionText());
        return 0;
    case CommandLine::Request::Run:
        break;
    }

    // A batch run is one whose options end at "-exit", as the window's creation reads
    // them: an "-exit" taken as a file name or a text does not count. It never shows a
    // window, so it runs without Qt: no display, whatever the environment or Qt's
    // arguments name (a display that has gone cannot stop it), and no platform plugin.
    if (CommandLine::Walk(arguments, {})) return RunClassicBatch(arguments);
    if (!HasDisplay(given)) {
        std::fprintf(stderr, "volinspect: no display available: the viewer window needs an "
                             "X11 or Wayland display (set DISPLAY or WAYLAND_DISPLAY); batch "
                             "runs that end with -exit need none\n");
        return 2;
    }

    TApplication app(argc, argv);
    int status = 0;
    RunGuarded([&] {
        TForm1 form(arguments);
        if (form.ExitRequested()) {
            status = form.ExitCode();
            return;
        }
        form.show();
        app.exec();
    });
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    KeepStandardStreamsTaken();
    const int status = Run(argc, argv);
    // Output that could not be written ends every mode with its own status. The table
    // mode checks its writes itself and has said so already.
    if (status == OutputFailedStatus) {
        std::fclose(stdout);
        return status;
    }
    return StandardOutput().Close() ? status : OutputFailedStatus;
}
