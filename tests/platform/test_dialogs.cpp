// The dialog service: scripted answers for tests, and the real boxes behind it.
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
