#include "MultiView.h"

#include <QFrame>
#include <QPointer>
#include <QTest>
#include <QToolButton>

#include <memory>
#include <vector>

using ClientData = TMultiView::ClientData;

namespace {

const int AllCodes[] = {11, 12, 13, 21, 22, 23, 31, 32, 33};

/** A shown window holding a view at (10, 20) and, on request, one sibling control per cell. */
struct Grid
{
    QWidget window;
    TMultiView* view;
    ClientData* cell[4][4] = {};

    explicit Grid(QSize size = {300, 200}, bool withControls = false)
    {
        window.resize(700, 500);
        view = new TMultiView(&window);
        view->setGeometry(10, 20, size.width(), size.height());
        for (int code : AllCodes) {
            cell[code / 10][code % 10] = view->Client(code);
            if (withControls) view->Client(code)->SetControl(new QWidget(&window));
        }
        window.show();
    }
    QWidget* Control(int code) const { return view->Client(code)->Control(); }
};

/** The bounding box of the pixels of `color` in `image` (null when there are none). */
QRect Extent(const QImage& image, QColor color)
{
    QRect box;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y) == color) box |= QRect(x, y, 1, 1);
    return box;
}

} // namespace

class tst_MultiView : public QObject
{
    Q_OBJECT
private slots:
    void cellGeometry_data();
    void cellGeometry();
    void ratioAndControlPlacement_data();
    void ratioAndControlPlacement();
    void setActiveClientClamps_data();
    void setActiveClientClamps();
    void gridCountsKeepActiveInside_data();
    void gridCountsKeepActiveInside();
    void zoomedShowsOnlyActiveCell();
    void captionClick_data();
    void captionClick();
    void buttonHeightKeepsCellRectangles();
    void hiddenCell();
    void settersReachEveryRecord();
    void glyphStates();
    void buttonPaintsStateImage_data();
    void buttonPaintsStateImage();
    void clientControlsStaySiblingsAndAreNotOwned();
    void changedWhileHidden_data();
    void changedWhileHidden();
};

void tst_MultiView::cellGeometry_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("cols");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("code");
    QTest::addColumn<QRect>("button");
    QTest::addColumn<QRect>("frame");
    QTest::addColumn<QRect>("inner");
    QTest::addColumn<bool>("shown");
    QTest::newRow("3x2 cell 23") << QSize(300, 200) << 3 << 2 << 23 << QRect(200, 100, 100, 17)
                                 << QRect(200, 117, 100, 82) << QRect(201, 118, 98, 80) << true;
    QTest::newRow("3x2 third row is hidden")
        << QSize(300, 200) << 3 << 2 << 32 << QRect(100, 200, 100, 17) << QRect(100, 217, 100, 82)
        << QRect(101, 218, 98, 80) << false;
    QTest::newRow("100 wide: 33-pixel cells")
        << QSize(100, 90) << 3 << 3 << 13 << QRect(66, 0, 33, 17) << QRect(66, 17, 33, 12)
        << QRect(67, 18, 31, 10) << true;
    QTest::newRow("1x1 fills the view") << QSize(300, 200) << 1 << 1 << 11 << QRect(0, 0, 300, 17)
                                        << QRect(0, 17, 300, 182) << QRect(1, 18, 298, 180) << true;
    QTest::newRow("after a resize") << QSize(600, 300) << 3 << 3 << 22 << QRect(200, 100, 200, 17)
                                    << QRect(200, 117, 200, 82) << QRect(201, 118, 198, 80) << true;
}

void tst_MultiView::cellGeometry()
{
    QFETCH(QSize, size);
    QFETCH(int, cols);
    QFETCH(int, rows);
    QFETCH(int, code);
    Grid grid; // laid out at 300 × 200 first, then resized
    int layouts = 0;
    grid.view->OnChangeSize = [&](QObject* sender) {
        QCOMPARE(sender, grid.view);
        ++layouts;
    };
    grid.view->SetColCount(cols);
    grid.view->SetRowCount(rows);
    grid.view->resize(size);
    QVERIFY(layouts > 0);
    ClientData* record = grid.view->Client(code);
    QTEST(record->Button()->geometry(), "button");
    QTEST(record->Frame()->geometry(), "frame");
    QTEST(record->Inner(), "inner");
    QTEST(record->Button()->isVisibleTo(grid.view), "shown");
    QTEST(record->Frame()->isVisibleTo(grid.view), "shown");
}

