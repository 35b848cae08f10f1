// A property written with the value it holds changes nothing and raises nothing.

#include "GraphicsListControl.h"
#include "ImageControl.h"
#include "MultiView.h"
#include "VectorControl.h"
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

static const QRegularExpression Acting( // the setters that act on every call, and why:
    "^TZoomPanel ClientRatio$|"         // lays the zoom area out again, raises OnZoom
    "^TZoomPanel ResizeChildren$|"      // lays the children out again, raises OnZoom
    "^TMultiView ActiveClient$|"        // presses the cell's button, raises OnChangeActive
    "^TMultiView Ratio\\d\\d$");        // places the cell's control, raises the cell's OnChange

class TestSetters : public QObject
{
    Q_OBJECT
    QStringList seen; ///< what a write raised: repaints, callbacks, signals
    bool eventFilter(QObject* o, QEvent* e) override
    {
        if (e->type() == QEvent::Paint) seen << QString("paint ") + o->metaObject()->className();
        return false;
    }

private slots:
    void everySetterWithTheValueItHolds()
    {
        const ImagePtr program{NewImage16(30, 20)};
        const auto log = [this](QObject*, auto&&...) { seen << "callback"; };
        QWidget top;
        auto *owned = new TImageControl(&top), *shown = new TImageControl(&top);
        shown->SetImage(program.get());
        owned->Image()->Data[5] = shown->Image()->Data[5] = 9;
        owned->OnResize = shown->OnResize = log;
        (new TVectorControl(&top))->SetAllocVector(true);
        (new TGraphicsListControl(&top))->SetAllocList(true);
        (new TZoomPanel(&top))->SetOnZoom(log);
        auto* view = new TMultiView(&top);
        for (const int code : {11, 12, 13, 21, 22, 23, 31, 32, 33})
            view->OnChangeActive = view->Client(code)->OnChange = log;
        const auto snapshot = [&top] { // properties and records: image, pixels, vector, list
            QStringList state;
            const auto add = [&](const auto&... v) { (QDebug(&state.emplace_back()) << ... << v); };
            for (QObject* o : top.children()) {
                for (int p = 0; p < o->metaObject()->propertyCount(); ++p)
                    add(o->metaObject()->property(p).name(), o->metaObject()->property(p).read(o));
                if (auto* v = qobject_cast<TVectorControl*>(o)) add(v->Vector);
                if (auto* l = qobject_cast<TGraphicsListControl*>(o)) add(l->List);
                if (auto* i = qobject_cast<TImageControl*>(o); i && i->Image())
                    add(i->Image(), i->Image()->Generation, i->Image()->Data[5], i->Rebuild());
            }
            return state;
        };
        top.show();
        QVERIFY(QTest::qWaitForWindowExposed(&top));
        QTest::qWait(20);
        const QStringList scene = snapshot();
        owned->SetImage(owned->Image()); // an owned image given again stays, pixels and all
        QCOMPARE(snapshot(), scene);
        for (QObject* c : top.children())
            for (int i = c->metaObject()->propertyOffset(); i < c->metaObject()->propertyCount();
                 ++i) {
                const QMetaProperty p = c->metaObject()->property(i);
                const QString name = QString("%1 %2").arg(c->metaObject()->className(), p.name());
                QList<QSharedPointer<QSignalSpy>> spies;
                for (int m = 0; m < c->metaObject()->methodCount(); ++m)
                    if (c->metaObject()->method(m).methodType() == QMetaMethod::Signal)
                        spies << QSharedPointer<QSignalSpy>::create(c, c->metaObject()->method(m));
                seen.clear(), qApp->installEventFilter(this);
                QVERIFY2(p.isWritable() && p.write(c, p.read(c)), qPrintable(name));
                QVERIFY2(snapshot() == scene, qPrintable(name + " changed the state"));
                QTest::qWait(20); // the filter stays installed: `seen` is cleared for each write
                for (const auto& spy : spies)
                    if (!spy->isEmpty()) seen << "signal " + spy->signal();
                QVERIFY2(seen.isEmpty() != Acting.match(name).hasMatch(),
                         qPrintable(name + ": " + seen.join(", ")));
            }
    }
};

QTEST_MAIN(TestSetters)

#include "tst_setters.moc"
