// The desktop's "open" for documents and links (a mailto: link opens the mail program), and the
// save-file dialog. Both can be taken over by tests: the open hook records what would be opened,
// the save-file handler answers the dialog.
#pragma once
#include <QString>
#include <functional>
#include <string>

namespace Shell {
// Opens a link ("mailto:...", "https://...") or a local file with the desktop's handler;
// true when the desktop accepted it (always true while a hook is installed).
bool open(const std::string& target);
// Tests: the hook receives the target instead of the desktop; empty restores the desktop.
void setOpenHook(std::function<void(const std::string& target)> hook);

struct SaveFileRequest {
    QString title;       // empty: the dialog's usual title
    QString fileName;    // proposed name (or path)
    QString defaultExt;  // appended to a typed name without extension, e.g. "zip"
    QString filter;      // name filters, e.g. "Zip archives (*.zip);;All files (*)"
};
// Modal save dialog: asks before replacing an existing file, needs an existing folder.
// Returns the chosen path, empty when the operator cancels.
QString askSaveFileName(const SaveFileRequest& req);
using SaveFileHandler = std::function<QString(const SaveFileRequest&)>;
// Tests: the handler answers instead of a dialog; empty restores the dialog.
void setSaveFileHandler(SaveFileHandler handler);
SaveFileHandler currentSaveFileHandler();
}  // namespace Shell
