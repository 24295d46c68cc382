#include "ui/Startup.h"

#include <QString>
#include <exception>

#include "platform/Dialogs.h"

bool createWindows(const std::function<void()>& create) {
    try {
        create();
        return true;
    } catch (const std::exception& e) {
        showException(e);
    } catch (...) {
        showException(QString());
    }
    return false;
}
