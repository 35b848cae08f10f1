#pragma once

#include <QApplication>
#include <QString>

#include <exception>
#include <functional>

/**
 * The application object. An exception that ends an event handler is shown with the
 * standard exception display instead of ending the program.
 */
class TApplication : public QApplication
{
public:
    TApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    /** Shows `message` in the standard exception display. */
    static void ShowException(const QString& message);

    /** Replaces the display (a message box) with `display`; an empty one restores it. */
    static void SetExceptionDisplay(std::function<void(const QString&)> display);

    /** The text the display shows for the exception being handled. */
    static QString CurrentExceptionText();
};

/**
 * Runs `handler` and shows any exception it throws, so that no exception unwinds
 * through the framework's code. Window event handlers are connected through it.
 */
template <class Handler> void RunGuarded(Handler&& handler)
{
    try {
        handler();
    } catch (...) {
        TApplication::ShowException(TApplication::CurrentExceptionText());
    }
}
