// A Critical Error window that opens while a modal window (an editor, a box) is open can be read
// and answered: it is the window in front, its OK and Escape answer it, Escape goes no further,
// and a question opened after it is not covered by it on the next checks.
#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QMessageBox>

#include "MainFormHarness.h"

namespace {

// Counts the times a window is raised over the others.
class Raises : public QObject {
  public:
    int count = 0;

  protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::ZOrderChange) ++count;
        return false;
    }
};

class CriticalError : public MainFormHarness {
  protected:
    void SetUp() override {
        MainFormHarness::SetUp();
        form->iMode = 2;
        errors->installEventFilter(&raises);
    }
    void TearDown() override {
        errors->removeEventFilter(&raises);
        MainFormHarness::TearDown();
    }
    // A pressure beyond the limit raises a disabling condition; at the limit it clears.
    void pressure(double psi) {
        ZentrovaAPI.Pump1.Pressure = psi;
        errors->CheckInstrumentErrors(false);
        QCoreApplication::processEvents();
    }
    static void escape(QWidget* w) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QCoreApplication::sendEvent(w, &press);
    }
    Raises raises;
};

TEST_F(CriticalError, OverAModalEditorItIsTheWindowInFrontAndEscapeGoesNoFurther) {
    QDialog editor;
    editor.setObjectName("editor");
    int editorEscapes = 0;
    QObject::connect(&editor, &QDialog::rejected, [&] { ++editorEscapes; });
    editor.setWindowModality(Qt::ApplicationModal);
    editor.show();
    QCoreApplication::processEvents();
    ASSERT_EQ(QApplication::activeModalWidget(), &editor);

    pressure(500);
    ASSERT_TRUE(errors->isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), errors.get()) << "the editor's modality would block it";
    // Escape pressed in the window in front: the Critical Error closes, the editor stays open.
    escape(QApplication::activeModalWidget());
    EXPECT_FALSE(errors->isVisible());
    EXPECT_TRUE(editor.isVisible());
    EXPECT_EQ(editorEscapes, 0);
    EXPECT_EQ(QApplication::activeModalWidget(), &editor);

    // Again, answered with OK.
    pressure(400);
    pressure(500);
    ASSERT_TRUE(errors->isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), errors.get());
    errors->OKBtn->Click();
    EXPECT_FALSE(errors->isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), &editor);
    editor.hide();

    // With no modal window open it leaves the main window free.
    pressure(400);
    pressure(500);
    EXPECT_TRUE(errors->isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    errors->OKBtn->Click();
}

TEST_F(CriticalError, AQuestionOpenedAfterItIsNotCoveredByItOnTheNextChecks) {
    pressure(500);
    ASSERT_TRUE(errors->isVisible());
    QMessageBox confirm(QMessageBox::Question, "Please, confirm", "Save changes?",
                        QMessageBox::Yes | QMessageBox::No);
    confirm.setWindowModality(Qt::ApplicationModal);
    confirm.show();
    QCoreApplication::processEvents();
    ASSERT_EQ(QApplication::activeModalWidget(), &confirm);
    raises.count = 0;
    for (int i = 0; i < 3; ++i) pressure(500);
    EXPECT_EQ(raises.count, 0) << "raised over the question it would hide";
    confirm.hide();
    QCoreApplication::processEvents();
    // Nothing in front of it any more: brought to the front while it is not the active window.
    if (!errors->isActiveWindow()) {
        pressure(500);
        EXPECT_GT(raises.count, 0);
    }
    errors->OKBtn->Click();
}

}  // namespace
