// The LCD message lines on the rendered main window: every text the program puts there is shown
// whole, in plain 19-pixel type, in English and in German. The longest one is kept as a picture
// (artefacts/lcd_longest_message.png under the build dir).
#include <QDir>
#include <QFontInfo>
#include <QFontMetrics>
#include <set>

#include "MainFormHarness.h"
#include "platform/i18n.h"
#include "support/StoredMethods.h"

namespace {

class LcdMessages : public MainFormHarness {
  protected:
    void SetUp() override {
        MainFormHarness::SetUp();
        storeMethod(plainMethod("M1"));
        // A sequence name of a realistic length; the texts that carry it must still fit.
        storeSequence(kName, {{"M1", "250"}});
        instrument->Sequence.Name = QString::fromStdString(kName);
        instrument->PumpStarts = 250;
        form->show();
    }

    // Message line 1 after each way the program sets it.
    std::set<QString> lineOneTexts() {
        std::set<QString> texts;
        auto take = [&] {
            if (!lcdMessage().isEmpty()) texts.insert(lcdMessage());
        };
        for (int before = 0; before < 20; ++before)
            for (uint8_t reason = 0; reason < 4; ++reason)
                for (int m = 1; m < 20; ++m) {
                    form->iMode = uint8_t(before);
                    instrument->SequenceEndReason = reason;
                    form->SetMode(uint8_t(m));
                    take();
                }
        for (bool on : {true, false, true, false}) {
            form->SetInstrumentEnabled(on);
            take();
        }
        form->StopSequence();
        take();
        return texts;
    }

    static constexpr const char* kName = "Overnight wash 2025-11-30";
};

void expectWhole(const TUxLabel& line, const QFrame& panel, const QString& text) {
    const QFontMetrics fm(line.font());
    EXPECT_EQ(line.text(), text);
    EXPECT_LE(fm.horizontalAdvance(text), line.contentsRect().width()) << text.toStdString();
    EXPECT_LE(line.geometry().right(), panel.contentsRect().right());
    EXPECT_FALSE(QFontInfo(line.font()).bold()) << text.toStdString();
}

TEST_F(LcdMessages, EveryTextIsShownWholeInPlainType) {
    TLCDScreen& lcd = *form->LCDScreen1;
    QString longest;
    for (const QString& text : lineOneTexts()) {
        lcd.SetMessage(text);
        expectWhole(*lcd.String1, *lcd.LCDPanel, text);
        EXPECT_EQ(lcd.String1->font().pixelSize(), 19) << text.toStdString();
        if (text.size() > longest.size()) longest = text;
    }
    for (const TErrorEntry& e : errors->ErrorTable) {
        const QString text = QString::fromStdString(e.Text);
        lcd.SetSecondLine(text, 2, true);
        expectWhole(*lcd.String2, *lcd.LCDPanel, text);
        EXPECT_EQ(lcd.String2->font().pixelSize(), 19) << text.toStdString();
    }
    // A name far beyond any panel still leaves the whole text on the line.
    lcd.SetMessage(QString("SEQUENCE %1 STARTED").arg(QString(50, 'W')));
    expectWhole(*lcd.String1, *lcd.LCDPanel, lcd.String1->text());

    form->SetMode(2);
    lcd.SetMessage(longest);
    lcd.SetSecondLine(QString::fromStdString(errors->ErrorTable[5].Text), 2, true);
    tickAlive();
    tickAlive();
    ASSERT_EQ(lcd.String1->text(), longest);
    const QString dir = QString::fromUtf8(ZENTROVA_BINARY_DIR) + "/artefacts";
    QDir().mkpath(dir);
    EXPECT_TRUE(form->grab().save(dir + "/lcd_longest_message.png"));
}

}  // namespace
