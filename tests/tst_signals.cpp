// The controls' Qt signals: each comes right after its hook, with the hook's values, on
// real mouse and wheel input; the NOTIFY signals of what the user changes by hand fire
// once per real change and never for a write of the value a property holds.

#include "GraphicsListControl.h"
#include "ImageControl.h"
#include "MultiView.h"
#include "ZoomPanel.h"

#include <QApplication>
#include <QToolButton>
#include <QWheelEvent>
#include <QtTest>

#include <functional>

QDebug operator<<(QDebug debug, const TZoom& zoom)
{
    return debug << zoom.XFactor;
}

class TestSignals : public QObject
{
    Q_OBJECT
    QStringList log; ///< hooks ("h …"), signals ("s …") and notifications ("n …") in order

    /** A slot logging "`name` arguments… also()". */
    auto Entry(
        const QString& name, std::function<QString()> also = [] { return QString(); })
    {
        return [this, name, also](const auto&... a) {
            log << QStringList{name, QDebug::toString(a)..., also()}.join(' ').trimmed();
        };
    }
    /** The same as a hook, whose Sender is left out. */
    auto Hook(const QString& name)
    {
        return [entry = Entry(name)](QObject*, const auto&... a) { entry(a...); };
    }

    /** Writes each named property of `object` its own value: nothing may be notified. */
    static void NoOpWrites(QObject* object, const QByteArrayList& names)
    {
        for (const QByteArray& name : names) {
            const QMetaObject* meta = object->metaObject();
            const QMetaProperty p = meta->property(meta->indexOfProperty(name));
            QSignalSpy spy(object, p.notifySignal()); // invalid for a property without NOTIFY
            QVERIFY2(spy.isValid() && p.write(object, p.read(object)) && spy.isEmpty(), name);
        }
    }

private slots:
    void init() { log.clear(); }

    void panelImageAndOverlay()
    {
        TZoomPanel panel;
        panel.resize(400, 400);
        auto* image = new TImageControl(&panel);
        image->SetXSize(100), image->SetYSize(100);
        auto* overlay = new TGraphicsListControl(&panel);
        overlay->SetAllocList(true);
        AppendToList(overlay->List, {GraphicsRectangle, GraphicsListColor, {10, 10, 30, 30}});
        panel.SetAutoMouse(true);
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        overlay->OnSelect = Hook("h select"), overlay->OnChange = Hook("h change");
        connect(&panel, &TZoomPanel::Zoomed, this, Entry("s zoom"));
        connect(&panel, &TZoomPanel::ZoomChanged, this, Entry("n zoom"));
        connect(overlay, &TGraphicsListControl::ItemSelected, this, Entry("s select"));
        connect(overlay, &TGraphicsListControl::ItemChanged, this, Entry("s change"));
        connect(overlay, &TGraphicsListControl::SelectedItemChanged, this, Entry("n select"));
        connect(image, &TImageControl::MinChanged, this, Entry("n min"));
        connect(image, &TZoomableControl::XScaleChanged, this,
                Entry("n xscale", [image] { return QString::number(image->XScale()); }));
        connect(overlay, &TZoomableControl::XScaleChanged, this,
                Entry("n xscale", [overlay] { return QString::number(overlay->XScale()); }));
        panel.SetOnZoom(Hook("h zoom"));
        QCOMPARE(log, QStringList({"h zoom 1", "s zoom 1"})); // a new hook is called at once

        // A wheel notch over the overlay zooms in by 1.1 about the cursor: the children
        // take their new scale (400 · 1.1 / 100 pixels a sample) before the panel notifies.
        log.clear();
        QWheelEvent wheel(QPointF(200, 200), overlay->mapToGlobal(QPointF(200, 200)), {}, {0, 120},
                          Qt::NoButton, {}, Qt::NoScrollPhase, false);
        QSpontaneKeyEvent::setSpontaneous(&wheel);
        qApp->notify(overlay, &wheel);
        QCOMPARE(log, QStringList({"n xscale 4.4", "n xscale 4.4", "n zoom 1.1", "h zoom 1.1",
                                   "s zoom 1.1"}));

        // Clicks select: the notification once per new item, the hook then the signal on
        // every click; the arrow key nudges the item edited and writes it back.
        log.clear();
        const QPoint edge(int(overlay->XOffset() + 10 * overlay->XScale()) + 1,
                          int(overlay->YOffset() + 20 * overlay->YScale()));
        for (const QPoint at : {edge, edge, QPoint(5, 5)})
            QTest::mouseClick(overlay, Qt::LeftButton, {}, at);
        QCOMPARE(log.filter("select"),
                 QStringList({"n select 0", "h select 0", "s select 0", "h select 0", "s select 0",
                              "n select -1", "h select -1", "s select -1"}));
        log.clear();
        overlay->SetSelectedItem(0); // the program selects: notified, edited, no click hooks
        QVERIFY(overlay->Editing());
        QTest::keyClick(overlay, Qt::Key_Right);
        QCOMPARE(log, QStringList({"n select 0", "h change 0", "s change 0"}));
        QCOMPARE(overlay->List->Items[0].Coords[0], 11.0f);

        // A shift-drag pans: each mouse signal (button, shift state, client pixel) comes
        // after the panel's hook has acted on it, the move's after the pan it caused.
        log.clear();
        const auto gesture = [&panel] { return QString::number(panel.GestureState()); };
        connect(overlay, &TZoomableControl::MousePressed, this, Entry("s press", gesture));
        connect(overlay, &TZoomableControl::MouseMoved, this, Entry("s move", gesture));
        connect(overlay, &TZoomableControl::MouseReleased, this, Entry("s release", gesture));
        QTest::mousePress(overlay, Qt::LeftButton, Qt::ShiftModifier, QPoint(300, 300));
        QTest::mouseMove(overlay, QPoint(290, 300));
        QTest::mouseRelease(overlay, Qt::LeftButton, Qt::ShiftModifier, QPoint(290, 300));
        QCOMPARE(log, QStringList({"s press Qt::LeftButton 9 QPoint(300,300) 1", "n zoom 1.1",
                                   "h zoom 1.1", "s zoom 1.1", "s move 8 QPoint(290,300) 1",
                                   "s release Qt::LeftButton 1 QPoint(290,300) 0"}));
        QVERIFY(qAbs(panel.Zoom().XOrigin - (-0.05 - 10.0 / 400)) < 1e-6);

        // The grey window notifies real changes only; writes of held values none, also
        // for the float zoom properties over a zoom held in double precision.
        log.clear();
        image->SetMin(10), image->SetMin(10), image->setProperty("Min", 0.0f);
        QCOMPARE(log, QStringList({"n min 10", "n min 0"}));
        NoOpWrites(&panel, {"XFactor", "XOrigin", "YFactor", "YOrigin"});
        NoOpWrites(image, {"XScale", "YOffset", "Max"});
        NoOpWrites(overlay, {"SelectedItem", "XOffset"});
        panel.setProperty("YOrigin", 0.5f);
        QCOMPARE(panel.Zoom().YOrigin, 0.5);
        QCOMPARE(log.filter("n zoom"), QStringList{"n zoom 1.1"});
    }

