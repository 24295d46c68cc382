// The printed method and sequence reports: what the forms hold, how they grow with their
// tables, the questions asked, and the PDF that comes out (or does not).
#include <gtest/gtest.h>

#include <QDate>
#include <QFile>
#include <QImage>
#include <QLocale>
#include <QPrinter>

#include "methods/MethodParams.h"
#include "methods/PrintMethod.h"
#include "methods/PrintSequence.h"
#include "methods/SequenceParams.h"
#include "methods/support_store.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/Printer.h"
#include "platform/SystemInfo.h"
#include "unicode/UxControls.h"

namespace {

class PrintReportTest : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        pdf_ = QString::fromStdString(env_.path("report.pdf"));
        printer::setPdfOutput(pdf_.toStdString());
    }
    void TearDown() override {
        printer::setPdfOutput("");
        printer::setDialogHandler(nullptr);
        StoreTest::TearDown();
    }
    static QStringList column(TUxStringGrid* g, int col) {
        QStringList out;
        for (int r = 0; r < g->GetRowCount(); ++r) out << g->GetCells(col, r);
        return out;
    }
    bool pdfWritten() const {
        QFile f(pdf_);
        if (!f.open(QIODevice::ReadOnly)) return false;
        return f.read(5) == "%PDF-" && f.size() > 500;
    }
    // Dark pixels inside a widget's place on the printed image: the text was drawn there.
    static int inkIn(const QImage& img, const QWidget* w) {
        const double sx = double(img.width()) / w->window()->width();
        const double sy = double(img.height()) / w->window()->height();
        const QRect r(int(w->x() * sx), int(w->y() * sy), int(w->width() * sx), int(w->height() * sy));
        int n = 0;
        for (int y = r.top(); y <= r.bottom() && y < img.height(); ++y)
            for (int x = r.left(); x <= r.right() && x < img.width(); ++x)
                if (qGray(img.pixel(x, y)) < 100) ++n;
        return n;
    }

    QString pdf_;
    FakeClockGuard clock_;
};

TMethodINIParams sampleMethod() {
    TMethodINIParams m;
    m.Name = "Hydro 100%s";
    m.Runtime = "45.0";
    m.EquilTime = "12,5";
    m.ColumnT = "40";
    m.ColumnD = "C18 #7";
    m.ReactorT = "130";
    m.ReactorV = "0.5";
    m.Pump1Flow = "0.30";
    m.Pump2Flow = "0.25";
    m.Reagent1D = "Ninhydrin";
    m.Reagent2D = "Buffer B";
    m.flushMethod = true;
    m.PumpTimeList = {"1", "", "20"};
    m.Pump1FlowList = {"0.30", "0.40", ""};
    m.Pump2FlowList = {"0.30", "0.35", "0.50"};
    m.ColumnTimeList = {"10", "30"};
    m.ColumnTempList = {"45", "50"};
    return m;
}

