#include "Application.h"

#include "MessageText.h"

#include <QMessageBox>
#include <QWidget>

namespace {

std::function<void(const QString&)>& ExceptionDisplay()
{
    static std::function<void(const QString&)> display;
    return display;
}

} // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("volinspect"));
    // Settings (the inspector's window and recent files) go to volinspect/volinspect.conf
    // in the user's configuration folder.
    setOrganizationName(QStringLiteral("volinspect"));
}

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ShowException(CurrentExceptionText());
        return false;
    }
}

QString TApplication::CurrentExceptionText()
{
    return QString::fromLocal8Bit(DescribeCurrentException());
}

void TApplication::ShowException(const QString& message)
{
    if (ExceptionDisplay()) {
        ExceptionDisplay()(message);
        return;
    }
    QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationName(), message);
}

void TApplication::SetExceptionDisplay(std::function<void(const QString&)> display)
{
    ExceptionDisplay() = std::move(display);
}
