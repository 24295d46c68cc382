// A damaged store is never written to, by the program or by regtool, and stays readable for
// rescue; regtool keeps NUL out of names and strings and never exports a delete line.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>

#include "platform/Registry.h"
#include "support/TempEnv.h"

namespace {
const std::string kTool = ZENTROVA_BINARY_DIR "/tools/regtool/regtool";

uint32_t be32(const std::string& b, size_t at) {
    return (uint32_t(uint8_t(b[at])) << 24) | (uint32_t(uint8_t(b[at + 1])) << 16) |
           (uint32_t(uint8_t(b[at + 2])) << 8) | uint32_t(uint8_t(b[at + 3]));
}

class DamagedStore : public ::testing::Test {
  protected:
    // regtool's exit code; its standard error in err.
    int regtool(const std::string& args, const std::string& input = "") {
        writeFile(env.path("in.txt"), input);
        const std::string cmd = kTool + " " + args + " <" + env.path("in.txt") + " 2>" + env.path("err.txt") +
                                " >" + env.path("out.txt");
        const int status = std::system(cmd.c_str());
        err = fileBytes(env.path("err.txt"));
        out = fileBytes(env.path("out.txt"));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // A store whose freelist's first trunk page names itself as the next one.
    void damageFreelist() {
        {
            Registry reg;
            ASSERT_TRUE(reg.openKey("\\Software\\Keep", true));
            reg.writeString("v", "kept");
            ASSERT_TRUE(reg.openKey("\\Software\\Gone", true));
            for (int i = 0; i < 100; ++i) reg.writeString("v" + std::to_string(i), std::string(300, 'x'));
            ASSERT_TRUE(reg.deleteKey("\\Software\\Gone"));
        }
        env.set("ZENTROVA_REGISTRY", env.path("other.db"));  // closes the connection: the file settles
        ASSERT_EQ(Registry::checkStore(), "");
        std::string bytes = fileBytes(path);
        const size_t pageSize = (uint8_t(bytes[16]) << 8) | uint8_t(bytes[17]);
        const uint32_t trunk = be32(bytes, 32);
        ASSERT_GT(trunk, 1u);
        const size_t at = (trunk - 1) * pageSize;
        for (int i = 0; i < 4; ++i) bytes[at + i] = bytes[32 + i];
        writeFile(path, bytes);
        env.set("ZENTROVA_REGISTRY", path);
        damaged = bytes;
    }

    TempEnv env;
    const std::string path = env.path("registry.db");
    std::string damaged, err, out;
};

TEST_F(DamagedStore, NoWriteReachesTheFileAndReadsStillWork) {
    damageFreelist();
    Registry reg;
    ASSERT_TRUE(reg.openKey("\\Software\\Keep", false));
    EXPECT_EQ(reg.readString("v"), "kept");
    try {
        reg.writeString("v", "new");
        FAIL() << "the damaged store took a write";
    } catch (const ERegistryException& e) {
        EXPECT_NE(std::string(e.what()).find(path + " is damaged"), std::string::npos) << e.what();
    }
    EXPECT_THROW(reg.beginTransaction(), ERegistryException);
    EXPECT_THROW(reg.deleteKey("\\Software\\Keep"), ERegistryException);
    EXPECT_EQ(fileBytes(path), damaged);
}

TEST_F(DamagedStore, RegtoolRefusesToWriteIntoIt) {
    damageFreelist();
    for (const char* args : {"write HKCU/Software/Keep v sz new", "delete-key HKCU/Software/Keep",
                             "delete-value HKCU/Software/Keep v", "import"}) {
        EXPECT_EQ(regtool(args, "[HKCU\\Software\\Keep]\n\"v\"=sz:new\n"), 1) << args;
        EXPECT_NE(err.find("is damaged"), std::string::npos) << args << ": " << err;
    }
    EXPECT_EQ(regtool("read HKCU/Software/Keep v"), 0);
    EXPECT_EQ(out, "kept\n");
    EXPECT_EQ(fileBytes(path), damaged);
}

TEST_F(DamagedStore, RegtoolKeepsNulOutOfNamesAndStrings) {
    using namespace std::string_literals;
    ASSERT_EQ(regtool("write HKCU/Software/A '' sz default"), 0);
    for (const std::string& text :
         {"[HKCU\\Software\\A]\n\"\\x00b\"=sz:x\n"s, "[HKCU\\Software\\A]\n\"v\"=sz:a\\x00b\n"s,
          "[HKCU\\Software\\A\0B]\n"s}) {
        EXPECT_EQ(regtool("import", text), 2) << text;
        EXPECT_NE(err.find("NUL"), std::string::npos) << err;
    }
    {
        Registry reg;
        ASSERT_TRUE(reg.openKey("\\Software\\A", false));
        EXPECT_THROW(reg.writeString("\0b"s, "x"), ERegistryException);
    }
    // A name with a NUL that an older version stored is shown whole; its export deletes nothing.
    env.set("ZENTROVA_REGISTRY", env.path("other.db"));
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(db,
                     "INSERT INTO vals SELECT k.id, CAST(X'0062' AS TEXT), CAST(X'0062' AS TEXT), 1, 'x'"
                     " FROM keys k JOIN keys p ON k.parent=p.id WHERE p.fold='software' AND k.fold='a'",
                     nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);
    env.set("ZENTROVA_REGISTRY", path);
    ASSERT_EQ(regtool("export HKCU/Software/A"), 0);
    EXPECT_NE(out.find("\"\\x00b\"=sz:x\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("=-"), std::string::npos) << out;
    EXPECT_EQ(regtool("import", out), 2);
    EXPECT_EQ(regtool("read HKCU/Software/A ''"), 0);
    EXPECT_EQ(out, "default\n");
}
}  // namespace
