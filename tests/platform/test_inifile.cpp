#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/IniFile.h"
#include "support/TempEnv.h"

class IniFileTest : public ::testing::Test {
  protected:
    TempEnv env;
    std::string path = env.path("ZentrovaSequencesMethods.sav");
};

TEST_F(IniFileTest, MissingFileReadsAsEmptyAndWritesInOrderWithCrLf) {
    IniFile ini(path);
    EXPECT_TRUE(ini.readSections().empty());
    EXPECT_EQ(ini.readString("Method00000", "Name", "def"), "def");
    EXPECT_EQ(ini.lastError(), "");
    ini.writeString("Method00000", "Name", "Hydrolysis");
    ini.writeString("Method00000", "ColumnT", "40");
    ini.writeBool("Method00000", "flushMethod", false);
    ini.writeString("Sequence00000", "Name", "Amino");
    ini.writeInteger("Sequence00000", "Count", -3);
    ini.writeString("Method00000", "PumpFlowTT00000", "1;0.30;0.30");
    EXPECT_FALSE(std::ifstream(path).good()) << "nothing is written before updateFile";
    ASSERT_TRUE(ini.updateFile()) << ini.lastError();
    EXPECT_EQ(fileBytes(path),
              "[Method00000]\r\nName=Hydrolysis\r\nColumnT=40\r\nflushMethod=0\r\n"
              "PumpFlowTT00000=1;0.30;0.30\r\n[Sequence00000]\r\nName=Amino\r\nCount=-3\r\n");
}

TEST_F(IniFileTest, EmptyContentWritesAnEmptyFile) {
    writeFile(path, "old contents\r\n");
    ::unlink(path.c_str());
    IniFile ini(path);
    ASSERT_TRUE(ini.updateFile());
    EXPECT_EQ(fileBytes(path), "");
}

TEST_F(IniFileTest, ReadsLfAndCrLfIgnoringCaseAndTrimming) {
    writeFile(path,
              "\xEF\xBB\xBF; a comment\n"
              "[Method00000]\r\n"
              "  Name =  Hydrolysis  \r\n"
              "ColumnT=40\n"
              "\n"
              "PumpFlowTT00001=20;0.50;0.30\n"
              "PumpFlowTT00000=1;0.30;0.30\n"
              "junk line without equals\n"
              "name=second Name is ignored\n"
              "[ Sequence00000 ]\n"
              "Name=Amino\n"
              "SequenceLine00000=Hydro;lysis;2\n"
              "flag=$10\n"
              "bad=1x\n"
              "[method00000]\n"
              "Extra=yes\n");
    IniFile ini(path);
    EXPECT_EQ(ini.readSections(), (std::vector<std::string>{"Method00000", "Sequence00000"}));
    EXPECT_EQ(ini.readString("METHOD00000", "NAME", ""), "Hydrolysis");
    EXPECT_EQ(ini.readString("method00000", "extra", ""), "yes");
    EXPECT_EQ(ini.readSection("Method00000"),
              (std::vector<std::string>{"Name", "ColumnT", "PumpFlowTT00001", "PumpFlowTT00000", "Extra"}));
    EXPECT_EQ(ini.readString("Sequence00000", "SequenceLine00000", ""), "Hydro;lysis;2");
    EXPECT_EQ(ini.readInteger("Sequence00000", "flag", 0), 16);
    EXPECT_EQ(ini.readInteger("Sequence00000", "bad", 7), 7);
    EXPECT_FALSE(ini.readBool("Sequence00000", "bad", false));
    EXPECT_TRUE(ini.readBool("Sequence00000", "flag", false));
    EXPECT_FALSE(ini.readBool("Sequence00000", "missing", false));
    EXPECT_TRUE(ini.sectionExists("sequence00000"));
    EXPECT_TRUE(ini.valueExists("Sequence00000", "NAME"));
    EXPECT_FALSE(ini.valueExists("Sequence00000", "Nope"));
    EXPECT_FALSE(ini.sectionExists("Nope"));
    EXPECT_TRUE(ini.readSection("Nope").empty());
}

TEST_F(IniFileTest, NoLengthLimits) {
    IniFile ini(path);
    const std::string big(100000, 'v');
    for (int i = 0; i < 3000; ++i) ini.writeString("Section" + std::to_string(i), "Key", big.substr(0, 10));
    ini.writeString("Section0", "Big", big);
    for (int i = 0; i < 3000; ++i) ini.writeString("Section1", "PumpFlowTT" + std::to_string(i), "1;2;3");
    ASSERT_TRUE(ini.updateFile());
    IniFile back(path);
    EXPECT_EQ(back.readSections().size(), 3000u);
    EXPECT_EQ(back.readString("Section0", "Big", ""), big);
    EXPECT_EQ(back.readSection("Section1").size(), 3001u);
}

