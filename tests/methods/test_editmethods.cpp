// The method editor: field and cell checks with their messages, the final validation, the
// timetable rows, the flag boxes, and the load, save, save-as, add, delete and close flows
// with their boxes, the store's contents and the daily-log line.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "link/Instrument.h"
#include "link/LogFile.h"
#include "methods/EditMethods.h"
#include "methods/LoadMethod.h"
#include "methods/MethodParams.h"
#include "methods/support_store.h"
#include "platform/Dialogs.h"
#include "platform/Help.h"
#include "platform/Registry.h"
#include "platform/i18n.h"

namespace {

const std::string kMethods = "\\Software\\TressivanLabs\\Zentrova\\Methods";
const QString kDeg = QString::fromUtf8(
    " \xC2\xB0"
    "C.");

class EditMethodsTest : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        setDecimalSeparator('.');
        log = std::make_unique<TLogFile>();
        LogFile = log.get();
    }
    void TearDown() override {
        form.reset();
        LogFile = nullptr;
        log.reset();
        StoreTest::TearDown();
    }

    static TMethodINIParams valid(const std::string& name) {
        TMethodINIParams m;
        m.Name = name;
        m.Runtime = "10";
        m.EquilTime = "5";
        m.Pump1Flow = "0.50";
        m.Pump2Flow = "0.30";
        m.ColumnT = "40";
        m.ColumnD = "C18";
        m.ReactorT = "100";
        m.ReactorV = "500";
        m.Reagent1D = "A";
        m.Reagent2D = "B";
        m.PumpTimeList = {"1.0"};
        m.Pump1FlowList = {"0.50"};
        m.Pump2FlowList = {"0.30"};
        m.ColumnTimeList = {"2.0"};
        m.ColumnTempList = {"45"};
        return m;
    }
    static void store(const TMethodINIParams& m) { ASSERT_TRUE(CMethodNames().SaveMethod(m)); }
    static TMethodINIParams stored(const std::string& name) {
        TMethodINIParams m;
        m.Name = name;
        EXPECT_TRUE(CMethodNames().LoadMethod(m)) << name;
        return m;
    }

    // Opens the editor as its modal show does: OnShow, then the first activation.
    TEditMethodForm& open() {
        if (!form) form = std::make_unique<TEditMethodForm>();
        form->FormOnShow();
        form->FormOnActivate();
        return *form;
    }
    // Clicks a list item as the operator does.
    void click(const QString& name) {
        const int i = form->MethodNameList->GetItems()->IndexOf(name);
        ASSERT_GE(i, 0) << name.toStdString();
        form->MethodNameList->SetItemIndex(i);
        form->OnClickMethodNameList(form->MethodNameList);
    }
    QStringList listed() const { return form->MethodNameList->GetItems()->ToStringList(); }
    QString selected() const {
        const int i = form->MethodNameList->GetItemIndex();
        return i < 0 ? QString() : form->MethodNameList->item(i)->text();
    }
    std::vector<QString> texts() const {
        std::vector<QString> out;
        for (const auto& r : dialogs_.shown) out.push_back(r.text);
        return out;
    }
    std::string logText() const {
        QFile f(QString::fromStdString(env_.path("appdata/TressivanLabs/Zentrova.log")));
        if (!f.open(QIODevice::ReadOnly)) return {};
        return f.readAll().toStdString();
    }
    static std::vector<QString> column(TUxStringGrid* g, int col) {
        std::vector<QString> out;
        for (int r = 1; r < g->GetRowCount(); ++r) out.push_back(g->GetCells(col, r));
        return out;
    }
    // Fills the fields of the form with a valid method.
    void fillValid() {
        form->Runtime->SetText("10");
        form->EquilTime->SetText("5");
        form->ColumnTINI->SetText("40");
        form->ReactorTINI->SetText("100");
        form->Pump1FlowRate->SetText("0.5");
        form->Pump2FlowRate->SetText("0");
    }

    std::unique_ptr<TLogFile> log;
    std::unique_ptr<TEditMethodForm> form;
};

// ---------------------------------------------------------------- checks on leaving a field

