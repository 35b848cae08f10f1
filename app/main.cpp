#include "Application.h"
#include "Form1.h"

#include <cstdio>
#include <cstdlib>

namespace {

/** True when Qt has a screen to open the window on. */
bool HasDisplay()
{
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform) return true;
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (display && *display) || (wayland && *wayland);
}

} // namespace

int main(int argc, char** argv)
{
    if (!HasDisplay()) {
        std::fprintf(stderr, "volinspect: no display available: the viewer window needs an "
                             "X11 or Wayland display (set DISPLAY or WAYLAND_DISPLAY)\n");
        return 2;
    }
    TApplication app(argc, argv);
    RunGuarded([&] {
        TForm1 form;
        form.show();
        app.exec();
    });
    return 0;
}