void tst_MultiView::ratioAndControlPlacement_data()
{
    QTest::addColumn<float>("ratio");
    QTest::addColumn<QRect>("inner");
    QTest::newRow("1.0") << 1.0f << QRect(210, 118, 80, 80);
    QTest::newRow("2.0: shorter, centred vertically") << 2.0f << QRect(201, 133, 98, 49);
    QTest::newRow("0.5: narrower, centred") << 0.5f << QRect(230, 118, 40, 80);
    QTest::newRow("0 fills the frame") << 0.0f << QRect(201, 118, 98, 80);
    QTest::newRow("-1 fills the frame") << -1.0f << QRect(201, 118, 98, 80);
}

void tst_MultiView::ratioAndControlPlacement()
{
    QFETCH(float, ratio);
    QFETCH(QRect, inner);
    Grid grid({300, 200}, true);
    grid.view->SetRowCount(2);
    ClientData* record = grid.cell[2][3];
    const QRect before = grid.Control(23)->geometry();
    record->SetRatio(ratio);
    QCOMPARE(record->Inner(), inner);
    QCOMPARE(grid.Control(23)->geometry(), before); // Resize off: the control is left alone
    grid.view->SetResizeClients(true);
    QVERIFY(record->Resize());
    QCOMPARE(grid.Control(23)->geometry(), inner.translated(10, 20));
    QCOMPARE(grid.Control(23)->parentWidget(), &grid.window);
}

void tst_MultiView::setActiveClientClamps_data()
{
    QTest::addColumn<int>("cols");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("active");
    QTest::newRow("22") << 3 << 3 << 22 << 22;
    QTest::newRow("35 -> 33") << 3 << 3 << 35 << 33;
    QTest::newRow("99 -> 33") << 3 << 3 << 99 << 33;
    QTest::newRow("10 changes nothing") << 3 << 3 << 10 << 12;
    QTest::newRow("0 changes nothing") << 3 << 3 << 0 << 12;
    QTest::newRow("-21 changes nothing") << 3 << 3 << -21 << 12;
    QTest::newRow("2x2: 33 -> 22") << 2 << 2 << 33 << 22;
    QTest::newRow("1 column: 23 -> 21") << 1 << 3 << 23 << 21;
}

void tst_MultiView::setActiveClientClamps()
{
    QFETCH(int, cols);
    QFETCH(int, rows);
    QFETCH(int, code);
    QFETCH(int, active);
    Grid grid;
    grid.view->SetActiveClient(12);
    grid.view->SetColCount(cols);
    grid.view->SetRowCount(rows);
    int raised = 0;
    grid.view->OnChangeActive = [&](QObject*) { ++raised; };
    grid.view->SetActiveClient(code);
    QCOMPARE(grid.view->ActiveClient(), active);
    QCOMPARE(grid.view->PrevActive(), active);
    QCOMPARE(raised, 1);
    for (int other : AllCodes)
        QCOMPARE(grid.view->Client(other)->Button()->isChecked(), other == active);
}

void tst_MultiView::gridCountsKeepActiveInside_data()
{
    QTest::addColumn<int>("fromCols");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("cols");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("active");
    QTest::newRow("3 -> 2 columns") << 3 << 23 << 2 << 3 << 22;
    QTest::newRow("3 -> 1 rows") << 3 << 33 << 3 << 1 << 13;
    QTest::newRow("clamped below 1") << 3 << 22 << 0 << -4 << 11;
    QTest::newRow("2 -> 3 columns keeps column 2") << 2 << 12 << 7 << 3 << 12;
}

void tst_MultiView::gridCountsKeepActiveInside()
{
    QFETCH(int, fromCols);
    QFETCH(int, start);
    QFETCH(int, cols);
    QFETCH(int, rows);
    Grid grid;
    grid.view->SetColCount(fromCols);
    grid.view->SetActiveClient(start);
    grid.view->SetColCount(cols);
    grid.view->SetRowCount(rows);
    QCOMPARE(grid.view->ColCount(), std::clamp(cols, 1, 3));
    QCOMPARE(grid.view->RowCount(), std::clamp(rows, 1, 3));
    QTEST(grid.view->ActiveClient(), "active");
}

