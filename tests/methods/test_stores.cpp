// The method and sequence stores and the export/import file: what is stored and read back,
// replacement in one transaction, names that could reach other keys, the exact file layout,
// the import's reading rules, questions and reports, and failures that change nothing.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <climits>
#include <string>

#include "link/Instrument.h"
#include "methods/EditorNotice.h"
#include "methods/ExportImport.h"
#include "methods/support_store.h"
#include "support/OddFiles.h"
#include "unicode/UxControls.h"

namespace {

const std::string kMethods = "\\Software\\TressivanLabs\\Zentrova\\Methods";
const std::string kSequences = "\\Software\\TressivanLabs\\Zentrova\\Sequences";

TSequenceINIParams sequence(const QString& name, const QStringList& methods, const QStringList& runs) {
    TSequenceINIParams s;
    s.Name = name;
    s.MethodList.AddStrings(methods);
    s.RunList.AddStrings(runs);
    return s;
}

class Stores : public StoreTest {
  protected:
    // Makes each write of a save fail in turn until one goes through; after each failure the
    // store must be as before. Returns the number of failed saves.
    template <class Save>
    static int failEachWrite(const Save& save) {
        const std::string before = dump();
        int failures = 0;
        for (int n = 1; n < 60; ++n) {
            Registry::failAfterWrites(n);
            try {
                EXPECT_TRUE(save());
                break;
            } catch (const ERegistryException&) {
                ++failures;
                EXPECT_EQ(dump(), before) << "failure at write " << n;
            }
        }
        Registry::failAfterWrites(0);
        return failures;
    }
    QString report(const QString& counts, const QString& rest = QString()) const {
        return "Info: Imported " + counts + " from " + QString::fromStdString(file_) + "." + rest;
    }
    std::string file_ = env_.path("export.sav");
    TExportImport1 form_;
};

TEST_F(Stores, EveryMethodFieldComesBackAndRowsKeepTheirNumericOrder) {
    TMethodINIParams m = fullMethod("Round");
    m.powerCoolingMethod = true;
    m.PumpTimeList = {"1.0", "", "3.0"};  // rows without a time are dropped
    m.Pump1FlowList = {"0.1", "0.2", "0.3"};
    m.Pump2FlowList = {"0.4", "0.5", "0.6"};
    m.ColumnTimeList = {"", "2.0"};
    m.ColumnTempList = {"35", "45"};
    storeMethod(m);
    EXPECT_EQ(describe(stored("round")),  // names ignore letter case
              "round|40(40)|C18 #7|130(130)|0.5|Ninhydrin|Buffer=B|30(30)|5(5)|0.30(0.3)|0.25(0.25)|-|"
              "power|pumps 1.0;0.1;0.4 3.0;0.3;0.6|column 2.0;45");

    // Numbers are parsed with the operator's decimal separator.
    setDecimalSeparator(',');
    m = plainMethod("Comma");
    m.Runtime = "7,5";
    m.ColumnT = "40.5";
    storeMethod(m);
    EXPECT_EQ(stored("Comma").RuntimeValue, 7.5);
    EXPECT_EQ(stored("Comma").ColumnTValue, 0);
    // Missing: false, cleared, the name and flags kept.
    m.flushMethod = true;
    m.Name = "Missing";
    EXPECT_FALSE(CMethodNames().LoadMethod(m));
    EXPECT_EQ(describe(m), "Missing|(-100)||(-100)||||(0)|(0)|(0)|(0)|flush|-|pumps|column");

    // Twelve rows come back in numeric order, though the store lists "10" before "2"; a row key
    // that is no number (written by hand) comes after them.
    m = TMethodINIParams();
    m.Name = "Long";
    for (int i = 0; i < 12; ++i) m.ColumnTimeList.push_back(std::to_string(i));
    m.ColumnTempList = m.ColumnTimeList;
    storeMethod(m);
    writeString(kMethods + "\\Long\\Columns\\extra", "time", "99");
    m.ColumnTimeList.push_back("99");
    m.ColumnTempList.push_back("");
    const std::string rows = describe(m).substr(describe(m).find("|pumps"));
    EXPECT_EQ(describe(stored("Long")), "Long|(0)||(0)||||(0)|(0)|(0)|(0)|-|-" + rows);
}

TEST_F(Stores, SequenceLinesAreNumberedWithoutGapsAndReadByNumber) {
    storeSequence("S", {{"A \xC3\xBC", " 1 "}, {"", "5"}, {"B", "2"}});
    EXPECT_EQ(dump(kSequences + "\\S"), "{ 0000001{ Name=A \xC3\xBC Repeat= 1 } 0000002{ Name=B Repeat=2}}");
    storeSequence("s", {{"C", "x"}});  // fewer lines leave no stale line
    EXPECT_EQ(dump(kSequences + "\\S"), "{ 0000001{ Name=C Repeat=x}}");
    // Lines are read by number, also when stored names are not seven digits.
    writeString(kSequences + "\\Odd\\10", "Name", "ten");
    writeString(kSequences + "\\Odd\\9", "Name", "nine");
    writeString(kSequences + "\\Odd\\9", "Repeat", "9");
    EXPECT_EQ(lines("Odd"), (QStringList{"nine|9", "ten|"}));
}

TEST_F(Stores, SaveReplacesTheWholeEntryOrLeavesTheOldOne) {
    TMethodINIParams m = fullMethod("M");
    m.PumpTimeList = m.Pump1FlowList = m.Pump2FlowList = {"1", "2", "3", "4", "5"};
    storeMethod(m);
    writeString(kMethods + "\\M", "Stray", "left over");
    m.Runtime = "99";
    m.PumpTimeList = m.Pump1FlowList = m.Pump2FlowList = {"7"};
    EXPECT_GE(failEachWrite([&] { return CMethodNames().SaveMethod(m); }), 15);
    EXPECT_EQ(dump(kMethods + "\\M\\Pumps"), "{ 1{ 1=7 2=7 time=7}}");
    EXPECT_EQ(describe(stored("M")),
              "M|40(40)|C18 #7|130(130)|0.5|Ninhydrin|Buffer=B|99(99)|5(5)|0.30(0.3)|0.25(0.25)|-|-|pumps "
              "7;7;7|column 10;45");
    EXPECT_EQ(dump(kMethods + "\\M").find("Stray"), std::string::npos);

    storeSequence("S", {{"A", "1"}, {"B", "2"}, {"C", "3"}});
    const TSequenceINIParams s = sequence("S", {"X", "Y"}, {"7", "8"});
    EXPECT_GE(failEachWrite([&] { return CSequenceNames().SaveSequence(s); }), 4);
    EXPECT_EQ(lines("S"), (QStringList{"X|7", "Y|8"}));
}

// A flag is a whole number: the text "1" written by hand reads as false. A combo box keeps what it
// listed while the methods key is missing; an existing but empty key empties it.
TEST_F(Stores, AFlagStoredAsTextLoadsFalseAndAMissingMethodsKeyLeavesTheComboBox) {
    const struct {
        const char* what;
        std::function<void(Registry&)> write;
        bool flush;
    } flags[] = {
        {"text 1", [](Registry& r) { r.writeString("flushMethod", "1"); }, false},
        {"number 1", [](Registry& r) { r.writeInteger("flushMethod", 1); }, true},
        {"number 0", [](Registry& r) { r.writeInteger("flushMethod", 0); }, false},
    };
    for (const auto& f : flags) {
        storeMethod(plainMethod("Flag"));
        Registry reg;
        ASSERT_TRUE(reg.openKey(kMethods + "\\Flag", false));
        f.write(reg);
        EXPECT_EQ(stored("Flag").flushMethod, f.flush) << f.what;
    }

    ASSERT_TRUE(CMethodNames().DeleteMethod(QString("Flag")));
    TUxComboBox box;
    const struct {
        const char* what;
        std::function<void()> before;
        QStringList items;
    } lists[] = {
        {"missing key", [] { Registry().deleteKey(kMethods); }, {"stale", "kept"}},
        {"empty key", [] { ASSERT_TRUE(Registry().openKey(kMethods, true)); }, {}},
        {"one method", [] { storeMethod(plainMethod("One")); }, {"One"}},
    };
    for (const auto& l : lists) {
        box.GetItems()->Clear();
        box.GetItems()->Add("stale");
        box.GetItems()->Add("kept");
        box.SetItemIndex(1);
        l.before();
        CMethodNames().FillComboBox(&box);
        EXPECT_EQ(box.GetItems()->ToStringList(), l.items) << l.what;
        if (l.items.size() == 2) {
            EXPECT_EQ(box.GetText(), "kept") << l.what;
        }
    }
}

TEST_F(Stores, ListsInStoreOrderAddKeepsAndDeleteSaysWhatFailed) {
    storeMethod(fullMethod("Keep"));
    storeSequence("amino", {{"A", "1"}});
    const std::string before = dump();
    ASSERT_TRUE(CMethodNames().AddMethod(QString("KEEP")));  // an existing name keeps its entry
    ASSERT_TRUE(CSequenceNames().AddSequence("Amino"));
    EXPECT_EQ(dump(), before);
    for (const char* name : {"beta", "Alpha", "10", "9"}) {
        ASSERT_TRUE(CMethodNames().AddMethod(QString(name)));
        ASSERT_TRUE(CSequenceNames().AddSequence(name));
    }
    TUxListBox list;
    list.AddItem("stale");
    CMethodNames().FillListBox(&list);
    EXPECT_EQ(list.GetItems()->ToStringList(), (QStringList{"10", "9", "Alpha", "beta", "Keep"}));
    CSequenceNames().FillListBox(&list);
    EXPECT_EQ(list.GetItems()->ToStringList(), (QStringList{"10", "9", "Alpha", "amino", "beta"}));

    EXPECT_FALSE(CMethodNames().DeleteMethod(QString("Gone")));
    EXPECT_FALSE(CSequenceNames().DeleteSequence("Gone"));
    EXPECT_EQ(boxes(true),
              (QStringList{"Info: Can't Delete Method! [OK OK]", "Info: Can't Delete Sequence! [OK OK]"}));
    EXPECT_TRUE(CMethodNames().DeleteMethod(QString("keep")));
    EXPECT_TRUE(CSequenceNames().DeleteSequence("AMINO"));
    EXPECT_EQ(keys(kMethods), (Strings{"10", "9", "Alpha", "beta"}));
    EXPECT_EQ(keys(kSequences), keys(kMethods));
}

TEST_F(Stores, EmptyNamesAndNamesWithTheKeySeparatorReachNoOtherKey) {
    EXPECT_FALSE(CMethodNames().SaveMethod(fullMethod("")));
    EXPECT_FALSE(CSequenceNames().SaveSequence(sequence("", {"A"}, {"1"})));
    EXPECT_EQ(dump(), "");

    storeMethod(fullMethod("Other"));
    storeSequence("Other", {{"A", "1"}, {"B", "2"}});
    const std::string before = dump();
    TMethodINIParams evil = fullMethod("Other\\Pumps");
    EXPECT_FALSE(CMethodNames().SaveMethod(evil));
    evil.Name = "Other\\Pumps\\1";
    EXPECT_FALSE(CMethodNames().LoadMethod(evil));
    EXPECT_FALSE(CMethodNames().MethodExists(QString("Other\\Pumps")));
    EXPECT_FALSE(CMethodNames().AddMethod(QString("New\\Sub")));
    EXPECT_FALSE(CMethodNames().DeleteMethod(QString("Other\\Pumps")));
    TSequenceINIParams s = sequence("Other\\0000001", {"X"}, {"9"});
    EXPECT_FALSE(CSequenceNames().SaveSequence(s));
    EXPECT_FALSE(CSequenceNames().LoadSequence(s));
    EXPECT_FALSE(CSequenceNames().AddSequence("New\\Sub"));
    EXPECT_FALSE(CSequenceNames().DeleteSequence("Other\\0000002"));
    // Names the store refuses are refused before the store is asked, and the box says why.
    EXPECT_FALSE(CMethodNames().SaveMethod(fullMethod("Two\nLines")));
    EXPECT_FALSE(CSequenceNames().SaveSequence(sequence("Two\rLines", {"A"}, {"1"})));
    EXPECT_FALSE(CMethodNames().AddMethod(QString("Two\nLines")));
    EXPECT_FALSE(CSequenceNames().AddSequence(std::string("Nul\0", 4)));
    const QString backslash =
        "\nA settings key name cannot hold a backslash: it separates the keys of a path.";
    EXPECT_EQ(boxes(),
              (QStringList{"Info: Can't Add Method!" + backslash, "Info: Can't Delete Method!",
                           "Info: Can't Add Sequence!" + backslash, "Info: Can't Delete Sequence!",
                           "Info: Can't Add Method!\nA settings key name cannot hold a line break.",
                           "Info: Can't Add Sequence!\nA settings name cannot hold a NUL character."}));
    EXPECT_EQ(dump(), before);
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

// ---------------------------------------------------------------- export and import

// The keys every exported method section has; a section without them reads them as empty.
const std::string kTexts =
    "ColumnT=\nColumnD=\nReactorT=\nReactorV=\nReagent1D=\nReagent2D=\nRuntime=\nEquilTime=\n"
    "Pump1Flow=\nPump2Flow=\n";
const std::string kFixed = kTexts + "flushMethod=0\npowerCoolingMethod=0\n";
const char* const kOpening =
    "; Methods and sequences of ZentrovaKVZ. The last line of this file is \"; end of export\": without "
    "it the file is incomplete.\r\n";

TEST_F(Stores, ExportWritesTheKnownLayoutByteForByte) {
    storeMethod(fullMethod("Hydrolysis"));
    TMethodINIParams flush;
    flush.Name = "flush";
    flush.flushMethod = flush.powerCoolingMethod = true;
    storeMethod(flush);
    storeSequence("Amino", {{"Hydrolysis", "2"}, {"flush", "1"}});
    storeSequence("Empty", {});
    writeFile(file_, "[Old]\r\nKey=stays?\r\n");

    ASSERT_TRUE(form_.ExportAll(file_));
    EXPECT_EQ(
        fileBytes(file_),
        std::string(kOpening) +
            "[Method00000]\r\nName=flush\r\n"
            "ColumnT=\r\nColumnD=\r\nReactorT=\r\nReactorV=\r\nReagent1D=\r\nReagent2D=\r\n"
            "Runtime=\r\nEquilTime=\r\nPump1Flow=\r\nPump2Flow=\r\nflushMethod=1\r\npowerCoolingMethod=1\r\n"
            "[Method00001]\r\nName=Hydrolysis\r\n"
            "ColumnT=40\r\nColumnD=C18 #7\r\nReactorT=130\r\nReactorV=0.5\r\nReagent1D=Ninhydrin\r\n"
            "Reagent2D=Buffer=B\r\nRuntime=30\r\nEquilTime=5\r\nPump1Flow=0.30\r\nPump2Flow=0.25\r\n"
            "flushMethod=0\r\npowerCoolingMethod=0\r\n"
            "PumpFlowTT00000=1;0.30;0.35\r\nPumpFlowTT00001=20;0.50;0.40\r\nColTempTT00000=10;45\r\n"
            "[Sequence00000]\r\nName=Amino\r\nSequenceLine00000=Hydrolysis;2\r\nSequenceLine00001=flush;1\r\n"
            "[Sequence00001]\r\nName=Empty\r\n; end of export\r\n");
    EXPECT_EQ(boxes(), QStringList{"Info: Exported 2 methods and 2 sequences into " +
                                   QString::fromStdString(file_) + "."});
}

// The file boxes start from "ZentrovaSequencesMethods.sav", then each from the name last chosen in
// it; a cancelled box changes nothing. An export with nothing stored replaces the old file.
TEST_F(Stores, FileBoxesStartFromTheExportNameAndKeepTheLastChosenOne) {
    const QString a = QString::fromStdString(env_.path("a.sav")),
                  b = QString::fromStdString(env_.path("b.sav"));
    writeFile(a.toStdString(), "[Old]\r\nKey=gone\r\n");
    const struct {
        bool save, ok;
        QString name, offered;
    } rows[] = {
        {true, false, "", "ZentrovaSequencesMethods.sav"},
        {true, true, a, "ZentrovaSequencesMethods.sav"},
        {true, false, "", a},
        {false, true, b, "ZentrovaSequencesMethods.sav"},
        {false, false, "", b},
        {true, true, a, a},
    };
    std::vector<QString> offered;
    size_t at = 0;
    ExportImportFileDialog = [&](bool save, QString& name) {
        offered.push_back(name);
        EXPECT_EQ(save, rows[at].save) << at;
        if (rows[at].ok) name = rows[at].name;
        return rows[at++].ok;
    };
    for (const auto& r : rows) r.save ? form_.ExportBtnClick() : form_.ImportBtnClick();
    ExportImportFileDialog = nullptr;
    ASSERT_EQ(offered.size(), std::size(rows));
    for (size_t i = 0; i < offered.size(); ++i) EXPECT_EQ(offered[i], rows[i].offered) << i;
    EXPECT_EQ(fileBytes(a.toStdString()), std::string(kOpening) + "; end of export\r\n");
}

TEST_F(Stores, ExportThatCannotWriteSaysSoAndKeepsWhatWasThere) {
    storeMethod(fullMethod("Hydrolysis"));
    const std::string missingDir = env_.path("no/such/dir/x.sav");
    EXPECT_FALSE(form_.ExportAll(missingDir));
    ASSERT_EQ(boxes().size(), 1);
    EXPECT_TRUE(boxes()[0].startsWith("Error: Unable to write to " + QString::fromStdString(missingDir)));

    // A folder in the file's place stays a folder, and no temporary file is left beside it.
    const QString folder = QString::fromStdString(env_.path("taken"));
    ASSERT_TRUE(QDir().mkdir(folder));
    EXPECT_FALSE(form_.ExportAll(folder.toStdString()));
    EXPECT_TRUE(QFileInfo(folder).isDir());
    EXPECT_EQ(QDir(QString::fromStdString(env_.dir)).entryList({"taken.tmp*"}, QDir::Files), QStringList{});
}

TEST_F(Stores, NamesWithSeparatorsAndPercentSignsComeBackWholeInAnotherInstance) {
    TMethodINIParams m = fullMethod("Mix;1 = 50%s");
    m.flushMethod = true;
    storeMethod(m);
    storeSequence("Seq;A=%s", {{"Mix;1 = 50%s", "2"}, {"Other", "x"}});
    ASSERT_TRUE(form_.ExportAll(file_));
    const std::string want = describe(stored("Mix;1 = 50%s"));

    setInstance("2");
    dialogs_.shown.clear();
    ASSERT_TRUE(form_.ImportAll(file_));
    EXPECT_EQ(keys("\\Software\\TressivanLabs\\Zentrova\\Instrument2\\Methods"), Strings{"Mix;1 = 50%s"});
    EXPECT_EQ(describe(stored("Mix;1 = 50%s")), want);
    // The runs text is a number: the last ";" ends the method name.
    EXPECT_EQ(lines("Seq;A=%s"), (QStringList{"Mix;1 = 50%s|2", "Other|x"}));
    EXPECT_EQ(boxes(), QStringList{report("1 method and 1 sequence")});
}

// Every text comes back byte for byte through an export and an import into another instance:
// names, texts, timetable cells, sequence lines and runs, whatever blanks, quotes, separators,
// percent signs or characters they hold.
TEST_F(Stores, ExportAndImportKeepEveryTextByteForByte) {
    const std::string texts[] = {
        "Hydro ",  " C18 ",   " Amino",  "\"quoted\"", "\"",         "a\"b",
        "\"start", "end\"",   "50%s %",  "a;b",        ";",          "x;",
        ";x",      "\"a;b\"", "\"\";\"", "  ",         "Säule 7 °C", "\xE6\x97\xA5\xE6\x9C\xAC"};
    std::vector<std::string> methods;
    for (size_t i = 0; i < std::size(texts); ++i) {
        const std::string& t = texts[i];
        // The method's name, each of its texts and each timetable cell hold the text.
        TMethodINIParams m;
        m.Name = t;
        m.ColumnT = m.ColumnD = m.ReactorT = m.ReactorV = m.Reagent1D = m.Reagent2D = m.Runtime =
            m.EquilTime = m.Pump1Flow = m.Pump2Flow = t;
        m.PumpTimeList = {t, "1"};
        m.Pump1FlowList = {t, t};
        m.Pump2FlowList = {t, ";"};
        m.ColumnTimeList = {t};
        m.ColumnTempList = {t};
        storeMethod(m);
        methods.push_back(describe(stored(t)));
        // The sequence's name, and each line's method and runs.
        storeSequence("S" + std::to_string(i) + t, {{t, t}, {"M", t}, {t, "2"}});
    }
    ASSERT_TRUE(form_.ExportAll(file_));
    // The values that need it are quoted, the others written as they always were.
    const std::string bytes = fileBytes(file_);
    for (const char* line : {"Name=\"Hydro \"\r\n", "ColumnD=\" C18 \"\r\n", "Name=\"\"quoted\"\"\r\n",
                             "Name=\"\"\"\r\n", "Name=a\"b\r\n", "SequenceLine00000=\"\"a;b\";\"a;b\"\"\r\n",
                             "SequenceLine00001=\"M;\"x;\"\"\r\n", "PumpFlowTT00001=\"1;\"x;\";\";\"\"\r\n",
                             "Name=50%s %\r\n", "SequenceLine00002=\"\"\"\"start\";2\"\r\n"})
        EXPECT_NE(bytes.find(line), std::string::npos) << line;

    setInstance("2");
    dialogs_.shown.clear();
    ASSERT_TRUE(form_.ImportAll(file_));
    EXPECT_EQ(boxes(), QStringList{report("18 methods and 18 sequences")});
    for (size_t i = 0; i < std::size(texts); ++i) {
        const std::string& t = texts[i];
        SCOPED_TRACE(t);
        EXPECT_EQ(describe(stored(t)), methods[i]);
        const QString q = QString::fromStdString(t);
        EXPECT_EQ(lines(QString::fromStdString("S" + std::to_string(i) + t)),
                  (QStringList{q + "|" + q, "M|" + q, q + "|2"}));
    }
    // Exported again, the file is the same.
    const std::string again = env_.path("again.sav");
    ASSERT_TRUE(form_.ExportAll(again));
    EXPECT_EQ(fileBytes(again), bytes);
}

// Files written before values were quoted read as they did: their values trimmed, their rows and
// lines split at the separators; one pair of surrounding quotes is removed, as profile files are read.
TEST_F(Stores, OlderFilesReadAsBeforeButForOnePairOfSurroundingQuotes) {
    writeFile(file_,
              "[Method00000]\r\nName= Hydro \r\nColumnD=\"C18\"\r\nReagent1D=\"a\r\nReagent2D=b\"\r\n"
              "PumpFlowTT00000=1;0.30;0.35\r\nPumpFlowTT00001=5\r\nPumpFlowTT00002=\"2\";0.1\r\n"
              "ColTempTT00000=10;45;x\r\n"
              "[Sequence00000]\r\nName=Amino\r\nSequenceLine00000=Mix;1 = 50%s;2\r\n"
              "SequenceLine00001=\"A\";3\r\nSequenceLine00002=\"B;4\r\nSequenceLine00003=\"C\";5;6\r\n");
    ASSERT_TRUE(form_.ImportAll(file_));
    EXPECT_EQ(describe(stored("Hydro")),
              "Hydro|(0)|C18|(0)||\"a|b\"|(0)|(0)|(0)|(0)|-|-|pumps 1;0.30;0.35 "
              "\"2\";;0.1|column 10;45;x");
    EXPECT_EQ(lines("Amino"), (QStringList{"Mix;1 = 50%s|2", "A|3", "\"B|4", "\"C\";5|6"}));
}

// A name that is not UTF-8 (stored by regtool) leaves the export's other names as they are.
TEST_F(Stores, ANameThatIsNotUtf8KeepsItsBytesAndTheOtherNamesTheirs) {
    TMethodINIParams bad = fullMethod("Bad\xE9");
    bad.ColumnD = "\xFF\xFE";
    storeMethod(bad);
    storeMethod(fullMethod("S\xC3\xA4ule"));
    storeSequence("Gr\xC3\xBCn", {{"S\xC3\xA4ule", "1"}});
    const std::string want = describe(stored("Bad\xE9"));
    ASSERT_TRUE(form_.ExportAll(file_));
    setInstance("2");
    dialogs_.shown.clear();
    ASSERT_TRUE(form_.ImportAll(file_));
    EXPECT_EQ(keys("\\Software\\TressivanLabs\\Zentrova\\Instrument2\\Methods"),
              (Strings{"Bad\xE9", "S\xC3\xA4ule"}));
    EXPECT_EQ(describe(stored("Bad\xE9")), want);
    EXPECT_EQ(lines(QString::fromUtf8("Gr\xC3\xBCn")), QStringList{QString::fromUtf8("S\xC3\xA4ule|1")});
    EXPECT_EQ(boxes(), QStringList{report("2 methods and 1 sequence")});
}

TEST_F(Stores, ImportReadsSectionsAndKeysByTheirPrefixesAndSkipsEntriesWithoutAUsableName) {
    writeFile(file_,
              "[MethodABC]\nName=A\n" + kTexts +
                  "flushMethod=7\npowerCoolingMethod=x\n"
                  "PumpFlowTT9=5\nPumpFlowTT1=5;0.2\nPumpFlowTTz=1;2;3;4\nColTempTTq=7\nColTempTT0=8;9;10\n"
                  "pumpflowtt00000=lower;case;ignored\nOther=1\n[Methods]\nName=B\n" +
                  kFixed + "[method00000]\nName=C\n[Method0]\nColumnT=40\n[Method1]\nName=\n" + kFixed +
                  "[Method2]\nName=a\\b\n" + kFixed +
                  "[SequenceX]\nName=S\nSequenceLine5=Flush\nSequenceLine1=A;3\nSequenceLine0=;4\nLine=B;1\n"
                  "[Sequence0]\nSequenceLine0=A;1\n[Sequence1]\nName=..\\Methods\\A\n[Other]\nName=D\n");
    ASSERT_TRUE(form_.ImportAll(file_));
    EXPECT_EQ(keys(kMethods), (Strings{"A", "B"}));
    // The store keeps only rows with a time, in file order, and drops a line without a method name.
    // A column row without ";" is a temperature without a time.
    EXPECT_EQ(describe(stored("A")),
              "A|(0)||(0)||||(0)|(0)|(0)|(0)|flush|-|pumps 5;;0.2 1;2;3;4|column 8;9;10");
    EXPECT_EQ(lines("S"), QStringList{"A|3"});
    EXPECT_EQ(keys(kSequences), Strings{"S"});
    EXPECT_EQ(boxes(), QStringList{report("2 methods and 1 sequence",
                                          "\n\nNot imported, for a missing name or a name with \"\\\":\n"
                                          "Method0\nMethod1\nMethod2\nSequence0\nSequence1")});
}

TEST_F(Stores, StoredEntriesAreReplacedOnlyOnYesAndAllOrNothing) {
    storeMethod(fullMethod("Hydrolysis"));
    storeMethod(plainMethod("Extra"));
    storeSequence("Amino", {{"Hydrolysis", "2"}});
    ASSERT_TRUE(form_.ExportAll(file_));
    const std::string exported = dump();
    CMethodNames().DeleteMethod(std::string("Extra"));
    TMethodINIParams changed = fullMethod("Hydrolysis");
    changed.ColumnT = "99";
    storeMethod(changed);
    const std::string before = dump();
    dialogs_.shown.clear();

    dialogs_.answer(mrCancel);
    EXPECT_FALSE(form_.ImportAll(file_));
    EXPECT_EQ(dump(), before);
    EXPECT_EQ(takeBoxes(true),
              QStringList{"Warning: These are stored already:\nMethod Hydrolysis\nSequence "
                          "Amino\n\nReplace them with the ones from the file? No imports only "
                          "the new ones. [YesNoCancel No]"});
    // A store that fails midway keeps its old contents.
    Registry::failAfterWrites(20);
    dialogs_.answer(mrYes);
    EXPECT_FALSE(form_.ImportAll(file_));
    Registry::failAfterWrites(0);
    EXPECT_EQ(dump(), before);
    EXPECT_TRUE(takeBoxes().last().startsWith("Error: Nothing was imported: "));
    dialogs_.answer(mrNo);
    ASSERT_TRUE(form_.ImportAll(file_));
    EXPECT_EQ(stored("Hydrolysis").ColumnT, "99");  // kept
    EXPECT_EQ(stored("Extra").ColumnT, "40");       // new: imported
    // Yes replaces; a second import leaves the same store.
    for (int i = 0; i < 2; ++i) {
        dialogs_.answer(mrYes);
        ASSERT_TRUE(form_.ImportAll(file_));
        EXPECT_EQ(dump(), exported);
    }
}

// Replacing what the loaded sequence uses (whether it runs or not) is named in the question,
// with the sequence and the line, as Delete names it.
TEST_F(Stores, ImportQuestionNamesWhatTheLoadedSequenceUses) {
    storeMethod(plainMethod("Hydrolysis"));
    storeMethod(plainMethod("Other"));
    storeSequence("Amino", {{"Other", "1"}, {"Hydrolysis", "2"}});
    ASSERT_TRUE(form_.ExportAll(file_));
    dialogs_.shown.clear();
    TInstrumentModule module;
    dialogs_.shown.clear();
    const QString stored =
        "Warning: These are stored already:\nMethod Hydrolysis\nMethod Other\nSequence Amino\n\n";
    const QString ask = "Replace them with the ones from the file? No imports only the new ones.";
    const struct {
        const char* loaded;
        QStringList lines;
        QString uses;
    } rows[] = {
        {"", {}, ""},
        {"Amino",
         {"Other", "Hydrolysis"},
         "The loaded sequence \"Amino\" uses method \"Hydrolysis\" (line 2).\nThe loaded sequence \"Amino\" "
         "uses "
         "method \"Other\" (line 1).\nSequence \"Amino\" is the loaded sequence.\n\n"},
        {"aMINO",
         {"Gone", "x", "HYDROLYSIS", "hydrolysis"},
         "The loaded sequence \"aMINO\" uses method \"Hydrolysis\" (line 3).\nSequence \"aMINO\" is the "
         "loaded "
         "sequence.\n\n"},
        {"B%1", {"Extra", "Hydro"}, ""},
        {"S %1 %s", {"Other"}, "The loaded sequence \"S %1 %s\" uses method \"Other\" (line 1).\n\n"},
    };
    // A run is in progress: the question speaks of it.
    SequenceRunning = [] { return true; };
    for (const auto& r : rows) {
        module.Sequence.Name = r.loaded;
        module.Sequence.MethodList.Clear();
        for (const QString& l : r.lines) module.Sequence.MethodList.Add(l);
        dialogs_.answer(mrCancel);
        EXPECT_FALSE(form_.ImportAll(file_));
        // A replaced method of the loaded sequence: a run in progress keeps its own.
        const QString keeps =
            r.uses.isEmpty()
                ? QString()
                : r.uses.chopped(1) +
                      "A run in progress keeps the method it started with; the runs after it use "
                      "the imported one.\n\n";
        EXPECT_EQ(takeBoxes(), QStringList{stored + keeps + ask}) << r.loaded;
    }
    SequenceRunning = nullptr;
}

// One stored entry is named as one; the main window hears of an import only when it stored
// what the loaded sequence uses.
TEST_F(Stores, OneStoredEntryIsAskedAboutAsOneAndTheLoadedSequenceIsToldOfItsChange) {
    storeMethod(plainMethod("Short"));
    ASSERT_TRUE(form_.ExportAll(file_));
    TInstrumentModule module;
    dialogs_.shown.clear();
    int told = 0;
    OnLoadedSequenceStored = [&] { ++told; };
    const QString one = "Warning: This is stored already:\nMethod Short\n\n";
    const QString uses =
        "The loaded sequence \"Run\" uses method \"Short\" (line 1).\nA run in progress keeps the "
        "method it started with; the runs after it use the imported one.\n\n";
    const QString usesIdle =
        "The loaded sequence \"Run\" uses method \"Short\" (line 1).\nThe main window loads the imported "
        "one at once.\n\n";
    const QString ask = "Replace it with the one from the file? No imports only the new ones.";
    const struct {
        const char* loaded;
        MsgResult answer;
        QString question;
        int told;
    } rows[] = {
        {"", mrYes, one + ask, 0},
        {"Run", mrNo, one + uses + ask, 0},
        {"Run", mrYes, one + uses + ask, 1},
        {"Run", mrYes, one + usesIdle + ask, 1},  // no run in progress
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.loaded) + std::to_string(r.answer));
        module.Sequence.Name = r.loaded;
        module.Sequence.MethodList.Clear();
        if (*r.loaded) module.Sequence.MethodList.Add("short");
        told = 0;
        const bool running = r.question != one + usesIdle + ask;
        SequenceRunning = [running] { return running; };
        dialogs_.answer(r.answer);
        EXPECT_TRUE(form_.ImportAll(file_));
        EXPECT_EQ(takeBoxes().value(0), r.question);
        EXPECT_EQ(told, r.told);
    }
    OnLoadedSequenceStored = nullptr;
    SequenceRunning = nullptr;
}