TEST_F(EditMethodsTest, FieldChecksOnLeavingWarnWithTheirTextsAndAcceptTheLimits) {
    open();
    auto& f = *form;
    const QString flow = "The Pump flow rate should be between 0.05 and 1.5 ml/min or 0.";
    const QString digits = "The value should contain numbers and decimal point, no other symbols, please.";
    struct Case {
        TUxEdit* edit;
        void (TEditMethodForm::*check)();
        QStringList accepted;
        std::vector<std::pair<QString, QString>> refused;  // text typed, message
    };
    const std::vector<Case> cases = {
        {f.Runtime, &TEditMethodForm::RuntimeOnExit, {"1", ""},
         {{"10.5", "The Runtime should be a positive number."}, {"0", "The Runtime should be a positive number."}}},
        {f.EquilTime, &TEditMethodForm::EquilTimeOnExit, {"60", "1", ""},
         {{"0", "The Equilibration time should be between 1 and 60 minutes."},
          {"61", "The Equilibration time should be between 1 and 60 minutes."}}},
        {f.ColumnTINI, &TEditMethodForm::ColumnTINIOnExit, {"30", "75", ""},
         {{"29", "The Column Temperature should be between 30 and 75" + kDeg},
          {"76", "The Column Temperature should be between 30 and 75" + kDeg}}},
        {f.ReactorTINI, &TEditMethodForm::ReactorTINIOnExit, {"130", "30"},
         {{"29", "The Reactor Temperature should be between 30 and 130" + kDeg},
          {"131", "The Reactor Temperature should be between 30 and 130" + kDeg}}},
        {f.Pump1FlowRate, &TEditMethodForm::Pump1FlowRateOnExit, {"0", "0.05", "1.5"},
         {{"0.04", flow}, {"1.51", flow}, {"abc", digits}}},
        {f.Pump2FlowRate, &TEditMethodForm::Pump2FlowRateOnExit, {""}, {{"-0.1", flow}, {"1,5", digits}}},
    };
    for (const Case& c : cases) {
        for (const QString& text : c.accepted) {
            c.edit->SetText(text);
            (f.*c.check)();
            EXPECT_EQ(takeBoxes(), QStringList{}) << text.toStdString();
        }
        for (const auto& [text, message] : c.refused) {
            c.edit->SetText(text);
            (f.*c.check)();
            EXPECT_EQ(takeBoxes(true), QStringList{"Warning: " + message + " [OK OK]"}) << text.toStdString();
        }
    }
}

// ---------------------------------------------------------------- final validation

TEST_F(EditMethodsTest, ValidationListsEveryFailedCheckOnceInOrder) {
    open();
    auto& f = *form;
    EXPECT_FALSE(f.ValidateMethod());
    EXPECT_EQ(f.MessageText,
              "- Runtime should be a positive number.\n"
              "- Equilibration time should be between 1 and 60 minutes.\n"
              "- Column Temperature should be between 30 and 75" +
                  kDeg +
                  "\n"
                  "- Reactor Temperature should be between 30 and 130" +
                  kDeg +
                  "\n"
                  "- Pump1 flow rate should be defined.\n"
                  "- Pump2 flow rate should be defined.\n");

    f.Runtime->SetText("10.5");
    f.EquilTime->SetText("61");
    f.ColumnTINI->SetText("75");
    f.ReactorTINI->SetText("131");
    f.Pump1FlowRate->SetText("abc");
    f.Pump2FlowRate->SetText("1.51");
    EXPECT_FALSE(f.ValidateMethod());
    EXPECT_EQ(f.MessageText,
              "- Runtime should be a positive number.\n"
              "- Equilibration time should be between 1 and 60 minutes.\n"
              "- Reactor Temperature should be between 30 and 130" +
                  kDeg +
                  "\n"
                  "- Pump1 flow rate should contain numbers and decimal point, no other symbols, please.\n"
                  "- Pump2 flow rate should be between 0.05 and 1.5 ml/min.\n");

    fillValid();
    EXPECT_TRUE(f.ValidateMethod());
    EXPECT_TRUE(f.MessageText.isEmpty());

    // Two bad pump rows give one line; the column table is still checked. Empty times and
    // the flows and temperatures inside the tables are not looked at.
    f.PumpTimetable->SetRowCount(4);
    f.PumpTimetable->SetCells(1, 1, "");
    f.PumpTimetable->SetCells(2, 1, "9");
    f.PumpTimetable->SetCells(1, 2, "11");
    f.PumpTimetable->SetCells(1, 3, "abc");
    f.ColumnTimetable->SetCells(1, 1, "-1");
    f.ColumnTimetable->SetCells(2, 1, "200");
    EXPECT_FALSE(f.ValidateMethod());
    EXPECT_EQ(f.MessageText,
              "- Time Stamp in Pump Timetable should be positive number, not greater than Runtime.\n"
              "- Time Stamp in Column Timetable should be positive number, not greater than Runtime.\n");
    f.PumpTimetable->SetCells(1, 2, "10");
    f.PumpTimetable->SetCells(1, 3, "0");
    f.ColumnTimetable->SetCells(1, 1, "9.9");
    EXPECT_TRUE(f.ValidateMethod()) << f.MessageText.toStdString();
}

// ---------------------------------------------------------------- timetables