void tst_MultiView::zoomedShowsOnlyActiveCell()
{
    Grid grid({300, 200}, true);
    grid.view->SetResizeClients(true);
    grid.view->SetActiveClient(22);
    grid.view->SetZoomed(true);
    for (int code : AllCodes) {
        ClientData* record = grid.view->Client(code);
        QCOMPARE(record->Button()->isVisibleTo(grid.view), code == 22);
        QCOMPARE(grid.Control(code)->isHidden(), code != 22);
        if (code != 22) QCOMPARE(grid.Control(code)->x(), 2000);
    }
    QCOMPARE(grid.cell[2][2]->Button()->geometry(), QRect(0, 0, 300, 17));
    QCOMPARE(grid.cell[2][2]->Frame()->geometry(), QRect(0, 17, 300, 182));
    QCOMPARE(grid.Control(22)->geometry(), QRect(11, 38, 298, 180));

    grid.view->SetActiveClient(13); // a zoomed view follows the active cell at once
    QVERIFY(grid.Control(22)->isHidden());
    QCOMPARE(grid.Control(13)->geometry(), QRect(11, 38, 298, 180));

    grid.view->SetZoomed(false);
    for (int code : AllCodes)
        QVERIFY(!grid.Control(code)->isHidden());
    QCOMPARE(grid.Control(22)->geometry(), QRect(111, 104, 98, 46));
}

void tst_MultiView::captionClick_data()
{
    QTest::addColumn<int>("clicked");
    QTest::addColumn<bool>("allow");
    QTest::addColumn<int>("active");
    QTest::addColumn<QList<int>>("seen"); // the active cell at each OnChangeActive
    QTest::newRow("allowed") << 23 << true << 23 << QList<int>{11, 23, 23};
    QTest::newRow("refused") << 23 << false << 11 << QList<int>{11};
    QTest::newRow("active cell again") << 11 << true << 11 << QList<int>{11, 11, 11};
}

void tst_MultiView::captionClick()
{
    QFETCH(int, clicked);
    QFETCH(bool, allow);
    Grid grid;
    QList<int> seen, asked;
    grid.view->OnChangeActive = [&](QObject* sender) {
        QCOMPARE(sender, grid.view);
        seen << grid.view->ActiveClient();
    };
    grid.view->OnChangingActive = [&](QObject* sender, int next, bool& allowed) {
        QCOMPARE(sender, grid.view);
        asked << next << grid.view->ActiveClient();
        allowed = allow;
    };
    QTest::mouseClick(grid.view->Client(clicked)->Button(), Qt::LeftButton);
    QCOMPARE(asked, (QList<int>{clicked, 11}));
    QTEST(grid.view->ActiveClient(), "active");
    QTEST(grid.view->PrevActive(), "active");
    QTEST(seen, "seen");
}

void tst_MultiView::buttonHeightKeepsCellRectangles()
{
    Grid grid;
    std::vector<QRect> frames;
    for (int code : AllCodes)
        frames.push_back(grid.view->Client(code)->Frame()->geometry());
    grid.view->SetButtonHeight(21);
    for (int i = 0; i < 9; ++i) {
        ClientData* record = grid.view->Client(AllCodes[i]);
        QCOMPARE(record->ButtonHeight(), 21);
        QCOMPARE(record->Button()->geometry(),
                 QRect(frames[i].left(), frames[i].top() - 17, frames[i].width(), 21));
        QCOMPARE(record->Frame()->geometry(), frames[i].adjusted(0, 4, 0, 0));
    }
    grid.view->SetButtonHeight(0); // 0 keeps the present height
    QCOMPARE(grid.cell[3][3]->Button()->height(), 21);
    grid.view->resize(301, 200);
    QCOMPARE(grid.cell[3][3]->Frame()->geometry(), QRect(200, 153, 100, 44));
}

void tst_MultiView::hiddenCell()
{
    Grid grid({300, 200}, true);
    grid.view->SetResizeClients(true);
    int layouts = 0;
    grid.view->OnChangeSize = [&](QObject*) { ++layouts; };
    grid.cell[2][2]->SetVisible(false);
    for (int code : AllCodes) {
        QCOMPARE(grid.view->Client(code)->Button()->isVisibleTo(grid.view), code != 22);
        QCOMPARE(grid.Control(code)->isHidden(), code == 22);
    }
    QCOMPARE(grid.Control(22)->x(), 2000);
    QCOMPARE(layouts, 0);
    grid.view->resize(300, 201); // a layout keeps the cell hidden
    QVERIFY(grid.Control(22)->isHidden());
    grid.cell[2][2]->SetVisible(true);
    QCOMPARE(layouts, 2);
    QVERIFY(grid.cell[2][2]->Frame()->isVisibleTo(grid.view));
    QCOMPARE(grid.Control(22)->geometry(), QRect(111, 105, 98, 47));
}

