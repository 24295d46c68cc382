// The dialog service: scripted answers for tests, and the real boxes behind it; the timer
// ticks that run as posted events.
#include <gtest/gtest.h>

#include <QtWidgets>
#include <functional>

#include "platform/Dialogs.h"

namespace {
// Runs f on the modal widget once it is up.
void whenModal(std::function<void(QWidget*)> f) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, f] {
        if (QWidget* w = QApplication::activeModalWidget()) {
            timer->deleteLater();
            timer->stop();
            f(w);
        }
    });
    timer->start(5);
}

// One tick of a running timer as its timer event gives it: the handler's event is posted, not run.
void tick(QTimer& timer) {
    QTimerEvent ev(timer.timerId());
    QCoreApplication::sendEvent(&timer, &ev);
}

QStringList warnings;
void keepWarning(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtWarningMsg) warnings << text;
}

QPushButton* button(QWidget* w, bool isDefault) {
    for (QPushButton* b : w->findChildren<QPushButton*>())
        if (b->isDefault() == isDefault) return b;
    return nullptr;
}
}  // namespace

TEST(DialogScript, AnswersFromItsQueueThenTheDefaultAndErrorsBecomeBoxes) {
    DialogScript script;
    script.answer(mrYes);
    script.answerInput(true, "Method A");
    EXPECT_EQ(messageBox("Delete the method?", "Warning", MsgButtons::YesNo, mrNo), mrYes);
    EXPECT_EQ(messageBox("Delete the method?", "Warning", MsgButtons::YesNo, mrNo), mrNo);
    EXPECT_EQ(messageBox("Continue?", "Question", MsgButtons::YesNoCancel), mrYes) << "else the first button";
    EXPECT_EQ(messageBox("Proceed?", "Question", MsgButtons::OKCancel, mrNo), mrOk);
    QString value = "start";
    EXPECT_TRUE(inputQuery("Save As Method", "New Method Name:", value));
    EXPECT_FALSE(inputQuery("Add Method Name", "Method Name:", value, "Abbrechen"))
        << "nothing queued: cancel";
    EXPECT_EQ(value, "Method A");
    EXPECT_EQ(script.queried[1].cancelCaption, "Abbrechen");

    // Exceptions and guarded handlers become an error box titled with the program.
    const QString oldName = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName("zentrova");
    showException(std::runtime_error("Bad value"));
    EXPECT_NO_THROW(runGuarded([] { throw std::runtime_error("Handler failed"); }));
    EXPECT_NO_THROW(runGuarded([] { throw 7; }));
    EXPECT_NO_THROW(runGuarded({}));
    QCoreApplication::setApplicationName(oldName);
    QStringList shown;
    for (size_t i = 4; i < script.shown.size(); ++i)
        shown << script.shown[i].title + ": " + script.shown[i].text;
    EXPECT_EQ(shown,
              (QStringList{"zentrova: Bad value", "zentrova: Handler failed", "zentrova: Unknown error"}));
    EXPECT_EQ(script.shown[4].icon, MsgIcon::Error);
}

TEST(RealBoxes, MessageBoxAndInputQueryShowWhatTheyAreGiven) {
    QStringList seen;
    whenModal([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        seen << box->windowTitle() << box->text() << box->defaultButton()->text();
        for (QAbstractButton* b : box->buttons()) seen << b->text();
        box->defaultButton()->click();
    });
    EXPECT_EQ(messageBox("Delete?", "Warning", MsgButtons::YesNo, mrNo, MsgIcon::Warning), mrNo);
    seen.sort();
    EXPECT_EQ(seen, (QStringList{"Delete?", "No", "No", "Warning", "Yes"}));

    // The edited text counts on OK only.
    QString value = "old";
    whenModal([&](QWidget* w) {
        EXPECT_EQ(w->findChild<QLineEdit*>()->text(), "old");
        w->findChild<QLineEdit*>()->setText("new name");
        button(w, true)->click();
    });
    EXPECT_TRUE(inputQuery("Caption", "Prompt:", value));
    EXPECT_EQ(value, "new name");
    whenModal([&](QWidget* w) {
        w->findChild<QLineEdit*>()->setText("typed");
        seen = {button(w, false)->text()};
        button(w, false)->click();
    });
    EXPECT_FALSE(inputQuery("Caption", "Prompt:", value, "Stop it"));
    EXPECT_EQ(value, "new name");
    EXPECT_EQ(seen, QStringList{"Stop it"});
}

