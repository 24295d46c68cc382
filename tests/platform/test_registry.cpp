#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/Registry.h"
#include "support/TempEnv.h"

namespace {
const char* const kMethods = "\\Software\\TressivanLabs\\Zentrova\\Methods";

// The first column of the first row of a query on the store file, read directly.
std::string query(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    std::string out = "<no row>";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
        if (sqlite3_step(st) == SQLITE_ROW) out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return out;
}
}  // namespace

class RegistryTest : public ::testing::Test {
  protected:
    TempEnv env;
};

TEST_F(RegistryTest, KeyAndValueNamesIgnoreCaseAndKeepTheirFirstSpelling) {
    {
        Registry reg;
        ASSERT_TRUE(reg.openKey("\\Software\\TressivanLabs\\Zentrova\\Methods\\Hydrolysis", true));
        reg.writeString("ColumnT", "40");
    }
    Registry reg;
    ASSERT_TRUE(reg.openKey("\\software\\tressivanlabs\\ZENTROVA\\methods", false));
    EXPECT_EQ(reg.getKeyNames(), std::vector<std::string>{"Hydrolysis"});
    ASSERT_TRUE(reg.openKey("HYDROLYSIS", false));
    EXPECT_EQ(reg.readString("columnt"), "40");
    reg.writeString("COLUMNT", "45");
    EXPECT_EQ(reg.getValueNames(), std::vector<std::string>{"ColumnT"});
    EXPECT_EQ(reg.readString("ColumnT"), "45");

    // A second spelling does not make a second key.
    ASSERT_TRUE(reg.openKey("\\SOFTWARE\\TressivanLabs\\Zentrova\\METHODS\\hydrolysis", true));
    ASSERT_TRUE(reg.openKey("\\Software\\TressivanLabs\\Zentrova\\Methods", false));
    EXPECT_EQ(reg.getKeyNames().size(), 1u);

    // Letters beyond ASCII fold too.
    ASSERT_TRUE(reg.openKey("Größe", true));
    EXPECT_TRUE(reg.keyExists("\\Software\\TressivanLabs\\Zentrova\\Methods\\GRÖSSE") ||
                reg.keyExists("\\Software\\TressivanLabs\\Zentrova\\Methods\\GRÖßE"));
}

TEST_F(RegistryTest, OpenWithoutCreateCreatesNothing) {
    Registry reg;
    EXPECT_FALSE(reg.openKey("\\Software\\TressivanLabs\\Zentrova\\Instrument2", false));
    EXPECT_FALSE(reg.keyExists("\\Software"));
    EXPECT_FALSE(reg.openKeyReadOnly("\\Software"));
    ASSERT_TRUE(reg.openKey("\\Software", true));
    EXPECT_FALSE(reg.openKey("Missing", false));
    EXPECT_EQ(reg.currentPath(), "Software");  // a failed open keeps the open key
    EXPECT_FALSE(reg.keyExists("Missing"));
    EXPECT_TRUE(reg.getKeyNames().empty());

    // A value read on a missing key creates nothing either.
    Registry other;
    EXPECT_FALSE(other.openKey("\\Software\\X", false));
    EXPECT_EQ(other.readString("Name"), "");
    EXPECT_FALSE(other.keyExists("\\Software\\X"));
}

TEST_F(RegistryTest, RelativeAndAbsolutePaths) {
    Registry reg;
    ASSERT_TRUE(reg.openKey("\\Software\\TressivanLabs", true));
    ASSERT_TRUE(reg.openKey("Zentrova\\Instrument", true));
    EXPECT_EQ(reg.currentPath(), "Software\\TressivanLabs\\Zentrova\\Instrument");
    ASSERT_TRUE(reg.openKey("\\Software", false));
    EXPECT_EQ(reg.currentPath(), "Software");
    EXPECT_TRUE(reg.keyExists("TressivanLabs\\Zentrova"));
    EXPECT_TRUE(reg.keyExists("\\Software\\TressivanLabs\\Zentrova\\Instrument"));
    reg.closeKey();
    // With no key open a relative path starts at the root.
    ASSERT_TRUE(reg.openKey("Software\\TressivanLabs", false));
    EXPECT_EQ(reg.currentPath(), "Software\\TressivanLabs");
}

