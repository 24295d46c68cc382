// The sequence record and store: stored layout, line numbering, replacement in one
// transaction, listing order, messages, and the run total.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "methods/SequenceParams.h"
#include "methods/support_store.h"
#include "platform/Dialogs.h"
#include "platform/Instance.h"
#include "platform/Registry.h"
#include "unicode/UxControls.h"

namespace {

const std::string kPlain = "\\Software\\TressivanLabs\\Zentrova\\Sequences";

TSequenceINIParams sequence(const QString& name, const QStringList& methods, const QStringList& runs) {
    TSequenceINIParams s;
    s.Name = name;
    s.MethodList.AddStrings(methods);
    s.RunList.AddStrings(runs);
    return s;
}

class SequenceStoreTest : public StoreTest {
  protected:
    static TSequenceINIParams load(const QString& name) {
        TSequenceINIParams s;
        s.Name = name;
        EXPECT_TRUE(CSequenceNames().LoadSequence(s)) << name.toStdString();
        return s;
    }
};

TEST_F(SequenceStoreTest, StoredLayoutSkipsEmptyLinesWithoutGaps) {
    ASSERT_TRUE(CSequenceNames().SaveSequence(sequence("S", {"A", "", "B"}, {"1", "5", "2"})));
    const std::string key = kPlain + "\\S";
    EXPECT_EQ(values(key), Strings{});
    EXPECT_EQ(keys(key), (Strings{"0000001", "0000002"}));
    EXPECT_EQ(values(key + "\\0000001"), (Strings{"Name", "Repeat"}));
    EXPECT_EQ(str(key + "\\0000001", "Name"), "A");
    EXPECT_EQ(str(key + "\\0000001", "Repeat"), "1");
    EXPECT_EQ(str(key + "\\0000002", "Name"), "B");
    EXPECT_EQ(str(key + "\\0000002", "Repeat"), "2");

    // Saving again with fewer lines leaves no stale line.
    ASSERT_TRUE(CSequenceNames().SaveSequence(sequence("S", {"C"}, {"x"})));
    EXPECT_EQ(keys(key), Strings{"0000001"});
    const TSequenceINIParams s = load("S");
    EXPECT_EQ(s.MethodList.ToStringList(), QStringList{"C"});
    EXPECT_EQ(s.RunList.ToStringList(), QStringList{"x"});
}

TEST_F(SequenceStoreTest, RoundTripKeepsLineOrderAndTexts) {
    QStringList methods, runs;
    for (int i = 0; i < 12; ++i) {
        methods << QString("Method %1 ü").arg(i);
        runs << QString::number(i + 1);
    }
    runs[3] = " 4 ";  // runs are kept as typed
    ASSERT_TRUE(CSequenceNames().SaveSequence(sequence("Long", methods, runs)));
    const TSequenceINIParams s = load("LONG");  // names ignore letter case
    EXPECT_EQ(s.Name, "LONG");
    EXPECT_EQ(s.MethodList.ToStringList(), methods);
    EXPECT_EQ(s.RunList.ToStringList(), runs);

    // Lines are read by number, also when stored names are not seven digits.
    {
        Registry reg;
        ASSERT_TRUE(reg.openKey(kPlain + "\\Odd\\10", true));
        reg.writeString("Name", "ten");
        ASSERT_TRUE(reg.openKey(kPlain + "\\Odd\\9", true));
        reg.writeString("Name", "nine");
        reg.writeString("Repeat", "9");
    }
    const TSequenceINIParams odd = load("Odd");
    EXPECT_EQ(odd.MethodList.ToStringList(), (QStringList{"nine", "ten"}));
    EXPECT_EQ(odd.RunList.ToStringList(), (QStringList{"9", ""}));
}

TEST_F(SequenceStoreTest, MissingSequenceAndEmptyName) {
    TSequenceINIParams s = sequence("Nowhere", {"A"}, {"1"});
    EXPECT_FALSE(CSequenceNames().LoadSequence(s));
    EXPECT_EQ(s.Name, "Nowhere");
    EXPECT_EQ(s.MethodList.GetCount(), 0);
    EXPECT_EQ(s.RunList.GetCount(), 0);

    EXPECT_FALSE(CSequenceNames().SaveSequence(sequence("", {"A"}, {"1"})));
    EXPECT_FALSE(Registry().keyExists(kPlain));
    s.Clear();
    EXPECT_EQ(s.Name, "");
}

TEST_F(SequenceStoreTest, ListsAddsAndDeletes) {
    TUxListBox list;
    list.AddItem("stale");
    CSequenceNames().FillListBox(&list);
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_FALSE(CSequenceNames().DeleteSequence("Amino"));  // no sequences key: silent
    EXPECT_TRUE(dialogs_.shown.empty());

    ASSERT_TRUE(CSequenceNames().SaveSequence(sequence("amino", {"A"}, {"1"})));
    EXPECT_TRUE(CSequenceNames().AddSequence("Amino"));  // exists: lines stay
    EXPECT_EQ(load("Amino").MethodList.GetCount(), 1);
    EXPECT_TRUE(CSequenceNames().AddSequence("Zeta"));
    EXPECT_TRUE(CSequenceNames().AddSequence("Beta"));
    EXPECT_EQ(keys(kPlain + "\\Zeta"), Strings{});
    CSequenceNames().FillListBox(&list);
    EXPECT_EQ(list.GetItems()->ToStringList(), (QStringList{"amino", "Beta", "Zeta"}));

    EXPECT_FALSE(CSequenceNames().DeleteSequence("Gone"));
    ASSERT_EQ(dialogs_.shown.size(), 1u);
    EXPECT_EQ(dialogs_.shown[0].text, "Can't Delete Sequence!");
    EXPECT_EQ(dialogs_.shown[0].title, "Info");
    EXPECT_EQ(dialogs_.shown[0].buttons, MsgButtons::OK);
    EXPECT_TRUE(CSequenceNames().DeleteSequence("AMINO"));
    EXPECT_EQ(keys(kPlain), (Strings{"Beta", "Zeta"}));
}

TEST_F(SequenceStoreTest, NamesWithTheKeySeparatorAreRefused) {
    ASSERT_TRUE(CSequenceNames().SaveSequence(sequence("Other", {"A", "B"}, {"1", "2"})));
    EXPECT_FALSE(CSequenceNames().SaveSequence(sequence("Other\\0000001", {"X"}, {"9"})));
    TSequenceINIParams s = sequence("Other\\0000001", {}, {});
    EXPECT_FALSE(CSequenceNames().LoadSequence(s));
    EXPECT_FALSE(CSequenceNames().AddSequence("New\\Sub"));
    EXPECT_FALSE(CSequenceNames().DeleteSequence("Other\\0000002"));
    ASSERT_EQ(dialogs_.shown.size(), 2u);
    EXPECT_EQ(dialogs_.shown[0].text, "Can't Add Sequence!");
    EXPECT_EQ(dialogs_.shown[1].text, "Can't Delete Sequence!");
    EXPECT_EQ(keys(kPlain), Strings{"Other"});
    EXPECT_EQ(keys(kPlain + "\\Other"), (Strings{"0000001", "0000002"}));
    EXPECT_EQ(str(kPlain + "\\Other\\0000001", "Name"), "A");
}

TEST_F(SequenceStoreTest, FailedSaveLeavesTheOldVersion) {
    ASSERT_TRUE(CSequenceNames().SaveSequence(sequence("S", {"A", "B", "C"}, {"1", "2", "3"})));
    const TSequenceINIParams v2 = sequence("S", {"X", "Y"}, {"7", "8"});
    int failures = 0;
    bool saved = false;
    for (int n = 1; n < 30 && !saved; ++n) {
        Registry::failAfterWrites(n);
        try {
            saved = CSequenceNames().SaveSequence(v2);
            ASSERT_TRUE(saved);
        } catch (const ERegistryException&) {
            ++failures;
            const TSequenceINIParams s = load("S");
            EXPECT_EQ(s.MethodList.ToStringList(), (QStringList{"A", "B", "C"})) << "failure at write " << n;
            EXPECT_EQ(s.RunList.ToStringList(), (QStringList{"1", "2", "3"})) << "failure at write " << n;
        }
    }
    Registry::failAfterWrites(0);
    EXPECT_GE(failures, 4);
    ASSERT_TRUE(saved);
    EXPECT_EQ(load("S").MethodList.ToStringList(), (QStringList{"X", "Y"}));
}

TEST(SequenceRecord, TotalRuns) {
    EXPECT_EQ(sequence("", {}, {}).GetTotalRuns(), 0);
    EXPECT_EQ(sequence("", {}, {"2", "x", "", "3"}).GetTotalRuns(), 5);
    EXPECT_EQ(sequence("", {}, {" 7", "7 ", "+1", "-2", "$10", "0x10", "X1", "1.5"}).GetTotalRuns(),
              7 + 1 - 2 + 16 + 16 + 1);
    EXPECT_EQ(sequence("", {}, {"2147483648", "4"}).GetTotalRuns(), 4);  // beyond 32 bits: rejected
    EXPECT_EQ(sequence("", {}, {"2147483647", "2147483647"}).GetTotalRuns(), INT_MAX);
    EXPECT_EQ(sequence("", {}, {"-2147483648", "-5"}).GetTotalRuns(), INT_MIN);
}

}  // namespace
