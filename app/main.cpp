#include "Application.h"
#include "Form1.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

/** True when Qt has a screen to open the window on. */
bool HasDisplay()
{
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
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
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    // A batch run is one whose options end at "-exit", as the window's creation reads
    // them: an "-exit" taken as a file name or a text does not count.
    const bool batch = TForm1::WalkCommandLine(arguments, {});
    if (batch) {
        // A run that ends by itself needs no screen: without one it draws offscreen.
        if (!HasDisplay()) setenv("QT_QPA_PLATFORM", "offscreen", 1);
        qInstallMessageHandler(QuietMessages);
    } else if (!HasDisplay()) {
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
    std::fflush(stdout);
    return status;
}
