#pragma once

#include <clocale>
#include <string>

/**
 * Holds the process in the C locale while it lives. libics switches to the C locale
 * itself while it reads or writes a header, but restores the previous locale by a
 * name that its own switch has already freed; starting from the C locale makes that
 * switch harmless. Wrap every IcsOpen and IcsClose in one.
 */
class IcsLocaleScope
{
public:
    IcsLocaleScope()
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
    std::string previous_;
};
