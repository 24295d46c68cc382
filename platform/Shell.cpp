#include "platform/Shell.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QUrl>

namespace {
std::function<void(const std::string&)>& openHook() {
    static std::function<void(const std::string&)> h;
    return h;
}
Shell::SaveFileHandler& saveHandler() {
    static Shell::SaveFileHandler h;
    return h;
}
}  // namespace

namespace Shell {

bool open(const std::string& target) {
    if (openHook()) {
        openHook()(target);
        return true;
    }
    const QString text = QString::fromStdString(target);
    // A link keeps its escapes as written; anything without a scheme is a local file.
    QUrl url(text, QUrl::TolerantMode);
    if (url.scheme().size() < 2) url = QUrl::fromLocalFile(text);
    return url.isValid() && QDesktopServices::openUrl(url);
}

void setOpenHook(std::function<void(const std::string&)> hook) {
    openHook() = std::move(hook);
}

QString askSaveFileName(const SaveFileRequest& req) {
    if (saveHandler()) return saveHandler()(req);
    QFileDialog dlg(QApplication::activeWindow(), req.title);
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setFileMode(QFileDialog::AnyFile);
    if (!req.filter.isEmpty()) dlg.setNameFilter(req.filter);
    if (!req.defaultExt.isEmpty()) dlg.setDefaultSuffix(req.defaultExt);
    dlg.selectFile(req.fileName);
    if (dlg.exec() != QDialog::Accepted) return QString();
    const QStringList files = dlg.selectedFiles();
    return files.isEmpty() ? QString() : files.front();
}

void setSaveFileHandler(SaveFileHandler handler) {
    saveHandler() = std::move(handler);
}

SaveFileHandler currentSaveFileHandler() {
    return saveHandler();
}

}  // namespace Shell