TEST_F(PrintReportTest, MethodReportHoldsTheRecordAndPrintsOnePage) {
    TPrintMethodForm form;
    const int h0 = form.height();
    EXPECT_EQ(h0, 538);
    const int colLblY = form.ColumnTTLbl->y();
    dialogs_.answer(mrYes);
    ASSERT_TRUE(form.PrintMethod(sampleMethod()));

    ASSERT_EQ(dialogs_.shown.size(), 1u);
    EXPECT_EQ(dialogs_.shown[0].text, "Print Method \"Hydro 100%s\"?");
    EXPECT_EQ(dialogs_.shown[0].title, "Warning");
    EXPECT_EQ(dialogs_.shown[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(dialogs_.shown[0].defaultButton, mrNo);

    EXPECT_EQ(form.MethodNameValue->GetCaption(), "Hydro 100%s");
    EXPECT_EQ(form.TimeStampLbl->GetCaption(), "Time Printed");
    EXPECT_EQ(form.TimeStampValue->GetCaption(),
              QLocale::system().toString(QDate(2026, 12, 6), QLocale::ShortFormat));
    EXPECT_EQ(form.UserNameValue->GetCaption(), QString::fromStdString(SystemInfo::userName()));
    EXPECT_EQ(form.RuntimeValue->GetCaption(), "45.0");
    EXPECT_EQ(form.EquilibrationTimeValue->GetCaption(), "12,5");
    EXPECT_EQ(form.ColumnTempValue->GetCaption(), "40");
    EXPECT_EQ(form.ColumnTypeValue->GetCaption(), "C18 #7");
    EXPECT_EQ(form.ReactorTempValue->GetCaption(), "130");
    EXPECT_EQ(form.ReactorVolumeValue->GetCaption(), "0.5");
    EXPECT_EQ(form.Pump1RateValue->GetCaption(), "0.30");
    EXPECT_EQ(form.Pump2RateValue->GetCaption(), "0.25");
    EXPECT_EQ(form.Reagent1Value->GetCaption(), "Ninhydrin");
    EXPECT_EQ(form.Reagent2Value->GetCaption(), "Buffer B");

    EXPECT_EQ(column(form.PumpTT, 0), (QStringList{"Time, min", "1", " ", "20"}));
    EXPECT_EQ(column(form.PumpTT, 1), (QStringList{"Pump1, ml/min", "0.30", "0.40", " "}));
    EXPECT_EQ(column(form.PumpTT, 2), (QStringList{"Pump2, ml/min", "0.30", "0.35", "0.50"}));
    EXPECT_EQ(column(form.ColumnTT, 0), (QStringList{"Time, min", "10", "30"}));
    EXPECT_EQ(column(form.ColumnTT, 1), (QStringList{QString::fromUtf8("Temp, \u00B0C"), "45", "50"}));
    EXPECT_EQ(form.PumpTT->GetColWidths(1), 120);
    EXPECT_EQ(form.ColumnTT->GetColWidths(1), 120);

    // Two more pump rows and one more column row: the lower table moves down, the form grows.
    const int rowH = form.PumpTT->GetRowHeights(0);
    EXPECT_EQ(form.ColumnTTLbl->y(), colLblY + 2 * rowH);
    EXPECT_EQ(form.height(), h0 + 3 * rowH);
    EXPECT_GE(form.PumpTT->width(), 64 + 240);
    EXPECT_LE(form.ColumnTT->geometry().bottom(), form.height());

    EXPECT_TRUE(pdfWritten());
    const QImage page = printer::lastPrintedImage();
    if (qEnvironmentVariableIsSet("REPORT_PNG")) page.save(qEnvironmentVariable("REPORT_PNG"));
    EXPECT_EQ(page.size() / page.devicePixelRatio(), form.size());
    EXPECT_GT(inkIn(page, form.MethodNameValue), 20);
    EXPECT_GT(inkIn(page, form.Reagent2Value), 20);
    EXPECT_GT(inkIn(page, form.ColumnTT), 20);
}

TEST_F(PrintReportTest, MethodWithoutTimetablesShowsHeadersAndOneEmptyRow) {
    TMethodINIParams m;
    m.Name = "Bare";
    TPrintMethodForm form;
    dialogs_.answer(mrYes);
    ASSERT_TRUE(form.PrintMethod(m));
    EXPECT_EQ(column(form.PumpTT, 0), (QStringList{"Time, min", ""}));
    EXPECT_EQ(column(form.ColumnTT, 1), (QStringList{QString::fromUtf8("Temp, \u00B0C"), ""}));
    EXPECT_EQ(form.height(), 538);
}

TEST_F(PrintReportTest, NoAnswerOrCancelledDialogPrintsNothing) {
    int dialogs = 0;
    bool confirm = false;
    printer::setDialogHandler([&](QPrinter& p) {
        ++dialogs;
        EXPECT_EQ(p.copyCount(), 1);
        EXPECT_EQ(p.fromPage(), 1);
        EXPECT_EQ(p.toPage(), 1);
        return confirm;
    });
    dialogs_.answer(mrNo);
    EXPECT_FALSE(PrintMethodReport(sampleMethod()));
    EXPECT_EQ(dialogs, 0);
    dialogs_.answer(mrYes);
    EXPECT_FALSE(PrintMethodReport(sampleMethod()));
    EXPECT_EQ(dialogs, 1);
    EXPECT_FALSE(QFile::exists(pdf_));
    EXPECT_EQ(dialogs_.shown.size(), 2u);

    confirm = true;
    dialogs_.answer(mrYes);
    TSequenceINIParams q;
    q.Name = "S";
    EXPECT_TRUE(PrintSequenceReport(q));
    EXPECT_TRUE(pdfWritten());
}

TEST_F(PrintReportTest, PrinterThatCannotStartGivesAnErrorBox) {
    printer::setPdfOutput(env_.path("no/such/folder/out.pdf"));
    dialogs_.answer(mrYes);
    EXPECT_FALSE(PrintMethodReport(sampleMethod()));
    ASSERT_EQ(dialogs_.shown.size(), 2u);
    EXPECT_EQ(dialogs_.shown[1].title, "Error!");
    EXPECT_TRUE(dialogs_.shown[1].text.startsWith("Printing failed")) << dialogs_.shown[1].text.toStdString();
}

TEST_F(PrintReportTest, SequenceReportGrowsWithItsLines) {
    TSequenceINIParams q;
    q.Name = "Amino";
    for (int i = 0; i < 30; ++i) {
        q.MethodList.Add(i == 3 ? QString() : QString("Method %1").arg(i));
        q.RunList.Add(QString::number(i % 4));
    }
    TPrintSequenceForm form;
    EXPECT_EQ(form.size(), QSize(531, 187));
    EXPECT_EQ(form.Methods->GetColWidths(0), 300);
    EXPECT_EQ(form.Methods->GetColWidths(1), 100);
    const int gridH = form.Methods->height();
    dialogs_.answer(mrYes);
    ASSERT_TRUE(form.PrintSequence(q));
    EXPECT_EQ(dialogs_.shown[0].text, "Print Sequence \"Amino\"?");
    EXPECT_EQ(form.MethodNameValue->GetCaption(), "Amino");
    const QStringList names = column(form.Methods, 0);
    ASSERT_EQ(names.size(), 31);
    EXPECT_EQ(names[0], "Method Name");
    EXPECT_EQ(names[1], "Method 0");
    EXPECT_EQ(names[4], " ");  // an empty line prints as a blank
    EXPECT_EQ(column(form.Methods, 1)[0], "Times");
    EXPECT_EQ(column(form.Methods, 1)[30], "1");
    const int added = form.Methods->height() - gridH;
    EXPECT_EQ(added, 29 * form.Methods->GetRowHeights(1));
    EXPECT_EQ(form.height(), 187 + added);

    // Longer than the page: still one page, cut at its end.
    EXPECT_TRUE(pdfWritten());
    EXPECT_EQ(printer::lastPrintedImage().height() / printer::lastPrintedImage().devicePixelRatio(),
              form.height());
}

}  // namespace
