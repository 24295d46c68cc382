// The export/import file: exact file contents for a known store, round trips between
// instances, the import's reading rules, questions before replacing, refused entries, and
// files or stores that fail without changing anything.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "methods/ExportImport.h"
#include "methods/MethodParams.h"
#include "methods/SequenceParams.h"
#include "methods/support_store.h"
#include "platform/Dialogs.h"
#include "platform/Instance.h"
#include "platform/Registry.h"
#include "platform/i18n.h"
#include "unicode/UxControls.h"

namespace {

// The keys every exported method section has; a section without them is damaged.
const std::string kTexts =
    "ColumnT=\nColumnD=\nReactorT=\nReactorV=\nReagent1D=\nReagent2D=\nRuntime=\nEquilTime=\n"
    "Pump1Flow=\nPump2Flow=\n";
const std::string kFixed = kTexts + "flushMethod=0\npowerCoolingMethod=0\n";

class ExportImportTest : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        setDecimalSeparator('.');
        file_ = env_.path("export.sav");
    }
    void TearDown() override {
        ExportImportFileDialog = nullptr;
        StoreTest::TearDown();
    }

    static void saveMethod(const TMethodINIParams& m) { ASSERT_TRUE(CMethodNames().SaveMethod(m)); }
    static void saveSequence(const std::string& name, const std::vector<std::pair<QString, QString>>& lines) {
        TSequenceINIParams q;
        q.Name = QString::fromStdString(name);
        for (const auto& [method, runs] : lines) {
            q.MethodList.Add(method);
            q.RunList.Add(runs);
        }
        ASSERT_TRUE(CSequenceNames().SaveSequence(q));
    }
    static TMethodINIParams hydrolysis() {
        TMethodINIParams m;
        m.Name = "Hydrolysis";
        m.ColumnT = "40";
        m.ColumnD = "C18 #7";
        m.ReactorT = "130";
        m.ReactorV = "0.5";
        m.Reagent1D = "Ninhydrin";
        m.Reagent2D = "Buffer=B";
        m.Runtime = "45.0";
        m.EquilTime = "12,5";
        m.Pump1Flow = "0.30";
        m.Pump2Flow = "0.30";
        m.PumpTimeList = {"1", "20"};
        m.Pump1FlowList = {"0.30", "0.50"};
        m.Pump2FlowList = {"0.30", "0.30"};
        m.ColumnTimeList = {"10"};
        m.ColumnTempList = {"45"};
        return m;
    }
    static TMethodINIParams load(const std::string& name) {
        TMethodINIParams m;
        m.Name = name;
        EXPECT_TRUE(CMethodNames().LoadMethod(m)) << name;
        return m;
    }
    static std::vector<std::pair<std::string, std::string>> lines(const std::string& name) {
        TSequenceINIParams q;
        q.Name = QString::fromStdString(name);
        std::vector<std::pair<std::string, std::string>> out;
        if (!CSequenceNames().LoadSequence(q)) {
            out.emplace_back("<missing>", "");
            return out;
        }
        for (int i = 0; i < q.MethodList.GetCount(); ++i)
            out.emplace_back(q.MethodList.Get(i).toStdString(), q.RunList.Get(i).toStdString());
        return out;
    }
    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static void write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    // Every key and value under the product key, for "nothing changed" checks.
    static std::string dump(const std::string& path = "\\Software") {
        Registry reg;
        if (!reg.openKey(path, false)) return "";
        std::string out = path + "\n";
        for (const auto& v : reg.getValueNames())
            out += "  " + v + "=" +
                   (reg.getDataType(v) == RegDataType::String ? reg.readString(v)
                                                              : std::to_string(reg.readInteger(v))) +
                   "\n";
        for (const auto& k : reg.getKeyNames()) out += dump(path + "\\" + k);
        return out;
    }

    std::string file_;
    TExportImport1 form_;
};