TEST_F(Stores, UnreadableOrEmptyFilesChangeNothing) {
    storeMethod(fullMethod("Hydrolysis"));
    const std::string before = dump();
    const QString d = QString::fromStdString(env_.dir);
    const QString nothing = " holds no methods or sequences to import.";
    const struct {
        std::string name;
        const char* content;  // nullptr: no file
        size_t size;
        QString message;
    } cases[] = {
        {"/missing.sav", nullptr, 0, "The file " + d + "/missing.sav does not exist."},
        {"", nullptr, 0, d + " is not a file."},
        {"/binary.sav", "\x00\x01\xff\xfe[\x00garbage\n\x7f", 15, d + "/binary.sav" + nothing},
        {"/empty.sav", "", 0, d + "/empty.sav" + nothing},
        {"/nameless.sav", "[Method0]\nColumnT=1\n", 20,
         d + "/nameless.sav" + nothing +
             "\n\nNot imported, for a missing name or a name with \"\\\":\nMethod0"},
    };
    for (const auto& c : cases) {
        if (c.content) writeFile(env_.dir + c.name, std::string(c.content, c.size));
        EXPECT_FALSE(form_.ImportAll(env_.dir + c.name)) << c.name;
        EXPECT_EQ(takeBoxes(), QStringList{"Error: " + c.message});
        EXPECT_EQ(dump(), before) << c.name;
    }
}

