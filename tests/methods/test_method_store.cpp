// The method record and store: stored layout value by value, round trips, listing order,
// whole-method replacement in one transaction, and names that could reach other keys.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "methods/MethodParams.h"
#include "methods/support_store.h"
#include "platform/Dialogs.h"
#include "platform/Instance.h"
#include "platform/Registry.h"
#include "platform/i18n.h"
#include "unicode/UxControls.h"

namespace {

const std::string kPlain = "\\Software\\TressivanLabs\\Zentrova\\Methods";

class MethodStoreTest : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        setDecimalSeparator('.');
    }

    static TMethodINIParams sample(const std::string& name) {
        TMethodINIParams m;
        m.Name = name;
        m.ColumnT = "40.5";
        m.ColumnD = "C18 #123";
        m.ReactorT = "100";
        m.ReactorV = "0.5";
        m.Reagent1D = "Ninhydrin";
        m.Reagent2D = "Buffer B";
        m.Runtime = "45";
        m.EquilTime = "12.5";
        m.Pump1Flow = "0.50";
        m.Pump2Flow = "0.25";
        m.flushMethod = true;
        m.powerCoolingMethod = false;
        m.PumpTimeList = {"1.0", "", "3.0"};
        m.Pump1FlowList = {"0.1", "0.2", "0.3"};
        m.Pump2FlowList = {"0.4", "0.5", "0.6"};
        m.ColumnTimeList = {"", "2.0"};
        m.ColumnTempList = {"35", "45"};
        return m;
    }

    static void writeStr(const std::string& path, const std::string& name, const std::string& value) {
        Registry reg;
        ASSERT_TRUE(reg.openKey(path, true));
        reg.writeString(name, value);
    }
};

TEST_F(MethodStoreTest, RoundTripOfEveryField) {
    TMethodINIParams saved = sample("Round");
    saved.flushMethod = false;
    saved.powerCoolingMethod = true;
    ASSERT_TRUE(CMethodNames().SaveMethod(&saved));
    TMethodINIParams m;
    m.Name = "round";  // names ignore letter case
    ASSERT_TRUE(CMethodNames().LoadMethod(&m));
    EXPECT_EQ(m.Name, "round");
    EXPECT_EQ(m.ColumnT, "40.5");
    EXPECT_DOUBLE_EQ(m.ColumnTValue, 40.5);
    EXPECT_EQ(m.ColumnD, "C18 #123");
    EXPECT_EQ(m.ReactorT, "100");
    EXPECT_DOUBLE_EQ(m.ReactorTValue, 100.0);
    EXPECT_EQ(m.ReactorV, "0.5");
    EXPECT_EQ(m.Reagent1D, "Ninhydrin");
    EXPECT_EQ(m.Reagent2D, "Buffer B");
    EXPECT_EQ(m.Runtime, "45");
    EXPECT_DOUBLE_EQ(m.RuntimeValue, 45.0);
    EXPECT_EQ(m.EquilTime, "12.5");
    EXPECT_DOUBLE_EQ(m.EquilTimeValue, 12.5);
    EXPECT_EQ(m.Pump1Flow, "0.50");
    EXPECT_DOUBLE_EQ(m.Pump1FlowValue, 0.5);
    EXPECT_EQ(m.Pump2Flow, "0.25");
    EXPECT_DOUBLE_EQ(m.Pump2FlowValue, 0.25);
    EXPECT_FALSE(m.flushMethod);
    EXPECT_FALSE(m.IsFlushMethod());
    EXPECT_TRUE(m.powerCoolingMethod);
    EXPECT_EQ(m.PumpTimeList, (Strings{"1.0", "3.0"}));
    EXPECT_EQ(m.Pump1FlowList, (Strings{"0.1", "0.3"}));
    EXPECT_EQ(m.Pump2FlowList, (Strings{"0.4", "0.6"}));
    EXPECT_EQ(m.ColumnTimeList, Strings{"2.0"});
    EXPECT_EQ(m.ColumnTempList, Strings{"45"});

    // Numbers are parsed with the operator's decimal separator.
    setDecimalSeparator(',');
    TMethodINIParams comma;
    comma.Name = "Comma";
    comma.Runtime = "7,5";
    comma.ColumnT = "40.5";
    ASSERT_TRUE(CMethodNames().SaveMethod(comma));
    comma.Runtime.clear();
    ASSERT_TRUE(CMethodNames().LoadMethod(comma));
    EXPECT_EQ(comma.Runtime, "7,5");
    EXPECT_DOUBLE_EQ(comma.RuntimeValue, 7.5);
    EXPECT_DOUBLE_EQ(comma.ColumnTValue, 0.0);
}

