// Program entry of zentrova: the application, its windows in dependency order, the event loop.
#include <QApplication>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "link/ChemStation.h"
#include "link/FZentrova.h"
#include "link/HPLC.h"
#include "link/Instrument.h"
#include "link/LogFile.h"
#include "platform/Dialogs.h"
#include "platform/Help.h"
#include "platform/Registry.h"
#include "platform/i18n.h"
#include "ui/ErrorMessages.h"
#include "ui/MainForm.h"
#include "ui/TestControl.h"

namespace {

// The windows and data modules, destroyed in the reverse order of their creation.
struct Forms {
    std::vector<std::unique_ptr<QObject>> owned;
    template <class T, class... A>
    T* create(A&&... args) {
        auto p = std::make_unique<T>(std::forward<A>(args)...);
        T* raw = p.get();
        owned.push_back(std::move(p));
        return raw;
    }
    ~Forms() {
        while (!owned.empty()) owned.pop_back();
    }
};

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

    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);

    Forms forms;
    try {
        MainForm = forms.create<TMainForm>(args);
        FZentrova = forms.create<TFZentrova>();
        InstrumentModule = forms.create<TInstrumentModule>();
        LogFile = forms.create<TLogFile>();
        HPLCModule = forms.create<THPLCModule>();
        ChemStation1 = forms.create<TChemStation1>();
        ErrorMessagesDialog = forms.create<TErrorMessagesDialog>();
    } catch (const std::exception& e) {
        showException(e);
        TestControl::stop();
        return 0;
    } catch (...) {
        showException(QString());
        TestControl::stop();
        return 0;
    }
    MainForm->show();
    const int rc = QApplication::exec();
    TestControl::stop();
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
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