// A named pipe, a device, a folder or a huge file picked in the dialog: the import never waits
// on it nor reads it whole, says why naming it, and changes nothing; an export to such a name
// never reads what is there.
TEST_F(Stores, AnImportFileThatIsNotARegularFileOfASaneSizeIsRefusedAndNamed) {
    storeMethod(fullMethod("Hydrolysis"));
    const std::string before = dump();
    const QString file = QString::fromStdString(file_);
    for (const OddFile& odd : oddFiles()) {
        SCOPED_TRACE(odd.name);
        ASSERT_TRUE(makeOdd(odd.kind, file_));
        BlockWatchdog watchdog(odd.name);
        EXPECT_FALSE(form_.ImportAll(file_));
        const QString why = odd.kind == OddKind::Folder ? file + " is not a file."
                            : odd.kind == OddKind::Huge
                                ? file + " is too large to be an export file."
                                : file + " is not read: it is a " + odd.because + ", not a regular file.";
        EXPECT_EQ(takeBoxes(), QStringList{"Error: " + why});
        EXPECT_EQ(dump(), before);
        form_.ExportAll(file_);
        takeBoxes();
    }
}

// Names with a control character are refused with that reason; a missing name or one with "\"
// keeps its own.
TEST_F(Stores, ANameWithAControlCharacterIsRefusedForThat) {
    writeFile(file_, "[Method0]\nName=Tab\there\n" + kFixed + "[Method1]\nName=\n" + kFixed +
                         "[Method2]\nName=Bell\a\n" + kFixed + std::string("[Sequence0]\nName=Nul\0x\n", 23) +
                         "[Sequence1]\nName=a\\b\n[Sequence2]\nName=Good\n");
    ASSERT_TRUE(form_.ImportAll(file_));
    EXPECT_EQ(keys(kSequences), Strings{"Good"});
    EXPECT_EQ(
        takeBoxes(),
        QStringList{report("0 methods and 1 sequence",
                           "\n\nNot imported, for a missing name or a name with \"\\\":\nMethod1\nSequence1"
                           "\n\nNot imported, for a name with a control character (a NUL, a line break, a "
                           "tab):\nMethod0\nMethod2\nSequence0")});
}

