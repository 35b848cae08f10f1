#pragma once

#include <clocale>
#include <mutex>
#include <string>

/**
 * Holds the process in the C locale while it lives. libics switches to the C locale
 * itself while it reads or writes a header, but restores the previous locale by a
 * name that its own switch has already freed; starting from the C locale makes that
 * switch harmless. Wrap every IcsOpen and IcsClose in one.
 *
 * setlocale is process-wide and not safe against other threads doing the same: scopes
 * on several threads (files read in parallel) take turns, one at a time.
 */
class IcsLocaleScope
{
public:
    IcsLocaleScope() : lock_(Mutex())
    {
        if (const char* name = std::setlocale(LC_ALL, nullptr)) previous_ = name;
        std::setlocale(LC_ALL, "C");
    }
    ~IcsLocaleScope()
    {
        if (!previous_.empty()) std::setlocale(LC_ALL, previous_.c_str());
    }
    IcsLocaleScope(const IcsLocaleScope&) = delete;
    IcsLocaleScope& operator=(const IcsLocaleScope&) = delete;

private:
    static std::mutex& Mutex()
    {
        static std::mutex mutex;
        return mutex;
    }

    std::lock_guard<std::mutex> lock_;
    std::string previous_;
};