TEST(ConnectTimer, APostedTickRunsOnlyIfItsTimerRanOnUntouched) {
    // t: a tick is posted, p: the posted events run, s: stop, g: start, d: the timer is deleted,
    // c: the context is deleted; the posted events run at the end. restart: the handler stops
    // and starts its own timer (a single shot re-arms itself).
    const struct {
        const char* ops;
        bool singleShot, restart;
        int runs;
    } rows[] = {
        {"tt", false, false, 2}, {"ts", false, false, 0},  {"tsg", false, false, 0}, {"tg", false, false, 0},
        {"td", false, false, 0}, {"tc", false, false, 0},  {"t", true, false, 1},    {"tg", true, false, 0},
        {"tptp", true, true, 2}, {"tptp", false, true, 2}, {"ttp", false, true, 1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.ops) + (r.singleShot ? " single" : "") + (r.restart ? " restart" : ""));
        auto timer = std::make_unique<QTimer>();
        auto context = std::make_unique<QObject>();
        timer->setSingleShot(r.singleShot);
        timer->setInterval(3600 * 1000);
        int runs = 0;
        QTimer* t = timer.get();
        connectTimer(t, context.get(), [&runs, &r, t] {
            ++runs;
            if (!r.restart) return;
            t->stop();
            t->start();
        });
        timer->start();
        for (const char* op = r.ops; *op; ++op) {
            if (*op == 't') tick(*timer);
            if (*op == 'p') QCoreApplication::sendPostedEvents();
            if (*op == 's') timer->stop();
            if (*op == 'g') timer->start();
            if (*op == 'd') timer.reset();
            if (*op == 'c') context.reset();
        }
        QCoreApplication::sendPostedEvents();
        EXPECT_EQ(runs, r.runs);
    }
}

TEST(ConnectTimer, ErrorsOfLaterTicksGoToTheDiagnosticOutputWhileItsBoxIsOpen) {
    DialogScript script;
    QTimer timer;
    timer.setInterval(3600 * 1000);
    timer.start();
    int n = 0;
    connectTimer(&timer, &timer, [&n] { throw std::runtime_error("tick " + std::to_string(++n)); });
    script.onShow = [&](const MessageRequest&) {
        if (n > 1) return;
        tick(timer);
        tick(timer);
        QCoreApplication::sendPostedEvents();
    };
    warnings.clear();
    const QtMessageHandler old = qInstallMessageHandler(keepWarning);
    tick(timer);
    QCoreApplication::sendPostedEvents();
    tick(timer);  // the box is closed: the next error opens one again
    QCoreApplication::sendPostedEvents();
    qInstallMessageHandler(old);
    QStringList boxes;
    for (const auto& box : script.shown) boxes << box.text;
    EXPECT_EQ(boxes, (QStringList{"tick 1", "tick 4"}));
    EXPECT_EQ(warnings, (QStringList{"tick 2", "tick 3"}));
}

