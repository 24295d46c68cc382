// The dialog service: scripted answers for tests, and the real boxes behind it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <functional>

#include "platform/Dialogs.h"

TEST(DialogScript, RecordsEveryBoxAndAnswersFromItsQueueThenTheDefault) {
    DialogScript outer;
    outer.answer(mrNo);
    {
        DialogScript script;  // nested scripts restore the outer one
        std::vector<QString> log;
        script.onShow = [&](const MessageRequest& r) { log.push_back("shown " + r.text); };
        script.answer(mrYes);
        EXPECT_EQ(messageBox("Delete the method?", "Warning", MsgButtons::YesNo, mrNo, MsgIcon::Warning), mrYes);
        log.push_back("answered");
        EXPECT_EQ(messageBox("Delete the sequence?", "Warning", MsgButtons::YesNo, mrNo), mrNo);
        EXPECT_EQ(messageBox("Saved.", "Info"), mrOk);
        // A default the box does not have becomes its first button.
        EXPECT_EQ(messageBox("Continue?", "Question", MsgButtons::YesNoCancel), mrYes);
        EXPECT_EQ(messageBox("Proceed?", "Question", MsgButtons::OKCancel, mrNo), mrOk);
        EXPECT_EQ(messageBox("Proceed?", "Question", MsgButtons::OKCancel, mrCancel), mrCancel);
        EXPECT_EQ(log[0], "shown Delete the method?");
        EXPECT_EQ(log[1], "answered");
        ASSERT_EQ(script.shown.size(), 6u);
        EXPECT_EQ(script.shown[0].text, "Delete the method?");
        EXPECT_EQ(script.shown[0].title, "Warning");
        EXPECT_EQ(script.shown[0].buttons, MsgButtons::YesNo);
        EXPECT_EQ(script.shown[0].defaultButton, mrNo);
        EXPECT_EQ(script.shown[0].icon, MsgIcon::Warning);
        EXPECT_EQ(script.shown[2].buttons, MsgButtons::OK);
        EXPECT_EQ(script.shown[2].defaultButton, mrOk);
        EXPECT_EQ(script.shown[3].defaultButton, mrYes);
    }
    EXPECT_EQ(messageBox("outer", "t", MsgButtons::YesNo), mrNo);
    ASSERT_EQ(outer.shown.size(), 1u);
}

TEST(DialogScript, InputQueryOkTakesTheValueCancelLeavesItAlone) {
    DialogScript script;
    script.answerInput(true, "Method A");
    script.answerInput(false, "ignored");
    QString value = "start";
    EXPECT_TRUE(inputQuery("Save As Method", "New Method Name:", value));
    EXPECT_EQ(value, "Method A");
    EXPECT_FALSE(inputQuery("Add Method Name", "Method Name:", value, "Abbrechen"));
    EXPECT_EQ(value, "Method A");
    // Nothing queued: cancelled, so a loop that asks again ends.
    EXPECT_FALSE(inputQuery("Again", "Name:", value));
    EXPECT_EQ(value, "Method A");
    ASSERT_EQ(script.queried.size(), 3u);
    EXPECT_EQ(script.queried[0].caption, "Save As Method");
    EXPECT_EQ(script.queried[0].prompt, "New Method Name:");
    EXPECT_EQ(script.queried[0].value, "start");
    EXPECT_EQ(script.queried[1].cancelCaption, "Abbrechen");
    EXPECT_TRUE(script.queried[0].cancelCaption.isEmpty());
}

TEST(DialogScript, ShowExceptionIsAnErrorBoxTitledWithTheApplicationName) {
    DialogScript script;
    const QString oldName = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName("zentrova");
    showException("Disk full");
    showException(std::runtime_error("Bad value"));
    QCoreApplication::setApplicationName(oldName);
    ASSERT_EQ(script.shown.size(), 2u);
    EXPECT_EQ(script.shown[0].title, "zentrova");
    EXPECT_EQ(script.shown[0].text, "Disk full");
    EXPECT_EQ(script.shown[0].icon, MsgIcon::Error);
    EXPECT_EQ(script.shown[0].buttons, MsgButtons::OK);
    EXPECT_EQ(script.shown[1].text, "Bad value");

    // A guarded handler's exception becomes such a box and goes no further.
    EXPECT_NO_THROW(runGuarded([] { throw std::runtime_error("Handler failed"); }));
    EXPECT_NO_THROW(runGuarded([] { throw 7; }));
    EXPECT_NO_THROW(runGuarded({}));
    int ran = 0;
    runGuarded([&] { ++ran; });
    EXPECT_EQ(ran, 1);
    ASSERT_EQ(script.shown.size(), 4u);
    EXPECT_EQ(script.shown[2].text, "Handler failed");
    EXPECT_EQ(script.shown[3].text, "Unknown error");
}

namespace {
// Runs f on the modal widget once it is up.
void whenModal(std::function<void(QWidget*)> f) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, f] {
        if (QWidget* w = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            f(w);
        }
    });
    timer->start();
}
}  // namespace

TEST(RealBoxes, MessageBoxShowsTitleTextButtonsAndDefault) {
    QStringList texts;
    QString title, text, defaultText;
    whenModal([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        title = box->windowTitle();
        text = box->text();
        for (QAbstractButton* b : box->buttons()) texts << b->text();
        defaultText = box->defaultButton() ? box->defaultButton()->text() : QString();
        box->defaultButton()->click();
    });
    const MsgResult r = messageBox("Delete?", "Warning", MsgButtons::YesNo, mrNo, MsgIcon::Warning);
    EXPECT_EQ(r, mrNo);
    EXPECT_EQ(title, "Warning");
    EXPECT_EQ(text, "Delete?");
    texts.sort();
    EXPECT_EQ(texts, (QStringList{"No", "Yes"}));
    EXPECT_EQ(defaultText, "No");
}

TEST(RealBoxes, InputQueryReturnsTheEditedTextOnOkOnly) {
    QString cancelText;
    whenModal([&](QWidget* w) {
        auto* edit = w->findChild<QLineEdit*>();
        ASSERT_NE(edit, nullptr);
        EXPECT_EQ(edit->text(), "old");
        edit->setText("new name");
        for (QPushButton* b : w->findChildren<QPushButton*>())
            if (b->isDefault()) b->click();
    });
    QString value = "old";
    EXPECT_TRUE(inputQuery("Caption", "Prompt:", value));
    EXPECT_EQ(value, "new name");

    whenModal([&](QWidget* w) {
        w->findChild<QLineEdit*>()->setText("typed");
        for (QPushButton* b : w->findChildren<QPushButton*>())
            if (!b->isDefault()) {
                cancelText = b->text();
                b->click();
            }
    });
    EXPECT_FALSE(inputQuery("Caption", "Prompt:", value, "Stop it"));
    EXPECT_EQ(value, "new name");
    EXPECT_EQ(cancelText, "Stop it");
}