TEST_F(RegistryTest, ValueTypesAndMismatches) {
    Registry reg;
    ASSERT_TRUE(reg.openKey("\\Software\\TressivanLabs\\Zentrova\\Instrument", true));
    reg.writeString("COM", "COM3");
    reg.writeInteger("ConnectMethod", -7);
    reg.writeBool("Flag", true);
    reg.writeBinary("Raw", {0, 1, 255});

    EXPECT_EQ(reg.getDataType("COM"), RegDataType::String);
    EXPECT_EQ(reg.getDataType("ConnectMethod"), RegDataType::Dword);
    EXPECT_EQ(reg.getDataType("Raw"), RegDataType::Binary);
    EXPECT_EQ(reg.getDataType("Missing"), RegDataType::None);
    EXPECT_EQ(reg.readInteger("ConnectMethod"), -7);
    EXPECT_TRUE(reg.readBool("Flag"));
    EXPECT_EQ(reg.readInteger("Flag"), 1);
    EXPECT_EQ(reg.readBinary("Raw"), (std::vector<uint8_t>{0, 1, 255}));

    EXPECT_EQ(reg.readString("Missing"), "");
    EXPECT_THROW(reg.readString("ConnectMethod"), ERegistryException);
    EXPECT_THROW(reg.readString("Raw"), ERegistryException);
    EXPECT_THROW(reg.readInteger("Missing"), ERegistryException);
    EXPECT_THROW(reg.readInteger("COM"), ERegistryException);
    EXPECT_THROW(reg.readBool("Missing"), ERegistryException);
    EXPECT_THROW(reg.readBool("COM"), ERegistryException);
    EXPECT_THROW(reg.readBinary("COM"), ERegistryException);
    try {
        reg.readInteger("COM");
    } catch (const ERegistryException& e) {
        EXPECT_NE(std::string(e.what()).find("COM"), std::string::npos) << e.what();
    }

    // A value changes type when it is written with another.
    reg.writeString("ConnectMethod", "2");
    EXPECT_THROW(reg.readInteger("ConnectMethod"), ERegistryException);
    EXPECT_EQ(reg.readString("ConnectMethod"), "2");

    EXPECT_TRUE(reg.valueExists("com"));
    EXPECT_TRUE(reg.deleteValue("Com"));
    EXPECT_FALSE(reg.valueExists("COM"));
    EXPECT_FALSE(reg.deleteValue("COM"));

    // Texts keep every byte, empty and long ones included.
    reg.writeString("Empty", "");
    EXPECT_EQ(reg.getDataType("Empty"), RegDataType::String);
    const std::string big(100000, 'x');
    reg.writeString("Big", big + "\n\xC3\xA4");
    EXPECT_EQ(reg.readString("Big"), big + "\n\xC3\xA4");
}

TEST_F(RegistryTest, NamesComeSortedIgnoringCase) {
    Registry reg;
    ASSERT_TRUE(reg.openKey("\\Software\\Seq", true));
    for (const char* n : {"beta", "Alpha", "gamma", "ALPHA2"}) reg.writeString(n, "x");
    for (const char* k : {"zeta", "Eta", "delta"})
        ASSERT_TRUE(reg.openKey(std::string("\\Software\\Seq\\") + k, true));
    ASSERT_TRUE(reg.openKey("\\Software\\Seq", false));
    EXPECT_EQ(reg.getValueNames(), (std::vector<std::string>{"Alpha", "ALPHA2", "beta", "gamma"}));
    EXPECT_EQ(reg.getKeyNames(), (std::vector<std::string>{"delta", "Eta", "zeta"}));
    EXPECT_TRUE(reg.hasSubKeys());
}

