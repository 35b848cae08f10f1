// The Qt Widgets Designer plugin: it loads, offers the five controls with their texts,
// icons, headers and default geometry, makes each control, and every published
// property of the controls can be set by name and read back, as Designer's property
// editor and uic's generated code do.

#include <QtUiPlugin/QDesignerCustomWidgetCollectionInterface>

#include <QApplication>
#include <QColor>
#include <QMetaProperty>
#include <QPluginLoader>
#include <QTest>
#include <QXmlStreamReader>

#include <memory>

namespace {

/** Ints whose range is narrow: a valid value other than the default. */
const QHash<QByteArray, int> narrowInts = {{"ColCount", 2}, {"RowCount", 2}, {"ActiveClient", 22}};

/** A value of property `p`'s type other than `current`, within the documented range. */
QVariant Different(const QMetaProperty& p, const QVariant& current)
{
    if (p.isFlagType()) return current.toInt() ^ p.enumerator().value(0);
    if (p.isEnumType()) {
        const QMetaEnum e = p.enumerator();
        for (int i = 0; i < e.keyCount(); ++i)
            if (e.value(i) != current.toInt()) return e.value(i);
        return {};
    }
    switch (p.metaType().id()) {
    case QMetaType::Bool:
        return !current.toBool();
    case QMetaType::Int:
        return narrowInts.value(p.name(), current.toInt() + 3);
    case QMetaType::Float:
        return current.toFloat() > 0 ? current.toFloat() / 2 : 2.5f;
    case QMetaType::QColor:
        return current.value<QColor>().rgb() == QColor(Qt::red).rgb() ? QColor(Qt::blue)
                                                                      : QColor(Qt::red);
    case QMetaType::QString:
        return QStringLiteral("text of %1").arg(p.name());
    default:
        return {};
    }
}

/** A property value in a form that compares across the types written and read. */
QVariant Comparable(const QMetaProperty& p, const QVariant& value)
{
    if (p.isEnumType() || p.isFlagType()) return value.toInt();
    if (p.metaType().id() == QMetaType::QColor) return value.value<QColor>().rgb();
    return value;
}

} // namespace

class TestDesigner : public QObject
{
    Q_OBJECT

    QPluginLoader loader_{QStringLiteral(VOLINSPECT_DESIGNER_PLUGIN)};
    QHash<QString, QDesignerCustomWidgetInterface*> widgets_;

    std::unique_ptr<QWidget> Create(const QString& name)
    {
        return std::unique_ptr<QWidget>(widgets_.value(name)->createWidget(nullptr));
    }

private slots:
    void initTestCase()
    {
        QObject* instance = loader_.instance();
        QVERIFY2(instance, qPrintable(loader_.errorString()));
        auto* collection = qobject_cast<QDesignerCustomWidgetCollectionInterface*>(instance);
        QVERIFY(collection);
        for (QDesignerCustomWidgetInterface* widget : collection->customWidgets())
            widgets_.insert(widget->name(), widget);
        QCOMPARE(widgets_.size(), 5);
    }

