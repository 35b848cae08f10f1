// A published property of any of the five controls, written with the value it holds,
// changes nothing: no property value, no pixel, image, vector or list record, no
// layout, no repaint, no event and no signal. The properties come from each control's
// QMetaObject; each control is set up in a few states that reach its setters'
// branches (owned and foreign images, AutoSize and AutoScale, transparency, system
// colours, registered notification objects, a zoomed panel, placed grid clients).
// The setters that act on every call are listed in ActingSetters with their reason,
// and each is checked to act in a state where that shows.

#include "GraphicsListControl.h"
#include "ImageControl.h"
#include "MultiView.h"
#include "VectorControl.h"
#include "ZoomPanel.h"
#include "imgkernel.h"

#include <QApplication>
#include <QImage>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QPainter>
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
 * Setters that act also when given the value they hold: the property, the states below
 * in which the action shows ("*": all; in the others the setter must change nothing),
 * and why.
 */
struct Acting
{
    const char* control;
    const char* property; ///< "Ratio##": the property of every cell
    const char* states;   ///< state names separated by '|', or "*"
    const char* reason;
};

const Acting ActingSetters[] = {
    {"TImageControl", "XSize", "AutoSize, shifted|AutoScale, shifted",
     "fits the control to the image (AutoSize: width, offset 0) or the scale to the control "
     "(AutoScale: offset 0, scale) whether or not the size changed"},
    {"TImageControl", "YSize", "AutoSize, shifted|AutoScale, shifted", "as XSize, vertically"},
    {"TImageControl", "XScale", "AutoSize, shifted",
     "with AutoSize, fits the width to size × scale and puts the offset at 0 whether or not "
     "the scale changed"},
    {"TImageControl", "YScale", "AutoSize, shifted", "as XScale, vertically"},
    {"TImageControl", "AutoLoad", "picture loaded",
     "loads the named picture again, which may have changed on disk"},
    {"TZoomPanel", "ClientRatio", "*",
     "lays the zoom area and the children out again and raises OnZoom: a program sets it to "
     "re-lay out"},
    {"TZoomPanel", "ResizeChildren", "*", "as ClientRatio"},
    {"TZoomPanel", "AutoMouse", "child added",
     "rescans the children when their number changed since the last scan, hooking new ones"},
    {"TMultiView", "ActiveClient", "*",
     "presses the cell's button, lays a zoomed grid out again and raises OnChangeActive on "
     "every call"},
    {"TMultiView", "ResizeClients", "clients placed",
     "hands every cell its Resize, and a cell that places its control places it again"},
    {"TMultiView", "Ratio##", "*", "places the cell's control again and raises OnChange"},
    {"TMultiView", "Resize##", "clients placed",
     "places the cell's control again, which always receives a size change"},
};
// Not properties, and so not in the table: SetMaxScale applies its rule on every call
// (the published MaxScale stores as given), SetOnZoom lays out and calls the handler
// at once, a cell's SetControl places the control and raises OnChange (see
// operationsBeyondTheProperties).

const Acting* ActingSetter(const QByteArray& control, const QByteArray& property)
{
    for (const Acting& a : ActingSetters) {
        const QByteArray name(a.property);
        const bool cells = name.endsWith("##");
        if (control == a.control &&
            (cells ? property.size() == name.size() && property.startsWith(name.chopped(2))
                   : property == name))
            return &a;
    }
    return nullptr;
}

bool ActsIn(const Acting& a, const QString& state)
{
    return QByteArray(a.states) == "*" || QString::fromUtf8(a.states).split('|').contains(state);
}

// --- what a setter may leave behind ----------------------------------------------------

/** Widget events that tell of a setter at work: repaints, geometry, visibility, style. */
bool Telling(QEvent::Type type)
{
    using E = QEvent;
    static const QSet<int> telling = {
        E::Paint,         E::UpdateRequest, E::UpdateLater,  E::Resize,        E::Move,
        E::Show,          E::Hide,          E::ShowToParent, E::HideToParent,  E::PaletteChange,
        E::FontChange,    E::StyleChange,   E::ZOrderChange, E::ParentChange,  E::WinIdChange,
        E::LayoutRequest, E::ChildAdded,    E::ChildRemoved, E::EnabledChange, E::CursorChange,
        E::ToolTipChange};
    return telling.contains(type);
}

