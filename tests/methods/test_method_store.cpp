// The method record and store: every field through the store, the parsing of numbers,
// whole-method replacement in one transaction, listing order, messages, and names that
// could reach other keys.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "methods/MethodParams.h"
#include "methods/support_store.h"
#include "platform/Dialogs.h"
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
        m.PumpTimeList = {"1.0", "", "3.0"};
        m.Pump1FlowList = {"0.1", "0.2", "0.3"};
        m.Pump2FlowList = {"0.4", "0.5", "0.6"};
        m.ColumnTimeList = {"", "2.0"};
        m.ColumnTempList = {"35", "45"};
        return m;
    }
    static std::string loaded(const std::string& name, bool exists = true) {
        TMethodINIParams m = sample("x");
        m.Name = name;
        EXPECT_EQ(CMethodNames().LoadMethod(m), exists) << name;
        return describe(m);
    }
    static void writeStr(const std::string& path, const std::string& name, const std::string& value) {
        Registry reg;
        ASSERT_TRUE(reg.openKey(path, true));
        reg.writeString(name, value);
    }
};

TEST_F(MethodStoreTest, EveryFieldComesBackAndRowsWithoutATimeAreDropped) {
    TMethodINIParams saved = sample("Round");
    saved.flushMethod = false;
    saved.powerCoolingMethod = true;
    ASSERT_TRUE(CMethodNames().SaveMethod(&saved));
    EXPECT_EQ(loaded("round"),  // names ignore letter case
              "round|40.5(40.5)|C18 #123|100(100)|0.5|Ninhydrin|Buffer B|45(45)|12.5(12.5)|0.50(0.5)|"
              "0.25(0.25)|-|power|pumps 1.0;0.1;0.4 3.0;0.3;0.6|column 2.0;45");

    // Numbers are parsed with the operator's decimal separator.
    setDecimalSeparator(',');
    TMethodINIParams comma;
    comma.Name = "Comma";
    comma.Runtime = "7,5";
    comma.ColumnT = "40.5";
    ASSERT_TRUE(CMethodNames().SaveMethod(comma));
    EXPECT_EQ(loaded("Comma"), "Comma|40.5(0)||(0)||||7,5(7.5)|(0)|(0)|(0)|-|-|pumps|column");

    // Twelve rows come back in numeric order, though the store lists "10" before "2".
    TMethodINIParams m;
    m.Name = "Long";
    for (int i = 0; i < 12; ++i) {
        m.PumpTimeList.push_back(std::to_string(i * 5));
        m.Pump1FlowList.push_back("a" + std::to_string(i));
        m.Pump2FlowList.push_back("b" + std::to_string(i));
        m.ColumnTimeList.push_back(std::to_string(i));
        m.ColumnTempList.push_back(std::to_string(30 + i));
    }
    ASSERT_TRUE(CMethodNames().SaveMethod(m));
    EXPECT_EQ(keys(kPlain + "\\Long\\Pumps")[1], "10");
    EXPECT_EQ(loaded("Long"), "Long|(0)||(0)||||(0)|(0)|(0)|(0)|-|-" + describe(m).substr(describe(m).find("|pumps")));
    // A row key that is no number (written by hand) comes after the numbered rows.
    writeStr(kPlain + "\\Long\\Columns\\extra", "time", "99");
    EXPECT_NE(loaded("Long").find("|column 0;30 1;31 "), std::string::npos);
    EXPECT_NE(loaded("Long").find(" 11;41 99;"), std::string::npos);
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

TEST_F(MethodStoreTest, LoadReadsWhatIsThereWithoutComplaint) {
    // Missing: cleared, name and flags kept.
    EXPECT_EQ(loaded("Missing", false), "Missing|(-100)||(-100)||||(0)|(0)|(0)|(0)|flush|-|pumps|column");
    // A method just added is an empty key: everything empty, every number 0.
    ASSERT_TRUE(CMethodNames().AddMethod(QString("Fresh")));
    EXPECT_EQ(keys(kPlain + "\\Fresh"), Strings{});
    EXPECT_TRUE(CMethodNames().MethodExists(QString("Fresh")));
    EXPECT_EQ(loaded("Fresh"), "Fresh|(0)||(0)||||(0)|(0)|(0)|(0)|-|-|pumps|column");
    // Unparsable numbers, a flag stored as text, a row without flows.
    writeStr(kPlain + "\\Odd", "Runtime", "abc");
    writeStr(kPlain + "\\Odd", "flushMethod", "1");
    writeStr(kPlain + "\\Odd\\Pumps\\1", "time", "2.5");
    EXPECT_EQ(loaded("Odd"), "Odd|(0)||(0)||||abc(0)|(0)|(0)|(0)|-|-|pumps 2.5;;|column");
    EXPECT_TRUE(dialogs_.shown.empty());
    TMethodINIParams c = sample("C");
    c.Clear();
    EXPECT_EQ(c.Name, "");
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
    for (const char* name : {"beta", "Alpha", "gamma", "10", "9"}) ASSERT_TRUE(CMethodNames().AddMethod(QString(name)));
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
    EXPECT_EQ(loaded("Keep"), "Keep|40.5(40.5)|C18 #123|100(100)|0.5|Ninhydrin|Buffer B|45(45)|12.5(12.5)|"
                              "0.50(0.5)|0.25(0.25)|flush|-|pumps 1.0;0.1;0.4 3.0;0.3;0.6|column 2.0;45");
    EXPECT_FALSE(CMethodNames().DeleteMethod(QString("Nothing")));
    EXPECT_EQ(boxes(true), QStringList{"Info: Can't Delete Method! [OK OK]"});
    EXPECT_TRUE(CMethodNames().DeleteMethod(QString("KEEP")));
    EXPECT_FALSE(CMethodNames().MethodExists(QString("Keep")));
    EXPECT_EQ(keys(kPlain), Strings{});
}

TEST_F(MethodStoreTest, EmptyNamesAndNamesWithTheKeySeparatorAreRefused) {
    EXPECT_FALSE(CMethodNames().SaveMethod(sample("")));
    EXPECT_FALSE(Registry().keyExists(kPlain));
    EXPECT_FALSE(CMethodNames().MethodExists(QString()));

    ASSERT_TRUE(CMethodNames().SaveMethod(sample("Other")));
    const std::string other = loaded("Other");
    TMethodINIParams evil = sample("Other\\Pumps");
    evil.PumpTimeList = evil.Pump1FlowList = evil.Pump2FlowList = {"9"};
    EXPECT_FALSE(CMethodNames().SaveMethod(evil));
    evil.Name = "Other\\Pumps\\1";
    EXPECT_FALSE(CMethodNames().LoadMethod(evil));
    EXPECT_FALSE(CMethodNames().MethodExists(QString("Other\\Pumps")));
    EXPECT_FALSE(CMethodNames().AddMethod(QString("New\\Sub")));
    EXPECT_FALSE(CMethodNames().DeleteMethod(QString("Other\\Pumps")));
    EXPECT_EQ(boxes(), (QStringList{"Info: Can't Add Method!", "Info: Can't Delete Method!"}));
    EXPECT_EQ(keys(kPlain), Strings{"Other"});
    EXPECT_EQ(loaded("Other"), other);
}

TEST_F(MethodStoreTest, FailedSaveLeavesTheOldVersion) {
    ASSERT_TRUE(CMethodNames().SaveMethod(sample("M")));
    const std::string v1 = loaded("M");
    TMethodINIParams v2 = sample("M");
    v2.Runtime = "99";
    v2.PumpTimeList = v2.Pump1FlowList = v2.Pump2FlowList = {"7"};
    int failures = 0;
    bool saved = false;
    for (int n = 1; n < 60 && !saved; ++n) {
        Registry::failAfterWrites(n);
        try {
            saved = CMethodNames().SaveMethod(v2);
            ASSERT_TRUE(saved);
        } catch (const ERegistryException&) {
            ++failures;
            EXPECT_EQ(loaded("M"), v1) << "failure at write " << n;
        }
    }
    Registry::failAfterWrites(0);
    EXPECT_GE(failures, 15);  // every write of the save failed once
    ASSERT_TRUE(saved);
    EXPECT_EQ(loaded("M"), "M|40.5(40.5)|C18 #123|100(100)|0.5|Ninhydrin|Buffer B|99(99)|12.5(12.5)|0.50(0.5)|"
                           "0.25(0.25)|flush|-|pumps 7;7;7|column 2.0;45");
}

}  // namespace