TEST_F(EditMethodsTest, CellChecksRefuseWarnAndRewriteTheCellBeingLeft) {
    open();
    auto& f = *form;
    TUxStringGrid* pumps = f.PumpTimetable;
    f.Runtime->SetText("10");
    pumps->SetRowCount(3);
    ASSERT_EQ(pumps->GetCol(), 1);
    ASSERT_EQ(pumps->GetRow(), 1);
    EXPECT_EQ(pumps->GetCells(0, 1), ">>>") << "OnShow puts the first pointer";

    // An unreadable time is refused as a negative one and shows -1.0.
    pumps->SetCells(1, 1, "abc");
    EXPECT_FALSE(pumps->SetCurrentCell(2, 1));
    EXPECT_EQ(texts(), std::vector<QString>{"The Time should be a positive number."});
    EXPECT_EQ(pumps->GetCells(1, 1), "-1.0");
    EXPECT_EQ(pumps->GetCol(), 1);

    // A time beyond the run time warns only; the move goes on and the pointer follows.
    dialogs_.shown.clear();
    pumps->SetCells(1, 1, "12");
    EXPECT_TRUE(pumps->SetCurrentCell(2, 2));
    EXPECT_EQ(texts(), std::vector<QString>{"The Time should not be greater than Runtime."});
    EXPECT_EQ(pumps->GetCells(1, 1), "12.0");
    EXPECT_EQ(pumps->GetCells(0, 1), "");
    EXPECT_EQ(pumps->GetCells(0, 2), ">>>");
    EXPECT_FALSE(f.ValidateMethod());

    // Flows: 0 and the limits pass and are shown with two decimals; others are refused.
    const std::vector<std::pair<QString, QString>> flows = {
        {"0", "0.00"}, {"1.5", "1.50"}, {"0.05", "0.05"}, {"0.125", "0.13"}};
    for (const auto& [typed, shown] : flows) {
        dialogs_.shown.clear();
        pumps->SetCells(2, 2, typed);
        EXPECT_TRUE(pumps->SetCurrentCell(3, 2)) << typed.toStdString();
        EXPECT_TRUE(dialogs_.shown.empty());
        EXPECT_EQ(pumps->GetCells(2, 2), shown);
        ASSERT_TRUE(pumps->SetCurrentCell(2, 2));
    }
    for (const auto& [typed, shown] :
         std::vector<std::pair<QString, QString>>{{"0.04", "0.04"}, {"1.51", "1.51"}, {"abc", "-1.00"}}) {
        dialogs_.shown.clear();
        pumps->SetCells(2, 2, typed);
        EXPECT_FALSE(pumps->SetCurrentCell(3, 2)) << typed.toStdString();
        EXPECT_EQ(texts(), std::vector<QString>{
                               "The Pump Flow Rate should be a positive number, between 0.05 and 1.5"});
        EXPECT_EQ(pumps->GetCells(2, 2), shown);
    }
    // Leaving the grid uses the other text and moves no pointer.
    dialogs_.shown.clear();
    f.PumpTimetableOnExit();
    EXPECT_EQ(texts(), std::vector<QString>{
                           "The Pump Flow Rate should be positive number, between 0.05 and 1.5 or 0"});
    EXPECT_EQ(pumps->GetCells(0, 2), ">>>");

    // Column temperatures: 0 passes as "00", 80 is refused and stays "80".
    TUxStringGrid* col = f.ColumnTimetable;
    col->SetRowCount(3);
    ASSERT_TRUE(col->SetCurrentCell(2, 1));
    dialogs_.shown.clear();
    col->SetCells(2, 1, "0");
    EXPECT_TRUE(col->SetCurrentCell(2, 2));
    EXPECT_EQ(col->GetCells(2, 1), "00");
    EXPECT_EQ(col->GetCells(0, 2), ">>>");
    col->SetCells(2, 2, "80");
    EXPECT_FALSE(col->SetCurrentCell(1, 2));
    EXPECT_EQ(texts(),
              std::vector<QString>{"The Column temperature should be positive number, between 30 and 75"});
    EXPECT_EQ(col->GetCells(2, 2), "80");
    col->SetCells(2, 2, "x");
    dialogs_.shown.clear();
    f.ColumnTimetableOnExit();
    EXPECT_EQ(texts(),
              std::vector<QString>{"The Column temperature should be positive number, between 30 and 75"});
    EXPECT_EQ(col->GetCells(2, 2), "-01");
    col->SetCells(2, 2, "44.5");
    dialogs_.shown.clear();
    EXPECT_TRUE(col->SetCurrentCell(1, 2));
    EXPECT_EQ(col->GetCells(2, 2), "45");
    EXPECT_TRUE(dialogs_.shown.empty());
}

