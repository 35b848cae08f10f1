#pragma once

#include <QtUiPlugin/QDesignerCustomWidgetCollectionInterface>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>

#include <QObject>

#include <functional>

/**
 * One display control in Designer's widget box: its class name, texts, icon, header,
 * default geometry, and a factory that makes a new control.
 */
class TControlWidgetPlugin : public QObject, public QDesignerCustomWidgetInterface
{
    Q_OBJECT
    Q_INTERFACES(QDesignerCustomWidgetInterface)
public:
    /** What Designer is told about one control. */
    struct Description
    {
        QString Name;        ///< the class name
        QString Icon;        ///< resource path of the icon
        QString ToolTip;     ///< a line for the widget box
        QString WhatsThis;   ///< a few sentences for the "What's this?" help
        QString IncludeFile; ///< the header as installed (flat under include/volinspect)
        bool Container;      ///< Designer lets other widgets be dropped into it
        int Width, Height;   ///< default size on a new form
        std::function<QWidget*(QWidget*)> Create;
    };

    TControlWidgetPlugin(Description description, QObject* parent);

    QString name() const override { return d_.Name; }
    QString group() const override;
    QString toolTip() const override { return d_.ToolTip; }
    QString whatsThis() const override { return d_.WhatsThis; }
    QString includeFile() const override { return d_.IncludeFile; }
    QIcon icon() const override;
    bool isContainer() const override { return d_.Container; }
    QWidget* createWidget(QWidget* parent) override { return d_.Create(parent); }
    bool isInitialized() const override { return initialized_; }
    void initialize(QDesignerFormEditorInterface*) override { initialized_ = true; }
    /** A widget of the class named after it (imageControl), at the default size. */
    QString domXml() const override;

private:
    Description d_;
    bool initialized_ = false;
};

/** The plugin Designer loads: the collection of the five display controls. */
class TControlsPlugin : public QObject, public QDesignerCustomWidgetCollectionInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QDesignerCustomWidgetCollectionInterface")
    Q_INTERFACES(QDesignerCustomWidgetCollectionInterface)
public:
    explicit TControlsPlugin(QObject* parent = nullptr);

    QList<QDesignerCustomWidgetInterface*> customWidgets() const override { return widgets_; }

private:
    QList<QDesignerCustomWidgetInterface*> widgets_;
};
