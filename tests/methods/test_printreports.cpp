// The printed method and sequence reports: what the forms hold, how they grow with their
// tables, the questions asked, and the page that comes out (or does not).
#include <gtest/gtest.h>

#include <QDate>
#include <QImage>
#include <QLocale>
#include <QPrinter>

#include "methods/PrintMethod.h"
#include "methods/PrintSequence.h"
#include "methods/support_store.h"
#include "platform/Printer.h"
#include "platform/SystemInfo.h"

namespace {

class PrintReports : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        printer::setPdfOutput(pdf_.toStdString());
    }
    void TearDown() override {
        printer::setPdfOutput("");
        printer::setDialogHandler(nullptr);
        StoreTest::TearDown();
    }
    // The page printed last has the form's size and dark pixels where the widget is: it was drawn.
    bool printed(const QWidget* w) const {
        QFile pdf(pdf_);
        const QImage img = printer::lastPrintedImage();
        if (!pdf.open(QIODevice::ReadOnly) || pdf.read(5) != "%PDF-" ||
            img.size() / img.devicePixelRatio() != w->window()->size())
            return false;
        const double scale = img.devicePixelRatio();
        int ink = 0;
        for (int y = int(w->y() * scale); y < int((w->y() + w->height()) * scale) && y < img.height(); ++y)
            for (int x = int(w->x() * scale); x < int((w->x() + w->width()) * scale) && x < img.width(); ++x)
                ink += qGray(img.pixel(x, y)) < 100;
        return ink > 20;
    }

    QString pdf_ = QString::fromStdString(env_.path("report.pdf"));
};

TEST_F(PrintReports, MethodReportHoldsTheRecordAndGrowsWithItsTables) {
    TMethodINIParams m = fullMethod("Hydro 100%s");
    m.PumpTimeList = {"1", "", "20"};
    m.Pump1FlowList = {"0.30", "0.40", ""};
    m.Pump2FlowList = {"0.30", "0.35", "0.50"};
    m.ColumnTimeList = {"10", "30"};
    m.ColumnTempList = {"45", "50"};
    TPrintMethodForm form;
    const int h0 = form.height();
    const int colLblY = form.ColumnTTLbl->y();
    dialogs_.answer(mrYes);
    ASSERT_TRUE(form.PrintMethod(m));
    EXPECT_EQ(boxes(true), QStringList{"Warning: Print Method \"Hydro 100%s\"? [YesNo No]"});
    QStringList captions;
    for (TUxLabel* l : {form.TimeStampValue, form.UserNameValue, form.MethodNameValue, form.TimeStampLbl,
                        form.RuntimeValue, form.EquilibrationTimeValue, form.ColumnTempValue,
                        form.ColumnTypeValue, form.ReactorTempValue, form.ReactorVolumeValue,
                        form.Pump1RateValue, form.Pump2RateValue, form.Reagent1Value, form.Reagent2Value})
        captions << l->GetCaption();
    EXPECT_EQ(captions.join("|"),
              QLocale::system().toString(QDate(2026, 12, 6), QLocale::ShortFormat) + "|" +
                  QString::fromStdString(SystemInfo::userName()) +
                  "|Hydro 100%s|Time Printed|30|5|40|C18 #7|130|0.5|0.30|0.25|Ninhydrin|Buffer=B");
    EXPECT_EQ(rows(form.PumpTT, 0), (QStringList{"Time, min|Pump1, ml/min|Pump2, ml/min", "1|0.30|0.30",
                                                 " |0.40|0.35", "20| |0.50"}));
    EXPECT_EQ(rows(form.ColumnTT, 0),
              (QStringList{QString::fromUtf8("Time, min|Temp, \u00B0C"), "10|45", "30|50"}));
    // Two more pump rows and one more column row: the lower table moves down, the form grows.
    const int rowH = form.PumpTT->GetRowHeights(0);
    EXPECT_EQ(form.ColumnTTLbl->y(), colLblY + 2 * rowH);
    EXPECT_EQ(form.height(), h0 + 3 * rowH);
    EXPECT_TRUE(printed(form.ColumnTT));
}

// A method without timetable rows prints both tables with their header and one empty row.
TEST_F(PrintReports, MethodWithoutTimetableRowsPrintsBothHeadersAndOneEmptyRowEach) {
    TPrintMethodForm form;
    dialogs_.answer(mrYes);
    ASSERT_TRUE(form.PrintMethod(plainMethod("Bare")));
    EXPECT_EQ(rows(form.PumpTT, 0), (QStringList{"Time, min|Pump1, ml/min|Pump2, ml/min", "||"}));
    EXPECT_EQ(rows(form.ColumnTT, 0), (QStringList{QString::fromUtf8("Time, min|Temp, \u00B0C"), "|"}));
    EXPECT_TRUE(printed(form.PumpTT));
    EXPECT_TRUE(printed(form.ColumnTT));
}

TEST_F(PrintReports, SequenceReportGrowsWithItsLinesAndStaysOnePage) {
    TSequenceINIParams q;
    q.Name = "Amino";
    for (int i = 0; i < 30; ++i) {
        q.MethodList.Add(i == 3 ? QString() : QString("Method %1").arg(i));
        q.RunList.Add(QString::number(i % 4));
    }
    TPrintSequenceForm form;
    const QSize size0 = form.size();
    dialogs_.answer(mrYes);
    ASSERT_TRUE(form.PrintSequence(q));
    EXPECT_EQ(boxes(), QStringList{"Warning: Print Sequence \"Amino\"?"});
    EXPECT_EQ(form.MethodNameValue->GetCaption(), "Amino");
    const QStringList lines = rows(form.Methods, 0);
    EXPECT_EQ(lines.mid(0, 5),
              (QStringList{"Method Name|Times", "Method 0|0", "Method 1|1", "Method 2|2", " |3"}));
    EXPECT_EQ(lines.mid(29), (QStringList{"Method 28|0", "Method 29|1"}));
    EXPECT_EQ(form.height(), size0.height() + 29 * form.Methods->GetRowHeights(1));
    EXPECT_TRUE(printed(form.Methods));  // longer than the page: still one page, cut at its end
}

TEST_F(PrintReports, NoAnswerCancelledDialogOrFailedPrinterPrintNothing) {
    int dialogs = 0;
    printer::setDialogHandler([&](QPrinter& p) {
        EXPECT_EQ(QString("%1 %2-%3").arg(p.copyCount()).arg(p.fromPage()).arg(p.toPage()), "1 1-1");
        return ++dialogs > 1;
    });
    dialogs_.answer(mrNo);
    EXPECT_FALSE(PrintMethodReport(fullMethod("M")));
    EXPECT_EQ(dialogs, 0);
    dialogs_.answer(mrYes);
    EXPECT_FALSE(PrintMethodReport(fullMethod("M")));
    EXPECT_EQ(dialogs, 1);
    EXPECT_FALSE(QFile::exists(pdf_));
    printer::setPdfOutput(env_.path("no/such/folder/out.pdf"));
    dialogs_.answer(mrYes);
    EXPECT_FALSE(PrintSequenceReport(TSequenceINIParams()));
    ASSERT_EQ(boxes().size(), 4);
    EXPECT_TRUE(boxes()[3].startsWith("Error!: Printing failed")) << boxes()[3].toStdString();
}

}  // namespace
