// Every published property of the five controls (from their QMetaObjects), written with
// the value it holds, changes nothing: no property, pixel, image, vector or list record,
// layout, repaint, event or signal; each control in a few states that reach its setters'
// branches. ActingSetters lists those that act on every call, each checked to act.

#include "GraphicsListControl.h"
#include "ImageControl.h"
#include "MultiView.h"
#include "VectorControl.h"
#include "ZoomPanel.h"
#include "imgkernel.h"

#include <QApplication>
#include <QDebug>
#include <QImage>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace {

/**
 * Setters that act also given the value they hold: the properties (a pattern), the
 * states where that shows ("*": all; elsewhere they must change nothing), and why.
 */
const struct Acting
{
    const char *control, *properties, *states, *reason;
} ActingSetters[] = {
    {"TImageControl", "[XY]Size", "AutoSize, shifted|AutoScale, shifted",
     "fits the control to the image (AutoSize) or the scale to the control (AutoScale), "
     "offset 0, whether or not the size changed"},
    {"TImageControl", "[XY]Scale", "AutoSize, shifted",
     "with AutoSize, fits the control to size × scale, offset 0, whether or not it changed"},
    {"TImageControl", "AutoLoad", "picture loaded",
     "loads the named picture again, which may have changed on disk"},
    {"TZoomPanel", "ClientRatio|ResizeChildren", "*",
     "lays the zoom area and the children out again and raises OnZoom: a program's re-layout"},
    {"TZoomPanel", "AutoMouse", "child added",
     "rescans the children when their number changed since the last scan, hooking new ones"},
    {"TMultiView", "ActiveClient", "*",
     "presses the cell's button, lays a zoomed grid out again and raises OnChangeActive"},
    {"TMultiView", "ResizeClients", "clients placed",
     "hands every cell its Resize, and a cell that places its control places it again"},
    {"TMultiView", "Ratio\\d\\d", "*", "places the cell's control again and raises OnChange"},
    {"TMultiView", "Resize\\d\\d", "clients placed",
     "places the cell's control again, which always receives a size change"},
};
// Acting setters that are no properties: see operationsBeyondTheProperties.

/** Widget events that tell of a setter at work: repaints, geometry, visibility, style. */
const QSet<int> Telling = {QEvent::Paint,         QEvent::UpdateRequest, QEvent::UpdateLater,
                           QEvent::Resize,        QEvent::Move,          QEvent::Show,
                           QEvent::Hide,          QEvent::ShowToParent,  QEvent::HideToParent,
                           QEvent::PaletteChange, QEvent::FontChange,    QEvent::StyleChange,
                           QEvent::ZOrderChange,  QEvent::ParentChange,  QEvent::WinIdChange,
                           QEvent::LayoutRequest, QEvent::ChildAdded,    QEvent::ChildRemoved,
                           QEvent::EnabledChange, QEvent::CursorChange,  QEvent::ToolTipChange};

QDebug operator<<(QDebug d, const TZoomMapping& m)
{
    return d << m.XScale << m.XOffset << m.YScale << m.YOffset;
}

/** The values as one line of text, floats to the last bit. */
QString Line(const auto&... values)
{
    QString line;
    ((QDebug(&line).noquote() << qSetRealNumberPrecision(9)) << ... << values);
    return line;
}

QString Name(const QObject* object)
{
    return Line(object->metaObject()->className(), object->objectName());
}