// Each entry of the file stored in an older state; after importing the export cut at any
// point (with Yes to replacing), each entry is the exported one or still the older one.
class CutImport : public Stores {
  protected:
    void SetUp() override {
        Stores::SetUp();
        TMethodINIParams b = fullMethod("B");
        b.PumpTimeList = {"1", "5", "9"};
        b.Pump1FlowList = {"0.1", "0.2", "0.3"};
        b.Pump2FlowList = {"0.4", "0.5", "0.6"};
        b.ColumnTimeList = {"2", "4", "6"};
        b.ColumnTempList = {"40", "50", "60"};
        storeMethod(fullMethod("A"));
        storeMethod(b);
        storeSequence("S", {{"A", "1"}, {"B", "2"}, {"A", "3"}, {"B", "4"}});
        storeSequence("T", {{"B", "5"}, {"A", "6"}});
        EXPECT_TRUE(form_.ExportAll(file_));
        whole_ = fileBytes(file_);
        now_ = state();
        storeOld();
        old_ = state();
        dialogs_.shown.clear();
    }
    void storeOld() {
        for (const char* name : {"A", "B"}) storeMethod(plainMethod(name));
        for (const char* name : {"S", "T"}) storeSequence(name, {{"A", "9"}});
    }
    // A, B, S and T as stored.
    std::vector<std::string> state() const {
        return {describe(stored("A")), describe(stored("B")), lines("S").join(",").toStdString(),
                lines("T").join(",").toStdString()};
    }
    // Imports text with Yes to the question; the report box.
    QString import(const std::string& text) {
        storeOld();
        writeFile(file_, text);
        dialogs_.shown.clear();
        dialogs_.answer(mrYes);
        form_.ImportAll(file_);
        return boxes().isEmpty() ? QString() : boxes().last();
    }
    std::string whole_;
    std::vector<std::string> now_, old_;
};

