// Import of files that are not what an export writes: a file cut off never replaces a stored
// method; a Windows-1252 file keeps its names apart; names that fold to one key are one entry
// that replaces another only after the question, and the report says so.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "methods/ExportImport.h"
#include "methods/MethodParams.h"
#include "methods/support_store.h"
#include "support/StoredMethods.h"

namespace {

class ImportDamage : public StoreTest {
  protected:
    static TMethodINIParams withRows(const std::string& name) {
        TMethodINIParams m = plainMethod(name);
        m.PumpTimeList = {"1", "5"};
        m.Pump1FlowList = {"0.30", "0.50"};
        m.Pump2FlowList = {"0.30", "0.40"};
        return m;
    }
    static Strings sortedKeys() {
        Strings k = keys(CMethodNames().MethodsKey);
        std::sort(k.begin(), k.end());
        return k;
    }
    static TMethodINIParams load(const std::string& name) {
        TMethodINIParams m;
        m.Name = name;
        EXPECT_TRUE(CMethodNames().LoadMethod(m)) << name;
        return m;
    }
    std::string file_ = env_.path("export.sav");
    TExportImport1 form_;
};

TEST_F(ImportDamage, AFileCutOffReplacesNothingAndNamesWhatItSkipped) {
    storeMethod(withRows("A"));
    storeMethod(withRows("B"));
    ASSERT_TRUE(form_.ExportAll(file_));
    std::ostringstream ss;
    ss << std::ifstream(file_, std::ios::binary).rdbuf();
    const std::string whole = ss.str();
    // Cut after a whole line inside B (its flows and rows are gone), and inside a row of B.
    for (const std::string& cutAfter :
         {std::string("Pump1Flow=0.25\r\n"), std::string("PumpFlowTT00001=5;0.5")}) {
        SCOPED_TRACE(cutAfter);
        const size_t at = whole.find(cutAfter, whole.find("[Method00001]"));
        ASSERT_NE(at, std::string::npos);
        std::ofstream(file_, std::ios::binary | std::ios::trunc) << whole.substr(0, at + cutAfter.size());
        dialogs_.shown.clear();
        dialogs_.answer(mrYes);
        ASSERT_TRUE(form_.ImportAll(file_));
        const TMethodINIParams b = load("B");
        EXPECT_EQ(b.Pump2Flow, "0.25");
        EXPECT_EQ(b.PumpTimeList, (Strings{"1", "5"}));
        EXPECT_EQ(b.Pump2FlowList, (Strings{"0.30", "0.40"}));
        ASSERT_EQ(dialogs_.shown.size(), 2u);
        EXPECT_EQ(dialogs_.shown[0].text,
                  "These are stored already:\nMethod A\n\n"
                  "Replace them with the ones from the file? No imports only the new ones.");
        EXPECT_EQ(dialogs_.shown[1].text.toStdString(),
                  "Imported 1 methods and 0 sequences from " + file_ +
                      ".\n\nNot imported, damaged (cut off, or without keys that every export writes):\n"
                      "Method00001 (B)");
    }
}

TEST_F(ImportDamage, AWindows1252FileKeepsItsNamesApartAndFoldedNamesReplaceOnlyOnYes) {
    storeMethod(withRows("M\xC3\x88THODE \xE2\x82\xAC"));  // "MÈTHODE €", stored already
    const std::string fixed =
        "ColumnT=40\r\nColumnD=\r\nReactorT=50\r\nReactorV=\r\nReagent1D=\r\nReagent2D=\r\nRuntime=2\r\n"
        "EquilTime=10\r\nPump1Flow=0.25\r\nPump2Flow=0.25\r\nflushMethod=0\r\npowerCoolingMethod=0\r\n";
    // "Méthode", "Mèthode €" and "MÉTHODE" in Windows-1252, as the original platform writes them.
    std::ofstream(file_, std::ios::binary) << "[Method00000]\r\nName=M\xE9thode\r\n"
                                           << fixed << "[Method00001]\r\nName=M\xE8thode \x80\r\n"
                                           << fixed << "[Method00002]\r\nName=M\xC9THODE\r\n"
                                           << fixed;
    dialogs_.answer(mrNo);  // nothing replaced: the file's first of each name, where none is stored
    ASSERT_TRUE(form_.ImportAll(file_));
    EXPECT_EQ(sortedKeys(), (Strings{"M\xC3\x88THODE \xE2\x82\xAC", "M\xC3\xA9thode"}));
    EXPECT_EQ(load("M\xC3\x88THODE \xE2\x82\xAC").PumpTimeList.size(), 2u);
    ASSERT_EQ(dialogs_.shown.size(), 2u);
    EXPECT_EQ(dialogs_.shown[0].text.toStdString(),
              "These are stored already:\nMethod M\xC3\x88THODE \xE2\x82\xAC (in the file: M\xC3\xA8thode "
              "\xE2\x82\xAC)\n\n"
              "These are in the file more than once (letter case aside); the later one replaces the "
              "earlier:\nMethod \"M\xC3\xA9thode\" (Method00000), \"M\xC3\x89THODE\" (Method00002)\n\n"
              "Replace them with the ones from the file? No imports only the new ones.");
    EXPECT_EQ(dialogs_.shown[1].text.toStdString(),
              "Imported 1 methods and 0 sequences from " + file_ +
                  ".\n\nThe file is not UTF-8: its texts were read as Windows-1252.");

    dialogs_.shown.clear();
    dialogs_.answer(mrYes);
    ASSERT_TRUE(form_.ImportAll(file_));
    EXPECT_EQ(sortedKeys(), (Strings{"M\xC3\x89THODE", "M\xC3\xA8thode \xE2\x82\xAC"}));
    EXPECT_TRUE(load("M\xC3\xA8thode \xE2\x82\xAC").PumpTimeList.empty());
    EXPECT_EQ(dialogs_.shown[1].text.toStdString(),
              "Imported 2 methods and 0 sequences from " + file_ +
                  ".\n\nThe file is not UTF-8: its texts were read as Windows-1252.\n\nReplaced:\n"
                  "Method \"M\xC3\x89THODE\" (Method00002) replaces \"M\xC3\xA9thode\" (Method00000)\n"
                  "Method \"M\xC3\x89THODE\" (Method00002) replaces the stored \"M\xC3\xA9thode\"\n"
                  "Method \"M\xC3\xA8thode \xE2\x82\xAC\" (Method00001) replaces the stored \"M\xC3\x88THODE "
                  "\xE2\x82\xAC\"");
}

}  // namespace