// A procedure's boxes: stopped under them they say why (the last one opened) and answer none;
// a box of no procedure, or of one that finished by itself, keeps its text and its answer.
TEST(ProcedureBoxes, StoppedProcedureBoxesSayWhyAndAnswerNoneOthersStay) {
    DialogScript script;
    const auto box = [](const QString& text, uint64_t procedure) {
        MessageRequest req;
        req.text = text;
        req.title = "Action Required";
        req.buttons = MsgButtons::OKCancel;
        req.procedure = procedure;
        return messageBox(req);
    };
    beginProcedure();
    const uint64_t running = currentProcedure();
    MsgResult inner = mrNone, other = mrNone;
    script.onShow = [&](const MessageRequest& r) {
        if (r.text == "outer") inner = box("inner", running);
        if (r.text == "inner") other = messageBox("not the procedure's", "Error");
        if (r.text == "not the procedure's") {
            EXPECT_TRUE(stopProcedure("Stopped: why."));
        }
    };
    EXPECT_EQ(box("outer", running), mrNone);
    EXPECT_EQ(inner, mrNone);
    EXPECT_EQ(other, mrOk);
    EXPECT_NE(currentProcedure(), running);
    ASSERT_EQ(script.shown.size(), 4u);
    EXPECT_EQ(script.shown[3].text, "Stopped: why.") << "the last box of the procedure, once";
    EXPECT_EQ(script.shown[3].buttons, MsgButtons::OK);
    EXPECT_FALSE(stopProcedure("again")) << "nothing is running";

    // Finished by itself: the box stays and keeps its answer.
    script.shown.clear();
    beginProcedure();
    script.onShow = [&](const MessageRequest&) { finishProcedure(); };
    script.answer(mrCancel);
    EXPECT_EQ(box("last", currentProcedure()), mrCancel);
    EXPECT_EQ(script.shown.size(), 1u);
}

TEST(ProcedureBoxes, ARealBoxSaysWhyWhenItsProcedureStops) {
    beginProcedure();
    QStringList seen;
    whenModal([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        stopProcedure("Lost connection. Operation stopped.");
        seen << box->text();
        for (QAbstractButton* b : box->buttons()) seen << b->text();
        box->buttons().at(0)->click();
    });
    MessageRequest req;
    req.text = "Please empty the bottles.";
    req.buttons = MsgButtons::OKCancel;
    req.procedure = currentProcedure();
    EXPECT_EQ(messageBox(req), mrNone);
    EXPECT_EQ(seen, (QStringList{"Lost connection. Operation stopped.", "OK"}));
}

// Placement as each window is shown: the main window on the screen unless the program placed it
// first; any other window on the main window, once, unless the program placed it elsewhere
// (on the screen, say); a minimised window asked for again comes back on the screen.
TEST(WindowPlacement, OnlyWindowsWithoutAPlaceOfTheProgramsAreCentredOnTheMainWindow) {
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    // The test platform's own frame may shift a window by a pixel or two.
    const auto near = [](QPoint a, QPoint b) { return (a - b).manhattanLength() <= 4; };
    const struct { bool mainMoved; } rows[] = {{false}, {true}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.mainMoved);
        QWidget main;
        main.resize(300, 200);
        if (r.mainMoved) main.move(screen.topLeft() + QPoint(10, 40));
        setMainWindow(&main);
        main.show();
        const QPoint mainAt = r.mainMoved ? screen.topLeft() + QPoint(10, 40)
                                          : screen.center() - QPoint(150, 100) + QPoint(1, 1);
        EXPECT_TRUE(near(main.pos(), mainAt)) << main.pos().x() << "," << main.pos().y();

        QWidget fresh, onScreen;
        for (QWidget* w : {&fresh, &onScreen}) w->resize(100, 60);
        centreWindow(&onScreen, nullptr);
        const QPoint screenCentre = onScreen.geometry().center();
        fresh.show();
        onScreen.show();
        EXPECT_TRUE(near(fresh.geometry().center(), main.geometry().center()));
        EXPECT_TRUE(near(onScreen.geometry().center(), screenCentre));
        // Shown again after the main window moved: it stays where it was.
        const QPoint freshAt = fresh.pos();
        fresh.hide();
        main.move(main.pos() + QPoint(50, 50));
        fresh.show();
        EXPECT_EQ(fresh.pos(), freshAt);

        // Minimised, then asked for again.
        fresh.showMinimized();
        QCoreApplication::processEvents();
        showWindow(&fresh);
        EXPECT_FALSE(fresh.isMinimized());
        EXPECT_TRUE(fresh.isVisible());
        setMainWindow(nullptr);
    }
}