    void widgets_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("header");
        QTest::addColumn<bool>("container");
        QTest::newRow("image") << "TImageControl"
                               << "ImageControl.h" << false;
        QTest::newRow("overlay") << "TGraphicsListControl"
                                 << "GraphicsListControl.h" << false;
        QTest::newRow("vector") << "TVectorControl"
                                << "VectorControl.h" << false;
        QTest::newRow("panel") << "TZoomPanel"
                               << "ZoomPanel.h" << true;
        QTest::newRow("grid") << "TMultiView"
                              << "MultiView.h" << false;
    }

    void widgets()
    {
        QFETCH(QString, name);
        QFETCH(QString, header);
        QFETCH(bool, container);
        QDesignerCustomWidgetInterface* widget = widgets_.value(name);
        QVERIFY(widget);
        QCOMPARE(widget->group(), QStringLiteral("volinspect controls"));
        QCOMPARE(widget->includeFile(), header);
        QCOMPARE(widget->isContainer(), container);
        QVERIFY(!widget->toolTip().isEmpty());
        QVERIFY(!widget->whatsThis().isEmpty());
        QVERIFY(!widget->icon().pixmap(16, 16).isNull());

        // domXml: one widget of the class with a geometry of positive size.
        QXmlStreamReader xml(widget->domXml());
        QString widgetClass;
        int width = 0, height = 0;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement) continue;
            if (xml.name() == QLatin1String("widget"))
                widgetClass = xml.attributes().value("class").toString();
            else if (xml.name() == QLatin1String("width"))
                width = xml.readElementText().toInt();
            else if (xml.name() == QLatin1String("height"))
                height = xml.readElementText().toInt();
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QCOMPARE(widgetClass, name);
        QVERIFY(width > 0 && height > 0);

        QWidget parent;
        QWidget* control = widget->createWidget(&parent);
        QCOMPARE(control->metaObject()->className(), name.toLatin1());
        QCOMPARE(control->parentWidget(), &parent);
    }

    void properties_data() { widgets_data(); }

    /** Every writable property of our classes takes a new value set by name. */
    void properties()
    {
        QFETCH(QString, name);
        const std::unique_ptr<QWidget> control = Create(name);
        int checked = 0;
        for (const QMetaObject* m = control->metaObject(); m->className()[0] == 'T';
             m = m->superClass()) {
            for (int i = m->propertyOffset(); i < m->propertyCount(); ++i) {
                const QMetaProperty p = m->property(i);
                if (!p.isWritable()) continue;
                const QVariant current = p.read(control.get());
                const QVariant next = Different(p, current);
                QVERIFY2(next.isValid(), p.name());
                QVERIFY2(p.write(control.get(), next), p.name());
                const QVariant read = p.read(control.get());
                QVERIFY2(Comparable(p, read) == Comparable(p, next),
                         qPrintable(QStringLiteral("%1: wrote %2, read %3")
                                        .arg(p.name(), next.toString(), read.toString())));
                // Back to the default, so each property is tried from the control's
                // initial state (AutoSize, for one, keeps AutoScale from turning on).
                QVERIFY2(p.write(control.get(), current), p.name());
                ++checked;
            }
        }
        QVERIFY(checked > 0);
    }

    /** The setters that adjust their value do so through the properties too. */
    void adjustedValues_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("MinScale above 1")
            << "TZoomPanel" << QByteArray("MinScale") << QVariant(5.0f) << QVariant(1.0f);
        QTest::newRow("MinScale below 0")
            << "TZoomPanel" << QByteArray("MinScale") << QVariant(-0.5f) << QVariant(1.0f);
        // The published MaxScale is stored as given, unlike SetMaxScale.
        QTest::newRow("MaxScale below 1")
            << "TZoomPanel" << QByteArray("MaxScale") << QVariant(0.5f) << QVariant(0.5f);
        QTest::newRow("ColCount") << "TMultiView" << QByteArray("ColCount") << QVariant(7)
                                  << QVariant(3);
        QTest::newRow("RowCount") << "TMultiView" << QByteArray("RowCount") << QVariant(0)
                                  << QVariant(1);
        QTest::newRow("ActiveClient")
            << "TMultiView" << QByteArray("ActiveClient") << QVariant(39) << QVariant(33);
        QTest::newRow("AllocSize")
            << "TVectorControl" << QByteArray("AllocSize") << QVariant(-4) << QVariant(0);
    }

    void adjustedValues()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, property);
        QFETCH(QVariant, value);
        QFETCH(QVariant, expected);
        const std::unique_ptr<QWidget> control = Create(name);
        QVERIFY(control->setProperty(property, value));
        QCOMPARE(control->property(property), expected);
    }
};

QTEST_MAIN(TestDesigner)
#include "tst_designer.moc"