TEST_F(CutImport, TheLastSectionOfACutExportIsRefusedAndNamed) {
    const char* const sections[] = {"[Method00000]", "[Method00001]", "[Sequence00000]", "[Sequence00001]"};
    const QString cutNote =
        "The file is cut off: it lacks its last line \"; end of export\", so whatever "
        "followed is missing.";
    // Every cut at a line end and in the middle of every line but a section's first.
    std::vector<size_t> cuts;
    for (size_t at = 0; (at = whole_.find('\n', at)) != std::string::npos; ++at) {
        const size_t lineStart = whole_.rfind('\n', at - 1) + 1;
        if (whole_[lineStart] != '[') cuts.push_back(lineStart + (at - lineStart) / 2);
        cuts.push_back(at + 1);
    }
    for (size_t at : cuts) {
        const std::string text = whole_.substr(0, at);
        SCOPED_TRACE(text.substr(text.rfind('\n', text.size() - 2) + 1));
        const QString box = import(text);
        const std::vector<std::string> got = state();
        if (at == whole_.size()) {
            EXPECT_EQ(got, now_);
            EXPECT_TRUE(box.startsWith("Info: Imported 2 methods and 2 sequences")) << box.toStdString();
            continue;
        }
        // Entries whose section is followed by another are whole; the last one is kept back.
        int last = -1;
        for (int i = 0; i < 4; ++i)
            if (text.find(sections[i]) != std::string::npos) last = i;
        for (int i = 0; i < 4; ++i) EXPECT_EQ(got[i], i < last ? now_[i] : old_[i]) << sections[i];
        if (text.find('\n') == std::string::npos) continue;  // not even the opening line: an unknown file
        EXPECT_TRUE(box.contains(cutNote)) << box.toStdString();
        if (last < 0) continue;
        // The refused section is named as the file has it: with its name once that is read.
        const char name = "ABST"[last];
        const bool named =
            text.find("Name=" + std::string(1, name) + "\r", text.find(sections[last])) != std::string::npos;
        const QString label =
            QString(sections[last]).mid(1).chopped(1) + (named ? QString(" (") + name + ")" : QString());
        EXPECT_TRUE(box.endsWith("Not imported, as it may be incomplete:\n" + label)) << box.toStdString();
    }
    // The export cut after B's first pump row: B keeps its three rows of each timetable.
    const std::string row = "PumpFlowTT00000=1;0.1;0.4\r\n";
    const QString box = import(whole_.substr(0, whole_.find(row) + row.size()));
    EXPECT_EQ(box, "Warning: Imported 1 method and 0 sequences from " + QString::fromStdString(file_) +
                       ".\n\n" + cutNote + "\nNot imported, as it may be incomplete:\nMethod00001 (B)");
    EXPECT_EQ(state()[1], old_[1]);
}