TEST_F(ExportImportTest, ExportWritesTheKnownLayoutByteForByte) {
    saveMethod(hydrolysis());
    TMethodINIParams flush;
    flush.Name = "flush";
    flush.flushMethod = true;
    flush.powerCoolingMethod = true;
    saveMethod(flush);
    saveSequence("Amino", {{"Hydrolysis", "2"}, {"flush", "1"}});
    saveSequence("Empty", {});
    write(file_, "[Old]\r\nKey=stays?\r\n");

    ASSERT_TRUE(form_.ExportAll(file_));
    const std::string expected =
        "[Method00000]\r\n"
        "Name=flush\r\n"
        "ColumnT=\r\nColumnD=\r\nReactorT=\r\nReactorV=\r\nReagent1D=\r\nReagent2D=\r\n"
        "Runtime=\r\nEquilTime=\r\nPump1Flow=\r\nPump2Flow=\r\n"
        "flushMethod=1\r\n"
        "powerCoolingMethod=1\r\n"
        "[Method00001]\r\n"
        "Name=Hydrolysis\r\n"
        "ColumnT=40\r\n"
        "ColumnD=C18 #7\r\n"
        "ReactorT=130\r\n"
        "ReactorV=0.5\r\n"
        "Reagent1D=Ninhydrin\r\n"
        "Reagent2D=Buffer=B\r\n"
        "Runtime=45.0\r\n"
        "EquilTime=12,5\r\n"
        "Pump1Flow=0.30\r\n"
        "Pump2Flow=0.30\r\n"
        "flushMethod=0\r\n"
        "powerCoolingMethod=0\r\n"
        "PumpFlowTT00000=1;0.30;0.30\r\n"
        "PumpFlowTT00001=20;0.50;0.30\r\n"
        "ColTempTT00000=10;45\r\n"
        "[Sequence00000]\r\n"
        "Name=Amino\r\n"
        "SequenceLine00000=Hydrolysis;2\r\n"
        "SequenceLine00001=flush;1\r\n"
        "[Sequence00001]\r\n"
        "Name=Empty\r\n";
    EXPECT_EQ(read(file_), expected);
    EXPECT_EQ(boxes(), QStringList{"Info: Exported 2 methods and 2 sequences into " + QString::fromStdString(file_) + "."});
}