TEST_F(RegistryTest, DeleteKeyRemovesTheSubtree) {
    Registry reg;
    ASSERT_TRUE(reg.openKey(std::string(kMethods) + "\\A\\Inner", true));
    reg.writeString("x", "1");
    ASSERT_TRUE(reg.openKey(std::string(kMethods) + "\\B", true));
    reg.writeString("y", "2");
    EXPECT_TRUE(reg.deleteKey(std::string(kMethods) + "\\a"));
    EXPECT_FALSE(reg.keyExists(std::string(kMethods) + "\\A\\Inner"));
    EXPECT_FALSE(reg.deleteKey(std::string(kMethods) + "\\A"));
    EXPECT_FALSE(reg.deleteKey("\\"));
    ASSERT_TRUE(reg.openKey(kMethods, false));
    EXPECT_EQ(reg.getKeyNames(), std::vector<std::string>{"B"});

    EXPECT_EQ(query(Registry::storePath(), "SELECT count(*) FROM vals WHERE name='x'"), "0");  // no orphans
}

TEST_F(RegistryTest, RootsAreSeparate) {
    Registry cu;
    ASSERT_TRUE(cu.openKey("\\HARDWARE\\DEVICEMAP\\SERIALCOMM", true));
    cu.writeString("\\Device\\Serial0", "COM1");
    Registry lm(RegRoot::LocalMachine);
    EXPECT_FALSE(lm.keyExists("\\HARDWARE"));
    ASSERT_TRUE(lm.openKey("\\HARDWARE\\DEVICEMAP\\SERIALCOMM", true));
    lm.writeString("\\Device\\Serial0", "/dev/ttyS0");
    EXPECT_EQ(lm.readString("\\device\\serial0"), "/dev/ttyS0");
    EXPECT_EQ(cu.readString("\\Device\\Serial0"), "COM1");
    lm.setRootKey(RegRoot::CurrentUser);
    EXPECT_EQ(lm.currentPath(), "");
    EXPECT_TRUE(lm.keyExists("\\HARDWARE\\DEVICEMAP"));
}

TEST_F(RegistryTest, WritesNeedAnOpenWritableKey) {
    Registry reg;
    EXPECT_THROW(reg.writeString("x", "1"), ERegistryException);
    ASSERT_TRUE(reg.openKey("\\Software", true));
    ASSERT_TRUE(reg.openKeyReadOnly("\\Software"));
    EXPECT_THROW(reg.writeInteger("x", 1), ERegistryException);
    ASSERT_TRUE(reg.openKey("\\Software", false));
    EXPECT_NO_THROW(reg.writeInteger("x", 1));
}

TEST_F(RegistryTest, WriteIntoAKeyDeletedMeanwhileRecreatesIt) {
    Registry a, b;
    ASSERT_TRUE(a.openKey("\\Software\\K", true));
    EXPECT_TRUE(b.deleteKey("\\Software\\K"));
    EXPECT_EQ(a.readString("v"), "");
    a.writeString("v", "1");
    EXPECT_TRUE(b.keyExists("\\Software\\K"));
    EXPECT_EQ(a.readString("v"), "1");
}

TEST_F(RegistryTest, TransactionsCommitRollBackAndRollBackOnDestruction) {
    {
        Registry reg;
        ASSERT_TRUE(reg.openKey("\\Software\\T", true));
        reg.beginTransaction();
        reg.writeString("a", "1");
        reg.commit();
        EXPECT_FALSE(reg.inTransaction());
        reg.beginTransaction();
        reg.writeString("b", "2");
        reg.rollback();
        reg.beginTransaction();
        reg.writeString("c", "3");
        EXPECT_THROW(reg.beginTransaction(), ERegistryException);
    }  // destroyed with "c" uncommitted
    Registry reg;
    ASSERT_TRUE(reg.openKey("\\Software\\T", false));
    EXPECT_EQ(reg.getValueNames(), std::vector<std::string>{"a"});
    EXPECT_THROW(reg.commit(), ERegistryException);

    // A second object of the same thread nests inside the first one's transaction.
    Registry outer, inner;
    ASSERT_TRUE(outer.openKey("\\Software\\T", false));
    ASSERT_TRUE(inner.openKey("\\Software\\T", false));
    outer.beginTransaction();
    outer.writeString("o", "1");
    inner.beginTransaction();
    inner.writeString("i", "1");
    inner.rollback();
    outer.commit();
    EXPECT_TRUE(reg.valueExists("o"));
    EXPECT_FALSE(reg.valueExists("i"));
}