// An export opened and saved again by an editor that puts a byte-order mark in front (and may
// end its lines with LF alone) still promises its closing line: cut, it is seen as cut.
TEST_F(CutImport, AnExportSavedAgainWithAByteOrderMarkAndCutIsSeenAsCut) {
    std::string lf = whole_;
    for (size_t at = 0; (at = lf.find("\r\n", at)) != std::string::npos;) lf.erase(at, 1);
    for (const std::string& saved : {"\xEF\xBB\xBF" + whole_, "\xEF\xBB\xBF" + lf}) {
        SCOPED_TRACE(saved.find('\r') == std::string::npos ? "LF" : "CR LF");
        EXPECT_EQ(import(saved), report("2 methods and 2 sequences")) << "whole, it imports as before";
        EXPECT_EQ(state(), now_);
        const std::string row = "ColTempTT00001=4;50";
        const QString box = import(saved.substr(0, saved.find(row) + row.size()));
        EXPECT_EQ(box,
                  "Warning: Imported 1 method and 0 sequences from " + QString::fromStdString(file_) +
                      ".\n\nThe file is cut off: it lacks its last line \"; end of export\", so whatever "
                      "followed is missing.\nNot imported, as it may be incomplete:\nMethod00001 (B)");
        EXPECT_EQ(state()[1], old_[1]) << "B keeps its rows";
    }
}

