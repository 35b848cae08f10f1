#include "Application.h"
#include "CommandLine.h"
#include "FigureTable.h"
#include "Form1.h"
#include "OrthoWindow.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

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
 * A batch run keeps standard error for real errors: the framework's own debug,
 * information and warning messages (a missing runtime folder, a platform without
 * some window feature) are dropped.
 */
void QuietMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "volinspect: %s\n", qPrintable(message));
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> given(argv + 1, argv + argc);
    // The table of many files: no window, no display and no Qt at all.
    if (!given.empty() && given[0] == "--figures")
        return RunFigureTable({given.begin() + 1, given.end()},
                              {stdin, stdout, stderr, isatty(STDERR_FILENO) == 1});
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
        std::fputs(CommandLine::UsageText().c_str(), stdout);
        return 0;
    case CommandLine::Request::Version:
        std::fputs(CommandLine::VersionText().c_str(), stdout);
        return 0;
    case CommandLine::Request::Run:
        break;
    }

    // A batch run is one whose options end at "-exit", as the window's creation reads
    // them: an "-exit" taken as a file name or a text does not count.
    const bool batch = CommandLine::Walk(arguments, {});
    int qtArgc = argc;
    if (batch) {
        // A run that ends by itself never shows a window, so it never connects to a
        // display, whatever the environment or Qt's arguments name: a display that
        // has gone (an ssh or tmux session whose desktop closed) cannot stop it.
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        qtArgc = 1;
        qInstallMessageHandler(QuietMessages);
    } else if (!HasDisplay(given)) {
        std::fprintf(stderr, "volinspect: no display available: the viewer window needs an "
                             "X11 or Wayland display (set DISPLAY or WAYLAND_DISPLAY); batch "
                             "runs that end with -exit need none\n");
        return 2;
    }

    TApplication app(qtArgc, argv);
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
    std::fflush(stdout);
    return status;
}