TEST_F(RegistryTest, FailedSaveLeavesTheOldSubtreeWhole) {
    const std::string key = std::string(kMethods) + "\\Hydrolysis";
    {
        Registry reg;
        ASSERT_TRUE(reg.openKey(key, true));
        reg.writeString("ColumnT", "40");
        reg.writeString("ReactorT", "130");
        ASSERT_TRUE(reg.openKey(key + "\\PumpFlowTT", true));
        reg.writeString("0", "1;0.30;0.30");
    }
    // The save replaces the whole subtree and fails on its third write.
    Registry reg;
    reg.beginTransaction();
    Registry::failAfterWrites(3);
    EXPECT_THROW(
        {
            reg.deleteKey(key);
            ASSERT_TRUE(reg.openKey(key, true));
            reg.writeString("ColumnT", "55");
            reg.writeString("ReactorT", "99");
            reg.writeString("Runtime", "10");
        },
        ERegistryException);
    EXPECT_THROW(reg.writeString("Later", "x"), ERegistryException);
    EXPECT_THROW(reg.commit(), ERegistryException);
    Registry::failAfterWrites(0);

    Registry check;
    ASSERT_TRUE(check.openKey(key, false));
    EXPECT_EQ(check.getValueNames(), (std::vector<std::string>{"ColumnT", "ReactorT"}));
    EXPECT_EQ(check.readString("ColumnT"), "40");
    ASSERT_TRUE(check.openKey("PumpFlowTT", false));
    EXPECT_EQ(check.readString("0"), "1;0.30;0.30");

    // Outside a transaction the failed write alone is lost.
    Registry::failAfterWrites(1);
    EXPECT_THROW(check.writeString("0", "changed"), ERegistryException);
    EXPECT_EQ(check.readString("0"), "1;0.30;0.30");
    check.writeString("0", "changed");
    EXPECT_EQ(check.readString("0"), "changed");
}

TEST_F(RegistryTest, CopyKilledInTheMiddleOfASaveLeavesTheOldSubtreeWhole) {
    const std::string key = std::string(kMethods) + "\\Hydrolysis";
    {
        Registry reg;
        ASSERT_TRUE(reg.openKey(key, true));
        reg.writeString("ColumnT", "40");
        ASSERT_TRUE(reg.openKey(key + "\\PumpFlowTT", true));
        reg.writeString("0", "1;0.30;0.30");
    }
    int pipeFd[2];
    ASSERT_EQ(pipe(pipeFd), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(pipeFd[0]);
        try {
            Registry reg;
            reg.beginTransaction();
            reg.deleteKey(key);
            reg.openKey(key, true);
            for (int i = 0; i < 200; ++i) reg.writeString("v" + std::to_string(i), std::string(500, 'n'));
            (void)!write(pipeFd[1], "x", 1);  // half-way through the save
            pause();
        } catch (...) {
        }
        _exit(3);
    }
    close(pipeFd[1]);
    char c = 0;
    ASSERT_EQ(read(pipeFd[0], &c, 1), 1);
    close(pipeFd[0]);
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));

    EXPECT_EQ(Registry::checkStore(), "");
    Registry check;
    ASSERT_TRUE(check.openKey(key, false));
    EXPECT_EQ(check.getValueNames(), std::vector<std::string>{"ColumnT"});
    EXPECT_EQ(check.readString("ColumnT"), "40");
    ASSERT_TRUE(check.openKey("PumpFlowTT", false));
    EXPECT_EQ(check.readString("0"), "1;0.30;0.30");
    // The store takes writes again at once: the dead copy's lock went with it.
    check.writeString("0", "after");
    EXPECT_EQ(check.readString("0"), "after");
}