TEST_F(ExportImportTest, ExportCountsEveryTimetableRow) {
    TMethodINIParams m;
    m.Name = "Rows";
    m.PumpTimeList = m.Pump1FlowList = {"1", "2", "3"};
    m.Pump2FlowList = {"d", "e", "f"};
    m.ColumnTimeList = m.ColumnTempList = {"1", "2", "3", "4", "5"};
    saveMethod(m);
    ASSERT_TRUE(form_.ExportAll(file_));
    const std::string text = read(file_);
    EXPECT_NE(text.find("PumpFlowTT00002=3;3;f\r\nColTempTT00000=1;1\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("ColTempTT00004=5;5\r\n"), std::string::npos);
    EXPECT_EQ(text.find("PumpFlowTT00003"), std::string::npos);
}

TEST_F(ExportImportTest, ExportThatCannotWriteSaysSoAndKeepsWhatWasThere) {
    write(file_, "[Method00000]\r\nName=Old\r\n");
    ASSERT_TRUE(form_.ExportAll(file_));  // an empty store: an empty file
    EXPECT_EQ(read(file_), "");
    dialogs_.shown.clear();
    saveMethod(hydrolysis());
    const std::string missingDir = env_.path("no/such/dir/x.sav");
    EXPECT_FALSE(form_.ExportAll(missingDir));
    ASSERT_EQ(boxes().size(), 1);
    EXPECT_TRUE(boxes()[0].startsWith("Error: Unable to write to " + QString::fromStdString(missingDir)));

    // A folder in the file's place stays a folder, and no temporary file is left beside it.
    const std::string folder = env_.path("taken");
    ASSERT_TRUE(QDir().mkdir(QString::fromStdString(folder)));
    EXPECT_FALSE(form_.ExportAll(folder));
    EXPECT_TRUE(QFileInfo(QString::fromStdString(folder)).isDir());
    EXPECT_EQ(QDir(QString::fromStdString(env_.dir)).entryList({"taken.tmp*"}, QDir::Files).size(), 0);
}

TEST_F(ExportImportTest, RoundTripIntoAnotherInstance) {
    TMethodINIParams m = hydrolysis();
    m.flushMethod = true;
    m.Name = "Semi;colon";
    saveMethod(m);
    saveSequence("Amino", {{"Semi;colon", "2"}, {"Other", "x"}});
    ASSERT_TRUE(form_.ExportAll(file_));
    const std::string want = describe(load("Semi;colon"));

    setInstance("2");
    ASSERT_TRUE(form_.ImportAll(file_));
    EXPECT_EQ(keys("\\Software\\TressivanLabs\\Zentrova\\Instrument2\\Methods"), Strings{"Semi;colon"});
    EXPECT_EQ(describe(load("Semi;colon")), want);
    // The method name with ";" comes back whole.
    EXPECT_EQ(lines("Amino"),
              (std::vector<std::pair<std::string, std::string>>{{"Semi;colon", "2"}, {"Other", "x"}}));
    EXPECT_EQ(dialogs_.shown.back().text,
              "Imported 1 methods and 1 sequences from " + QString::fromStdString(file_) + ".");
}

TEST_F(ExportImportTest, ImportReadsSectionsAndKeysByTheirPrefixes) {
    write(file_,
          "[MethodABC]\nName=A\nflushMethod=7\npowerCoolingMethod=x\n" + kTexts +
              "PumpFlowTT9=5\nPumpFlowTT1=5;0.2\nPumpFlowTTz=1;2;3;4\nColTempTTq=7\nColTempTT0=8;9;10\n"
              "pumpflowtt00000=lower;case;ignored\nOther=1\n"
              "[Methods]\nName=B\n" +
              kFixed +
              "[method00000]\nName=C\n"
              "[SequenceX]\nName=S\nSequenceLine5=Flush\nSequenceLine1=A;3\nSequenceLine0=;4\nLine=B;1\n"
              "[Other]\nName=D\n");
    ASSERT_TRUE(form_.ImportAll(file_));
    EXPECT_EQ(keys(CMethodNames().MethodsKey), (Strings{"A", "B"}));
    const TMethodINIParams a = load("A");
    EXPECT_TRUE(a.flushMethod);
    EXPECT_FALSE(a.powerCoolingMethod);
    // The store keeps only rows with a time, in file order.
    EXPECT_EQ(a.PumpTimeList, (Strings{"5", "1"}));
    EXPECT_EQ(a.Pump1FlowList, (Strings{"", "2;3"}));
    EXPECT_EQ(a.Pump2FlowList, (Strings{"0.2", "4"}));
    EXPECT_EQ(a.ColumnTimeList, (Strings{"7", "8"}));
    EXPECT_EQ(a.ColumnTempList, (Strings{"", "9;10"}));
    // A line without a method name is dropped by the store.
    EXPECT_EQ(lines("S"), (std::vector<std::pair<std::string, std::string>>{{"A", "3"}}));
    EXPECT_EQ(keys(CSequenceNames().SequencesKey), Strings{"S"});
}

TEST_F(ExportImportTest, EntriesWithoutAUsableNameAreReportedAndSkipped) {
    write(file_, "[Method0]\nColumnT=40\n[Method1]\nName=\n" + kFixed + "[Method2]\nName=a\\b\n" + kFixed +
                     "[Method3]\nName=Good\n" + kFixed +
                     "[Sequence0]\nSequenceLine0=Good;1\n[Sequence1]\nName=..\\Methods\\Good\n");
    ASSERT_TRUE(form_.ImportAll(file_));
    EXPECT_EQ(keys(CMethodNames().MethodsKey), Strings{"Good"});
    EXPECT_EQ(keys(CSequenceNames().SequencesKey), Strings{"<missing>"});
    EXPECT_EQ(boxes(), QStringList{"Info: Imported 1 methods and 0 sequences from " + QString::fromStdString(file_) +
                                   ".\n\nNot imported, damaged (cut off, or without keys that every "
                                          "export writes):\nMethod0\nSequence0"
                                          "\n\nNot imported, for a missing name or a name with \"\\\":\n"
                                   "Method1\nMethod2\nSequence1"});
}

TEST_F(ExportImportTest, ImportingTwiceAsksOnceAndLeavesTheSameStore) {
    saveMethod(hydrolysis());
    saveSequence("Amino", {{"Hydrolysis", "2"}});
    ASSERT_TRUE(form_.ExportAll(file_));
    const std::string before = dump();

    dialogs_.shown.clear();
    dialogs_.answer(mrYes);  // replace
    ASSERT_TRUE(form_.ImportAll(file_));
    dialogs_.answer(mrYes);
    ASSERT_TRUE(form_.ImportAll(file_));
    EXPECT_EQ(dump(), before);
    ASSERT_EQ(boxes().size(), 4);
    EXPECT_EQ(boxes(true)[0], "Warning: These are stored already:\nMethod Hydrolysis\nSequence Amino\n\n"
                              "Replace them with the ones from the file? No imports only the new ones. [YesNoCancel No]");
}

TEST_F(ExportImportTest, NoKeepsStoredEntriesAndCancelImportsNothing) {
    saveMethod(hydrolysis());
    TMethodINIParams extra;
    extra.Name = "Extra";
    extra.ColumnT = "50";
    saveMethod(extra);
    ASSERT_TRUE(form_.ExportAll(file_));
    CMethodNames().DeleteMethod(std::string("Extra"));
    TMethodINIParams changed = hydrolysis();
    changed.ColumnT = "99";
    saveMethod(changed);
    const std::string before = dump();

    dialogs_.answer(mrCancel);
    EXPECT_FALSE(form_.ImportAll(file_));
    EXPECT_EQ(dump(), before);

    dialogs_.answer(mrNo);
    ASSERT_TRUE(form_.ImportAll(file_));
    EXPECT_EQ(load("Hydrolysis").ColumnT, "99");  // kept
    EXPECT_EQ(load("Extra").ColumnT, "50");       // new: imported
}

TEST_F(ExportImportTest, UnreadableOrEmptyFilesChangeNothing) {
    saveMethod(hydrolysis());
    const std::string before = dump();
    struct Case {
        std::string path;
        std::string content;  // "" with create false: no file
        bool create;
        QString message;
    };
    const std::string d = env_.dir;
    const std::vector<Case> cases = {
        {d + "/missing.sav", "", false,
         "The file " + QString::fromStdString(d) + "/missing.sav does not exist."},
        {d, "", false, QString::fromStdString(d) + " is not a file."},
        {d + "/binary.sav", std::string("\x00\x01\xff\xfe[\x00garbage\n\x7f", 15), true,
         QString::fromStdString(d) + "/binary.sav holds no methods or sequences to import."},
        {d + "/empty.sav", "", true,
         QString::fromStdString(d) + "/empty.sav holds no methods or sequences to import."},
        {d + "/nameless.sav", "[Method0]\nColumnT=1\n", true,
         QString::fromStdString(d) + "/nameless.sav holds no methods or sequences to import.\n\n"
                                     "Not imported, damaged (cut off, or without keys that every export "
                                     "writes):\nMethod0"},
    };
    for (const Case& c : cases) {
        if (c.create) write(c.path, c.content);
        EXPECT_FALSE(form_.ImportAll(c.path)) << c.path;
        EXPECT_EQ(takeBoxes(), QStringList{"Error: " + c.message});
        EXPECT_EQ(dump(), before) << c.path;
    }
}

TEST_F(ExportImportTest, AStoreThatFailsMidwayKeepsItsOldContents) {
    saveMethod(hydrolysis());
    TMethodINIParams b;
    b.Name = "B";
    b.PumpTimeList = {"1"};
    b.Pump1FlowList = {"1"};
    b.Pump2FlowList = {"1"};
    saveMethod(b);
    saveSequence("Amino", {{"B", "1"}});
    ASSERT_TRUE(form_.ExportAll(file_));
    CMethodNames().DeleteMethod(std::string("B"));
    const std::string before = dump();

    Registry::failAfterWrites(20);  // well into the second method
    dialogs_.shown.clear();
    dialogs_.answer(mrYes);
    EXPECT_FALSE(form_.ImportAll(file_));
    Registry::failAfterWrites(0);
    EXPECT_EQ(dump(), before);
    ASSERT_EQ(boxes().size(), 2);
    EXPECT_TRUE(boxes()[1].startsWith("Error: Nothing was imported: ")) << boxes()[1].toStdString();
}

TEST_F(ExportImportTest, NamesWithSeparatorsAndPercentSignsComeBackWhole) {
    TMethodINIParams m = hydrolysis();
    m.Name = "Mix;1 = 50%s";
    saveMethod(m);
    saveSequence("Seq;A=%s", {{"Mix;1 = 50%s", "2"}, {"Hydrolysis", "3"}});
    ASSERT_TRUE(form_.ExportAll(file_));
    EXPECT_NE(read(file_).find("SequenceLine00000=Mix;1 = 50%s;2\r\n"), std::string::npos);

    Registry reg;
    ASSERT_TRUE(reg.deleteKey(CMethodNames().MethodsKey));
    ASSERT_TRUE(reg.deleteKey(CSequenceNames().SequencesKey));
    ASSERT_TRUE(form_.ImportAll(file_));
    EXPECT_EQ(load("Mix;1 = 50%s").ColumnD, "C18 #7");
    // The runs text is a number: the last ";" ends the method name.
    EXPECT_EQ(lines("Seq;A=%s"),
              (std::vector<std::pair<std::string, std::string>>{{"Mix;1 = 50%s", "2"}, {"Hydrolysis", "3"}}));
}

}  // namespace
