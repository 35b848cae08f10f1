// The framework pieces the windows are built from: colours, anchors, the bitmap
// image, the rectangle outline, the scroll box, the spin edit and the exception
// display of the application object.

#include "Application.h"
#include "Framework.h"

#include <QPainter>
#include <QSignalSpy>
#include <QTest>

#include <stdexcept>

namespace {

/** A plain widget painting itself in one colour, to see what shows through. */
class Backdrop : public QWidget
{
public:
    explicit Backdrop(QColor color) : color_(color) { resize(120, 80); }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), color_); }

private:
    QColor color_;
};

/** Throws from its handler of a user event, the way a faulty event handler would. */
class Thrower : public QObject
{
protected:
    bool event(QEvent* event) override
    {
        if (event->type() == QEvent::User) throw std::runtime_error("boom");
        return QObject::event(event);
    }
};

} // namespace

class TestFramework : public QObject
{
    Q_OBJECT

private slots:
    void colours();
    void anchors();
    void anchorsOfHiddenControls();
    void shapeDrawsOnlyItsOutline();
    void imageShowsPictureAndFollowsItsSize();
    void scrollBoxCoversItsControls();
    void spinEditReadsItsText();
    void exceptionInHandlerIsShown();
};

void TestFramework::colours()
{
    QCOMPARE(ColorToQColor(clRed), QColor(255, 0, 0));
    QCOMPARE(ColorToQColor(clLime), QColor(0, 255, 0));
    QCOMPARE(ColorToQColor(0x123456), QColor(0x56, 0x34, 0x12));
    QCOMPARE(ColorToQColor(clBtnFace), QApplication::palette().color(QPalette::Button));
    QCOMPARE(ColorToQColor(clWindow), QApplication::palette().color(QPalette::Base));
}

void TestFramework::anchors()
{
    QWidget parent;
    parent.resize(200, 100);
    auto* corner = new QWidget(&parent);
    auto* all = new QWidget(&parent);
    auto* wide = new QWidget(&parent);
    auto* plain = new QWidget(&parent);
    corner->setGeometry(140, 70, 50, 20);
    all->setGeometry(10, 10, 100, 50);
    wide->setGeometry(10, 80, 100, 10);
    plain->setGeometry(5, 5, 10, 10);
    SetAnchors(corner, akRight | akBottom);
    SetAnchors(all, akAll);
    SetAnchors(wide, akLeft | akRight);
    SetAnchors(plain, akLeft | akTop);
    QCOMPARE(Anchors(plain), TAnchors(akLeft | akTop));
    QCOMPARE(Anchors(wide), TAnchors(akLeft | akRight));
    parent.show();

    parent.resize(300, 150);
    QCOMPARE(corner->geometry(), QRect(240, 120, 50, 20));
    QCOMPARE(all->geometry(), QRect(10, 10, 200, 100));
    QCOMPARE(wide->geometry(), QRect(10, 80, 200, 10));
    QCOMPARE(plain->geometry(), QRect(5, 5, 10, 10));

    // A program move takes new distances; shrinking never gives negative sizes.
    corner->move(100, 20);
    parent.resize(250, 100);
    QCOMPARE(corner->geometry(), QRect(50, -30, 50, 20));
    parent.resize(20, 20);
    QCOMPARE(all->size(), QSize(0, 0));
}

void TestFramework::anchorsOfHiddenControls()
{
    // Controls placed before their parent is shown get their move and resize events
    // late; the distances must still be those of the placement.
    QWidget window;
    auto* page = new QWidget(&window);
    page->resize(300, 200);
    auto* child = new QWidget(page);
    child->setGeometry(8, 72, 284, 124);
    SetAnchors(child, akAll);
    page->resize(400, 250);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(child->geometry(), QRect(8, 72, 384, 174));
}

void TestFramework::shapeDrawsOnlyItsOutline()
{
    Backdrop parent(Qt::blue);
    auto* shape = new TShape(&parent);
    shape->SetPenColor(clRed);
    shape->SetPenWidth(2);
    shape->setGeometry(10, 10, 20, 12);
    const QImage image = parent.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRgb red = qRgb(255, 0, 0), blue = qRgb(0, 0, 255);
    for (int x : {10, 11, 28, 29})
        QCOMPARE(image.pixel(x, 15), red);
    for (int y : {10, 11, 20, 21})
        QCOMPARE(image.pixel(20, y), red);
    QCOMPARE(image.pixel(12, 15), blue); // the clear inside
    QCOMPARE(image.pixel(20, 12), blue);
    QCOMPARE(image.pixel(9, 15), blue); // nothing outside the control
    QCOMPARE(image.pixel(30, 15), blue);

    shape->resize(20, 0); // a marker of zero height shows nothing
    const QImage flat = parent.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(flat.pixel(20, 10), blue);
}