TEST_F(EditMethodsTest, TimetableRowButtons) {
    open();
    auto& f = *form;
    TUxStringGrid* g = f.PumpTimetable;
    // Delete on the only data row empties it and keeps two grid rows.
    g->SetCells(1, 1, "1.0");
    g->SetCells(2, 1, "0.10");
    g->SetCells(3, 1, "0.20");
    f.Modified = false;
    f.BtnPumpsTTDeleteClick();
    EXPECT_TRUE(f.Modified);
    EXPECT_EQ(g->GetRowCount(), 2);
    EXPECT_EQ(column(g, 1), std::vector<QString>{""});
    EXPECT_EQ(column(g, 3), std::vector<QString>{""});

    // Insert on data row 2 of three rows: an empty row 2, the old rows 2 and 3 moved down.
    f.BtnPumpsTTAddClick();
    f.BtnPumpsTTAddClick();
    EXPECT_EQ(g->GetRowCount(), 4);
    for (int r = 1; r <= 3; ++r) {
        g->SetCells(1, r, QString::number(r));
        g->SetCells(2, r, "p" + QString::number(r));
        g->SetCells(3, r, "q" + QString::number(r));
    }
    ASSERT_TRUE(g->SetCurrentCell(1, 2));
    f.BtnPumpsTTInsertClick();
    EXPECT_EQ(column(g, 1), (std::vector<QString>{"1.0", "", "2", "3"}));
    EXPECT_EQ(column(g, 2), (std::vector<QString>{"p1", "", "p2", "p3"}));
    EXPECT_EQ(column(g, 3), (std::vector<QString>{"q1", "", "q2", "q3"}));
    EXPECT_EQ(g->GetCells(0, 2), ">>>") << "the pointer column does not move";

    // Delete on row 2 pulls the rows below up and drops the last row.
    f.BtnPumpsTTDeleteClick();
    EXPECT_EQ(column(g, 1), (std::vector<QString>{"1.0", "2", "3"}));
    EXPECT_EQ(column(g, 3), (std::vector<QString>{"q1", "q2", "q3"}));

    // The column table works the same with its two data columns.
    TUxStringGrid* c = f.ColumnTimetable;
    c->SetCells(1, 1, "5");
    c->SetCells(2, 1, "40");
    f.Modified = false;
    f.BtnColTTInsertClick();
    EXPECT_TRUE(f.Modified);
    EXPECT_EQ(column(c, 1), (std::vector<QString>{"", "5"}));
    EXPECT_EQ(column(c, 2), (std::vector<QString>{"", "40"}));
    f.BtnColTTDeleteClick();
    EXPECT_EQ(column(c, 2), (std::vector<QString>{"40"}));
    f.BtnColTTAddClick();
    EXPECT_EQ(c->GetRowCount(), 3);
}

// ---------------------------------------------------------------- load and save

TEST_F(EditMethodsTest, OpeningShowsTheFirstMethodWithItsTimetables) {
    TMethodINIParams a = valid("A");
    a.PumpTimeList = {"1.0", "2.0"};
    a.Pump1FlowList = {"0.10", "0.20"};
    a.Pump2FlowList = {"0.30", "0.40"};
    store(a);
    store(valid("B"));
    auto& f = open();
    EXPECT_EQ(listed(), (QStringList{"A", "B"}));
    EXPECT_EQ(selected(), "A");
    EXPECT_EQ(f.CurrentMethodName, "A");
    EXPECT_FALSE(f.Modified);
    EXPECT_EQ(f.Runtime->GetText(), "10");
    EXPECT_EQ(f.ColumnD->GetText(), "C18");
    EXPECT_EQ(f.ReactorType->GetText(), "500");
    EXPECT_EQ(f.PumpTimetable->GetRowCount(), 3);
    EXPECT_EQ(column(f.PumpTimetable, 2), (std::vector<QString>{"0.10", "0.20"}));
    EXPECT_EQ(f.PumpTimetable->GetCells(1, 0), "Time, min");
    EXPECT_EQ(f.PumpTimetable->GetCells(2, 0), "P1,ml/min");
    EXPECT_EQ(f.ColumnTimetable->GetCells(2, 0), QString::fromUtf8("Temp, \xC2\xB0"
                                                                   "C"));
    EXPECT_EQ(f.windowTitle(), "Edit Methods");
    EXPECT_TRUE(dialogs_.shown.empty());
}

TEST_F(EditMethodsTest, OpeningSelectsTheInstrumentsCurrentMethod) {
    {
        Registry reg;
        ASSERT_TRUE(reg.openKey("\\Software\\TressivanLabs\\Zentrova\\Instrument", true));
        reg.writeInteger("ConnectMethod", 3);
    }
    store(valid("A"));
    TMethodINIParams b = valid("B");
    b.Runtime = "20";
    store(b);
    TInstrumentModule module;
    module.Method.Name = "b";
    auto& f = open();
    EXPECT_EQ(selected(), "B");
    EXPECT_EQ(f.Runtime->GetText(), "20");
    // A current method that is no longer stored: the selection stays, the method is shown.
    module.Method.Name = "gone";
    click("A");
    f.FormOnActivate();
    EXPECT_EQ(selected(), "A");
    EXPECT_EQ(f.CurrentMethodName, "A");
}