TEST_F(MethodStoreTest, SaveReplacesTheWholeMethod) {
    TMethodINIParams m = sample("M");
    m.PumpTimeList = {"1", "2", "3", "4", "5"};
    m.Pump1FlowList = m.Pump2FlowList = {"a", "b", "c", "d", "e"};
    ASSERT_TRUE(CMethodNames().SaveMethod(m));
    writeStr(kPlain + "\\M", "Stray", "left over");
    m.PumpTimeList = {"1", "2"};
    m.Pump1FlowList = m.Pump2FlowList = {"a", "b"};
    ASSERT_TRUE(CMethodNames().SaveMethod(m));
    EXPECT_EQ(keys(kPlain + "\\M\\Pumps"), (Strings{"1", "2"}));
    EXPECT_EQ(values(kPlain + "\\M").size(), 12u);
}

TEST_F(MethodStoreTest, RowsComeBackInNumericOrder) {
    TMethodINIParams m;
    m.Name = "Long";
    for (int i = 0; i < 12; ++i) {
        m.PumpTimeList.push_back(std::to_string(i * 5));
        m.Pump1FlowList.push_back("p1-" + std::to_string(i));
        m.Pump2FlowList.push_back("p2-" + std::to_string(i));
        m.ColumnTimeList.push_back(std::to_string(i));
        m.ColumnTempList.push_back(std::to_string(30 + i));
    }
    ASSERT_TRUE(CMethodNames().SaveMethod(m));
    EXPECT_EQ(keys(kPlain + "\\Long\\Pumps")[1], "10");  // the store lists names as text
    TMethodINIParams back;
    back.Name = "Long";
    ASSERT_TRUE(CMethodNames().LoadMethod(back));
    EXPECT_EQ(back.PumpTimeList, m.PumpTimeList);
    EXPECT_EQ(back.Pump1FlowList, m.Pump1FlowList);
    EXPECT_EQ(back.Pump2FlowList, m.Pump2FlowList);
    EXPECT_EQ(back.ColumnTimeList, m.ColumnTimeList);
    EXPECT_EQ(back.ColumnTempList, m.ColumnTempList);
    // A row key that is no number (written by hand) comes after the numbered rows.
    writeStr(kPlain + "\\Long\\Columns\\extra", "time", "99");
    ASSERT_TRUE(CMethodNames().LoadMethod(back));
    EXPECT_EQ(back.ColumnTimeList.back(), "99");
    EXPECT_EQ(back.ColumnTimeList.front(), "0");
}