void TestFramework::imageShowsPictureAndFollowsItsSize()
{
    Backdrop parent(Qt::blue);
    auto* image = new TImage(&parent);
    image->setGeometry(5, 5, 40, 40);
    QImage shown = parent.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shown.pixel(10, 10), qRgb(0, 0, 255)); // no picture: the parent shows

    image->SetAutoSize(true);
    image->SetPictureSize(6, 4);
    QCOMPARE(image->size(), QSize(6, 4));
    QCOMPARE(image->Picture().format(), QImage::Format_BGR888);
    image->Picture().bits()[1] = 200; // pixel (0, 0): blue 0, green 200, red 0
    shown = parent.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shown.pixel(5, 5), qRgb(0, 200, 0));
    QCOMPARE(shown.pixel(10, 8), qRgb(0, 0, 0));   // a new picture is black
    QCOMPARE(shown.pixel(11, 5), qRgb(0, 0, 255)); // beyond the picture

    image->SetPictureSize(0, 3);
    QVERIFY(image->Picture().isNull());
    QCOMPARE(image->size(), QSize(0, 3));
    image->SetPictureSize(-4, 3);
    QVERIFY(image->Picture().isNull());

    QSignalSpy presses(image, &TImage::MouseDown);
    image->SetPictureSize(6, 4);
    QTest::mousePress(image, Qt::RightButton, {}, QPoint(3, 2));
    QCOMPARE(presses.count(), 1);
    QCOMPARE(presses[0][0].value<Qt::MouseButton>(), Qt::RightButton);
    QCOMPARE(presses[0][1].toInt(), 3);
    QCOMPARE(presses[0][2].toInt(), 2);
}

void TestFramework::scrollBoxCoversItsControls()
{
    TScrollBox box;
    box.resize(100, 80);
    box.show();
    auto* a = new QWidget(box.Content());
    a->setGeometry(0, 0, 50, 40);
    a->show();
    QCOMPARE(box.Content()->size(), QSize(50, 40));
    auto* b = new QWidget(box.Content());
    b->setGeometry(30, 20, 200, 100);
    b->show();
    QCOMPARE(box.Content()->size(), QSize(230, 120));
    b->move(10, 5);
    QCOMPARE(box.Content()->size(), QSize(210, 105));
    b->hide();
    QCOMPARE(box.Content()->size(), QSize(50, 40));
    delete a;
    QCOMPARE(box.Content()->size(), QSize(0, 0));
}

void TestFramework::spinEditReadsItsText()
{
    TCSpinEdit spin;
    QSignalSpy changes(&spin, &TCSpinEdit::Change);
    spin.SetValue(256);
    QCOMPARE(spin.Value(), 256);
    QCOMPARE(changes.count(), 1);

    spin.SetText(QStringLiteral("16"));
    QCOMPARE(changes.count(), 2);
    QCOMPARE(spin.Value(), 16);
    spin.SetText(QStringLiteral("16"));
    QCOMPARE(changes.count(), 2); // no change, no event

    spin.stepUp();
    QCOMPARE(changes.count(), 3);
    QCOMPARE(spin.Value(), 17);
    spin.stepDown();
    spin.stepDown();
    QCOMPARE(spin.Value(), 15);

    // No limits either way.
    spin.SetValue(-2000000000);
    QCOMPARE(spin.Value(), -2000000000);
    spin.SetText(QStringLiteral("2147483647"));
    QCOMPARE(spin.Value(), 2147483647);

    // Unreadable text becomes 0 when the value is read.
    for (const QString& text : {QString(), QStringLiteral("-"), QStringLiteral("+")}) {
        spin.SetText(text);
        QCOMPARE(spin.Value(), 0);
        QCOMPARE(spin.Text(), QStringLiteral("0"));
    }
}

void TestFramework::exceptionInHandlerIsShown()
{
    QStringList shown;
    TApplication::SetExceptionDisplay([&](const QString& text) { shown << text; });
    Thrower receiver;
    QEvent event(QEvent::User);
    QCOMPARE(QCoreApplication::sendEvent(&receiver, &event), false);
    QCOMPARE(shown, QStringList{QStringLiteral("boom")});

    RunGuarded([] { throw std::bad_alloc(); });
    RunGuarded([] { throw 42; });
    QCOMPARE(shown,
             (QStringList{QStringLiteral("boom"), QStringLiteral("Out of memory."), QString()}));
    TApplication::SetExceptionDisplay({});
}

int main(int argc, char** argv)
{
    TApplication app(argc, argv);
    TestFramework test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_framework.moc"
