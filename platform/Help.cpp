#include "platform/Help.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

#include "platform/Dialogs.h"
#include "platform/SystemInfo.h"
#include "platform/i18n.h"

namespace {
const uint32_t kContext = 1;

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
    const QString path = QString::fromStdString(Help::filePath(fileValue()));
    if (fileValue().empty() || !QFileInfo::exists(path)) {
        messageBox(fillFirst(_("The help file %s was not found."), path), _("Help"), MsgButtons::OK, mrOk,
                   MsgIcon::Error);
        return false;
    }
    QUrl url = QUrl::fromLocalFile(path);
    if (cmd == kContext) url.setFragment("topic-" + QString::number(data));
    if (QDesktopServices::openUrl(url)) return true;
    messageBox(fillFirst(_("No program to show the help file %s was found."), path), _("Help"),
               MsgButtons::OK, mrOk, MsgIcon::Error);
    return false;
}
}  // namespace

namespace Help {
void setHelpFile(const std::string& file) {
    fileValue() = file;
}
const std::string& helpFile() {
    return fileValue();
}
std::string filePath(const std::string& name) {
    std::string path = name;
    const QString ext = QFileInfo(QString::fromStdString(name)).suffix();
    if (ext.compare("HLP", Qt::CaseInsensitive) == 0) path = path.substr(0, path.size() - 3) + "html";
    if (!path.empty() && path.front() != '/') path = SystemInfo::programDir() + "/" + path;
    return path;
}
std::string languageFile(const std::string& folder, const std::string& language) {
    const std::string name = "ZENTROVAKVZ_" + language + ".HLP";
    if (language.empty() || !QFileInfo::exists(QString::fromStdString(filePath(folder + "/" + name))))
        return {};
    return name;
}
bool context(uint32_t topic) {
    return open(kContext, topic);
}
bool command(uint32_t cmd, uint32_t data) {
    return open(cmd, data);
}
void setOpenHook(std::function<void(uint32_t, uint32_t)> hook) {
    hookValue() = std::move(hook);
}
}  // namespace Help