TEST_F(MethodStoreTest, LoadReadsWhatIsThereWithoutComplaint) {
    TMethodINIParams m = sample("Missing");
    EXPECT_FALSE(CMethodNames().LoadMethod(m));
    EXPECT_EQ(m.Name, "Missing");  // cleared, name kept
    EXPECT_EQ(m.ColumnT, "");
    EXPECT_EQ(m.ColumnTValue, -100.0);
    EXPECT_EQ(m.ReactorTValue, -100.0);
    EXPECT_TRUE(m.PumpTimeList.empty());
    EXPECT_TRUE(m.flushMethod);  // ClearParams leaves the flags
    m.Clear();
    EXPECT_EQ(m.Name, "");

    // A method just added is an empty key: everything empty, every number 0.0.
    ASSERT_TRUE(CMethodNames().AddMethod(QString("Fresh")));
    EXPECT_EQ(keys(kPlain + "\\Fresh"), Strings{});
    EXPECT_TRUE(CMethodNames().MethodExists(QString("Fresh")));
    m.Name = "Fresh";
    ASSERT_TRUE(CMethodNames().LoadMethod(m));
    EXPECT_EQ(m.ColumnTValue, 0.0);
    EXPECT_EQ(m.ReactorTValue, 0.0);
    EXPECT_EQ(m.RuntimeValue, 0.0);
    EXPECT_FALSE(m.flushMethod);
    EXPECT_FALSE(m.powerCoolingMethod);
    EXPECT_TRUE(m.PumpTimeList.empty());
    EXPECT_TRUE(m.ColumnTimeList.empty());

    // Unparsable numbers and a flag stored as text.
    writeStr(kPlain + "\\Odd", "Runtime", "abc");
    writeStr(kPlain + "\\Odd", "flushMethod", "1");
    writeStr(kPlain + "\\Odd\\Pumps\\1", "time", "2.5");  // row without flows
    m.Name = "Odd";
    ASSERT_TRUE(CMethodNames().LoadMethod(m));
    EXPECT_EQ(m.Runtime, "abc");
    EXPECT_EQ(m.RuntimeValue, 0.0);
    EXPECT_FALSE(m.flushMethod);
    EXPECT_EQ(m.PumpTimeList, Strings{"2.5"});
    EXPECT_EQ(m.Pump1FlowList, Strings{""});
    EXPECT_EQ(m.Pump2FlowList, Strings{""});
    EXPECT_TRUE(dialogs_.shown.empty());
}

TEST_F(MethodStoreTest, EmptyNameIsNeverSaved) {
    TMethodINIParams m = sample("");
    EXPECT_FALSE(CMethodNames().SaveMethod(m));
    EXPECT_FALSE(Registry().keyExists(kPlain));
    EXPECT_FALSE(CMethodNames().MethodExists(QString()));
}

TEST_F(MethodStoreTest, ListsInStoreOrder) {
    TUxListBox list;
    TUxComboBox combo;
    list.AddItem("stale");
    combo.GetItems()->Add("kept");
    CMethodNames().FillListBox(&list);
    CMethodNames().FillComboBox(&combo);
    EXPECT_EQ(list.GetCount(), 0);
    ASSERT_EQ(combo.GetItems()->GetCount(), 1);  // no methods key: the combo box stays as it was

    for (const char* name : {"beta", "Alpha", "gamma", "10", "9"})
        ASSERT_TRUE(CMethodNames().AddMethod(QString(name)));
    CMethodNames().FillListBox(&list);
    CMethodNames().FillComboBox(&combo);
    const QStringList expected{"10", "9", "Alpha", "beta", "gamma"};
    EXPECT_EQ(list.GetItems()->ToStringList(), expected);
    EXPECT_EQ(combo.GetItems()->ToStringList(), expected);
}

TEST_F(MethodStoreTest, AddAndDeleteWithTheirMessages) {
    EXPECT_FALSE(CMethodNames().DeleteMethod(QString("Nothing")));  // no methods key: silent
    EXPECT_TRUE(dialogs_.shown.empty());

    ASSERT_TRUE(CMethodNames().SaveMethod(sample("Keep")));
    EXPECT_TRUE(CMethodNames().AddMethod(QString("Keep")));  // an existing key is no error
    TMethodINIParams m;
    m.Name = "Keep";
    ASSERT_TRUE(CMethodNames().LoadMethod(m));
    EXPECT_EQ(m.PumpTimeList.size(), 2u);

    EXPECT_FALSE(CMethodNames().DeleteMethod(QString("Nothing")));
    ASSERT_EQ(dialogs_.shown.size(), 1u);
    EXPECT_EQ(dialogs_.shown[0].text, "Can't Delete Method!");
    EXPECT_EQ(dialogs_.shown[0].title, "Info");
    EXPECT_EQ(dialogs_.shown[0].buttons, MsgButtons::OK);

    EXPECT_TRUE(CMethodNames().DeleteMethod(QString("KEEP")));
    EXPECT_FALSE(CMethodNames().MethodExists(QString("Keep")));
    EXPECT_EQ(keys(kPlain), Strings{});
}