TEST_F(RegistryTest, FiveProcessesWritingAtOnceLoseNothing) {
    ASSERT_EQ(Registry::checkStore(), "");
    const int kProcs = 5, kWrites = 60;
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; ++p) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int rc = 0;
            try {
                Registry reg;
                for (int i = 0; i < kWrites; ++i) {
                    // Own keys, and one key that every copy writes into.
                    reg.openKey("\\Software\\Copy" + std::to_string(p), true);
                    reg.writeInteger("v" + std::to_string(i), p * 1000 + i);
                    reg.openKey("\\Software\\Shared", true);
                    if (i % 10 == 0) {
                        reg.beginTransaction();
                        reg.writeString("p" + std::to_string(p) + "_" + std::to_string(i), "t");
                        reg.writeString("p" + std::to_string(p) + "_" + std::to_string(i) + "b", "t");
                        reg.commit();
                    } else {
                        reg.writeString("p" + std::to_string(p) + "_" + std::to_string(i), "w");
                    }
                    (void)reg.readString("p0_0");
                }
            } catch (...) {
                rc = 3;
            }
            _exit(rc);
        }
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    Registry reg;
    for (int p = 0; p < kProcs; ++p) {
        ASSERT_TRUE(reg.openKey("\\Software\\Copy" + std::to_string(p), false));
        ASSERT_EQ(reg.getValueNames().size(), static_cast<size_t>(kWrites));
        for (int i = 0; i < kWrites; ++i) EXPECT_EQ(reg.readInteger("v" + std::to_string(i)), p * 1000 + i);
    }
    ASSERT_TRUE(reg.openKey("\\Software\\Shared", false));
    EXPECT_EQ(reg.getValueNames().size(), static_cast<size_t>(kProcs * (kWrites + kWrites / 10)));
}

TEST_F(RegistryTest, ThreadsUseTheirOwnConnections) {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &failures] {
            try {
                Registry reg;
                reg.openKey("\\Software\\Thread" + std::to_string(t), true);
                for (int i = 0; i < 30; ++i) reg.writeInteger("v" + std::to_string(i), i);
            } catch (...) {
                ++failures;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, 0);
    Registry reg;
    for (int t = 0; t < 4; ++t) {
        ASSERT_TRUE(reg.openKey("\\Software\\Thread" + std::to_string(t), false));
        EXPECT_EQ(reg.getValueNames().size(), 30u);
    }
}

TEST_F(RegistryTest, MissingStoreIsCreatedWithItsSchemaAndKeptInWal) {
    const std::string path = env.path("deep/folder/registry.db");
    env.set("ZENTROVA_REGISTRY", path);
    EXPECT_EQ(Registry::checkStore(), "");
    EXPECT_EQ(query(path, "SELECT value FROM meta WHERE name='format'"), "zentrova-registry");
    EXPECT_EQ(query(path, "PRAGMA journal_mode"), "wal");
    // A store switched to another journal returns to it.
    env.set("ZENTROVA_REGISTRY", env.path("elsewhere.db"));  // let go of the store
    ASSERT_EQ(Registry::checkStore(), "");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    ASSERT_EQ(query(path, "PRAGMA journal_mode"), "delete");
    env.set("ZENTROVA_REGISTRY", path);
    Registry reg;
    ASSERT_TRUE(reg.openKey("\\Software", true));
    EXPECT_EQ(query(path, "PRAGMA journal_mode"), "wal");
}

TEST_F(RegistryTest, StorePathFollowsTheEnvironment) {
    EXPECT_EQ(Registry::storePath(), env.path("registry.db"));
    env.unset("ZENTROVA_REGISTRY");
    EXPECT_EQ(Registry::storePath(), env.path("config") + "/TressivanLabs/registry.db");
}

class BadStoreTest : public RegistryTest,
                     public ::testing::WithParamInterface<std::pair<std::string, std::string>> {};

