// What the shown main window puts on the screen: the status bar's progress panel after real ticks
// of its own timer, read back from the window's backing store (what was painted, not a fresh
// rendering); every LCD message whole in plain 19-pixel type; where windows centred on it sit.
// Pictures go to artefacts/ under the build dir. And closing it: the confirmation, the halt sent
// before the countdown, a second request during it (the halt over a real link is the whole-program
// test's).
#include <QDir>
#include <QFontInfo>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <set>

#include "MainFormHarness.h"
#include "support/EventWait.h"
#include "support/StoredMethods.h"
#include "unicode/UxMenus.h"

namespace {

class MainFormScreen : public MainFormHarness {
  protected:
    void SetUp() override {
        MainFormHarness::SetUp();
        form->show();
        ASSERT_TRUE(waitFor([&] { return form->windowHandle() && form->windowHandle()->isExposed(); }));
    }
    void TearDown() override {
        form->Timer1->stop();
        MainFormHarness::TearDown();
    }
    static void keep(const QImage& img, const char* name) {
        const QString dir = QString::fromUtf8(ZENTROVA_BINARY_DIR) + "/artefacts";
        QDir().mkpath(dir);
        EXPECT_TRUE(img.save(dir + "/" + name));
    }
    static void expectWhole(const TUxLabel& line, const QFrame& panel, const QString& text, int pixels = 19) {
        EXPECT_EQ(line.text(), text);
        EXPECT_LE(QFontMetrics(line.font()).horizontalAdvance(text), line.contentsRect().width())
            << text.toStdString();
        EXPECT_LE(line.geometry().right(), panel.contentsRect().right());
        EXPECT_FALSE(QFontInfo(line.font()).bold()) << text.toStdString();
        EXPECT_EQ(line.font().pixelSize(), pixels ? pixels : line.font().pixelSize()) << text.toStdString();
    }
};

TEST_F(MainFormScreen, ProgressPanelFollowsPercentDoneOnEveryTick) {
    link->DataReceived = true;  // alive; the fake clock stands still
    form->StartFlushBoth();
    const QRect panel =
        form->StatusBar1->PanelRect(1).translated(form->StatusBar1->mapTo(form.get(), QPoint()));
    form->Timer1->setInterval(10);
    for (int percent : {25, 60}) {
        form->Timer1->start();
        ASSERT_TRUE(waitFor([&] { return instrument->PercentDone >= percent; }, 10000));
        form->Timer1->stop();
        QCoreApplication::processEvents();
        const QImage shot = form->screen()->grabWindow(form->winId()).toImage();
        int bar = 0;
        for (int x = panel.left(); x <= panel.right(); ++x)
            bar += shot.pixelColor(x, panel.center().y()) == QColor(0, 0, 0x80) ? 1 : 0;
        EXPECT_EQ(bar, panel.width() * instrument->PercentDone / 100) << percent;
        if (percent == 25) keep(shot, "mainwindow-flush.png");
    }
    EXPECT_EQ(form->iMode, 11);
}

TEST_F(MainFormScreen, EveryLcdMessageIsShownWholeInPlainType) {
    // A sequence name of a realistic length; the texts that carry it must still fit.
    storeMethod(plainMethod("M1"));
    storeSequence("Overnight wash 2025-11-30", {{"M1", "250"}});
    instrument->Sequence.Name = "Overnight wash 2025-11-30";
    instrument->PumpStarts = 250;
    std::set<QString> texts;
    for (int before = 0; before < 20; ++before)
        for (uint8_t reason = 0; reason < 4; ++reason)
            for (int m = 1; m < 20; ++m) {
                form->iMode = uint8_t(before);
                instrument->SequenceEndReason = reason;
                form->SetMode(uint8_t(m));
                texts.insert(lcdMessage());
            }
    for (bool on : {true, false, true, false}) {
        form->SetInstrumentEnabled(on);
        texts.insert(lcdMessage());
    }
    form->StopSequence();
    texts.insert(lcdMessage());
    texts.erase("");
    TLCDScreen& lcd = *form->LCDScreen1;
    QString longest;
    for (const QString& text : texts) {
        lcd.SetMessage(text);
        expectWhole(*lcd.String1, *lcd.LCDPanel, text);
        if (text.size() > longest.size()) longest = text;
    }
    // A name far beyond any panel still leaves the whole text on the line, in smaller type.
    lcd.SetMessage(QString("SEQUENCE %1 STARTED").arg(QString(50, 'W')));
    expectWhole(*lcd.String1, *lcd.LCDPanel, lcd.String1->text(), 0);
    for (const TErrorEntry& e : errors->ErrorTable) {
        lcd.SetSecondLine(QString::fromStdString(e.Text), 2, true);
        expectWhole(*lcd.String2, *lcd.LCDPanel, QString::fromStdString(e.Text));
    }
    lcd.SetMessage(longest);
    lcd.SetSecondLine(QString::fromStdString(errors->ErrorTable[5].Text), 2, true);
    keep(form->grab().toImage(), "lcd_longest_message.png");
}

TEST_F(MainFormScreen, MainWindowStartsCentredAndWindowsCentredOnItStayOnTheScreen) {
    const QRect screen = form->screen()->availableGeometry();
    EXPECT_LE((form->frameGeometry().center() - screen.center()).manhattanLength(), 2);
    form->move(screen.topLeft());
    TUxForm editor;
    editor.resize(screen.size() - QSize(60, 60));  // larger than the main window
    editor.show();
    editor.CentreOn(form.get());
    EXPECT_TRUE(screen.contains(editor.frameGeometry()));
    // Where there is room, it sits centred.
    form->move(screen.center() - form->rect().center());
    editor.CentreOn(form.get());
    EXPECT_LE((editor.frameGeometry().center() - form->frameGeometry().center()).manhattanLength(), 2);
}

class MainFormCloseTest : public MainFormHarness {
  protected:
    // While the countdown waits, the fake clock moves 100 ms per 5 ms of real time; each runs then.
    void runClock(const std::function<void()>& each) {
        QObject::connect(&beat, &QTimer::timeout, [this, each] {
            clock.fake.advanceMs(100);
            each();
        });
        beat.start(5);
    }
    QTimer beat;
};

TEST_F(MainFormCloseTest, YesHaltsBeforeTheCountdownAndASecondRequestIsRefused) {
    form->iMode = 6;
    form->Timer1->start();
    TCloseAction action = caFree;
    form->FormClose(action);  // "No" is the default answer
    EXPECT_EQ(action, caNone);
    EXPECT_EQ(takeBoxes(), std::vector<std::string>{
                               "Warning: You asked to close ZentrovaKVZ software.\nPlease, confirm."});
    EXPECT_TRUE(form->Timer1->isActive() && !form->IsClosing());

    instrument->Enabled = true;
    rec.take();
    boxes.answer(mrYes);
    TCloseAction second = caFree;
    std::vector<std::string> sentBeforeCountdown;
    runClock([&] {
        if (second != caFree) return;
        sentBeforeCountdown = rec.sent;
        form->FormClose(second);
    });
    action = caFree;
    form->FormClose(action);
    beat.stop();
    EXPECT_EQ(action, caFree);
    EXPECT_EQ(second, caNone);
    EXPECT_EQ(boxes.shown.size(), 1u);
    EXPECT_FALSE(form->Timer1->isActive() || instrument->Enabled);
    ASSERT_GE(sentBeforeCountdown.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(sentBeforeCountdown.begin() + 1, sentBeforeCountdown.begin() + 5),
              (std::vector<std::string>{"OFF 0", "OFF 2", "CHEAT OFF", "RHEAT OFF"}));

    // The main loop stays off after consent.
    form->iMode = 2;
    tickDead();
    EXPECT_EQ(form->iMode, 2);
}

TEST_F(MainFormCloseTest, ClosingTheWindowEndsThroughTheCloseHandler) {
    boxes.answer(mrNo);
    form->show();
    EXPECT_FALSE(form->close());
    EXPECT_TRUE(form->isVisible());
    boxes.answer(mrYes);
    form->CloseCountdownSeconds = 1;
    runClock([] {});
    EXPECT_TRUE(form->close());
    beat.stop();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(boxes.shown.size(), 2u);
}

}  // namespace