TEST_F(MethodStoreTest, NamesWithTheKeySeparatorAreRefused) {
    ASSERT_TRUE(CMethodNames().SaveMethod(sample("Other")));
    const Strings pumps = keys(kPlain + "\\Other\\Pumps");

    TMethodINIParams evil = sample("Other\\Pumps");
    evil.PumpTimeList = {"9"};
    evil.Pump1FlowList = evil.Pump2FlowList = {"9"};
    EXPECT_FALSE(CMethodNames().SaveMethod(evil));
    evil.Name = "Other\\Pumps\\1";
    EXPECT_FALSE(CMethodNames().LoadMethod(evil));
    EXPECT_FALSE(CMethodNames().MethodExists(QString("Other\\Pumps")));

    EXPECT_FALSE(CMethodNames().AddMethod(QString("New\\Sub")));
    EXPECT_FALSE(CMethodNames().DeleteMethod(QString("Other\\Pumps")));
    ASSERT_EQ(dialogs_.shown.size(), 2u);
    EXPECT_EQ(dialogs_.shown[0].text, "Can't Add Method!");
    EXPECT_EQ(dialogs_.shown[1].text, "Can't Delete Method!");

    EXPECT_EQ(keys(kPlain), Strings{"Other"});
    EXPECT_EQ(keys(kPlain + "\\Other\\Pumps"), pumps);
    TMethodINIParams other;
    other.Name = "Other";
    ASSERT_TRUE(CMethodNames().LoadMethod(other));
    EXPECT_EQ(other.PumpTimeList, (Strings{"1.0", "3.0"}));
}

TEST_F(MethodStoreTest, FailedSaveLeavesTheOldVersion) {
    const TMethodINIParams v1 = sample("M");
    ASSERT_TRUE(CMethodNames().SaveMethod(v1));
    TMethodINIParams v2 = sample("M");
    v2.Runtime = "99";
    v2.PumpTimeList = {"7"};
    v2.Pump1FlowList = v2.Pump2FlowList = {"1"};

    int failures = 0;
    bool saved = false;
    for (int n = 1; n < 60 && !saved; ++n) {
        Registry::failAfterWrites(n);
        try {
            saved = CMethodNames().SaveMethod(v2);
            ASSERT_TRUE(saved);
        } catch (const ERegistryException&) {
            ++failures;
            TMethodINIParams m;
            m.Name = "M";
            ASSERT_TRUE(CMethodNames().LoadMethod(m)) << "failure at write " << n;
            EXPECT_EQ(m.Runtime, "45") << "failure at write " << n;
            EXPECT_EQ(m.PumpTimeList, (Strings{"1.0", "3.0"})) << "failure at write " << n;
            EXPECT_EQ(m.ColumnTimeList, Strings{"2.0"}) << "failure at write " << n;
        }
    }
    Registry::failAfterWrites(0);
    EXPECT_GE(failures, 15);  // every write of the save failed once
    ASSERT_TRUE(saved);
    TMethodINIParams m;
    m.Name = "M";
    ASSERT_TRUE(CMethodNames().LoadMethod(m));
    EXPECT_EQ(m.Runtime, "99");
    EXPECT_EQ(m.PumpTimeList, Strings{"7"});
}

}  // namespace