TEST_F(EditMethodsTest, SaveWritesTheStoreAndTheLog) {
    store(valid("M"));
    auto& f = open();
    f.PumpTimetable->SetRowCount(3);  // an empty row is logged but not stored
    f.Modified = true;
    f.BtnSaveClick();
    EXPECT_TRUE(dialogs_.shown.empty());
    EXPECT_EQ(f.StatusLbl->GetCaption(), "Method \"M\" saved");
    EXPECT_EQ(f.StatusLbl->GetFontColor(), f.StatusColor);
    EXPECT_FALSE(f.Modified);
    EXPECT_NE(
        logText().find("#EditMethods: SaveMethod(success): M|RunTime 10|Equil 5|P1 0.50|P2 0.30|Col T 40|"
                       "Col D C18|Reactor T 100|Reactor D 500|Reagent1 A|Reagent2 B|flush:false|"
                       "powerCooling:false||flow rate TT||1.0|0.50||0.30|||||||Col Temp TT||2.0|45||\n"),
        std::string::npos)
        << logText();
    EXPECT_EQ(keys(kMethods + "\\M\\Pumps"), Strings{"1"});

    // Every field, both flags' and each timetable's values reach the store as typed.
    f.Runtime->SetText("12");
    f.EquilTime->SetText("60");
    f.ColumnTINI->SetText("30");
    f.ColumnD->SetText(QString::fromUtf8("Säule 7"));
    f.ReactorTINI->SetText("130");
    f.ReactorType->SetText("0.5");
    f.Pump1FlowRate->SetText("1.5");
    f.Pump2FlowRate->SetText("0");
    f.Reagent1->SetText("R1");
    f.Reagent2->SetText("R2");
    f.PumpTimetable->SetCells(1, 1, "");
    f.PumpTimetable->SetCells(1, 2, "3.5");
    f.PumpTimetable->SetCells(2, 2, "0.20");
    f.PumpTimetable->SetCells(3, 2, "0.00");
    f.ColumnTimetable->SetCells(1, 1, "4.0");
    f.ColumnTimetable->SetCells(2, 1, "55");
    dialogs_.answer(mrOk);
    f.FlushMethodChkBx->SetChecked(true);
    f.BtnSaveClick();
    EXPECT_EQ(describe(stored("M")), "M|30(30)|Säule 7|130(130)|0.5|R1|R2|12(12)|60(60)|1.5(1.5)|0(0)|flush|-|"
                                     "pumps 3.5;0.20;0.00|column 4.0;55");
    EXPECT_NE(logText().find("|flush:true|powerCooling:false||flow rate "
                             "TT|||0.50||0.30||3.5|0.20||0.00||Col Temp TT||4.0|55||"),
              std::string::npos);
}

TEST_F(EditMethodsTest, SaveRefusesInvalidMethodsAndMissingNames) {
    store(valid("M"));
    auto& f = open();
    f.Runtime->SetText("");
    f.Pump2FlowRate->SetText("2");
    f.BtnSaveClick();
    f.BtnSaveClick();
    ASSERT_EQ(dialogs_.shown.size(), 2u);
    EXPECT_EQ(dialogs_.shown[0].text,
              "Please, correct the following errors in your submission:\n"
              "- Runtime should be a positive number.\n"
              "- Pump2 flow rate should be between 0.05 and 1.5 ml/min.\n"
              "- Time Stamp in Pump Timetable should be positive number, not greater than "
              "Runtime.\n"
              "- Time Stamp in Column Timetable should be positive number, not greater than "
              "Runtime.\n");
    EXPECT_EQ(dialogs_.shown[1].text, dialogs_.shown[0].text) << "the lines are shown once, not twice";
    EXPECT_EQ(dialogs_.shown[0].title, "Warning");
    EXPECT_EQ(f.StatusLbl->GetCaption(), "Method \"M\" not saved");
    EXPECT_EQ(stored("M").Runtime, "10");
    EXPECT_TRUE(f.Modified);
    EXPECT_EQ(logText().find("SaveMethod("), std::string::npos);

    dialogs_.shown.clear();
    f.MethodNameList->SetItemIndex(-1);
    f.BtnSaveClick();
    EXPECT_EQ(texts(), std::vector<QString>{"No Method Name selected."});
}

TEST_F(EditMethodsTest, FailedStoreKeepsTheChangesAndLogsTheFailure) {
    store(valid("M"));
    auto& f = open();
    f.Runtime->SetText("11");
    Registry::failAfterWrites(1);
    f.BtnSaveClick();
    Registry::failAfterWrites(0);
    EXPECT_EQ(texts(), std::vector<QString>{"Error while saving to registry."});
    EXPECT_EQ(f.StatusLbl->GetCaption(), "Method \"M\" not saved");
    EXPECT_TRUE(f.Modified);
    EXPECT_EQ(stored("M").Runtime, "10");
    EXPECT_NE(logText().find("#EditMethods: SaveMethod(failed): M|RunTime 11|"), std::string::npos);
}