/** Lets every posted event, repaints included, run to its end. */
void Settle()
{
    for (int i = 0; i < 4; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

/** The control's own published properties (those its framework base has are Qt's). */
QList<QMetaProperty> OwnProperties(const QMetaObject* meta)
{
    QList<QMetaProperty> properties;
    for (const QMetaObject* m = meta; m && m->className()[0] == 'T'; m = m->superClass())
        for (int i = m->propertyOffset(); i < m->propertyCount(); ++i)
            properties.prepend(m->property(i));
    return properties;
}

QString ImageState(const ImageStruct* image)
{
    if (!image) return QStringLiteral("no image");
    size_t h = 0;
    const size_t row = size_t(image->XSize) * size_t(ImageElementBytes(image));
    for (int y = 0; image->Data && y < image->YSize; ++y)
        h = qHashBits(image->Data + std::ptrdiff_t(y) * image->LineStep, row, h);
    return Line(image, image->XSize, image->YSize, image->Type, image->Generation, h,
                QString::fromStdString(image->Info.Source));
}

const int Cells[] = {11, 12, 13, 21, 22, 23, 31, 32, 33};

/** One control in one state, in a window, with what the check watches. */
struct Scene : QObject
{
    QWidget window;
    QObject* control = nullptr;
    QStringList calls; ///< the control's callbacks, and the telling events while watched
    /** State that the property values do not show: records, pixels, layout, hooks. */
    std::function<QStringList()> inner;
    std::vector<std::shared_ptr<void>> keep;
    QTemporaryDir dir;
    bool shown = true;

    template <typename T> T* Make(const QRect& geometry = {})
    {
        auto* c = new T(&window);
        if (!geometry.isNull()) c->setGeometry(geometry);
        control = c;
        return c;
    }
    template <typename T> T* Keep(std::shared_ptr<T> object)
    {
        keep.push_back(object);
        return object.get();
    }
    /** A callback, of any arguments, that logs `name`. */
    auto Log(const QString& name)
    {
        return [this, name](QObject*, auto&&...) { calls << name; };
    }
    QStringList Snapshot() const
    {
        QStringList state;
        for (const QMetaProperty& p : OwnProperties(control->metaObject()))
            state << Line(p.name(), p.read(control));
        for (const QWidget* w : window.findChildren<QWidget*>())
            state << Line(Name(w), w->geometry(), w->isVisible(), w->palette().cacheKey());
        return state + (inner ? inner() : QStringList());
    }
    /** Everything `action` leaves behind: events, callbacks, signals, changed state. */
    QStringList Happened(const std::function<void()>& action)
    {
        const QMetaObject* meta = control->metaObject();
        std::vector<std::unique_ptr<QSignalSpy>> spies;
        for (int m = 0; m < meta->methodCount(); ++m)
            if (meta->method(m).methodType() == QMetaMethod::Signal)
                spies.push_back(std::make_unique<QSignalSpy>(control, meta->method(m)));
        const QStringList before = Snapshot();
        calls.clear();
        qApp->installEventFilter(this);
        action();
        Settle();
        qApp->removeEventFilter(this);
        const QStringList after = Snapshot();
        QStringList happened = calls;
        for (const auto& spy : spies)
            if (!spy->isEmpty()) happened << Line("signal", spy->signal());
        for (qsizetype i = 0; i < std::max(before.size(), after.size()); ++i)
            if (before.value(i) != after.value(i))
                happened << Line(before.value(i), "became", after.value(i));
        return happened;
    }
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        auto* w = watched->isWidgetType() ? static_cast<QWidget*>(watched) : nullptr;
        if (w && Telling.contains(event->type()) && (w == &window || window.isAncestorOf(w)))
            calls << Line(Name(w), event->type());
        return false;
    }
};

/** A notification object that logs its callbacks into the scene's log. */
struct Follower : TGLCNotifyObject
{
    QStringList* log;
    explicit Follower(QStringList* l) : log(l) {}
    void cbReInsert() override { *log << "cbReInsert"; }
    void cbDelete() override
    {
        *log << "cbDelete";
        TGLCNotifyObject::cbDelete();
    }
    void cbChange() override { *log << "cbChange"; }
    void cbSelect() override { *log << "cbSelect"; }
};

/** A w × h image control of its own image of `kind`, pixels written, at twice the size. */
TImageControl* ImageControl(Scene& s, TImageControl::AllocImageType kind, int w = 24, int h = 16)
{
    auto* c = s.Make<TImageControl>(QRect(10, 10, 2 * w, 2 * h));
    c->SetXSize(w);
    c->SetYSize(h);
    c->SetAllocImage(kind);
    if (ImageStruct* image = c->Image()) {
        for (int y = 0; y < h; ++y)
            std::memset(image->Data + std::ptrdiff_t(y) * image->LineStep, 3 + y,
                        size_t(w * ImageElementBytes(image)));
        image->Info.Source = "pixels written by the program";
    }
    c->Invalidate();
    return c;
}

using T = TImageControl;

/**
 * The states: the control's class, the name, the setup, then the properties a program
 * sets, written in order.
 */
const struct StateSetup
{
    const QMetaObject* control;
    const char* state;
    void (*setup)(Scene&);
    const char* properties; ///< "Name=value …"
} States[] = {
    {&T::staticMetaObject, "owned 8-bit image",
     [](Scene& s) { ImageControl(s, T::AllocImage8)->SetBorderColor(clWindow); }, // a system colour
     "Min=10 Max=200 DrawingMethod=DontPerformSmoothScaling"}, // converted into a display image
    {&T::staticMetaObject, "program's 16-bit image",
     [](Scene& s) {
         ImageControl(s, T::AllocImage8)
             ->SetImage(s.Keep(std::shared_ptr<ImageStruct>(NewImage16(20, 12), DeleteImage)));
     },
     "Display=DisplaySwapPowerLog Max=4000"},
    {&T::staticMetaObject, "AutoSize, shifted", [](Scene& s) { ImageControl(s, T::AllocImage16); },
     "XScale=2.5 YScale=1.5 AutoSize=true XOffset=7 YOffset=5"}, // AutoSize: no sizing yet
    {&T::staticMetaObject, "AutoScale, shifted",
     [](Scene& s) {
         ImageControl(s, T::AllocImageFloat)->SetAutoScale(true);
         s.window.show(); // the first resize, which AutoScale answers with offsets 0
     },
     "XOffset=3 YOffset=4"},
    {&T::staticMetaObject, "transparent RGB", [](Scene& s) { ImageControl(s, T::AllocImageRGB); },
     "Transparent=true DisplayColor=#00ff00"}, // refused while transparent: stays white
    {&T::staticMetaObject, "picture loaded",
     [](Scene& s) {
         TImageControl* c = ImageControl(s, T::AllocImage8);
         QImage picture(24, 16, QImage::Format_Grayscale8);
         picture.fill(90);
         const QString name = s.dir.filePath(QStringLiteral("picture.png"));
         QVERIFY(picture.save(name));
         c->SetAutoLoad(name);
         QVERIFY(c->Image() && c->Image()->Data[0] == 90);
         c->Image()->Data[0] = 1; // the program draws on the loaded picture
     },
     ""},
    {&T::staticMetaObject, "no image",
     [](Scene& s) { ImageControl(s, T::AllocImageComplex, 8, 8); },
     "AllocImage=AllocNoImage BorderColor=#563412"},
    {&TVectorControl::staticMetaObject, "owned vector, automatic range",
     [](Scene& s) {
         auto* c = s.Make<TVectorControl>();
         c->SetAllocSize(40);
         for (int i = 0; i < 40; ++i)
             c->Vector->Values[i] = float(i * i % 17);
         c->SetVectorColor(clWindowText);
     },
     "AutoMin=true Min=-3"},
    {&TVectorControl::staticMetaObject, "transparent, no vector",
     [](Scene& s) { s.Make<TVectorControl>(); },
     "AllocVector=false AllocSize=9 Transparent=true Vertical=true TopDown=true"},
    {&TGraphicsListControl::staticMetaObject, "owned list, followers, editing",
     [](Scene& s) {
         auto* c = s.Make<TGraphicsListControl>(QRect(0, 0, 200, 150));
         c->SetAllocSize(50);
         GraphicsItemStruct item;
         item.Kind = GraphicsRectangle;
         item.Coords[0] = 10, item.Coords[1] = 10, item.Coords[2] = 40, item.Coords[3] = 30;
         AppendToList(c->List, item);
         for (const int index : {0, 3, 45})
             s.Keep(std::make_shared<Follower>(&s.calls))->RegisterTo(c, index);
         c->StartDefaultEdit(0);
     },
     "DisplayCount=1"},
    {&TGraphicsListControl::staticMetaObject, "program's list, transparent",
     [](Scene& s) {
         auto list = std::shared_ptr<GraphicsListStruct>(new GraphicsListStruct, [](auto* l) {
             DestroyList(l);
             delete l;
         });
         InitListSize(list.get(), 5);
         auto* c = s.Make<TGraphicsListControl>();
         c->SetAllocList(false);
         c->List = s.Keep(list);
     },
     "Transparent=true XScale=2 XOffset=3 YScale=4 YOffset=5 AutoEdit=false"},
    {&TZoomPanel::staticMetaObject, "zoomed, image and overlay",
     [](Scene& s) {
         auto* panel = s.Make<TZoomPanel>(QRect(0, 0, 300, 200));
         auto* image = new TImageControl(panel);
         image->SetXSize(60);
         image->SetYSize(40);
         new TGraphicsListControl(panel);
         panel->SetAutoMouse(true);
         panel->SetClientRatio(1.5f);
         panel->Scale(100, 80, -30);
     },
     "MaxScale=0.5"}, // stored as given, without SetMaxScale's rule
    {&TZoomPanel::staticMetaObject, "child added",
     [](Scene& s) {
         auto* panel = s.Make<TZoomPanel>(QRect(0, 0, 300, 200));
         new TImageControl(panel);
         panel->SetAutoMouse(true);
         panel->SetMinScale(0);
         panel->SetColor(clBtnFace);
         // Hidden, the panel paints nothing, so the child added now waits for a scan.
         s.shown = false;
         new TGraphicsListControl(panel);
     },
     ""},
    {&TMultiView::staticMetaObject, "clients placed",
     [](Scene& s) {
         auto* view = s.Make<TMultiView>(QRect(5, 5, 300, 240));
         for (const int code : Cells) {
             view->Client(code)->SetControl(new QWidget(&s.window));
             view->Client(code)->SetCaption(QStringLiteral("cell %1").arg(code));
         }
         view->SetColorPushed(clBtnFace); // a system colour
     },
     "Ratio22=1 ResizeClients=true ColorReleasedText=#00ff00 ButtonHeight=21"},
    {&TMultiView::staticMetaObject, "zoomed, cells hidden",
     [](Scene& s) {
         auto* view = s.Make<TMultiView>(QRect(0, 0, 200, 200));
         view->Client(12)->SetControl(new QWidget(&s.window)); // not placed: Resize is off
     },
     "Visible33=false ColCount=2 ActiveClient=22 Zoomed=true"},
};

/**
 * Builds the scene of States[index], shown and painted, with nothing left to run, its
 * callbacks logged and its inner state watched.
 */
void Build(Scene& s, int index)
{
    s.window.resize(400, 300);
    States[index].setup(s);
    for (const QString& set :
         QString::fromUtf8(States[index].properties).split(' ', Qt::SkipEmptyParts)) {
        const QStringList nameValue = set.split('=');
        QVERIFY2(s.control->setProperty(qPrintable(nameValue[0]), nameValue[1]), qPrintable(set));
    }
    if (auto* c = qobject_cast<TImageControl*>(s.control)) {
        c->OnResize = s.Log("OnResize");
        c->OnPanelMouseDown = s.Log("OnPanelMouseDown");
        s.inner = [c] {
            return QStringList{ImageState(c->Image()),
                               Line(c->DisplayImage(), c->Rebuild(), c->ConversionCount()),
                               Line(c->BorderColor(), c->DisplayColor())};
        };
    }
    if (auto* c = qobject_cast<TVectorControl*>(s.control)) {
        s.inner = [c] {
            const VectorStruct* v = c->Vector;
            const size_t bytes = v ? size_t(v->Length) * sizeof(float) : 0;
            return QStringList{v ? Line(v, v->Values, v->Length, qHashBits(v->Values, bytes))
                                 : QStringLiteral("no vector"),
                               Line(c->Color(), c->VectorColor())};
        };
    }
    if (auto* c = qobject_cast<TGraphicsListControl*>(s.control)) {
        c->OnSelect = s.Log("OnSelect");
        c->OnChange = s.Log("OnChange");
        c->OnGripMove = s.Log("OnGripMove");
        c->OnFinishMove = s.Log("OnFinishMove");
        s.inner = [c] {
            const GraphicsListStruct* l = c->List;
            QStringList state{
                l ? Line(l, l->Items, l->Count, l->Allocated) : "no list",
                Line(c->HasNotifyTable(), c->Editing(), c->EditType(), c->EditItem(), c->Color())};
            for (int i = 0; i < 64; ++i)
                state << Line("entry", i, c->NotifyObject(i));
            for (int g = 0; g < c->Grips.Count(); ++g)
                state << Line("grip", c->Grips[g].Active, c->Grips[g].X, c->Grips[g].Y);
            return state;
        };
    }
    if (auto* panel = qobject_cast<TZoomPanel*>(s.control)) {
        panel->SetOnZoom(s.Log("OnZoom"));
        s.inner = [panel] { // the zoom, area and colour, and each child's hooks and mapping
            const TZoom& z = panel->Zoom();
            QStringList state{Line(z.XFactor, z.XOrigin, z.YFactor, z.YOrigin, panel->ZoomArea(),
                                   panel->Color(), panel->MaxScale())};
            for (const auto* child :
                 panel->findChildren<TZoomableControl*>(Qt::FindDirectChildrenOnly))
                state << Line(Name(child), bool(child->OnPanelMouseDown), child->Mapping());
            return state;
        };
    }
    if (auto* view = qobject_cast<TMultiView*>(s.control)) {
        view->OnChangeSize = s.Log("OnChangeSize");
        view->OnChangeActive = s.Log("OnChangeActive");
        view->OnChangingActive = s.Log("OnChangingActive");
        for (const int code : Cells)
            view->Client(code)->OnChange = s.Log(Line("OnChange", code));
        s.inner = [view] { // every cell's rectangles, glyph, control and colours
            QStringList state{Line(view->ActiveClient(), view->PrevActive(), view->ColorPushed(),
                                   view->ColorReleased(), view->ColorPushedText(),
                                   view->ColorReleasedText())};
            for (const int code : Cells) {
                const TMultiView::ClientData* cell = view->Client(code);
                state << Line(code, cell->Inner(), cell->GlyphBitmap().cacheKey(),
                              cell->Button()->icon().cacheKey(), cell->Control(),
                              cell->ColorPushed(), cell->ColorReleased(), cell->ColorPushedText(),
                              cell->ColorReleasedText());
            }
            return state;
        };
    }
    if (s.shown) {
        s.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&s.window));
    }
    Settle();
}

} // namespace

