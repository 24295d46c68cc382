// Program entry of zentrova: the application, its windows in dependency order, the event loop.
#include <QApplication>
#include <QEvent>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "link/ChemStation.h"
#include "link/FZentrova.h"
#include "link/HPLC.h"
#include "link/Instrument.h"
#include "link/LogFile.h"
#include "link/ProgressBar.h"
#include "methods/EditMethods.h"
#include "methods/EditSequence.h"
#include "methods/ExportImport.h"
#include "methods/LoadMethod.h"
#include "methods/LoadSequence.h"
#include "platform/Dialogs.h"
#include "platform/EndSignals.h"
#include "platform/Help.h"
#include "platform/Registry.h"
#include "platform/i18n.h"
#include "ui/About.h"
#include "ui/Calibration.h"
#include "ui/ChangeSeal.h"
#include "ui/Configuration.h"
#include "ui/ErrorMessages.h"
#include "ui/LCDFrame.h"
#include "ui/MainForm.h"
#include "ui/PressureTest.h"
#include "ui/Startup.h"
#include "ui/TestControl.h"

namespace {

// The windows and data modules, destroyed in the reverse order of their creation.
struct Forms {
    std::vector<std::unique_ptr<QObject>> owned;
    // Creates one window into its global; the global is set before the next window is built,
    // since each one's creation may read those before it.
    template <class T, class... A>
    void create(T*& global, A&&... args) {
        auto p = std::make_unique<T>(std::forward<A>(args)...);
        global = p.get();
        owned.push_back(std::move(p));
    }
    ~Forms() {
        while (!owned.empty()) owned.pop_back();
    }
};

// The order is a dependency order: the main window fixes the instance string before the
// configuration dialog, the instrument state and the log read settings or open the log with it.
void createForms(Forms& forms, const std::vector<std::string>& args) {
    forms.create(MainForm, args);
    forms.create(InstrumentConfiguration);
    forms.create(FZentrova);
    forms.create(InstrumentModule);
    forms.create(LogFile);
    forms.create(LCDScreen);
    forms.create(HPLCModule);
    forms.create(ChemStation1);
    forms.create(ErrorMessagesDialog);
    forms.create(EditMethodForm, MainForm);
    forms.create(EditSequenceDialog);
    forms.create(LoadMethodDialog);
    forms.create(AboutForm);
    forms.create(LoadSequenceDialog);
    forms.create(ChangeSeal);
    forms.create(PressureTest);
    forms.create(ExportImport1);
    forms.create(ReactorTempCalibration);
    forms.create(ColumnTempCalibration);
    forms.create(ProgressBarForm);
}

// Seconds the process may take to end once asked: the halt's own wait is shorter.
constexpr int EndBackstopSeconds = 10;
// Seconds left for the windows to go once the halt has left.
constexpr int EndGraceSeconds = 2;
// Seconds the process may take to end once its event loop has ended: the windows go and the
// settings store closes, whatever another program does with the store meanwhile.
constexpr int EndTeardownSeconds = 5;

// True while the main loop runs: an exit from inside it is no close of ours.
std::atomic<bool> loopRunning{false};
// Set when the window system says its connection broke, just before it ends the process.
std::atomic<bool> displayLost{false};
QtMessageHandler previousMessageHandler = nullptr;

// The close without a question, then the end of every event loop (a box's too); what still
// runs after a box returns cannot keep the process alive past the grace time.
void endProgram(const std::string& reason) {
    if (!MainForm) return;
    const bool first = !MainForm->IsEnding();
    MainForm->EndWithoutQuestion(reason);
    if (!first) return;
    EndSignals::armHardExit(EndGraceSeconds, 0);
    QCoreApplication::exit(0);
}

// The session manager's end of the session (or any other quit request from the platform)
// arrives as a quit event before the close of our own was confirmed.
class QuitFilter : public QObject {
  protected:
    bool eventFilter(QObject* watched, QEvent* e) override {
        if (watched == QCoreApplication::instance() && e->type() == QEvent::Quit && MainForm &&
            !MainForm->IsClosing()) {
            endProgram("End of the desktop session");
            return true;
        }
        return QObject::eventFilter(watched, e);
    }
};

// The window system ends the process itself when its display goes away; the instrument is
// halted on the way out, without an event loop.
void haltOnExit() {
    if (!loopRunning.exchange(false) || !MainForm) return;
    try {
        MainForm->HaltBeforeExit(displayLost ? "The display connection was lost"
                                             : "The program ends outside its close");
    } catch (...) {
    }
}

// The window system reports the broken connection just before it ends the process. The halt
// is registered again here, so it runs ahead of the static destructors of everything made since
// start-up (the port list of the link among them) rather than after them.
void watchMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text.contains(QLatin1String("connection broke")) && !displayLost.exchange(true))
        std::atexit(haltOnExit);
    if (previousMessageHandler) previousMessageHandler(type, context, text);
}

int run(int argc, char** argv) {
    QApplication::setApplicationName("Zentrova KVZ Software");
    i18n::init(QCoreApplication::applicationFilePath().toStdString());
    Help::setHelpFile("ZENTROVAKVZ.HLP");

    const std::string storeProblem = Registry::checkStore();
    if (!storeProblem.empty()) {
        messageBox(QString::fromStdString(storeProblem) + "\n\n" + _("The program cannot start."), _("Error"),
                   MsgButtons::OK, mrOk, MsgIcon::Error);
        return 1;
    }
    TestControl::startFromEnvironment();
    if (const std::string notice = Registry::notice(); !notice.empty())
        messageBox(QString::fromStdString(notice), _("Warning"), MsgButtons::OK, mrOk, MsgIcon::Warning);

    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);

    // Before the windows: a signal that arrives while they are made ends the program as soon as
    // its event loop runs.
    EndSignals::install([](int signo) { endProgram(EndSignals::name(signo) + " received"); },
                        EndBackstopSeconds);
    Forms forms;
    if (!createWindows([&] { createForms(forms, args); })) {
        TestControl::stop();
        return 0;
    }
    QuitFilter quitFilter;
    qApp->installEventFilter(&quitFilter);
    previousMessageHandler = qInstallMessageHandler(watchMessages);
    std::atexit(haltOnExit);
    // A confirmed close is bounded like a signal's end.
    MainForm->BoundTheEnd = [](int seconds) { EndSignals::armHardExit(seconds, 1); };
    MainForm->Show();
    loopRunning = true;
    // A signal taken while the windows were made (under a box of theirs) has already closed.
    const int rc = MainForm->IsEnding() ? 0 : QApplication::exec();
    loopRunning = false;
    // The halt is done: nothing after the event loop holds the end (a signal's end keeps its
    // own, shorter time).
    if (!MainForm->IsEnding()) EndSignals::armHardExit(EndTeardownSeconds, rc);
    TestControl::stop();
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    // A standard error whose reader has gone, or a log past the file size limit, fails the
    // write; it never ends the program.
    EndSignals::ignoreWriteFailures();
    QApplication app(argc, argv);
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        showException(e);
    } catch (...) {
        showException(QString());
    }
    return 0;
}