TEST_F(EditMethodsTest, SaveAsStoresUnderANewNameOrOverwrites) {
    store(valid("Alpha"));
    store(valid("Beta"));
    auto& f = open();
    f.Runtime->SetText("7");
    // An empty name asks again; a new name stores, lists and selects it.
    dialogs_.answerInput(true, "");
    dialogs_.answerInput(true, "Gamma");
    f.SaveAsBtnClick();
    ASSERT_EQ(dialogs_.queried.size(), 2u);
    EXPECT_EQ(dialogs_.queried[0].caption, "Save As Method");
    EXPECT_EQ(dialogs_.queried[0].prompt, "New Method Name:");
    EXPECT_EQ(listed(), (QStringList{"Alpha", "Beta", "Gamma"}));
    EXPECT_EQ(selected(), "Gamma");
    EXPECT_EQ(f.CurrentMethodName, "Gamma");
    EXPECT_EQ(stored("Gamma").Runtime, "7");
    EXPECT_EQ(stored("Alpha").Runtime, "10");
    EXPECT_EQ(f.StatusLbl->GetCaption(), "Method \"Gamma\" added");
    EXPECT_FALSE(f.Modified);

    // A name in other letter case is an existing name: No asks again, Yes overwrites.
    dialogs_.queried.clear();
    f.Runtime->SetText("8");
    dialogs_.answerInput(true, "beta");
    dialogs_.answer(mrNo);
    dialogs_.answerInput(true, "BETA");
    dialogs_.answer(mrYes);
    f.SaveAsBtnClick();
    EXPECT_EQ(dialogs_.queried.size(), 2u);
    EXPECT_EQ(dialogs_.queried[1].value, "beta") << "the name box starts from the last name";
    ASSERT_EQ(dialogs_.shown.size(), 2u);
    EXPECT_EQ(dialogs_.shown[0].text, "Method Name \"beta\" already exist. Overwrite?");
    EXPECT_EQ(dialogs_.shown[0].title, "Warning");
    EXPECT_EQ(dialogs_.shown[0].buttons, MsgButtons::YesNoCancel);
    EXPECT_EQ(dialogs_.shown[0].defaultButton, mrNo);
    EXPECT_EQ(listed(), (QStringList{"Alpha", "BETA", "Gamma"}));
    EXPECT_EQ(selected(), "BETA");
    EXPECT_EQ(stored("Beta").Runtime, "8");
    EXPECT_EQ(f.StatusLbl->GetCaption(), "Method \"BETA\" replaced");

    // Cancel in the name box reloads the selected method: the changes are dropped.
    f.Runtime->SetText("9");
    f.SaveAsBtnClick();
    EXPECT_EQ(f.Runtime->GetText(), "8");
    EXPECT_FALSE(f.Modified);

    // Invalid controls: the lines, and no name is asked for.
    dialogs_.shown.clear();
    dialogs_.queried.clear();
    f.EquilTime->SetText("0");
    f.SaveAsBtnClick();
    EXPECT_TRUE(dialogs_.queried.empty());
    EXPECT_EQ(texts(), std::vector<QString>{"Please, correct the following errors in your submission:\n"
                                            "- Equilibration time should be between 1 and 60 minutes.\n"});
    EXPECT_EQ(f.EquilTime->GetText(), "0");
}

TEST_F(EditMethodsTest, SaveAsOverwriteThatFailsKeepsTheOldMethodAndTheChanges) {
    store(valid("Alpha"));
    store(valid("Beta"));
    auto& f = open();
    f.Runtime->SetText("3");
    dialogs_.answerInput(true, "Beta");
    dialogs_.answer(mrYes);
    Registry::failAfterWrites(1);
    f.SaveAsBtnClick();
    Registry::failAfterWrites(0);
    EXPECT_EQ(dialogs_.shown.back().text, "Error while saving to registry.");
    EXPECT_EQ(f.StatusLbl->GetCaption(), "Method \"Beta\" not saved");
    EXPECT_EQ(stored("Beta").Runtime, "10");
    EXPECT_EQ(stored("Beta").PumpTimeList, Strings{"1.0"});
    EXPECT_EQ(f.Runtime->GetText(), "3");
    EXPECT_TRUE(f.Modified);
}