void tst_MultiView::settersReachEveryRecord()
{
    Grid grid;
    grid.view->SetColorPushed(1);
    grid.view->SetColorReleased(2);
    grid.view->SetColorPushedText(3);
    grid.view->SetColorReleasedText(4);
    grid.view->SetButtonHeight(23);
    for (int code : AllCodes) {
        const ClientData* r = grid.view->Client(code);
        QCOMPARE(
            (QList<int>{int(r->ColorPushed()), int(r->ColorReleased()), int(r->ColorPushedText()),
                        int(r->ColorReleasedText()), r->ButtonHeight(), r->Button()->height()}),
            (QList<int>{1, 2, 3, 4, 23, 23}));
    }
}

void tst_MultiView::glyphStates()
{
    Grid grid;
    TMultiView& view = *grid.view;
    view.SetButtonHeight(25);
    view.SetColorReleased(0x0000FF);
    view.SetColorPushed(0x00FF00);
    view.SetColorReleasedText(0xFFFFFF);
    view.SetColorPushedText(0xFF0000);
    ClientData* record = grid.cell[1][2];
    int changes = 0;
    record->OnChange = [&](QObject* sender) {
        QCOMPARE(sender, record);
        ++changes;
    };
    record->SetCaption("AB");
    record->SetCaption("AB"); // unchanged: no OnChange
    QCOMPARE(changes, 1);
    QCOMPARE(record->GlyphBitmap().size(), QSize(4 * 100 - 12, 24));

    const QIcon icon = record->Button()->icon();
    const QSize size(97, 24);
    struct State
    {
        QIcon::Mode mode;
        QIcon::State state;
        QColor back, text;
        int rows; // rows of background from the top
    };
    const State states[] = {{QIcon::Normal, QIcon::Off, Qt::red, Qt::white, 22},
                            {QIcon::Disabled, QIcon::Off, Qt::red, Qt::white, 21},
                            {QIcon::Selected, QIcon::Off, Qt::green, Qt::blue, 21},
                            {QIcon::Normal, QIcon::On, Qt::green, Qt::blue, 21}};
    QRect firstText;
    for (const State& s : states) {
        const QImage image = icon.pixmap(size, s.mode, s.state).toImage();
        QCOMPARE(image.size(), size);
        QCOMPARE(image.pixelColor(0, 0), s.back);
        QCOMPARE(image.pixelColor(95, s.rows - 1), s.back);
        QCOMPARE(qAlpha(image.pixel(96, 0)), 0); // last column and the rows below: colour 8
        QCOMPARE(qAlpha(image.pixel(0, s.rows)), 0);
        QCOMPARE(qAlpha(image.pixel(0, 23)), 0);
        const QRect text = Extent(image, s.text);
        QVERIFY(!text.isEmpty());
        if (firstText.isNull())
            firstText = text;
        else
            QCOMPARE(text, firstText.translated(-1, -1));
    }
    QVERIFY(qAbs(firstText.center().x() - 48) <= 2); // centred caption
}

void tst_MultiView::buttonPaintsStateImage_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("held");
    QTest::addColumn<QColor>("expected");
    QTest::newRow("down") << 11 << false << QColor(Qt::green);
    QTest::newRow("up") << 12 << false << QColor(Qt::red);
    QTest::newRow("held by the mouse") << 12 << true << QColor(Qt::green);
}

void tst_MultiView::buttonPaintsStateImage()
{
    QFETCH(int, code);
    QFETCH(bool, held);
    Grid grid;
    grid.view->SetColorReleased(0x0000FF);
    grid.view->SetColorPushed(0x00FF00);
    QToolButton* button = grid.view->Client(code)->Button();
    if (held) QTest::mousePress(button, Qt::LeftButton);
    QFETCH(QColor, expected);
    // Every state's background covers button rows 2 to 14: a pressed image is drawn one
    // pixel lower and ends one row higher.
    const QImage image = button->grab().toImage();
    QCOMPARE(image.pixelColor(50, 2), expected);
    QCOMPARE(image.pixelColor(50, 14), expected);
    QVERIFY(image.pixelColor(50, 15) != expected);
    if (held) QTest::mouseRelease(button, Qt::LeftButton);
}