TEST_F(IniFileTest, RewriteKeepsCommentsAndOrderAndReplacesValues) {
    writeFile(path, "; keep me\n[A]\nx=1\n; inner\ny=2\n\n[B]\nz=3\n");
    IniFile ini(path);
    ini.writeString("a", "X", "10");
    ini.writeString("A", "new", "n");
    ini.deleteKey("B", "Z");
    ini.writeString("C", "k", " padded \r\nvalue ");
    ASSERT_TRUE(ini.updateFile());
    EXPECT_EQ(
        fileBytes(path),
        "; keep me\r\n[A]\r\nx=10\r\n; inner\r\ny=2\r\nnew=n\r\n\r\n[B]\r\n[C]\r\nk=padded   value\r\n");
    ini.eraseSection("b");
    EXPECT_EQ(ini.readSections(), (std::vector<std::string>{"A", "C"}));
}

TEST_F(IniFileTest, UpdateReplacesAtomicallyAndReportsFailures) {
    writeFile(path, "[Old]\nk=v\n");
    chmod(path.c_str(), 0640);
    IniFile ini(path);
    ini.writeString("New", "k", "v");
    ASSERT_TRUE(ini.updateFile());
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << "the replaced file keeps its mode";
    // No temporary file is left beside it.
    int entries = 0;
    for (auto& e : std::filesystem::directory_iterator(env.dir))
        entries += e.path().filename().string().rfind("ZentrovaSequencesMethods.sav", 0) == 0;
    EXPECT_EQ(entries, 1);

    IniFile bad(env.path("no/such/folder/x.ini"));
    bad.writeString("S", "k", "v");
    EXPECT_FALSE(bad.updateFile());
    EXPECT_NE(bad.lastError().find("Unable to write to"), std::string::npos) << bad.lastError();
    EXPECT_NE(bad.lastError().find("no/such/folder/x.ini"), std::string::npos);
}

TEST_F(IniFileTest, AFileThatCannotBeReadIsNotOverwritten) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    writeFile(path, "[Keep]\nk=v\n");
    chmod(path.c_str(), 0200);
    IniFile ini(path);
    EXPECT_NE(ini.lastError(), "");
    ini.writeString("S", "k", "v");
    EXPECT_FALSE(ini.updateFile());
    chmod(path.c_str(), 0600);
    EXPECT_EQ(fileBytes(path), "[Keep]\nk=v\n");
}

// Ten thousand sections and keys (an import file someone made by hand or by script)
// are read and edited in about linear time; lookups used to scan every section and key.
TEST_F(IniFileTest, ManySectionsAndKeysStayFindableAfterEdits) {
    constexpr int kSections = 10000, kKeys = 10000;
    std::string text = "[Big]\n";
    for (int i = 0; i < kKeys; ++i) text += "Key" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    text += "KEY7=duplicate\n\n";
    for (int i = 0; i < kSections; ++i)
        text += "[S" + std::to_string(i) + "]\nName=n" + std::to_string(i) + "\n";
    text += "[s5]\nextra=1\n";
    writeFile(path, text);

    IniFile ini(path);
    const auto keys = ini.readSection("big");
    ASSERT_EQ(keys.size(), static_cast<size_t>(kKeys)) << "a repeated key is listed once";
    for (int i = 0; i < kKeys; i += 397) EXPECT_EQ(ini.readInteger("BIG", keys[i], -1), i);
    EXPECT_EQ(ini.readString("Big", "key7", ""), "7") << "the first of repeated keys counts";
    EXPECT_EQ(ini.readSections().size(), static_cast<size_t>(kSections + 1));
    EXPECT_EQ(ini.readString("S9999", "Name", ""), "n9999");
    EXPECT_EQ(ini.readString("S5", "Extra", ""), "1") << "a repeated section continues the first";

    ini.writeString("Big", "New", "v");
    ini.writeString("S5", "Name", "renamed");
    ini.eraseSection("S3");
    ini.deleteKey("Big", "Key2");
    ini.writeString("Later", "k", "w");
    EXPECT_FALSE(ini.sectionExists("s3"));
    EXPECT_EQ(ini.readString("S4", "Name", ""), "n4");
    EXPECT_EQ(ini.readString("S9999", "Name", ""), "n9999");
    EXPECT_EQ(ini.readString("Big", "Key3", ""), "3");
    EXPECT_FALSE(ini.valueExists("Big", "Key2"));
    EXPECT_EQ(ini.readString("big", "new", ""), "v");
    EXPECT_EQ(ini.readString("later", "K", ""), "w");
    ASSERT_TRUE(ini.updateFile()) << ini.lastError();

    IniFile again(path);
    EXPECT_EQ(again.readString("S5", "Name", ""), "renamed");
    EXPECT_EQ(again.readString("Big", "New", ""), "v");
    EXPECT_EQ(again.readSection("Big").size(), static_cast<size_t>(kKeys));  // one deleted, one added
}
