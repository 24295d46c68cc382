#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>

#include "platform/Registry.h"
#include "support/TempEnv.h"

namespace {
const std::string kTool = ZENTROVA_BINARY_DIR "/tools/regtool/regtool";

std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

struct Result {
    int code = -1;
    std::string out, err;
};
}  // namespace

class RegtoolTest : public ::testing::Test {
  protected:
    Result run(const std::vector<std::string>& args, const std::string& input = "") {
        std::string cmd = quote(kTool);
        for (const auto& a : args) cmd += " " + quote(a);
        writeFile(env.path("in.txt"), input);
        cmd += " <" + env.path("in.txt") + " >" + env.path("out.txt") + " 2>" + env.path("err.txt");
        const int status = std::system(cmd.c_str());
        Result r;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = fileBytes(env.path("out.txt"));
        r.err = fileBytes(env.path("err.txt"));
        return r;
    }
    TempEnv env;
};

TEST_F(RegtoolTest, WritesReadsAndListsWhatTheProgramSees) {
    const std::string key = "HKCU\\Software\\TressivanLabs\\Zentrova\\Instrument2";
    EXPECT_EQ(run({"write", key, "COM", "sz", "COM3"}).code, 0);
    EXPECT_EQ(
        run({"write", "HKCU/Software/TressivanLabs/Zentrova/instrument2", "ConnectMethod", "dword", "2"})
            .code,
        0);
    EXPECT_EQ(run({"write", key, "Mask", "dword", "0xffffffff"}).code, 0);
    EXPECT_EQ(run({"write", key, "Raw", "hex", "01,ff"}).code, 0);
    EXPECT_EQ(run({"write", "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "\\Device\\ttyUSB0", "sz", "COM5"}).code,
              0);

    Registry reg;
    ASSERT_TRUE(reg.openKey("\\Software\\TressivanLabs\\Zentrova\\Instrument2", false));
    EXPECT_EQ(reg.readString("COM"), "COM3");
    EXPECT_EQ(reg.readInteger("ConnectMethod"), 2);
    EXPECT_EQ(reg.readInteger("Mask"), -1);
    Registry lm(RegRoot::LocalMachine);
    ASSERT_TRUE(lm.openKey("\\HARDWARE\\DEVICEMAP\\SERIALCOMM", false));
    EXPECT_EQ(lm.readString("\\Device\\ttyUSB0"), "COM5");

    EXPECT_EQ(run({"read", key, "com"}).out, "COM3\n");
    EXPECT_EQ(run({"read", key, "ConnectMethod"}).out, "2\n");
    EXPECT_EQ(run({"read", key, "Raw"}).out, "01,ff\n");
    EXPECT_EQ(run({"list", "HKCU\\Software\\TressivanLabs\\Zentrova"}).out, "Instrument2\\\n");
    EXPECT_EQ(run({"list", key}).out,
              "\"COM\"=sz:COM3\n\"ConnectMethod\"=dword:2\n\"Mask\"=dword:-1\n\"Raw\"=hex:01,ff\n");

    EXPECT_EQ(run({"delete-value", key, "MASK"}).code, 0);
    EXPECT_FALSE(reg.valueExists("Mask"));
    EXPECT_EQ(run({"delete-key", "HKCU\\Software\\TressivanLabs"}).code, 0);
    EXPECT_FALSE(reg.keyExists("\\Software\\TressivanLabs"));
    EXPECT_EQ(run({"path"}).out, Registry::storePath() + "\n");
}

TEST_F(RegtoolTest, ExportAndImportRoundTripEveryByte) {
    {
        Registry reg;
        ASSERT_TRUE(reg.openKey("\\Software\\TressivanLabs\\Zentrova\\Methods\\Hydrolysis", true));
        reg.writeString("ColumnD", "C18 \"wide\" \\ 5\xC2\xB5m\ttab\r\nnext line  ");
        reg.writeString("", "default value");
        reg.writeString("Empty", "");
        reg.writeInteger("Number", INT32_MIN);
        reg.writeBinary("Bytes", {0, 0x7f, 0xff});
        ASSERT_TRUE(
            reg.openKey("\\Software\\TressivanLabs\\Zentrova\\Methods\\Hydrolysis\\Odd \"name\" [1]", true));
        reg.writeString("x\ny\\", "1");
    }
    const Result exported = run({"export", "HKCU\\Software\\TressivanLabs", env.path("export.txt")});
    ASSERT_EQ(exported.code, 0) << exported.err;
    const std::string text = fileBytes(env.path("export.txt"));
    EXPECT_NE(text.find("[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Hydrolysis]\n"),
              std::string::npos);
    EXPECT_NE(text.find("\"Number\"=dword:-2147483648\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"ColumnD\"=sz:C18 \"wide\" \\\\ 5\xC2\xB5m\\ttab\\r\\nnext line  \n"),
              std::string::npos)
        << text;

    ASSERT_EQ(run({"delete-key", "HKCU\\Software"}).code, 0);
    const Result imported = run({"import", env.path("export.txt")});
    ASSERT_EQ(imported.code, 0) << imported.err;
    EXPECT_EQ(run({"export", "HKCU\\Software\\TressivanLabs"}).out, text);
    // Importing twice changes nothing; standard input works as well.
    ASSERT_EQ(run({"import"}, text).code, 0);
    EXPECT_EQ(run({"export", "HKCU\\Software\\TressivanLabs"}).out, text);
}

TEST_F(RegtoolTest, ImportDeletesAndFailsWholeOnBadInput) {
    ASSERT_EQ(run({"import"},
                  "[HKCU\\Software\\A]\n\"keep\"=sz:1\n\"drop\"=sz:2\n[HKCU\\Software\\B]\n\"v\"=dword:1\n")
                  .code,
              0);
    const Result ok = run({"import"},
                          "# comment\r\n; another\r\n\r\n[HKCU\\Software\\A]\r\n\"drop\"=-\r\n"
                          "[-HKCU\\Software\\B]\r\n[HKCU\\Software\\C]\r\n\"h\"=dword:0x10\r\n");
    ASSERT_EQ(ok.code, 0) << ok.err;
    Registry reg;
    ASSERT_TRUE(reg.openKey("\\Software\\A", false));
    EXPECT_EQ(reg.getValueNames(), std::vector<std::string>{"keep"});
    EXPECT_FALSE(reg.keyExists("\\Software\\B"));
    ASSERT_TRUE(reg.openKey("\\Software\\C", false));
    EXPECT_EQ(reg.readInteger("h"), 16);

    const std::string before = run({"export", "HKCU"}).out;
    const struct {
        const char* text;
        const char* message;
    } bad[] = {
        {"\"v\"=sz:x\n", "needs a [KEY] line"},
        {"[HKCU\\Software\\D]\n\"v\"=dword:12x\n", "not a 32-bit number"},
        {"[HKCU\\Software\\D]\n\"v\"=dword:4294967296\n", "not a 32-bit number"},
        {"[HKCU\\Software\\D]\n\"v\"=sz:C:\\data\n", "unknown escape"},
        {"[HKCU\\Software\\D]\n\"v\"=str:x\n", "unknown value type"},
        {"[HKCU\\Software\\D]\n\"v=sz:x\n", "no closing quote"}, {"[HKCU\\Software\\D\n", "must end in"},
        {"[HKCU\\Software\\D]\nv=sz:x\n", "expected"},
        {"[HKCU\\Software\\D]\n\"v\"=hex:1,2\n", "hex byte pairs"},
        {"[-HKCU]\n", "root key cannot be deleted"},
    };
    for (const auto& b : bad) {
        // Good lines after the bad one are not imported either.
        const std::string text = b.text + std::string("[HKCU\\Software\\Last]\n\"a\"=sz:1\n");
        const Result r = run({"import"}, text);
        EXPECT_EQ(r.code, 2) << b.text;
        EXPECT_NE(r.err.find(b.message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("<stdin>:"), std::string::npos) << r.err;  // with the line number
        EXPECT_NE(r.err.find("nothing was imported"), std::string::npos) << r.err;
    }
    EXPECT_EQ(run({"export", "HKCU"}).out, before);
}

TEST_F(RegtoolTest, BadCommandsAndMissingItemsFailClearly) {
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* message;
    } cases[] = {
        {{}, 2, "no command"}, {{"frob"}, 2, "unknown command"},
        {{"read", "HKCU\\Nope", "x"}, 1, "no key HKCU\\Nope"},
        {{"write", "HKCU\\A", "x", "dword", "many"}, 2, "not a 32-bit number"},
        {{"write", "HKCU\\A", "x", "float", "1"}, 2, "unknown value type"},
        {{"write", "HKCU\\A", "x", "sz"}, 2, "too few"},
        {{"delete-key", "HKCU"}, 2, "root key cannot be deleted"},
        {{"delete-key", "HKCU\\Nope"}, 1, "no key"}, {{"export", "HKCU\\Nope"}, 1, "no key"},
        {{"import", "/no/such/file"}, 1, "cannot read"}, {{"--store"}, 2, "needs a file name"},
    };
    for (const auto& c : cases) {
        const Result r = run(c.args);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    ASSERT_EQ(run({"write", "HKCU\\A", "x", "sz", "1"}).code, 0);
    const Result r = run({"read", "HKCU\\A", "y"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("no value \"y\" in HKCU\\A"), std::string::npos) << r.err;
    EXPECT_EQ(run({"--help"}).code, 0);
}

TEST_F(RegtoolTest, CorruptStoreIsReportedAndKept) {
    const std::string path = env.path("broken.db");
    writeFile(path, "definitely not a settings store\n");
    Result r = run({"--store", path, "check"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("not a settings database"), std::string::npos) << r.err;
    r = run({"--store=" + path, "write", "HKCU\\A", "x", "sz", "1"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find(path), std::string::npos) << r.err;
    EXPECT_EQ(fileBytes(path), "definitely not a settings store\n");
    EXPECT_EQ(run({"check"}).code, 0);  // the default store is fine
}