void tst_MultiView::clientControlsStaySiblingsAndAreNotOwned()
{
    auto grid = std::make_unique<Grid>(QSize(300, 200), true);
    TMultiView* view = grid->view;
    view->SetResizeClients(true);
    QPointer<QWidget> control = grid->Control(11);
    QCOMPARE(control->parentWidget(), &grid->window);
    QCOMPARE(control->geometry(), QRect(11, 38, 98, 46));
    view->move(50, 60); // the controls follow the view
    QCOMPARE(control->geometry(), QRect(51, 78, 98, 46));

    // A control stacked beneath the view is lifted over it when placed.
    auto* under = new QWidget(&grid->window);
    under->stackUnder(view);
    grid->cell[1][2]->SetControl(under);
    QVERIFY(grid->window.children().indexOf(under) > grid->window.children().indexOf(view));

    delete grid->Control(33); // a destroyed client control is forgotten
    QCOMPARE(grid->Control(33), nullptr);
    view->resize(310, 200);
    delete view;
    QVERIFY(control);
    QCOMPARE(control->parentWidget(), &grid->window);
}

void tst_MultiView::changedWhileHidden_data()
{
    QTest::addColumn<QRect>("laidOut");  // the view's geometry at its last layout
    QTest::addColumn<QRect>("geometry"); // then set while hidden
    QTest::addColumn<bool>("zoomed");
    QTest::addColumn<bool>("shown"); // shown afterwards, or never
    QTest::newRow("resized, never shown")
        << QRect(10, 20, 200, 150) << QRect(10, 20, 300, 200) << false << false;
    QTest::newRow("resized, then shown")
        << QRect(10, 20, 200, 150) << QRect(10, 20, 300, 200) << false << true;
    QTest::newRow("moved, never shown")
        << QRect(10, 20, 300, 200) << QRect(60, 70, 300, 200) << false << false;
    QTest::newRow("zoomed, resized, never shown")
        << QRect(10, 20, 200, 150) << QRect(10, 20, 300, 200) << true << false;
}

void tst_MultiView::changedWhileHidden()
{
    QFETCH(QRect, laidOut);
    QFETCH(QRect, geometry);
    QFETCH(bool, zoomed);
    QFETCH(bool, shown);
    const auto setUp = [zoomed](TMultiView* view) {
        view->SetResizeClients(true);
        view->SetColCount(2);
        view->SetActiveClient(22);
        view->SetZoomed(zoomed);
    };
    // The reference: a shown view at the final geometry.
    Grid reference(geometry.size(), true);
    reference.view->setGeometry(geometry);
    setUp(reference.view);

    QWidget window; // shown only on request
    window.resize(700, 500);
    auto* view = new TMultiView(&window);
    view->setGeometry(laidOut);
    for (int code : AllCodes)
        view->Client(code)->SetControl(new QWidget(&window));
    setUp(view); // lays out at `laidOut`
    view->setGeometry(geometry);
    if (shown) window.show();

    for (int code : AllCodes) {
        const ClientData* cell = view->Client(code);
        const ClientData* expected = reference.view->Client(code);
        QCOMPARE(cell->Button()->isVisibleTo(view),
                 expected->Button()->isVisibleTo(reference.view));
        QCOMPARE(cell->Control()->isHidden(), expected->Control()->isHidden());
        // A cell a zoomed view hides keeps whatever rectangle it had before.
        if (!expected->Button()->isVisibleTo(reference.view)) continue;
        QCOMPARE(cell->Button()->geometry(), expected->Button()->geometry());
        QCOMPARE(cell->Frame()->geometry(), expected->Frame()->geometry());
        QCOMPARE(cell->FrameRect(), expected->FrameRect());
        QCOMPARE(cell->Inner(), expected->Inner());
        QCOMPARE(cell->Control()->geometry(), expected->Control()->geometry());
    }
    // Cell 22 of 2 × 3 cells of 150 × 66, or the whole view when zoomed.
    QCOMPARE(view->Client(22)->Control()->geometry(),
             zoomed ? QRect(geometry.topLeft() + QPoint(1, 18), QSize(298, 180))
                    : QRect(geometry.topLeft() + QPoint(151, 84), QSize(148, 46)));
}

QTEST_MAIN(tst_MultiView)
#include "tst_multiview.moc"