TEST_F(EditMethodsTest, AddAndDeleteMethods) {
    store(valid("Alpha"));
    auto& f = open();
    // Cancelling the name box reads the selected method back: edits are dropped unasked.
    f.Runtime->SetText("99");
    f.BtnAddMethodClick();
    EXPECT_EQ(f.Runtime->GetText(), "10");
    EXPECT_TRUE(dialogs_.shown.empty());
    ASSERT_EQ(dialogs_.queried.size(), 1u);
    EXPECT_EQ(dialogs_.queried[0].caption, "Add Method Name");
    EXPECT_EQ(dialogs_.queried[0].prompt, "Method Name:");
    EXPECT_EQ(dialogs_.queried[0].cancelCaption, "Cancel");

    dialogs_.answerInput(true, "ALPHA");
    f.BtnAddMethodClick();
    EXPECT_EQ(texts(),
              std::vector<QString>{"Method Name \"ALPHA\" already exist. Please, pick another one."});
    EXPECT_EQ(listed(), QStringList{"Alpha"});

    dialogs_.answerInput(true, "New 50%");
    f.BtnAddMethodClick();
    EXPECT_EQ(listed(), (QStringList{"Alpha", "New 50%"}));
    EXPECT_EQ(selected(), "New 50%");
    EXPECT_EQ(f.CurrentMethodName, "New 50%");
    EXPECT_EQ(f.Runtime->GetText(), "");
    EXPECT_EQ(f.PumpTimetable->GetRowCount(), 2);
    EXPECT_EQ(f.StatusLbl->GetCaption(), "Method \"New 50%\" added");

    // Delete asks with the untranslated text; Cancel keeps the method.
    dialogs_.shown.clear();
    dialogs_.answer(mrCancel);
    f.BtnDeleteMethodClick();
    ASSERT_EQ(dialogs_.shown.size(), 1u);
    EXPECT_EQ(dialogs_.shown[0].text, "Delete Method \"New 50%\"?");
    EXPECT_EQ(dialogs_.shown[0].title, "Please, confirm");
    EXPECT_EQ(dialogs_.shown[0].buttons, MsgButtons::OKCancel);
    EXPECT_EQ(listed().size(), 2);
    dialogs_.answer(mrOk);
    f.BtnDeleteMethodClick();
    EXPECT_EQ(listed(), QStringList{"Alpha"});
    EXPECT_EQ(selected(), "Alpha");
    EXPECT_EQ(f.Runtime->GetText(), "10");
    EXPECT_EQ(f.StatusLbl->GetCaption(), "Method \"New 50%\" deleted.");
    EXPECT_EQ(keys(kMethods), Strings{"Alpha"});

    // Deleting the only method leaves an empty list and an empty method on show.
    dialogs_.answer(mrOk);
    f.FlushMethodChkBx->SetChecked(true);
    ASSERT_TRUE(f.FlushMethodChkBx->GetChecked());
    dialogs_.answer(mrOk);
    f.BtnDeleteMethodClick();
    EXPECT_TRUE(listed().isEmpty());
    EXPECT_EQ(f.CurrentMethodName, "");
    EXPECT_EQ(f.Runtime->GetText(), "");
    EXPECT_EQ(f.ColumnD->GetText(), "");
    EXPECT_FALSE(f.FlushMethodChkBx->GetChecked());
    EXPECT_FALSE(f.PowerCoolingMethodChkBx->GetChecked());
    EXPECT_EQ(f.PumpTimetable->GetRowCount(), 2);
    EXPECT_EQ(f.ColumnTimetable->GetRowCount(), 2);
    EXPECT_EQ(f.PumpTimetable->GetCells(1, 1), "");
}

