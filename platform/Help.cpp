#include "platform/Help.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

#include "platform/SystemInfo.h"

namespace {
std::string& fileValue() {
    static std::string f;
    return f;
}
std::function<void(uint32_t, uint32_t)>& hookValue() {
    static std::function<void(uint32_t, uint32_t)> h;
    return h;
}

bool open(uint32_t cmd, uint32_t data) {
    if (hookValue()) {
        hookValue()(cmd, data);
        return true;
    }
    std::string path = fileValue();
    if (path.empty()) return false;
    if (path.front() != '/') path = SystemInfo::programDir() + "/" + path;
    if (!QFileInfo::exists(QString::fromStdString(path))) return false;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
}
}  // namespace

namespace Help {
void setHelpFile(const std::string& file) {
    fileValue() = file;
}
const std::string& helpFile() {
    return fileValue();
}
bool context(uint32_t topic) {
    return open(1, topic);
}
bool command(uint32_t cmd, uint32_t data) {
    return open(cmd, data);
}
void setOpenHook(std::function<void(uint32_t, uint32_t)> hook) {
    hookValue() = std::move(hook);
}
}  // namespace Help