class TestSetters : public QObject
{
    Q_OBJECT

private slots:
    void everySetterWithTheValueItHolds_data();
    void everySetterWithTheValueItHolds();
    void operationsBeyondTheProperties();
    void theImageShownGivenAgainStaysWhole();
};

void TestSetters::everySetterWithTheValueItHolds_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QByteArray>("acting"); // why it acts in this state; empty: it may not
    QSet<const QMetaObject*> controls;
    QSet<const Acting*> seen;
    for (int i = 0; i < int(std::size(States)); ++i) {
        const StateSetup& state = States[i];
        const QByteArray control = state.control->className();
        controls << state.control;
        for (const QMetaProperty& p : OwnProperties(state.control)) {
            if (!p.isWritable()) continue;
            const char* acting = "";
            for (const Acting& a : ActingSetters)
                if (control == a.control &&
                    QRegularExpression(QRegularExpression::anchoredPattern(a.properties))
                        .match(QString::fromUtf8(p.name()))
                        .hasMatch() &&
                    (a.states == QByteArray("*") ||
                     QByteArray(a.states).split('|').contains(state.state)))
                    acting = a.reason, seen << &a;
            QTest::addRow("%s, %s: %s", control.data(), state.state, p.name())
                << i << QByteArray(p.name()) << QByteArray(acting);
        }
    }
    QCOMPARE(controls.size(), 5);
    // Every entry of the table names properties that exist, in a state where they act.
    QCOMPARE(seen.size(), qsizetype(std::size(ActingSetters)));
}