QString Name(const QObject* object)
{
    return QStringLiteral("%1 %2").arg(object->metaObject()->className(), object->objectName());
}

/** Records the telling events that reach the widgets of one window. */
class EventLog : public QObject
{
public:
    explicit EventLog(QWidget* window) : window_(window) { qApp->installEventFilter(this); }
    ~EventLog() override { qApp->removeEventFilter(this); }
    QStringList seen;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched->isWidgetType() && Telling(event->type())) {
            auto* widget = static_cast<QWidget*>(watched);
            if (widget == window_ || window_->isAncestorOf(widget))
                seen << QStringLiteral("%1: event %2").arg(Name(widget)).arg(int(event->type()));
        }
        return false;
    }

private:
    QWidget* window_;
};

/** Lets every posted event, repaints included, run to its end. */
void Settle()
{
    for (int i = 0; i < 4; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

QString Text(const QMetaProperty& p, const QVariant& value)
{
    if (p.isEnumType() || p.isFlagType()) return QString::number(value.toInt());
    if (p.metaType().id() == QMetaType::Float) return QString::number(value.toFloat(), 'g', 9);
    if (p.metaType().id() == QMetaType::QColor) return value.value<QColor>().name();
    return value.toString();
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

uint64_t Hash(const void* data, size_t bytes)
{
    uint64_t h = 1469598103934665603u; // FNV-1a
    for (size_t i = 0; i < bytes; ++i)
        h = (h ^ static_cast<const uint8_t*>(data)[i]) * 1099511628211u;
    return h;
}

QString Str(const QString& text)
{
    return text;
}
QString Str(const char* text)
{
    return QString::fromUtf8(text);
}
QString Str(const void* pointer)
{
    return QStringLiteral("0x%1").arg(quintptr(pointer), 0, 16);
}
QString Str(const QRect& r)
{
    return QStringLiteral("%1,%2 %3×%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}
QString Str(const TZoomMapping& m)
{
    return QStringLiteral("%1 %2 %3 %4").arg(m.XScale).arg(m.XOffset).arg(m.YScale).arg(m.YOffset);
}
template <typename T> std::enable_if_t<std::is_arithmetic_v<T>, QString> Str(T number)
{
    return QString::number(number);
}

/** The values as one line of text. */
template <typename... T> QString Line(const T&... values)
{
    return QStringList{Str(values)...}.join(' ');
}

QString ImageState(const ImageStruct* image)
{
    if (!image) return QStringLiteral("no image");
    uint64_t h = 0;
    const int64_t row = int64_t(image->XSize) * ImageElementBytes(image);
    for (int y = 0; image->Data && y < image->YSize; ++y)
        h ^= Hash(image->Data + std::ptrdiff_t(y) * image->LineStep, size_t(row)) + uint64_t(y);
    return Line(image, image->XSize, image->YSize, image->Type, "generation", image->Generation,
                "pixels", h, "source", QString::fromStdString(image->Info.Source));
}

// --- the scenes --------------------------------------------------------------------------

/** A program's image record on a buffer of its own. */
struct ProgramImage
{
    std::vector<uint8_t> memory;
    ImageStruct record;
    ProgramImage(int16_t kind, int xsize, int ysize)
    {
        record.XSize = xsize;
        record.YSize = ysize;
        record.Type = kind;
        record.LineStep = xsize * (kind & 0xF);
        memory.resize(size_t(record.LineStep) * size_t(ysize));
        for (size_t i = 0; i < memory.size(); ++i)
            memory[i] = uint8_t(i * 7);
        record.Data = memory.data();
        record.Info.Source = "program";
    }
};

/** A notification object that logs its callbacks into the scene's log. */
struct Follower : TGLCNotifyObject
{
    QStringList* log;
    explicit Follower(QStringList* l) : log(l) {}
    void cbReInsert() override { *log << QStringLiteral("cbReInsert %1").arg(Index); }
    void cbDelete() override
    {
        *log << QStringLiteral("cbDelete %1").arg(Index);
        TGLCNotifyObject::cbDelete();
    }
    void cbChange() override { *log << QStringLiteral("cbChange %1").arg(Index); }
    void cbSelect() override { *log << QStringLiteral("cbSelect %1").arg(Index); }
};

/** One control in one state, in a window, with what the check watches. */
struct Scene
{
    QWidget window;
    QObject* control = nullptr;
    QStringList calls; ///< the control's events and callbacks, as they come
    /** State that the property values do not show: records, pixels, layout, hooks. */
    std::function<QStringList()> inner;
    std::vector<std::shared_ptr<void>> keep;
    QTemporaryDir dir;
    bool shown = true;

    template <typename T> T* Keep(std::shared_ptr<T> object)
    {
        keep.push_back(object);
        return object.get();
    }

    QStringList Snapshot() const
    {
        QStringList state;
        for (const QMetaProperty& p : OwnProperties(control->metaObject()))
            state << QStringLiteral("%1 = %2").arg(p.name(), Text(p, p.read(control)));
        const QList<QWidget*> widgets = window.findChildren<QWidget*>();
        for (const QWidget* w : widgets)
            state << Line(Name(w), w->geometry(), w->isVisible(), w->palette().cacheKey());
        if (inner) state << inner();
        return state;
    }
};

using Setup = void (*)(Scene&);

const ImageStruct* ImageOf(Scene& s)
{
    return static_cast<TImageControl*>(s.control)->Image();
}

TImageControl* NewImageControl(Scene& s, TImageControl::AllocImageType kind, int w, int h)
{
    auto* c = new TImageControl(&s.window);
    s.control = c;
    c->SetXSize(w);
    c->SetYSize(h);
    c->SetAllocImage(kind);
    c->setGeometry(10, 10, 2 * w, 2 * h);
    if (ImageStruct* image = c->Image()) {
        for (int y = 0; y < h; ++y)
            for (int b = 0; b < w * ImageElementBytes(image); ++b)
                image->Data[std::ptrdiff_t(y) * image->LineStep + b] = uint8_t(3 * b + y);
        image->Info.Source = "pixels written by the program";
    }
    c->Invalidate();
    c->OnResize = [&s](QObject*) { s.calls << QStringLiteral("OnResize"); };
    c->OnPanelMouseDown = [&s](QObject*, TMouseButton, TShiftState, int, int) {
        s.calls << QStringLiteral("OnPanelMouseDown");
    };
    s.inner = [c] {
        return QStringList{ImageState(c->Image()),
                           Line("display", c->DisplayImage(), c->Rebuild(), c->ConversionCount()),
                           Line(c->BorderColor(), c->DisplayColor(), c->Mapping())};
    };
    return c;
}

const struct StateSetup
{
    const char* control;
    const char* state;
    Setup setup;
    Setup whenShown = nullptr; ///< after the window is shown (and the controls sized)
} States[] = {
    {"TImageControl", "owned 8-bit image",
     [](Scene& s) {
         TImageControl* c = NewImageControl(s, TImageControl::AllocImage8, 24, 16);
         c->SetMin(10);
         c->SetMax(200);              // converted into a display image
         c->SetBorderColor(clWindow); // a system colour
         c->SetDrawingMethod(TImageControl::DrawingMethodFlag::DontPerformSmoothScaling);
     }},
    {"TImageControl", "program's 16-bit image",
     [](Scene& s) {
         TImageControl* c = NewImageControl(s, TImageControl::AllocImage8, 24, 16);
         c->SetImage(&s.Keep(std::make_shared<ProgramImage>(ImageKind16, 20, 12))->record);
         c->SetDisplay(TImageControl::DisplaySwapPowerLog);
         c->SetMax(4000);
     }},
    {"TImageControl", "AutoSize, shifted",
     [](Scene& s) {
         TImageControl* c = NewImageControl(s, TImageControl::AllocImage16, 24, 16);
         c->SetXScale(2.5f);
         c->SetYScale(1.5f);
         c->SetAutoSize(true); // sizes nothing until a size or scale setter runs
         c->SetXOffset(7);
         c->SetYOffset(5);
     }},
    {"TImageControl", "AutoScale, shifted",
     [](Scene& s) {
         TImageControl* c = NewImageControl(s, TImageControl::AllocImageFloat, 24, 16);
         c->SetAutoScale(true);
     },
     [](Scene& s) {
         // Shifted after the first resize, which AutoScale answers with offsets 0.
         static_cast<TImageControl*>(s.control)->SetXOffset(3);
         static_cast<TImageControl*>(s.control)->SetYOffset(4);
     }},
    {"TImageControl", "transparent RGB",
     [](Scene& s) {
         TImageControl* c = NewImageControl(s, TImageControl::AllocImageRGB, 24, 16);
         c->SetTransparent(true);
         c->SetDisplayColor(0x00FF00); // refused while transparent: stays white
     }},
    {"TImageControl", "picture loaded",
     [](Scene& s) {
         TImageControl* c = NewImageControl(s, TImageControl::AllocImage8, 24, 16);
         QImage picture(24, 16, QImage::Format_Grayscale8);
         picture.fill(90);
         const QString name = s.dir.filePath(QStringLiteral("picture.png"));
         QVERIFY(picture.save(name));
         c->SetAutoLoad(name);
         QVERIFY(ImageOf(s) && ImageOf(s)->Data[0] == 90);
         ImageOf(s)->Data[0] = 1; // the program draws on the loaded picture
     }},
    {"TImageControl", "no image",
     [](Scene& s) {
         TImageControl* c = NewImageControl(s, TImageControl::AllocImageComplex, 8, 8);
         c->SetAllocImage(TImageControl::AllocNoImage);
         c->SetBorderColor(0x123456);
     }},
    {"TVectorControl", "owned vector, automatic range",
     [](Scene& s) {
         auto* c = new TVectorControl(&s.window);
         s.control = c;
         c->SetAllocSize(40);
         for (int i = 0; i < 40; ++i)
             c->Vector->Values[i] = float(i * i % 17);
         c->SetAutoMin(true);
         c->SetVectorColor(clWindowText);
         c->SetMin(-3);
         s.inner = [c] {
             const VectorStruct* v = c->Vector;
             if (!v) return QStringList{QStringLiteral("no vector")};
             return QStringList{
                 Line(v, v->Values, v->Length, Hash(v->Values, size_t(v->Length) * 4)),
                 Line(c->Color(), c->VectorColor())};
         };
     }},
    {"TVectorControl", "transparent, no vector",
     [](Scene& s) {
         auto* c = new TVectorControl(&s.window);
         s.control = c;
         c->SetAllocVector(false);
         c->SetAllocSize(9);
         c->SetTransparent(true);
         c->SetVertical(true);
         c->SetTopDown(true);
         s.inner = [c] { return QStringList{Line(c->Vector, c->Color())}; };
     }},
    {"TGraphicsListControl", "owned list, followers, editing",
     [](Scene& s) {
         auto* c = new TGraphicsListControl(&s.window);
         s.control = c;
         c->setGeometry(0, 0, 200, 150);
         c->SetAllocSize(50);
         GraphicsItemStruct item;
         item.Kind = GraphicsRectangle;
         item.Coords[0] = 10, item.Coords[1] = 10, item.Coords[2] = 40, item.Coords[3] = 30;
         AppendToList(c->List, item);
         for (const int index : {0, 3, 45}) {
             auto* follower = s.Keep(std::make_shared<Follower>(&s.calls));
             follower->RegisterTo(c, index);
         }
         c->StartDefaultEdit(0);
         c->SetDisplayCount(1);
         c->OnSelect = [&s](QObject*, int i) { s.calls << QStringLiteral("OnSelect %1").arg(i); };
         c->OnChange = [&s](QObject*, int i) { s.calls << QStringLiteral("OnChange %1").arg(i); };
         c->OnGripMove = [&s](QObject*, int i) {
             s.calls << QStringLiteral("OnGripMove %1").arg(i);
         };
         c->OnFinishMove = [&s](QObject*, int i) {
             s.calls << QStringLiteral("OnFinishMove %1").arg(i);
         };
         s.inner = [c] {
             if (!c->List) return QStringList{QStringLiteral("no list")};
             QStringList state{Line(c->List, c->List->Items, c->List->Count, c->List->Allocated),
                               Line(c->HasNotifyTable(), c->Editing(), c->EditType(), c->EditItem(),
                                    c->Color(), c->Mapping())};
             for (int i = 0; i < 64; ++i)
                 state << Line("entry", i, c->NotifyObject(i));
             for (int g = 0; g < c->Grips.Count(); ++g)
                 state << Line("grip", c->Grips[g].Active, c->Grips[g].X, c->Grips[g].Y);
             return state;
         };
     }},
    {"TGraphicsListControl", "program's list, transparent",
     [](Scene& s) {
         auto* c = new TGraphicsListControl(&s.window);
         s.control = c;
         auto list = std::shared_ptr<GraphicsListStruct>(new GraphicsListStruct, [](auto* l) {
             DestroyList(l);
             delete l;
         });
         InitListSize(list.get(), 5);
         c->SetAllocList(false);
         c->List = s.Keep(list);
         c->SetTransparent(true);
         c->SetZoomProperties(2, 3, 4, 5);
         c->AutoEdit = false;
         s.inner = [c] { return QStringList{Line(c->List, c->Mapping(), c->HasNotifyTable())}; };
     }},
    {"TZoomPanel", "zoomed, image and overlay",
     [](Scene& s) {
         auto* panel = new TZoomPanel(&s.window);
         s.control = panel;
         panel->setGeometry(0, 0, 300, 200);
         auto* image = new TImageControl(panel);
         image->SetXSize(60);
         image->SetYSize(40);
         new TGraphicsListControl(panel);
         panel->SetAutoMouse(true);
         panel->SetClientRatio(1.5f);
         panel->Scale(100, 80, -30);
         panel->setProperty("MaxScale", 0.5f); // stored as given, without SetMaxScale's rule
     }},
    {"TZoomPanel", "child added",
     [](Scene& s) {
         auto* panel = new TZoomPanel(&s.window);
         s.control = panel;
         panel->setGeometry(0, 0, 300, 200);
         new TImageControl(panel);
         panel->SetAutoMouse(true);
         panel->SetMinScale(0);
         panel->SetColor(clBtnFace);
         // Hidden, the panel paints nothing, so the child added now waits for a scan.
         s.shown = false;
         new TGraphicsListControl(panel);
     }},
    {"TMultiView", "clients placed",
     [](Scene& s) {
         auto* view = new TMultiView(&s.window);
         s.control = view;
         view->setGeometry(5, 5, 300, 240);
         for (const int code : {11, 12, 13, 21, 22, 23, 31, 32, 33}) {
             view->Client(code)->SetControl(new QWidget(&s.window));
             view->Client(code)->SetCaption(QStringLiteral("cell %1").arg(code));
         }
         view->Client(22)->SetRatio(1.0f);
         view->SetResizeClients(true);
         view->SetColorPushed(clBtnFace); // a system colour
         view->SetColorReleasedText(0x00FF00);
         view->SetButtonHeight(21);
     }},
    {"TMultiView", "zoomed, cells hidden",
     [](Scene& s) {
         auto* view = new TMultiView(&s.window);
         s.control = view;
         view->setGeometry(0, 0, 200, 200);
         view->Client(12)->SetControl(new QWidget(&s.window)); // not placed: Resize is off
         view->Client(33)->SetVisible(false);
         view->SetColCount(2);
         view->SetActiveClient(22);
         view->SetZoomed(true);
     }},
};

/** The multi-view's inner state: every cell's rectangles, glyph, control and colours. */
QStringList MultiViewState(const TMultiView* view)
{
    QStringList state{Line(view->ActiveClient(), view->PrevActive(), view->ColorPushed(),
                           view->ColorReleased(), view->ColorPushedText(),
                           view->ColorReleasedText())};
    for (const int code : {11, 12, 13, 21, 22, 23, 31, 32, 33}) {
        const TMultiView::ClientData* cell = view->Client(code);
        state << Line(code, cell->Inner(), cell->GlyphBitmap().cacheKey(),
                      cell->Button()->icon().cacheKey(), cell->Control(), cell->ColorPushed(),
                      cell->ColorReleased(), cell->ColorPushedText(), cell->ColorReleasedText());
    }
    return state;
}

/** The panel's inner state: zoom, area, colour, and each child's hooks and mapping. */
QStringList PanelState(const TZoomPanel* panel)
{
    const TZoom& z = panel->Zoom();
    QStringList state{Line(z.XFactor, z.XOrigin, z.YFactor, z.YOrigin, panel->ZoomArea(),
                           panel->Color(), panel->MaxScale())};
    for (const auto* child : panel->findChildren<TZoomableControl*>(Qt::FindDirectChildrenOnly))
        state << Line(Name(child), bool(child->OnPanelMouseDown), child->Mapping());
    return state;
}

/** Builds the scene of States[index], shown and painted, with nothing left to run. */
void Build(Scene& s, int index)
{
    s.window.resize(400, 300);
    States[index].setup(s);
    if (auto* view = qobject_cast<TMultiView*>(s.control)) {
        s.inner = [view] { return MultiViewState(view); };
        view->OnChangeSize = [&s](QObject*) { s.calls << QStringLiteral("OnChangeSize"); };
        view->OnChangeActive = [&s](QObject*) { s.calls << QStringLiteral("OnChangeActive"); };
        view->OnChangingActive = [&s](QObject*, int, bool&) {
            s.calls << QStringLiteral("OnChangingActive");
        };
        for (const int code : {11, 12, 13, 21, 22, 23, 31, 32, 33})
            view->Client(code)->OnChange = [&s, code](QObject*) {
                s.calls << QStringLiteral("OnChange %1").arg(code);
            };
    }
    if (auto* panel = qobject_cast<TZoomPanel*>(s.control)) {
        s.inner = [panel] { return PanelState(panel); };
        panel->SetOnZoom([&s](QObject*, const TZoom&) { s.calls << QStringLiteral("OnZoom"); });
    }
    if (s.shown) {
        s.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&s.window));
    }
    Settle();
    if (States[index].whenShown) States[index].whenShown(s);
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
    const QHash<QByteArray, const QMetaObject*> metas = {
        {"TImageControl", &TImageControl::staticMetaObject},
        {"TVectorControl", &TVectorControl::staticMetaObject},
        {"TGraphicsListControl", &TGraphicsListControl::staticMetaObject},
        {"TZoomPanel", &TZoomPanel::staticMetaObject},
        {"TMultiView", &TMultiView::staticMetaObject}};
    QSet<QByteArray> controls, acting;
    for (int i = 0; i < int(std::size(States)); ++i) {
        const QByteArray control = States[i].control;
        controls << control;
        for (const QMetaProperty& p : OwnProperties(metas.value(control))) {
            if (!p.isWritable()) continue;
            const Acting* a = ActingSetter(control, p.name());
            const bool acts = a && ActsIn(*a, QString::fromUtf8(States[i].state));
            if (acts) acting << control + '.' + p.name();
            QTest::addRow("%s, %s: %s", States[i].control, States[i].state, p.name())
                << i << QByteArray(p.name()) << QByteArray(acts ? a->reason : "");
        }
    }
    QCOMPARE(controls.size(), 5);
    // Every entry of the table names a property that exists, in a state where it acts.
    for (const Acting& a : ActingSetters) {
        const QByteArray name = QByteArray(a.property).replace("##", "22");
        QVERIFY2(acting.contains(QByteArray(a.control) + '.' + name), a.property);
    }
}

void TestSetters::everySetterWithTheValueItHolds()
{
    QFETCH(int, state);
    QFETCH(QByteArray, property);
    QFETCH(QByteArray, acting);
    Scene s;
    Build(s, state);
    if (QTest::currentTestFailed()) return;
    const QMetaObject* meta = s.control->metaObject();
    const QMetaProperty p = meta->property(meta->indexOfProperty(property));
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (int m = 0; m < meta->methodCount(); ++m)
        if (meta->method(m).methodType() == QMetaMethod::Signal)
            spies.push_back(std::make_unique<QSignalSpy>(s.control, meta->method(m)));

    const QStringList before = s.Snapshot();
    s.calls.clear();
    EventLog log(&s.window);
    QVERIFY(p.write(s.control, p.read(s.control)));
    Settle();
    const QStringList after = s.Snapshot();

    QStringList happened = log.seen + s.calls;
    for (const auto& spy : spies)
        if (!spy->isEmpty()) happened << QStringLiteral("signal %1").arg(spy->signal());
    for (qsizetype i = 0; i < std::max(before.size(), after.size()); ++i)
        if (before.value(i) != after.value(i))
            happened << QStringLiteral("'%1' became '%2'").arg(before.value(i), after.value(i));
    if (!acting.isEmpty())
        QVERIFY2(!happened.isEmpty(), "nothing showed that it " + acting);
    else
        QVERIFY2(happened.isEmpty(), qPrintable(happened.mid(0, 8).join(QStringLiteral("; "))));
}

void TestSetters::operationsBeyondTheProperties()
{
    // SetMaxScale applies its rule on every call: a 0.5 stored through the property,
    // given again, becomes 1.0.
    TZoomPanel panel;
    panel.setProperty("MaxScale", 0.5f);
    panel.SetMaxScale(panel.MaxScale());
    QCOMPARE(panel.MaxScale(), 1.0f);
    // SetOnZoom lays out and calls the handler at once, also with the handler it holds.
    int zooms = 0;
    panel.SetOnZoom([&](QObject*, const TZoom&) { ++zooms; });
    panel.SetOnZoom(panel.OnZoom());
    QCOMPARE(zooms, 2);
    // A cell's SetControl places the control and raises OnChange on every call.
    QWidget window;
    TMultiView view(&window);
    QWidget client(&window);
    view.SetResizeClients(true);
    view.Client(12)->SetControl(&client);
    int changes = 0;
    view.Client(12)->OnChange = [&](QObject*) { ++changes; };
    client.move(0, 0);
    view.Client(12)->SetControl(&client);
    QCOMPARE(changes, 1);
    QCOMPARE(client.pos(), view.pos() + view.Client(12)->Inner().topLeft());
    // The Caption and Visible setters, which are properties, raise nothing on their value.
    view.Client(12)->SetCaption(view.Client(12)->Caption());
    view.Client(12)->SetVisible(view.Client(12)->Visible());
    QCOMPARE(changes, 1);
}

void TestSetters::theImageShownGivenAgainStaysWhole()
{
    // An owned image handed to SetImage, and a program's image handed again: the control
    // keeps showing it, owned as before, and paints its pixels (a control that deleted the
    // owned image here would paint freed memory).
    TImageControl control;
    control.SetXSize(6);
    control.SetYSize(4);
    control.resize(6, 4);
    ImageStruct* owned = control.Image();
    for (int x = 0; x < 6; ++x)
        owned->Data[x] = uint8_t(40 * x); // the first row
    owned->Info.Source = "kept";
    control.SetImage(control.Image());
    QCOMPARE(control.Image(), owned);
    QCOMPARE(control.AllocImage(), TImageControl::AllocImage8);
    control.SetMax(100);
    QImage shown(6, 4, QImage::Format_RGB32);
    {
        QPainter painter(&shown);
        control.PaintWindow(painter);
    }
    for (int x = 0; x < 6; ++x) {
        const int level = std::min(255, int(40 * x * (255.0 / 100)));
        QCOMPARE(shown.pixel(x, 0), qRgb(level, level, level));
    }
    QCOMPARE(control.Image()->Info.Source, std::string("kept"));

    ProgramImage program(ImageKind8, 3, 2);
    control.SetImage(&program.record);
    const uint64_t generation = program.record.Generation;
    control.SetImage(&program.record);
    QCOMPARE(control.Image(), &program.record);
    QCOMPARE(program.record.Generation, generation); // not even invalidated
}

QTEST_MAIN(TestSetters)

#include "tst_setters.moc"
