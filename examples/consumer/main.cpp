// Shows a grey ramp with a yellow rectangle over it in a zoom panel, using nothing but
// the installed controls. With --check it runs offscreen, grabs the panel and checks a
// few of its pixels: exit status 0 when they are right, 1 otherwise.

#include <GraphicsListControl.h>
#include <ImageControl.h>
#include <ZoomPanel.h>
#include <imgkernel.h>

#include <QApplication>
#include <QImage>

#include <cstdio>
#include <cstring>

namespace {

constexpr int Side = 200;

/** Pixel (x, y) of the panel's grab, as grey, red, green and blue text for messages. */
bool Expect(const QImage& shot, int x, int y, QRgb expected, const char* what)
{
    const QRgb got = shot.pixel(x, y);
    if (qRed(got) == qRed(expected) && qGreen(got) == qGreen(expected) &&
        qBlue(got) == qBlue(expected))
        return true;
    std::fprintf(stderr, "consumer: %s at (%d, %d) is #%06x, not #%06x\n", what, x, y,
                 got & 0xFFFFFF, expected & 0xFFFFFF);
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    const bool check = argc > 1 && std::strcmp(argv[1], "--check") == 0;
    if (check) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    TZoomPanel panel;
    panel.resize(Side, Side);
    panel.setWindowTitle(QStringLiteral("volinspect controls"));

    // The image: a ramp along x, sample u having the grey value u (0 … 199).
    auto* image = new TImageControl(&panel);
    image->SetAllocImage(TImageControl::AllocImage8);
    image->SetXSize(Side);
    image->SetYSize(Side);
    ImageStruct* ramp = image->Image();
    for (int v = 0; v < Side; ++v)
        for (int u = 0; u < Side; ++u)
            ramp->Data[v * ramp->LineStep + u] = uint8_t(u);
    image->Invalidate();

    // The overlay above it: one yellow rectangle.
    auto* overlay = new TGraphicsListControl(&panel);
    overlay->SetTransparent(true);
    GraphicsItemStruct rectangle;
    rectangle.Kind = GraphicsRectangle;
    rectangle.Color = 0x00FFFF; // yellow, 0x00BBGGRR
    const float corners[4] = {50, 60, 150, 140};
    std::copy(corners, corners + 4, rectangle.Coords);
    AppendToList(overlay->List, rectangle);
    panel.SetAutoMouse(true);

    panel.show();
    if (!check) return app.exec();

    app.processEvents();
    const QImage shot = panel.grab().toImage();
    bool ok = shot.width() == Side && shot.height() == Side;
    if (!ok) std::fprintf(stderr, "consumer: the grab is %dx%d\n", shot.width(), shot.height());
    ok = ok && Expect(shot, 10, 100, qRgb(10, 10, 10), "the ramp");
    ok = ok && Expect(shot, 180, 20, qRgb(180, 180, 180), "the ramp");
    ok = ok && Expect(shot, 100, 60, qRgb(255, 255, 0), "the rectangle's top edge");
    ok = ok && Expect(shot, 50, 100, qRgb(255, 255, 0), "the rectangle's left edge");
    ok = ok && Expect(shot, 100, 100, qRgb(100, 100, 100), "the ramp inside the rectangle");
    std::puts(ok ? "consumer: pixels as expected" : "consumer: pixels wrong");
    return ok ? 0 : 1;
}
