#include "platform/Help.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QKeyEvent>
#include <QProcess>
#include <QUrl>
#include <QWidget>

#include "platform/Dialogs.h"
#include "platform/SafeRead.h"
#include "platform/SystemInfo.h"
#include "platform/i18n.h"

namespace {
const uint32_t kContext = 1;
const uint32_t kIndex = 3;
const size_t kHelpMaxBytes = 64u * 1024 * 1024;
const char* const kTopicProperty = "_help_topic";

// F1 in any widget: the event reaches this filter before the widget, once per key press.
class HelpKey : public QObject {
  public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* e) override {
        if (e->type() != QEvent::KeyPress || !watched->isWidgetType()) return false;
        auto* key = static_cast<QKeyEvent*>(e);
        if (key->key() != Qt::Key_F1 || key->modifiers() != Qt::NoModifier) return false;
        Help::showTopicOf(static_cast<QWidget*>(watched));
        return true;
    }
};

void installHelpKey() {
    static QObject* filter = nullptr;
    if (filter || !qobject_cast<QApplication*>(QCoreApplication::instance())) return;
    filter = new HelpKey(QCoreApplication::instance());
    QCoreApplication::instance()->installEventFilter(filter);
}

std::string& fileValue() {
    static std::string f;
    return f;
}
std::function<void(uint32_t, uint32_t)>& hookValue() {
    static std::function<void(uint32_t, uint32_t)> h;
    return h;
}

// The help is a page for a web browser, the index as much as a topic: the user's $BROWSER
// when set (commands separated by ":", "%s" standing for the page, else the page appended),
// the first that starts. False when none is set or none starts.
bool openInBrowser(const QUrl& url) {
    const QString browsers = qEnvironmentVariable("BROWSER");
    for (const QString& command : browsers.split(':', Qt::SkipEmptyParts)) {
        QStringList args = QProcess::splitCommand(command);
        if (args.isEmpty()) continue;
        bool placed = false;
        for (QString& a : args)
            if (a.contains("%s")) {
                a.replace("%s", url.toString(QUrl::FullyEncoded));
                placed = true;
            }
        if (!placed) args << url.toString(QUrl::FullyEncoded);
        const QString program = args.takeFirst();
        if (QProcess::startDetached(program, args)) return true;
    }
    return false;
}

bool open(uint32_t cmd, uint32_t data) {
    if (hookValue()) {
        hookValue()(cmd, data);
        return true;
    }
    const std::string file = Help::filePath(fileValue());
    const QString path = QString::fromStdString(file);
    const SafeRead::Result usable = SafeRead::check(file, kHelpMaxBytes);
    if (fileValue().empty() || usable.status == SafeRead::Status::Missing) {
        messageBox(fillFirst(_("The help file %s was not found."), path), _("Help"), MsgButtons::OK, mrOk,
                   MsgIcon::Error);
        return false;
    }
    // A named pipe or a device there would hold whichever program opened it.
    if (!usable.ok()) {
        messageBox(QString::fromStdString(usable.error), _("Help"), MsgButtons::OK, mrOk, MsgIcon::Error);
        return false;
    }
    QUrl url = QUrl::fromLocalFile(path);
    if (cmd == kContext) url.setFragment("topic-" + QString::number(data));
    if (openInBrowser(url) || QDesktopServices::openUrl(url)) return true;
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
void setTopic(QWidget* window, uint32_t topic) {
    if (!window) return;
    window->setProperty(kTopicProperty, QVariant::fromValue(topic));
    installHelpKey();
}
uint32_t topicOf(const QWidget* w) {
    for (; w; w = w->parentWidget()) {
        const QVariant topic = w->property(kTopicProperty);
        if (topic.isValid()) return topic.value<uint32_t>();
    }
    return 0;
}
bool showTopicOf(const QWidget* w) {
    const uint32_t topic = topicOf(w);
    return topic ? context(topic) : command(kIndex);
}
void setOpenHook(std::function<void(uint32_t, uint32_t)> hook) {
    hookValue() = std::move(hook);
}
}  // namespace Help