    void gridActiveCell()
    {
        TMultiView view;
        view.resize(300, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.OnChangeActive = Hook("h set");
        view.OnChangingActive = [this](QObject*, int code, bool& allow) {
            allow = code != 33;
            log << "h changing " + QString::number(code);
        };
        connect(&view, &TMultiView::ActiveClientSet, this, Entry("s set"));
        connect(&view, &TMultiView::ActiveClientChanging, this, [this](int code, bool* allow) {
            log << QString("s changing %1 %2").arg(code).arg(*allow ? "allowed" : "refused");
            if (code == 12) *allow = false; // a slot refuses too
        });
        connect(&view, &TMultiView::ActiveClientChanged, this, Entry("n active"));
        connect(view.Client(11), &TMultiView::ClientData::Changed, this, Entry("s cell"));

        QTest::mouseClick(view.Client(22)->Button(), Qt::LeftButton);
        QCOMPARE(log, QStringList({"h set", "s set", "h changing 22", "s changing 22 allowed",
                                   "n active 22", "h set", "s set", "h set", "s set"}));
        log.clear();
        for (const int refused : {33, 12}) { // by the hook, then by a slot
            QTest::mouseClick(view.Client(refused)->Button(), Qt::LeftButton);
            QCOMPARE(view.ActiveClient(), 22);
        }
        QCOMPARE(log.filter(QRegularExpression("^s changing|^n")),
                 QStringList({"s changing 33 refused", "s changing 12 allowed"}));
        log.clear();
        view.SetActiveClient(22); // the hook and its signal on every call, no notification
        view.SetColCount(1);      // the active cell is clamped into the grid: 21
        view.Client(11)->SetCaption("a");
        QCOMPARE(log.filter(QRegularExpression("^n|^s cell")),
                 QStringList({"n active 21", "s cell"}));
        QCOMPARE(log.count("h set"), log.count("s set"));
        NoOpWrites(&view, {"ActiveClient"});
    }
};

QTEST_MAIN(TestSignals)

#include "tst_signals.moc"