void TestSetters::everySetterWithTheValueItHolds()
{
    QFETCH(int, state);
    QFETCH(QByteArray, property);
    QFETCH(QByteArray, acting);
    Scene s;
    Build(s, state);
    if (QTest::currentTestFailed()) return;
    const QMetaProperty p =
        s.control->metaObject()->property(s.control->metaObject()->indexOfProperty(property));
    const QStringList happened =
        s.Happened([&] { QVERIFY(p.write(s.control, p.read(s.control))); });
    if (!acting.isEmpty())
        QVERIFY2(!happened.isEmpty(), "nothing showed that it " + acting);
    else
        QVERIFY2(happened.isEmpty(), qPrintable(happened.mid(0, 8).join(QStringLiteral("; "))));
}

void TestSetters::operationsBeyondTheProperties()
{
    // Setters that are no properties act on every call: SetMaxScale applies its rule (a
    // MaxScale of 0.5, stored as given, becomes 1), SetOnZoom lays out and calls the
    // handler, a cell's SetControl places the control and raises OnChange.
    Scene zoomed, placed;
    Build(zoomed, 11);
    Build(placed, 13); // every cell's control placed
    auto* panel = static_cast<TZoomPanel*>(zoomed.control);
    QCOMPARE(panel->MaxScale(), 0.5f);
    panel->SetMaxScale(panel->MaxScale());
    QCOMPARE(panel->MaxScale(), 1.0f);
    QVERIFY(zoomed.Happened([panel] { panel->SetOnZoom(panel->OnZoom()); }).contains("OnZoom"));
    auto* view = static_cast<TMultiView*>(placed.control);
    QWidget* client = view->Client(12)->Control();
    client->move(0, 0);
    const auto again = [&] { view->Client(12)->SetControl(client); };
    QVERIFY(placed.Happened(again).contains(Line("OnChange", 12)));
    QCOMPARE(client->pos(), view->pos() + view->Client(12)->Inner().topLeft());
}

void TestSetters::theImageShownGivenAgainStaysWhole()
{
    // The image shown, the control's own or the program's, handed to SetImage again
    // changes nothing (a control that deleted its own here would show freed memory).
    for (const int state : {0, 1}) { // an owned 8-bit image, a program's 16-bit image
        Scene s;
        Build(s, state);
        auto* c = static_cast<TImageControl*>(s.control);
        QCOMPARE(s.Happened([c] { c->SetImage(c->Image()); }), QStringList());
    }
}

QTEST_MAIN(TestSetters)

#include "tst_setters.moc"