TEST_P(BadStoreTest, GivesAMessageAndLeavesTheFileAlone) {
    const auto& [bytes, expected] = GetParam();
    const std::string path = Registry::storePath();
    if (bytes.rfind("<version ", 0) == 0) {
        {
            Registry reg;
            ASSERT_TRUE(reg.openKey("\\Software", true));
        }
        env.set("ZENTROVA_REGISTRY", env.path("other.db"));  // closes this thread's connection
        Registry::checkStore();
        env.set("ZENTROVA_REGISTRY", path);
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        const std::string sql = "UPDATE meta SET value='" + bytes.substr(9, 1) + "' WHERE name='version'";
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    } else if (bytes == "<sqlite>") {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        sqlite3_exec(db, "CREATE TABLE things(a, b); INSERT INTO things VALUES(1, 2);", nullptr, nullptr,
                     nullptr);
        sqlite3_close(db);
    } else {
        writeFile(path, bytes);
    }
    const std::string before = fileBytes(path);
    const std::string msg = Registry::checkStore();
    EXPECT_NE(msg.find(path), std::string::npos) << msg;
    EXPECT_NE(msg.find(expected), std::string::npos) << msg;
    Registry reg;
    EXPECT_THROW(reg.openKey("\\Software", true), ERegistryException);
    EXPECT_THROW(reg.openKey("\\Software", false), ERegistryException);
    try {
        reg.readString("x");
        ADD_FAILURE() << "read on a bad store did not raise";
    } catch (const ERegistryException& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
    EXPECT_EQ(fileBytes(path), before);
    EXPECT_EQ(Registry::checkStore(), msg);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, BadStoreTest,
    ::testing::Values(std::make_pair(std::string("this is no database, just text\n"),
                                     std::string("not a settings database")),
                      std::make_pair(std::string(8192, '\xA5'), std::string("not a settings database")),
                      std::make_pair(std::string(""), std::string("is empty")),
                      std::make_pair(std::string("<sqlite>"), std::string("another kind")),
                      std::make_pair(std::string("<version 2>"), std::string("newer version")),
                      std::make_pair(std::string("<version 0>"), std::string("unknown layout"))));

TEST_F(RegistryTest, DamagedStoreIsReportedAndKept) {
    {
        Registry reg;
        ASSERT_TRUE(reg.openKey("\\Software\\Data", true));
        for (int i = 0; i < 300; ++i) reg.writeString("v" + std::to_string(i), std::string(200, 'a'));
    }
    // Close this thread's connection (a new path) so the file is checkpointed and settled.
    env.set("ZENTROVA_REGISTRY", env.path("other.db"));
    EXPECT_EQ(Registry::checkStore(), "");
    const std::string path = env.path("registry.db");
    std::string bytes = fileBytes(path);
    ASSERT_GT(bytes.size(), 8192u);
    for (size_t i = 4096 + 8; i < 8192; ++i)  // scribble over the second page
        bytes[i] = '\x5A';
    writeFile(path, bytes);
    env.set("ZENTROVA_REGISTRY", path);
    const std::string msg = Registry::checkStore();
    EXPECT_NE(msg.find(path), std::string::npos) << msg;
    EXPECT_NE(msg, "");
    EXPECT_EQ(fileBytes(path), bytes);
}

TEST_F(RegistryTest, UnreadableStoreOrFolderGivesAMessage) {
    const std::string path = Registry::storePath();
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    EXPECT_NE(Registry::checkStore().find("not a file"), std::string::npos);
    rmdir(path.c_str());
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    ASSERT_EQ(Registry::checkStore(), "");
    env.set("ZENTROVA_REGISTRY", env.path("x.db"));  // let go of the store
    ASSERT_EQ(Registry::checkStore(), "");
    chmod(path.c_str(), 0);
    env.set("ZENTROVA_REGISTRY", path);
    EXPECT_NE(Registry::checkStore().find("cannot be read"), std::string::npos) << Registry::checkStore();
    chmod(path.c_str(), 0444);
    EXPECT_NE(Registry::checkStore().find("cannot be written"), std::string::npos) << Registry::checkStore();
    chmod(path.c_str(), 0644);
    mkdir(env.path("locked").c_str(), 0500);
    env.set("ZENTROVA_REGISTRY", env.path("locked/sub/registry.db"));
    EXPECT_NE(Registry::checkStore().find("cannot be created"), std::string::npos) << Registry::checkStore();
}