TEST_F(CutImport, AnOlderFileIsReadAsBeforeAndItsLastLineWithoutALineEndCounts) {
    // Without the opening line the closing line promises nothing.
    std::string older = whole_.substr(whole_.find('['));
    older = older.substr(0, older.rfind("; end of export"));
    older.resize(older.size() - 2);  // and the last line ends without CR LF
    EXPECT_EQ(import(older), report("2 methods and 2 sequences"));
    EXPECT_EQ(state(), now_);
}

TEST_F(Stores, AWindows1252FileKeepsItsNamesApartAndFoldedNamesReplaceOnlyOnYes) {
    const std::string stored1252 = "M\xC3\x88THODE \xE2\x82\xAC";  // "MÈTHODE €", stored already
    storeMethod(fullMethod(stored1252));
    std::string fixed = kFixed;
    for (size_t at = 0; (at = fixed.find('\n', at)) != std::string::npos; at += 2) fixed.insert(at, "\r");
    // "Méthode", "Mèthode €" and "MÉTHODE" in Windows-1252, as the original platform writes them.
    writeFile(file_, "[Method00000]\r\nName=M\xE9thode\r\n" + fixed +
                         "[Method00001]\r\nName=M\xE8thode \x80\r\n" + fixed +
                         "[Method00002]\r\nName=M\xC9THODE\r\n" + fixed);
    const QString notUtf8 = "\n\nThe file is not UTF-8: its texts were read as Windows-1252.";
    dialogs_.answer(mrNo);  // nothing replaced: the file's first of each name, where none is stored
    ASSERT_TRUE(form_.ImportAll(file_));
    EXPECT_EQ(keys(kMethods), (Strings{stored1252, "M\xC3\xA9thode"}));
    EXPECT_EQ(stored(stored1252).PumpTimeList.size(), 2u);
    EXPECT_EQ(takeBoxes(),
              (QStringList{QString::fromUtf8("Warning: This is stored already:\nMethod M\xC3\x88THODE "
                                             "\xE2\x82\xAC (in the file: M\xC3\xA8thode \xE2\x82\xAC)\n\n"
                                             "This is in the file more than once (letter case aside); the "
                                             "later one replaces the earlier:\nMethod \"M\xC3\xA9thode\" "
                                             "(Method00000), \"M\xC3\x89THODE\" (Method00002)\n\n"
                                             "Replace them with the ones from the file? No imports only the "
                                             "new ones."),
                           report("1 method and 0 sequences", notUtf8)}));

    dialogs_.answer(mrYes);
    ASSERT_TRUE(form_.ImportAll(file_));
    EXPECT_EQ(keys(kMethods), (Strings{"M\xC3\xA8thode \xE2\x82\xAC", "M\xC3\x89THODE"}));
    EXPECT_TRUE(stored("M\xC3\xA8thode \xE2\x82\xAC").PumpTimeList.empty());
    EXPECT_EQ(boxes()[1],
              report("2 methods and 0 sequences",
                     notUtf8 + QString::fromUtf8(
                                   "\n\nReplaced:\n"
                                   "Method \"M\xC3\x89THODE\" (Method00002) replaces \"M\xC3\xA9thode\" "
                                   "(Method00000)\nMethod \"M\xC3\x89THODE\" (Method00002) replaces "
                                   "the stored \"M\xC3\xA9thode\"\nMethod \"M\xC3\xA8thode "
                                   "\xE2\x82\xAC\" (Method00001) replaces the stored "
                                   "\"M\xC3\x88THODE \xE2\x82\xAC\"")));
}

}  // namespace