TEST_F(EditMethodsTest, ClickingAnotherMethodOffersThePendingChanges) {
    store(valid("A"));
    TMethodINIParams b = valid("B");
    b.Runtime = "20";
    store(b);
    auto& f = open();

    // No drops the edits and loads the clicked method.
    f.Runtime->SetText("11");
    dialogs_.answer(mrNo);
    click("B");
    ASSERT_EQ(dialogs_.shown.size(), 1u);
    EXPECT_EQ(dialogs_.shown[0].text, "Save all changes to \"A\"?");
    EXPECT_EQ(dialogs_.shown[0].title, "Please, confirm");
    EXPECT_EQ(dialogs_.shown[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(f.Runtime->GetText(), "20");
    EXPECT_EQ(stored("A").Runtime, "10");

    // Yes with an invalid field: the lines, and B stays selected and shown.
    dialogs_.shown.clear();
    f.Runtime->SetText("x");
    dialogs_.answer(mrYes);
    click("A");
    ASSERT_EQ(dialogs_.shown.size(), 2u);
    EXPECT_EQ(dialogs_.shown[1].text,
              "Can not save changes: \n- Runtime should be a positive number.\n- Time Stamp "
              "in Pump Timetable should be positive number, not greater than Runtime.\n- "
              "Time Stamp in Column Timetable should be positive number, not greater than "
              "Runtime.\n");
    EXPECT_EQ(dialogs_.shown[1].title, "Warning");
    EXPECT_EQ(selected(), "B");
    EXPECT_EQ(f.Runtime->GetText(), "x");
    EXPECT_EQ(f.CurrentMethodName, "B");

    // Yes with valid changes stores them under B, then loads A.
    f.Runtime->SetText("21");
    dialogs_.answer(mrYes);
    click("A");
    EXPECT_EQ(stored("B").Runtime, "21");
    EXPECT_EQ(f.Runtime->GetText(), "10");
    EXPECT_EQ(f.CurrentMethodName, "A");
    EXPECT_FALSE(f.Modified);
}

TEST_F(EditMethodsTest, ClosingWithPendingChanges) {
    store(valid("M"));
    auto& f = open();
    f.ReactorTINI->SetText("29");
    dialogs_.answer(mrYes);
    bool canClose = true;
    f.EditMethodFormOnClose(canClose);
    EXPECT_FALSE(canClose);
    ASSERT_EQ(dialogs_.shown.size(), 2u);
    EXPECT_EQ(
        dialogs_.shown[1].text,
        "Can not save method \"M\" :\n- Reactor Temperature should be between 30 and 130" + kDeg + "\n");

    f.ReactorTINI->SetText("31");
    dialogs_.answer(mrYes);
    canClose = true;
    f.EditMethodFormOnClose(canClose);
    EXPECT_TRUE(canClose);
    EXPECT_EQ(stored("M").ReactorT, "31");

    // Cancel drops the changes and shows the stored state again.
    f.Runtime->SetText("4");
    dialogs_.shown.clear();
    f.BtnCancelClick();
    EXPECT_TRUE(dialogs_.shown.empty());
    EXPECT_EQ(f.Runtime->GetText(), "10");
    EXPECT_FALSE(f.Modified);
}

// ---------------------------------------------------------------- flag boxes

TEST_F(EditMethodsTest, FlagBoxesConfirmAndExcludeEachOther) {
    TMethodINIParams p = valid("Power");
    p.powerCoolingMethod = true;
    store(p);
    store(valid("Plain"));
    auto& f = open();
    const QColor red(255, 0, 0);

    // A stored power-cooling method shows its note without any box.
    click("Power");
    EXPECT_TRUE(dialogs_.shown.empty());
    EXPECT_TRUE(f.PowerCoolingMethodChkBx->GetChecked());
    EXPECT_FALSE(f.PowerCoolingMethodChkBx->isVisibleTo(&f));
    EXPECT_EQ(f.StatusLbl->GetCaption(), " This method will use Power Cooling Algorithm!");
    EXPECT_EQ(f.StatusLbl->GetFontColor(), red);
    EXPECT_TRUE(f.CheckBoxClickByUser);
    EXPECT_FALSE(f.Modified);

    // Flush on top of it: the conflict text, Flush unchecked again, the note stays.
    f.FlushMethodChkBx->SetChecked(true);
    ASSERT_EQ(dialogs_.shown.size(), 1u);
    EXPECT_EQ(dialogs_.shown[0].text,
              "You can not describe one method as Flush and as Power Cooling "
              "simultaneously! Please, check only one option.");
    EXPECT_EQ(dialogs_.shown[0].title, "Error!");
    EXPECT_FALSE(f.FlushMethodChkBx->GetChecked());
    EXPECT_EQ(f.StatusLbl->GetCaption(), " This method will use Power Cooling Algorithm!");
    EXPECT_TRUE(f.Modified);

    // On a plain method: Cancel leaves it unchecked, OK checks it and shows the note.
    dialogs_.answer(mrNo);
    click("Plain");
    dialogs_.shown.clear();
    dialogs_.answer(mrCancel);
    f.FlushMethodChkBx->SetChecked(true);
    ASSERT_EQ(dialogs_.shown.size(), 1u);
    EXPECT_EQ(dialogs_.shown[0].text,
              "By checking this checkbox you designate this method to use FLUSH solution.");
    EXPECT_EQ(dialogs_.shown[0].title, "Please, confirm");
    EXPECT_EQ(dialogs_.shown[0].buttons, MsgButtons::OKCancel);
    EXPECT_FALSE(f.FlushMethodChkBx->GetChecked());
    EXPECT_EQ(f.StatusLbl->GetCaption(), "");
    EXPECT_EQ(f.StatusLbl->GetFontColor(), f.StatusColor);
    dialogs_.answer(mrOk);
    f.FlushMethodChkBx->SetChecked(true);
    EXPECT_TRUE(f.FlushMethodChkBx->GetChecked());
    EXPECT_EQ(f.StatusLbl->GetCaption(), " This method will use FLUSH solution!");
    EXPECT_EQ(f.StatusLbl->GetFontColor(), red);
    // Unchecking asks nothing.
    dialogs_.shown.clear();
    f.FlushMethodChkBx->SetChecked(false);
    EXPECT_TRUE(dialogs_.shown.empty());
    EXPECT_EQ(f.StatusLbl->GetCaption(), "");
}

// ---------------------------------------------------------------- print, help, log line

}  // namespace

namespace {

}  // namespace
