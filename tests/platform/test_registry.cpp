// The settings store through the program's interface and through regtool: names, types, the save
// transaction, several writers, and stores that are bad or damaged (never written, still readable).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <set>
#include <thread>

#include "platform/Registry.h"
#include "platform/Shell.h"
#include "support/HeldLock.h"
#include "support/TempEnv.h"

namespace {
using namespace std::string_literals;
using Names = std::vector<std::string>;
const std::string kTool = ZENTROVA_BINARY_DIR "/tools/regtool/regtool";
const std::string kMethod = "\\Software\\TressivanLabs\\Zentrova\\Methods\\Hydrolysis";

// The first column of the first row of one statement run on a store file directly, or the error.
std::string sql(const std::string& path, const std::string& statement) {
    sqlite3* db = nullptr;
    std::string out = "<no row>";
    auto first = [](void* o, int, char** v, char**) {
        *static_cast<std::string*>(o) = v[0] ? v[0] : "";
        return 1;  // the first row is enough
    };
    sqlite3_open(path.c_str(), &db);
    if (sqlite3_exec(db, statement.c_str(), first, &out, nullptr) == SQLITE_ERROR) out = sqlite3_errmsg(db);
    sqlite3_close(db);
    return out;
}

std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? "'\\''"s : std::string(1, c);
    return out + "'";
}

// What f raised, or "" when it raised nothing.
std::string raised(const std::function<void()>& f) {
    try {
        f();
    } catch (const ERegistryException& e) {
        return e.what();
    }
    return "";
}

class Reg : public ::testing::Test {
  protected:
    // regtool's exit code; its output in out and err.
    int tool(const std::vector<std::string>& args, const std::string& input = "") {
        std::string cmd = quote(kTool);
        for (const auto& a : args) cmd += " " + quote(a);
        writeFile(env.path("in.txt"), input);
        cmd += " <" + env.path("in.txt") + " >" + env.path("out.txt") + " 2>" + env.path("err.txt");
        const int status = std::system(cmd.c_str());
        out = fileBytes(env.path("out.txt"));
        err = fileBytes(env.path("err.txt"));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Lets this thread's connection go (the file settles), runs f, and points back at the store.
    void aside(const std::function<void()>& f) {
        const std::string store = Registry::storePath();
        env.set("ZENTROVA_REGISTRY", env.path("aside.db"));
        ASSERT_EQ(Registry::checkStore(), "");
        f();
        env.set("ZENTROVA_REGISTRY", store);
    }
    TempEnv env;
    const std::string path = env.path("registry.db");
    std::string out, err;
};

TEST_F(Reg, PathsRootsAndOpeningWithoutCreate) {
    Registry reg;
    EXPECT_FALSE(reg.openKey("\\Software\\X", false));
    EXPECT_EQ(reg.readString("Name"), "");
    EXPECT_FALSE(reg.keyExists("\\Software")) << "nothing was created";
    EXPECT_FALSE(reg.openKeyReadOnly("\\Software"));
    EXPECT_THROW(reg.writeString("x", "1"), ERegistryException);
    ASSERT_TRUE(reg.openKey("\\Software\\TressivanLabs", true));
    ASSERT_TRUE(reg.openKey("Zentrova\\Instrument", true));
    EXPECT_FALSE(reg.openKey("Missing", false));
    EXPECT_EQ(reg.currentPath(), "Software\\TressivanLabs\\Zentrova\\Instrument")
        << "a failed open keeps the key";
    ASSERT_TRUE(reg.openKeyReadOnly("\\Software"));
    EXPECT_THROW(reg.writeInteger("x", 1), ERegistryException);
    EXPECT_TRUE(reg.keyExists("TressivanLabs\\Zentrova"));
    reg.closeKey();
    ASSERT_TRUE(reg.openKey("Software\\TressivanLabs", false));  // from the root with no key open
    reg.writeInteger("x", 1);

    Registry lm(RegRoot::LocalMachine);
    EXPECT_FALSE(lm.keyExists("\\Software"));
    ASSERT_TRUE(lm.openKey("\\Software\\TressivanLabs", true));
    lm.writeInteger("x", 2);
    EXPECT_EQ(reg.readInteger("x"), 1);
}

TEST_F(Reg, ValuesKeepTheirTypeAndEveryByte) {
    Registry reg;
    ASSERT_TRUE(reg.openKey("\\Software\\V", true));
    const std::string big = std::string(100000, 'x') + "\n\xC3\xA4";
    reg.writeString("COM", big);
    reg.writeInteger("Number", -7);
    reg.writeBool("Flag", true);
    reg.writeBinary("Raw", {0, 1, 255});
    EXPECT_EQ(reg.readString("COM"), big);
    EXPECT_EQ(reg.readInteger("Number"), -7);
    EXPECT_EQ(reg.readInteger("Flag"), 1);
    EXPECT_EQ(reg.readBinary("Raw"), (std::vector<uint8_t>{0, 1, 255}));
    EXPECT_EQ(reg.readString("Missing"), "");
    // Another type, or a missing number, raises.
    EXPECT_THROW(reg.readString("Raw"), ERegistryException);
    EXPECT_THROW(reg.readInteger("Missing"), ERegistryException);
    EXPECT_NE(raised([&] { reg.readInteger("COM"); }).find("COM"), std::string::npos);
    reg.writeString("Number", "2");  // a value changes type when written with another
    EXPECT_THROW(reg.readInteger("Number"), ERegistryException);
    EXPECT_EQ(reg.readString("Number"), "2");
    EXPECT_TRUE(reg.deleteValue("com"));
    EXPECT_FALSE(reg.valueExists("COM"));
    EXPECT_FALSE(reg.deleteValue("COM"));
}

TEST_F(Reg, DeleteKeyTakesTheSubtreeAndAWriteBringsTheOpenKeyBack) {
    Registry a, b;
    ASSERT_TRUE(a.openKey("\\Software\\M\\A\\Inner", true));
    a.writeString("x", "1");
    ASSERT_TRUE(a.openKey("\\Software\\M\\B", true));
    EXPECT_TRUE(b.deleteKey("\\software\\m\\a"));
    EXPECT_FALSE(b.keyExists("\\Software\\M\\A\\Inner"));
    EXPECT_FALSE(b.deleteKey("\\Software\\M\\A"));
    EXPECT_FALSE(b.deleteKey("\\"));
    EXPECT_EQ(sql(path, "SELECT count(*) FROM vals WHERE name='x'"), "0") << "no orphans";
    EXPECT_TRUE(b.deleteKey("\\Software\\M\\B"));
    EXPECT_EQ(a.readString("v"), "");
    a.writeString("v", "1");
    ASSERT_TRUE(b.openKey("\\Software\\M", false));
    EXPECT_EQ(b.getKeyNames(), Names{"B"});
}

TEST_F(Reg, TransactionsCommitRollBackNestAndRollBackOnDestruction) {
    Registry reg, outer, inner;
    ASSERT_TRUE(reg.openKey("\\Software\\T", true));
    {
        Registry gone;
        ASSERT_TRUE(gone.openKey("\\Software\\T", false));
        gone.beginTransaction();
        gone.writeString("c", "3");
        EXPECT_THROW(gone.beginTransaction(), ERegistryException);
    }  // destroyed with "c" uncommitted
    EXPECT_THROW(reg.commit(), ERegistryException);
    reg.beginTransaction();
    reg.writeString("b", "2");
    reg.rollback();
    // A second object of the same thread nests inside the first one's transaction.
    ASSERT_TRUE(outer.openKey("\\Software\\T", false));
    ASSERT_TRUE(inner.openKey("\\Software\\T", false));
    outer.beginTransaction();
    outer.writeString("o", "1");
    inner.beginTransaction();
    inner.writeString("i", "1");
    inner.rollback();
    outer.commit();
    EXPECT_EQ(reg.getValueNames(), Names{"o"});
}

TEST_F(Reg, ASaveThatFailsOrIsKilledLeavesTheOldSubtreeWhole) {
    const std::string key = "HKCU" + kMethod;
    ASSERT_EQ(tool({"import"}, "[" + key + "]\n\"ColumnT\"=sz:40\n\"ReactorT\"=sz:130\n[" + key +
                                   "\\PumpFlowTT]\n\"0\"=sz:1;0.30;0.30\n"),
              0);
    tool({"export", key});
    const std::string saved = out;
    auto expectSavedWhole = [&] {
        tool({"export", key});
        EXPECT_EQ(out, saved);
    };
    // The save replaces the whole subtree and fails on its third write.
    Registry reg;
    reg.beginTransaction();
    Registry::failAfterWrites(3);
    EXPECT_THROW(
        {
            reg.deleteKey(kMethod);
            ASSERT_TRUE(reg.openKey(kMethod, true));
            for (const char* v : {"ColumnT", "ReactorT", "Runtime"}) reg.writeString(v, "55");
        },
        ERegistryException);
    EXPECT_THROW(reg.commit(), ERegistryException);
    Registry::failAfterWrites(0);
    expectSavedWhole();

    // A copy killed half-way through its save.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        try {
            Registry copy;
            copy.beginTransaction();
            copy.deleteKey(kMethod);
            copy.openKey(kMethod, true);
            for (int i = 0; i < 200; ++i) copy.writeString("v" + std::to_string(i), std::string(500, 'n'));
            raise(SIGSTOP);
        } catch (...) {
        }
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
    ASSERT_TRUE(WIFSTOPPED(status));
    kill(pid, SIGKILL);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(Registry::checkStore(), "");
    expectSavedWhole();
    reg.writeString("ColumnT", "after");  // the dead copy's lock went with it
    EXPECT_EQ(reg.readString("ColumnT"), "after");
}

TEST_F(Reg, FiveProcessesOfTwoThreadsWritingAtOnceLoseNothing) {
    ASSERT_EQ(Registry::checkStore(), "");
    constexpr int kWriters = 10, kWrites = 40;
    // Its own key and one that every writer writes into, both in one transaction.
    auto write = [](int w) {
        Registry reg;
        for (int i = 0; i < kWrites; ++i) {
            reg.openKey("\\Software\\Copy" + std::to_string(w), true);
            reg.beginTransaction();
            reg.writeInteger("v" + std::to_string(i), w * 1000 + i);
            reg.openKey("\\Software\\Shared", true);
            reg.writeString("w" + std::to_string(w) + "_" + std::to_string(i), "w");
            reg.commit();
        }
    };
    std::vector<pid_t> kids;
    for (int p = 0; p < kWriters / 2; ++p) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::thread other(write, 2 * p + 1);  // a failure aborts the copy
            write(2 * p);
            other.join();
            _exit(0);
        }
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    Registry reg;
    for (int w = 0; w < kWriters; ++w) {
        ASSERT_TRUE(reg.openKey("\\Software\\Copy" + std::to_string(w), false));
        ASSERT_EQ(reg.getValueNames().size(), size_t(kWrites));
        for (int i = 0; i < kWrites; ++i) EXPECT_EQ(reg.readInteger("v" + std::to_string(i)), w * 1000 + i);
    }
    ASSERT_TRUE(reg.openKey("\\Software\\Shared", false));
    EXPECT_EQ(reg.getValueNames().size(), size_t(kWriters * kWrites));
}

// The save dialog finds out the type of each file of the store's folder by reading it; the
// file's names that were opened and closed while it was open.
std::set<std::string> filesTheSaveDialogReads(const std::string& dir) {
    std::set<std::string> read;
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, dir.c_str(), IN_CLOSE_NOWRITE) < 0) return read;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        alignas(inotify_event) char buf[4096];
        for (ssize_t n; (n = ::read(watch, buf, sizeof buf)) > 0;)
            for (char* p = buf; p < buf + n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(p);
                if (e->len) read.insert(e->name);
                p += sizeof(inotify_event) + e->len;
            }
        QWidget* dialog = QApplication::activeModalWidget();
        if (dialog && (read.count("registry.db-shm") || std::chrono::steady_clock::now() > deadline))
            dialog->close();
    });
    poll.start(20);
    Shell::askSaveFileName({QString(), QString::fromStdString(dir + "/export.txt"), QString(), QString()});
    ::close(watch);
    return read;
}

TEST_F(Reg, NothingElseInTheProcessOpeningAndClosingTheStoreLosesAnotherCopysWrite) {
    Registry reg;
    ASSERT_TRUE(reg.openKey("\\Software\\TressivanLabs\\Zentrova", true));
    reg.writeString("Before", "1");
    EXPECT_EQ(filesTheSaveDialogReads(env.dir),
              (std::set<std::string>{"registry.db", "registry.db-shm", "registry.db-wal"}));
    std::thread([&] {
        for (const char* file : {"", "-wal", "-shm"}) ::close(::open((path + file).c_str(), O_RDONLY));
        // A second connection of the process (another thread's) comes and goes.
        Registry other;
        EXPECT_TRUE(other.keyExists("\\Software\\TressivanLabs"));
    }).join();
    // Another copy reads and leaves: the journal is still the one this copy writes into.
    ASSERT_EQ(tool({"read", "HKCU\\Software\\TressivanLabs\\Zentrova", "Before"}), 0) << err;
    struct stat st {};
    EXPECT_EQ(::stat((path + "-wal").c_str(), &st), 0) << "the journal was deleted under the program";
    reg.writeString("Between", "2");
    ASSERT_EQ(tool({"write", "HKCU\\Software\\Probe", "P1", "sz", "x"}), 0) << err;
    reg.beginTransaction();
    for (const char* name : {"COM", "IP", "USB"}) reg.writeString(name, name);
    reg.commit();
    aside([] {});  // the program's connection closes
    EXPECT_EQ(tool({"read", "HKCU\\Software\\Probe", "P1"}), 0) << err;
    EXPECT_EQ(out, "x\n");
    EXPECT_EQ(tool({"list", "HKCU\\Software\\TressivanLabs\\Zentrova"}), 0) << err;
    EXPECT_EQ(out, "\"Before\"=sz:1\n\"Between\"=sz:2\n\"COM\"=sz:COM\n\"IP\"=sz:IP\n\"USB\"=sz:USB\n");
}

TEST_F(Reg, StoreFollowsTheEnvironmentAndKeepsItsSchemaInWal) {
    env.unset("ZENTROVA_REGISTRY");
    EXPECT_EQ(Registry::storePath(), env.path("config") + "/TressivanLabs/registry.db");
    const std::string deep = env.path("deep/folder/registry.db");
    env.set("ZENTROVA_REGISTRY", deep);
    EXPECT_EQ(Registry::checkStore(), "");
    EXPECT_EQ(sql(deep, "SELECT value FROM meta WHERE name='format'"), "zentrova-registry");
    // A store switched to another journal returns to it.
    aside([&] { EXPECT_EQ(sql(deep, "PRAGMA journal_mode=DELETE"), "delete"); });
    // Reading leaves it as it is.
    const std::string before = fileBytes(deep);
    for (const Names& args :
         {Names{"check"}, Names{"read", "HKCU", "x"}, Names{"export", "HKCU"}, Names{"list", "HKCU"}})
        tool(args);
    Registry reg;
    EXPECT_FALSE(reg.keyExists("\\Software"));
    EXPECT_EQ(Registry::checkStore(), "");
    EXPECT_EQ(fileBytes(deep), before);
    ASSERT_TRUE(reg.openKey("\\Software", true));
    EXPECT_EQ(sql(deep, "PRAGMA journal_mode"), "wal");
}

TEST_F(Reg, BadStoresGiveAMessageAndAreLeftAlone) {
    const struct {
        std::string bytes;      // the file, or when empty...
        const char* statement;  // ...a good store changed by this statement
        const char* message;
    } cases[] = {
        {"this is no database, just text\n", nullptr, "is not a settings database"},
        {std::string(8192, '\xA5'), nullptr, "is not a settings database"},
        {"", nullptr, "is empty"},
        {"", "UPDATE meta SET value='things' WHERE name='format'", "is a database of another kind"},
        {"", "UPDATE meta SET value='2' WHERE name='version'", "was written by a newer version"},
        {"", "UPDATE meta SET value='0' WHERE name='version'", "has an unknown layout"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const std::string store = env.path("bad" + std::to_string(++n) + ".db");
        env.set("ZENTROVA_REGISTRY", store);
        if (c.statement) {
            EXPECT_EQ(Registry::checkStore(), "");
            aside([&] { EXPECT_EQ(sql(store, c.statement), "<no row>"); });
        } else {
            writeFile(store, c.bytes);
        }
        const std::string before = fileBytes(store);
        const std::string msg = Registry::checkStore();
        EXPECT_NE(msg.find("The settings store " + store + " " + c.message), std::string::npos) << msg;
        Registry reg;
        EXPECT_THROW(reg.openKey("\\Software", true), ERegistryException);
        EXPECT_THROW(reg.openKey("\\Software", false), ERegistryException);
        EXPECT_NE(raised([&] { reg.readString("x"); }).find(store), std::string::npos);
        EXPECT_EQ(tool({"--store", store, "check"}), 1);
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(tool({"--store=" + store, "write", "HKCU\\A", "x", "sz", "1"}), 1);
        EXPECT_NE(err.find(store), std::string::npos) << err;
        EXPECT_EQ(fileBytes(store), before);
        EXPECT_EQ(Registry::checkStore(), msg);
    }
}

TEST_F(Reg, StoreDamagedUnderARunningProgramTakesNoWriteAndStaysReadable) {
    Registry reg;
    ASSERT_TRUE(reg.openKey("\\Software\\Keep", true));
    reg.writeString("v", "kept");
    ASSERT_TRUE(reg.openKey("\\Software\\Gone", true));
    for (int i = 0; i < 100; ++i) reg.writeString("v" + std::to_string(i), std::string(300, 'x'));
    ASSERT_TRUE(reg.deleteKey("\\Software\\Gone"));
    ASSERT_TRUE(reg.openKey("\\Software\\Keep", false));
    // While the program has the store open, the freelist's first trunk page comes to name
    // itself as the next one.
    ASSERT_EQ(sql(path, "PRAGMA wal_checkpoint(TRUNCATE)"), "0");
    std::string bytes = fileBytes(path);
    const size_t pageSize = (uint8_t(bytes[16]) << 8) | uint8_t(bytes[17]);
    const uint32_t trunk = (uint8_t(bytes[34]) << 8) | uint8_t(bytes[35]);
    ASSERT_GT(trunk, 1u);
    ASSERT_EQ(bytes.compare(32, 2, "\0\0"s), 0);
    for (int i = 0; i < 4; ++i) bytes[(trunk - 1) * pageSize + i] = bytes[32 + i];
    writeFile(path, bytes);
    EXPECT_EQ(reg.readString("v"), "kept");
    EXPECT_NE(raised([&] { reg.writeString("v", "new"); }).find(path + " is damaged"), std::string::npos);
    EXPECT_THROW(reg.beginTransaction(), ERegistryException);
    EXPECT_THROW(reg.deleteKey("\\Software\\Keep"), ERegistryException);
    EXPECT_EQ(tool({"write", "HKCU/Software/Keep", "v", "sz", "new"}), 1);
    EXPECT_NE(err.find("is damaged"), std::string::npos) << err;
    EXPECT_EQ(tool({"read", "HKCU/Software/Keep", "v"}), 0);
    EXPECT_EQ(out, "kept\n");
    EXPECT_NE(Registry::checkStore().find(path + " is damaged"), std::string::npos) << Registry::checkStore();
    EXPECT_EQ(fileBytes(path), bytes);
}

TEST_F(Reg, ExportOfADamagedStoreKeepsEveryReadableValueAndNamesWhatWasLost) {
    {
        Registry reg;
        reg.beginTransaction();
        for (int k = 0; k < 20; ++k) {
            ASSERT_TRUE(reg.openKey("\\Software\\K" + std::to_string(100 + k), true));
            for (int v = 0; v < 20; ++v)
                reg.writeString("v" + std::to_string(100 + v), std::string(100, 'a' + k));
        }
        reg.commit();
    }
    ASSERT_EQ(tool({"export", "HKCU\\Software", env.path("old.txt")}), 0) << err;
    const std::string old = fileBytes(env.path("old.txt"));
    // A leaf of the values table in the middle becomes unreadable.
    std::string page, cells;
    aside([&] {
        page = sql(path,
                   "SELECT pageno FROM dbstat WHERE name='vals' AND pagetype='leaf' ORDER BY pageno LIMIT 1 "
                   "OFFSET 3");
        cells = sql(path, "SELECT ncell FROM dbstat WHERE pageno=" + page);
        std::string bytes = fileBytes(path);
        const size_t pageSize = (uint8_t(bytes[16]) << 8) | uint8_t(bytes[17]);
        bytes[(std::stoul(page) - 1) * pageSize] = '\xff';
        writeFile(path, bytes);
    });
    const std::string before = fileBytes(path);
    EXPECT_EQ(tool({"export", "HKCU\\Software", env.path("old.txt")}), 1);
    EXPECT_NE(err.find("could not read values of HKCU\\Software\\K1"), std::string::npos) << err;
    EXPECT_NE(err.find("the export is incomplete"), std::string::npos) << err;
    EXPECT_EQ(fileBytes(env.path("old.txt")), old) << "an incomplete export replaces no old one";
    const std::string rescued = fileBytes(env.path("old.txt.incomplete"));
    // Every value outside the damaged page is there, or named when only its name could be read.
    size_t values = 0;
    for (size_t at = 0; (at = rescued.find("\"v1", at)) != std::string::npos; ++at) ++values;
    EXPECT_EQ(values, 400 - std::stoul(cells)) << rescued;
    EXPECT_NE(rescued.find("# values of HKCU\\Software\\K1"), std::string::npos) << rescued;
    // What was read imports again, and reading changed nothing.
    EXPECT_EQ(tool({"export", "HKCU\\Software"}), 1);
    EXPECT_EQ(out, rescued);
    EXPECT_EQ(tool({"read", "HKCU\\Software\\K100", "v100"}), 0) << err;
    EXPECT_EQ(fileBytes(path), before);
}

TEST_F(Reg, UnreadableStoreOrFolderGivesAMessage) {
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    EXPECT_NE(Registry::checkStore().find("not a file"), std::string::npos);
    rmdir(path.c_str());
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    ASSERT_EQ(Registry::checkStore(), "");
    aside([] {});
    for (auto [mode, message] :
         {std::pair<mode_t, const char*>{0, "cannot be read"}, {0444, "cannot be written"}}) {
        chmod(path.c_str(), mode);
        EXPECT_NE(Registry::checkStore().find(message), std::string::npos) << Registry::checkStore();
    }
    mkdir(env.path("locked").c_str(), 0500);
    env.set("ZENTROVA_REGISTRY", env.path("locked/sub/registry.db"));
    EXPECT_NE(Registry::checkStore().find("cannot be created"), std::string::npos) << Registry::checkStore();
}

TEST_F(Reg, RegtoolWritesExportsAndImportsWhatTheProgramSeesKeepingEveryByte) {
    {
        Registry reg;
        ASSERT_TRUE(reg.openKey(kMethod + "\\Odd \"name\" [1]", true));
        reg.writeString("x\ny\\", "1");
        ASSERT_TRUE(reg.openKey(kMethod, false));
        reg.writeString("ColumnD", "C18 \"wide\" \\ 5\xC2\xB5m\ttab\r\nnext line  ");
        reg.writeString("", "default value");
        reg.writeString("Empty", "");
    }
    const std::string key = "HKCU" + kMethod;
    for (const Names& args :
         {Names{"write", key, "Number", "dword", "-2147483648"},
          Names{"write", key, "Raw", "hex", "00,7f,ff"}, Names{"write", key, "Gone", "sz", "x"},
          Names{"write", "HKCU/Software/TressivanLabs/Zentrova/methods/HYDROLYSIS", "Mask", "dword",
                "0xffffffff"},
          Names{"write", "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "\\Device\\ttyUSB0", "sz", "COM5"},
          Names{"delete-value", key, "GONE"}})
        EXPECT_EQ(tool(args), 0) << args[0] << ": " << err;
    Registry reg(RegRoot::LocalMachine);
    ASSERT_TRUE(reg.openKey("\\HARDWARE\\DEVICEMAP\\SERIALCOMM", false));
    EXPECT_EQ(reg.readString("\\Device\\ttyUSB0"), "COM5");
    ASSERT_EQ(tool({"export", "HKCU\\Software\\TressivanLabs", env.path("export.txt")}), 0) << err;
    const std::string text = fileBytes(env.path("export.txt"));
    EXPECT_NE(text.find("[" + key +
                        "]\n\"\"=sz:default value\n\"ColumnD\"=sz:C18 \"wide\" \\\\ 5\xC2\xB5m\\ttab\\r\\n" +
                        "next line  \n\"Empty\"=sz:\n\"Mask\"=dword:-1\n\"Number\"=dword:-2147483648\n" +
                        "\"Raw\"=hex:00,7f,ff\n\n[" + key + "\\Odd \"name\" [1]]\n\"x\\ny\\\\\"=sz:1\n"),
              std::string::npos)
        << text;
    ASSERT_EQ(tool({"delete-key", "HKCU\\Software"}), 0);
    ASSERT_EQ(tool({"import", env.path("export.txt")}), 0) << err;
    tool({"export", "HKCU\\Software\\TressivanLabs"});
    EXPECT_EQ(out, text);
    // An import deletes too.
    ASSERT_EQ(tool({"import"}, "# comment\r\n; another\r\n\r\n[" + key +
                                   "]\r\n\"Mask\"=-\r\n[-HKLM\\HARDWARE]\r\n" +
                                   "[HKCU\\Software\\C]\r\n\"h\"=dword:0x10\r\n"),
              0)
        << err;
    EXPECT_FALSE(reg.keyExists("\\HARDWARE"));
    tool({"read", key, "Mask"});
    EXPECT_NE(err.find("no value"), std::string::npos) << err;
    tool({"list", "HKCU\\Software"});
    EXPECT_EQ(out, "C\\\nTressivanLabs\\\n");
    tool({"read", "HKCU\\Software\\C", "h"});
    EXPECT_EQ(out, "16\n");
}

TEST_F(Reg, AnExportThatCannotBeWrittenWholeLeavesTheOldFile) {
    Registry reg;  // keeps the journal files made, so the limit below meets only the export
    ASSERT_TRUE(reg.openKey("\\Software\\Big", true));
    reg.writeString("v", "old");
    const std::string file = env.path("settings.txt");
    ASSERT_EQ(tool({"export", "HKCU\\Software", file}), 0) << err;
    const std::string old = fileBytes(file);
    reg.writeString("v", std::string(8000, 'n'));
    // The disk fills up half-way through: a file may grow to 4 KB only; the limit's signal is
    // ignored by the shell, or left to end the tool as it does by default.
    for (const std::string signal : {"trap '' XFSZ; ", ""}) {
        SCOPED_TRACE(signal);
        const std::string cmd = signal + "ulimit -f 4; " + quote(kTool) + " export 'HKCU\\Software' " +
                                quote(file) + " 2>" + quote(env.path("err.txt"));
        const int status = std::system(cmd.c_str());
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
        err = fileBytes(env.path("err.txt"));
        EXPECT_NE(
            err.find("cannot write " + file + ": File too large; the old " + file + ", if any, is left"),
            std::string::npos)
            << err;
        EXPECT_EQ(fileBytes(file), old);
        EXPECT_NE(std::system(("ls " + quote(env.dir) + " | grep -q tmp-").c_str()), 0)
            << "a temp file was left";
    }
}

TEST_F(Reg, RegtoolRefusesBadInputWholeAndSaysWhy) {
    ASSERT_EQ(tool({"write", "HKCU\\A", "x", "sz", "1"}), 0);
    tool({"export", "HKCU"});
    const std::string before = out;
    const std::string key = "[HKCU\\Software\\D]\n";
    const struct {
        Names args;
        std::string input;
        int code;
        const char* message;
    } cases[] = {
        {{}, "", 2, "no command"},
        {{"--store"}, "", 2, "needs a file name"},
        {{"read", "HKCU\\Nope", "x"}, "", 1, "no key HKCU\\Nope"},
        {{"read", "HKCU\\A", "y"}, "", 1, "no value \"y\" in HKCU\\A"},
        {{"write", "HKCU\\A", "x", "dword", "many"}, "", 2, "not a 32-bit number"},
        {{"write", "HKCU\\A", "x", "float", "1"}, "", 2, "unknown value type"},
        {{"write", "HKCU\\A", "x", "sz"}, "", 2, "too few"},
        {{"delete-key", "HKCU"}, "", 2, "root key cannot be deleted"},
        {{"delete-key", "HKCU\\Nope"}, "", 1, "no key"},
        {{"import", "/no/such/file"}, "", 1, "cannot read"},
        // Good lines after a bad one are not imported either.
        {{"import"}, "\"v\"=sz:x\n", 2, "<stdin>:1: a value line needs a [KEY] line"},
        {{"import"}, key + "\"v\"=dword:4294967296\n", 2, "<stdin>:2: \"4294967296\" is not a 32-bit number"},
        {{"import"}, key + "\"v\"=sz:C:\\data\n", 2, "unknown escape"},
        {{"import"}, key + "\"v=sz:x\n", 2, "no closing quote"},
        {{"import"}, "[HKCU\\Software\\D\n", 2, "must end in"},
        {{"import"}, key + "v=sz:x\n", 2, "<stdin>:2: expected"},
        {{"import"}, key + "\"v\"=hex:1,2\n", 2, "hex byte pairs"},
        {{"import"}, "[-HKCU]\n", 2, "root key cannot be deleted"},
        {{"import"}, key + "\"\\x00b\"=sz:x\n", 2, "<stdin>:2: A settings name cannot hold a NUL"},
        {{"import"}, key + "\"v\"=sz:a\\x00b\n", 2, "a string cannot hold a NUL"},
        {{"import"}, "[HKCU\\Software\\A\0B]\n"s, 2, "<stdin>:1: A settings name cannot hold a NUL"},
        {{"import"},
         "[HKCU\\Software\\A\rB]\n",
         2,
         "<stdin>:1: A settings key name cannot hold a line break"},
        // Names the store refuses are refused before anything is written.
        {{"write", "HKCU\\Software\\Two\nLines", "x", "sz", "1"}, "", 2, "key name cannot hold a line break"},
        {{"write", "HKCU\\Software\\A\rB", "x", "sz", "1"}, "", 2, "key name cannot hold a line break"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const bool import = c.args == Names{"import"};
        EXPECT_EQ(tool(c.args, import ? c.input + "[HKCU\\Software\\Last]\n\"a\"=sz:1\n" : ""), c.code);
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        if (import) {
            EXPECT_NE(err.find("nothing was imported"), std::string::npos) << err;
        }
    }
    EXPECT_EQ(tool({"--help"}), 0);
    tool({"export", "HKCU"});
    EXPECT_EQ(out, before);
    Registry reg;
    ASSERT_TRUE(reg.openKey("\\A", false));
    EXPECT_THROW(reg.writeString("\0b"s, "x"), ERegistryException);
    EXPECT_NE(raised([&] { reg.openKey("\\A\\B\nC", true); }).find("line break"), std::string::npos);
}

TEST_F(Reg, RegtoolShowsANulNameAnOlderVersionStoredAndDeletesNothingByIt) {
    ASSERT_EQ(tool({"write", "HKCU/Software/A", "", "sz", "default"}), 0);
    aside([&] {
        EXPECT_EQ(sql(path,
                      "INSERT INTO vals SELECT k.id, CAST(X'0062' AS TEXT), CAST(X'0062' AS TEXT), 1, 'x'"
                      " FROM keys k JOIN keys p ON k.parent=p.id WHERE p.fold='software' AND k.fold='a'"),
                  "<no row>");
    });
    ASSERT_EQ(tool({"export", "HKCU/Software/A"}), 0);
    EXPECT_NE(out.find("\"\\x00b\"=sz:x\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("=-"), std::string::npos) << out;
    EXPECT_EQ(tool({"import"}, out), 2);
    EXPECT_EQ(tool({"read", "HKCU/Software/A", ""}), 0);
    EXPECT_EQ(out, "default\n");
    // A key name with a line break would break its line: the export names it and goes on.
    aside([&] {
        EXPECT_EQ(sql(path,
                      "INSERT INTO keys(parent, name, fold) SELECT k.id, 'B' || char(10) || 'C',"
                      " 'b' || char(10) || 'c' FROM keys k WHERE k.fold='a'"),
                  "<no row>");
    });
    EXPECT_EQ(tool({"export", "HKCU/Software/A"}), 1);
    EXPECT_NE(err.find("HKCU\\Software\\A\\B\\nC: a key name with a line break cannot be exported"),
              std::string::npos)
        << err;
    EXPECT_NE(out.find("\"\"=sz:default\n"), std::string::npos) << out;
}
}  // namespace

namespace {
bool exists(const std::string& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0;
}

const std::string kInstrument = "\\Software\\TressivanLabs\\Zentrova\\Instrument";

// The settings of a store that the program closed: everything is in its file.
std::string closedStore(const std::string& com) {
    {
        Registry reg;
        EXPECT_TRUE(reg.openKey(kInstrument, true));
        reg.writeString("COM", com);
    }
    Registry::closeStore();
    return fileBytes(Registry::storePath());
}

// The journal kept aside beside store ("" when none).
std::string asideOf(const std::string& store) {
    const std::filesystem::path dir = std::filesystem::path(store).parent_path();
    const std::string prefix = std::filesystem::path(store).filename().string() + "-wal.stale-";
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().filename().string().rfind(prefix, 0) == 0) return e.path().string();
    return "";
}

// A copy of the store's file put over it under a running copy. Judged by content: a copy of the
// very state the journal starts from (nothing was checkpointed since) is no replacement, and
// every write stays; a file behind what was checkpointed is another file: the copy writes
// nothing more, and its journal is kept aside, never read into the restored file. A file moved
// in is never written by the copy that opened the old one.
TEST_F(Reg, AStoreReplacedUnderTheProgramTakesNoWriteAndNothingOfItsJournal) {
    const struct {
        bool move;        // mv, else cp over the same file
        bool checkpoint;  // part of the program's journal already went into the file
        bool readsOnly;   // the program only reads; another copy wrote the journal
    } cases[] = {{false, false, false}, {false, true, false}, {true, false, false}, {true, true, false},
                 {false, false, true},  {true, false, true},  {false, true, true}};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.move ? "mv" : "cp") + (c.checkpoint ? ", checkpoint" : "") +
                     (c.readsOnly ? ", reads only" : ""));
        const std::string store = env.path("r" + std::to_string(++n) + ".db");
        env.set("ZENTROVA_REGISTRY", store);
        const std::string backup = closedStore("backup");
        Registry reg;
        ASSERT_TRUE(reg.openKey(kInstrument, false));
        const std::string key = "HKCU" + kInstrument;
        for (int i = 0; i < 30; ++i) {
            const std::string name = "v" + std::to_string(i);
            if (c.readsOnly)
                ASSERT_EQ(tool({"write", key, name, "sz", std::string(200, 'w')}), 0) << err;
            else
                reg.writeString(name, std::string(200, 'w'));
        }
        if (c.checkpoint) {
            EXPECT_EQ(sql(store, "PRAGMA wal_checkpoint"), "0");
        }
        if (c.readsOnly)
            ASSERT_EQ(tool({"write", key, "COM", "sz", "before the restore"}), 0) << err;
        else
            reg.writeString("COM", "before the restore");
        EXPECT_EQ(reg.readString("COM"), "before the restore");
        ASSERT_TRUE(exists(store + "-wal"));
        if (c.move) {
            writeFile(store + ".new", backup);
            ASSERT_EQ(::rename((store + ".new").c_str(), store.c_str()), 0);
        } else {
            writeFile(store, backup);
        }
        const bool replaced = c.move || c.checkpoint;
        const std::string first = raised([&] { reg.writeString("COM", "after the restore"); });
        if (replaced) {
            EXPECT_NE(
                first.find("The settings store " + store + " was replaced while the program was running"),
                std::string::npos)
                << first;
            const std::string again = raised([&] { reg.writeString("COM", "refused"); });
            EXPECT_NE(again.find("The settings were not saved: the settings store was replaced"),
                      std::string::npos)
                << again;
            EXPECT_THROW(reg.beginTransaction(), ERegistryException);
            EXPECT_THROW(reg.deleteKey(kInstrument), ERegistryException);
        } else {
            EXPECT_EQ(first, "") << "the very file the journal starts from";
        }
        Registry::closeStore();  // the program ends
        const std::string notice = Registry::notice();
        if (replaced) {
            EXPECT_EQ(fileBytes(store), backup) << "nothing of the old journal went into the new file";
        }
        if (c.checkpoint) {
            const std::string aside = asideOf(store);
            ASSERT_NE(aside, "") << "the old journal is kept aside";
            EXPECT_NE(fileBytes(aside).find("before the restore"), std::string::npos);
            EXPECT_NE(notice.find("is kept as " + aside), std::string::npos) << notice;
        } else {
            EXPECT_EQ(asideOf(store), "");
            EXPECT_EQ(notice, "");
        }
        ASSERT_EQ(tool({"write", key, "IP", "sz", "new"}), 0) << err;
        ASSERT_EQ(tool({"read", key, "COM"}), 0) << err;
        EXPECT_EQ(out, c.checkpoint ? "backup\n"
                       : replaced   ? "before the restore\n"  // the journal of this very file
                                    : "after the restore\n");
        EXPECT_EQ(sql(store, "PRAGMA integrity_check"), "ok");
        ASSERT_EQ(tool({"read", key, "IP"}), 0) << err;
        EXPECT_EQ(out, "new\n");
    }
}

TEST_F(Reg, AnotherCopysCheckpointSeenHalfWayIsNoReplacement) {
    closedStore("x");
    Registry reg;
    ASSERT_TRUE(reg.openKey(kInstrument, false));
    for (int i = 0; i < 3; ++i) reg.writeString("v" + std::to_string(i), "w");
    // Another copy checkpoints: it holds the checkpoint's byte and has written the file's header...
    const int shm = ::open((path + "-shm").c_str(), O_RDWR | O_CLOEXEC);
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    lk.l_start = 121;
    lk.l_len = 1;
    ASSERT_EQ(::fcntl(shm, F_OFD_SETLK, &lk), 0);
    std::string bytes = fileBytes(path);
    ++bytes[63];
    writeFile(path, bytes);
    // ...and writes the rest once the program has looked (the byte, the file, the byte again).
    const int watch = inotify_init1(IN_CLOEXEC);
    // (Opens too, so that two closes in a row never merge into one event.)
    ASSERT_GE(inotify_add_watch(watch, (path + "-shm").c_str(), IN_OPEN | IN_CLOSE_NOWRITE), 0);
    std::thread rest([&] {
        alignas(inotify_event) char buf[4096];
        for (int looks = 0; looks < 2;) {
            const ssize_t n = ::read(watch, buf, sizeof buf);
            if (n <= 0) break;
            for (char* p = buf; p < buf + n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(p);
                if (e->mask & IN_CLOSE_NOWRITE) ++looks;
                p += sizeof(inotify_event) + e->len;
            }
        }
        writeFile(path, bytes);
        ::close(shm);
    });
    EXPECT_EQ(raised([&] { reg.writeString("During", "1"); }), "");
    rest.join();
    ::close(watch);
    EXPECT_EQ(raised([&] { reg.writeString("After", "2"); }), "") << "the rest of the checkpoint";
    ASSERT_EQ(tool({"read", "HKCU" + kInstrument, "After"}), 0) << err;
}

// The replaced store's refusal: the full word once, then the short one.
void expectRefusedOnce(Registry& reg, const std::string& store) {
    const std::string first = raised([&] { reg.writeString("COM", "refused"); });
    EXPECT_NE(first.find("The settings store " + store + " was replaced while the program was running"),
              std::string::npos)
        << first;
    const std::string again = raised([&] { reg.writeString("COM", "refused"); });
    EXPECT_NE(again.find("The settings were not saved: the settings store was replaced"), std::string::npos)
        << again;
}

int writeCount(const std::string& store) {
    return std::stoi(sql(store, "PRAGMA user_version"));
}

// A backup taken from the store and written to since has a history of its own, whatever its
// write count: restored under a copy that saved into its journal meanwhile, it is refused, and
// the file stays the backup byte for byte.
TEST_F(Reg, ABackupWrittenToSinceIsNeverTakenForACheckpointWhateverItsCount) {
    const struct {
        int backupWrites;  // regtool writes into the backup: its count ends lower, equal or higher
        bool move;
        // Another copy put the program's journal into the file before the restore: "" none, else
        // its kind (TRUNCATE leaves no journal: the program then reads the restored file itself).
        std::string checkpoint;
    } cases[] = {{1, false, ""},        {2, false, ""},       {3, false, ""},         {1, true, ""},
                 {2, true, ""},         {3, true, ""},        {1, false, "PASSIVE"},  {2, false, "PASSIVE"},
                 {3, false, "PASSIVE"}, {2, true, "PASSIVE"}, {1, false, "TRUNCATE"}, {3, false, "TRUNCATE"}};
    const std::string key = "HKCU" + kInstrument;
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.backupWrites) + (c.move ? " mv" : " cp") +
                     (c.checkpoint.empty() ? "" : ", " + c.checkpoint));
        const std::string store = env.path("h" + std::to_string(++n) + ".db"), copy = store + ".backup";
        env.set("ZENTROVA_REGISTRY", store);
        for (int i = 0; i < 4; ++i)
            ASSERT_EQ(tool({"write", key, "Seed" + std::to_string(i), "sz", "s"}), 0) << err;
        writeFile(copy, fileBytes(store));
        for (int i = 0; i < c.backupWrites; ++i)
            ASSERT_EQ(
                tool({"--store", copy, "write", "HKCU\\Software\\B", "b" + std::to_string(i), "dword", "1"}),
                0)
                << err;
        const std::string backup = fileBytes(copy);
        Registry reg;
        ASSERT_TRUE(reg.openKey(kInstrument, false));
        for (int i = 0; i < 4; ++i) reg.writeString("Saved", std::to_string(i));
        const int relation = writeCount(copy) - writeCount(store);
        EXPECT_EQ(relation, 2 * c.backupWrites - 4) << "lower, equal, higher";
        if (!c.checkpoint.empty()) {
            EXPECT_EQ(sql(store, "PRAGMA wal_checkpoint(" + c.checkpoint + ")"), "0");
        }
        if (c.move)
            ASSERT_EQ(::rename(copy.c_str(), store.c_str()), 0);
        else
            writeFile(store, backup);
        expectRefusedOnce(reg, store);
        EXPECT_EQ(fileBytes(store), backup);
        Registry::closeStore();
        EXPECT_EQ(fileBytes(store), backup) << "the program's journal went into the backup";
        ASSERT_EQ(tool({"list", "HKCU\\Software\\B"}), 0) << err;
        EXPECT_EQ(out.find("\"b0\"=dword:1\n"), 0u) << out;
    }
}

// Other copies' writes and checkpoints, however many while this copy read nothing, are later
// states of the store it knows: never a replacement. Nor is a store moved in before any copy
// ran, or one written before lines of history were kept, which the first write gives a line.
TEST_F(Reg, OtherCopiesWritesAndCheckpointsHoweverManyAreNeverAReplacement) {
    const char* const cases[] = {"the same store", "a store moved in", "a store without a line"};
    const std::string key = "HKCU" + kInstrument;
    int n = 0;
    for (const std::string c : cases) {
        SCOPED_TRACE(c);
        const std::string store = env.path("o" + std::to_string(++n) + ".db");
        env.set("ZENTROVA_REGISTRY", store);
        ASSERT_EQ(tool({"write", key, "Seed", "sz", "s"}), 0) << err;
        if (c == "a store moved in") {
            writeFile(store + ".new", fileBytes(store));
            ASSERT_EQ(::rename((store + ".new").c_str(), store.c_str()), 0);
        }
        if (c == "a store without a line") {
            sql(store, "PRAGMA application_id=0");
            sql(store, "DELETE FROM meta WHERE name='origin'");
            ASSERT_EQ(sql(store, "PRAGMA application_id"), "0");
        }
        const std::string line = sql(store, "PRAGMA application_id");
        Registry reg;
        ASSERT_TRUE(reg.openKey(kInstrument, false));
        EXPECT_EQ(reg.readString("Seed"), "s");
        for (int round = 0; round < 4; ++round) {
            for (int i = 0; i < 6; ++i)
                ASSERT_EQ(tool({"write", key, "v" + std::to_string(round * 10 + i), "sz", "w"}), 0) << err;
            EXPECT_EQ(sql(store, "PRAGMA wal_checkpoint"), "0");
        }
        EXPECT_EQ(raised([&] { reg.writeString("Program", "1"); }), "");
        EXPECT_EQ(raised([&] { reg.writeString("Program", "2"); }), "");
        if (c != "the same store") {
            EXPECT_NE(sql(store, "PRAGMA application_id"), line) << "the first write starts a line";
        }
        EXPECT_NE(sql(store, "PRAGMA application_id"), "0");
        Registry::closeStore();
        EXPECT_FALSE(exists(store + "-wal.replaced"));
        ASSERT_EQ(tool({"read", key, "Program"}), 0) << err;
        EXPECT_EQ(out, "2\n");
        ASSERT_EQ(tool({"read", key, "v35"}), 0) << err;
    }
}

// The file at the last checkpoint copied with its time (cp -p) and moved in over the store: the
// same size, time and contents, and still another file.
TEST_F(Reg, ABackupMovedInWithTheSameSizeAndTimeIsStillAnotherFile) {
    const std::string backup = closedStore("backup");
    const std::string copy = path + ".backup";
    writeFile(copy, backup);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, copy.c_str(), times, 0), 0);
    Registry reg;
    ASSERT_TRUE(reg.openKey(kInstrument, false));
    reg.writeString("COM", "in the journal");
    ASSERT_EQ(::rename(copy.c_str(), path.c_str()), 0);
    expectRefusedOnce(reg, path);
    Registry::closeStore();
    EXPECT_EQ(fileBytes(path), backup);
}

TEST_F(Reg, ReadingLeavesAKilledCopysJournalAndTheFileAsTheyAre) {
    // Values enough for several pages; a page of them is damaged later.
    {
        Registry reg;
        reg.beginTransaction();
        for (int k = 0; k < 10; ++k) {
            ASSERT_TRUE(reg.openKey("\\Software\\K" + std::to_string(100 + k), true));
            for (int v = 0; v < 20; ++v)
                reg.writeString("v" + std::to_string(100 + v), std::string(100, 'a'));
        }
        ASSERT_TRUE(reg.openKey(kInstrument, true));
        reg.writeString("COM", "in the file");
        reg.commit();
    }
    Registry::closeStore();
    const std::string page = sql(path,
                                 "SELECT pageno FROM dbstat WHERE name='vals' AND pagetype='leaf' ORDER BY "
                                 "pageno LIMIT 1 OFFSET 3");
    // A copy killed after its write leaves its journal.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        try {
            Registry copy;
            copy.openKey(kInstrument, false);
            copy.writeString("COM", "in the journal");
        } catch (...) {
        }
        ::kill(::getpid(), SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    const std::string db = fileBytes(path), wal = fileBytes(path + "-wal");
    ASSERT_FALSE(wal.empty());
    const std::string key = "HKCU" + kInstrument;
    for (const Names& args :
         {Names{"read", key, "COM"}, Names{"list", key}, Names{"export", key}, Names{"check"}}) {
        SCOPED_TRACE(args[0]);
        EXPECT_EQ(tool(args), 0) << err;
        if (args[0] != "check") {
            EXPECT_NE(out.find("in the journal"), std::string::npos) << out;
        }
        EXPECT_EQ(fileBytes(path), db);
        EXPECT_EQ(fileBytes(path + "-wal"), wal);
    }
    // The program's own reads before its first write.
    {
        Registry reg;
        ASSERT_TRUE(reg.openKey(kInstrument, false));
        EXPECT_EQ(reg.readString("COM"), "in the journal");
        EXPECT_EQ(Registry::checkStore(), "");
    }
    Registry::closeStore();
    EXPECT_EQ(fileBytes(path), db);
    EXPECT_EQ(fileBytes(path + "-wal"), wal);
    // A damaged store with a journal: the export fails and changes neither.
    std::string bytes = db;
    const size_t pageSize = (uint8_t(bytes[16]) << 8) | uint8_t(bytes[17]);
    bytes[(std::stoul(page) - 1) * pageSize] = '\xff';
    writeFile(path, bytes);
    EXPECT_EQ(tool({"export", "HKCU\\Software", env.path("rescue.txt")}), 1);
    EXPECT_NE(err.find("the export is incomplete"), std::string::npos) << err;
    // Nor does the program's refused write, or its close.
    {
        Registry reg;
        ASSERT_TRUE(reg.openKey(kInstrument, false));
        EXPECT_NE(raised([&] { reg.writeString("COM", "refused"); }).find("is damaged"), std::string::npos);
    }
    Registry::closeStore();
    EXPECT_EQ(tool({"check"}), 1);
    EXPECT_NE(err.find("is damaged"), std::string::npos) << err;
    EXPECT_NE(err.find("Close every copy of the program first; then move the file aside together with its "
                       "-wal and -shm files, or copy a backup over it and delete those two files"),
              std::string::npos)
        << err;
    EXPECT_EQ(fileBytes(path), bytes);
    EXPECT_EQ(fileBytes(path + "-wal"), wal);
}

TEST_F(Reg, AnExportCutAnywhereIsRefusedOrChangesNothing) {
    const std::string key = "[HKCU\\Software\\Cut]\n";
    ASSERT_EQ(tool({"import"}, key + "\"ColumnT\"=sz:40\n\"Pump1Flow\"=sz:0.5\n\"Time\"=sz:12:30\n" +
                                   "\"N\"=dword:1234\n\"Raw\"=hex:01,02,03\n"),
              0)
        << err;
    ASSERT_EQ(tool({"export", "HKCU\\Software\\Cut", env.path("cut.txt")}), 0) << err;
    const std::string whole = fileBytes(env.path("cut.txt"));
    const std::string closing = "# end of export\n";
    ASSERT_EQ(whole.rfind("# zentrova settings export. Its last line is \"# end of export\"", 0), 0u)
        << whole;
    ASSERT_EQ(whole.substr(whole.size() - closing.size()), closing);
    int refused = 0;
    for (size_t cut = 0; cut <= whole.size(); ++cut) {
        SCOPED_TRACE(whole.substr(0, cut));
        const int rc = tool({"import"}, whole.substr(0, cut));
        if (rc == 2) {
            ++refused;
            EXPECT_NE(err.find("<stdin>: the file is cut off: it lacks its last line \"# end of export\""),
                      std::string::npos)
                << err;
            EXPECT_NE(err.find("nothing was imported"), std::string::npos) << err;
            continue;  // nothing imported
        }
        EXPECT_EQ(rc, 0) << err;
        ASSERT_EQ(tool({"export", "HKCU\\Software\\Cut"}), 0) << err;
        ASSERT_EQ(out, whole) << "a value changed";
    }
    EXPECT_GT(refused, int(whole.size() / 2));
    // Saved again with a byte-order mark and CRLF, then cut: still seen as cut.
    std::string crlf = "\xEF\xBB\xBF";
    for (char ch : whole.substr(0, whole.size() - closing.size()))
        crlf += ch == '\n' ? "\r\n"s : std::string(1, ch);
    EXPECT_EQ(tool({"import"}, crlf), 2);
    EXPECT_EQ(tool({"import"}, crlf + "# end of export\r\n"), 0) << err;
    // A file without the opening line imports as before.
    EXPECT_EQ(tool({"import"}, "# zentrova settings export\n" + key + "\"ColumnT\"=sz:4"), 0) << err;
    EXPECT_EQ(tool({"read", "HKCU\\Software\\Cut", "ColumnT"}), 0);
    EXPECT_EQ(out, "4\n");
}

TEST_F(Reg, ASecondConnectionAndOtherOpensOfTheFilesComingAndGoingLoseNoWriteOfAnotherCopy) {
    Registry reg;
    ASSERT_TRUE(reg.openKey(kInstrument, true));
    reg.writeString("Before", "1");
    // A second connection of the process writes and closes.
    std::thread([] {
        Registry other;
        ASSERT_TRUE(other.openKey(kInstrument, false));
        other.writeString("Other", "2");
        Registry::closeStore();
    }).join();
    // Then something else in the process opens and closes the store's files.
    for (const char* file : {"", "-wal", "-shm"}) ::close(::open((path + file).c_str(), O_RDONLY));
    // Then another copy writes and leaves: it is not the last one.
    ASSERT_EQ(tool({"write", "HKCU" + kInstrument, "Copy", "sz", "3"}), 0) << err;
    EXPECT_TRUE(exists(path + "-wal")) << "the journal was deleted under the program";
    reg.writeString("After", "4");
    ASSERT_EQ(tool({"list", "HKCU" + kInstrument}), 0) << err;
    EXPECT_EQ(out, "\"After\"=sz:4\n\"Before\"=sz:1\n\"Copy\"=sz:3\n\"Other\"=sz:2\n");
}

TEST_F(Reg, ARescueExportOfDamagedKeysKeepsEveryReadableSubkeyAndGoesToANewFilesOwnName) {
    {
        Registry reg;
        reg.beginTransaction();
        for (int k = 0; k < 600; ++k) {
            ASSERT_TRUE(
                reg.openKey("\\Software\\Key of a long name number " + std::to_string(1000 + k), true));
            reg.writeInteger("n", k);
        }
        reg.commit();
    }
    std::string page, cells;
    aside([&] {
        page = sql(path,
                   "SELECT pageno FROM dbstat WHERE name='keys' AND pagetype='leaf' ORDER BY pageno LIMIT 1 "
                   "OFFSET 3");
        cells = sql(path, "SELECT ncell FROM dbstat WHERE pageno=" + page);
        std::string bytes = fileBytes(path);
        const size_t pageSize = (uint8_t(bytes[16]) << 8) | uint8_t(bytes[17]);
        bytes[(std::stoul(page) - 1) * pageSize] = '\xff';
        writeFile(path, bytes);
    });
    const std::string file = env.path("rescue.txt");
    EXPECT_EQ(tool({"export", "HKCU\\Software", file}), 1);
    EXPECT_NE(err.find("could not read subkeys of HKCU\\Software"), std::string::npos) << err;
    EXPECT_FALSE(exists(file + ".incomplete"));
    const std::string rescued = fileBytes(file);
    size_t keys = 0;
    for (size_t at = 0; (at = rescued.find("[HKCU\\Software\\Key of", at)) != std::string::npos; ++at) ++keys;
    EXPECT_EQ(keys, 600 - std::stoul(cells)) << rescued;
    EXPECT_NE(rescued.find("\"n\"=dword:599\n"), std::string::npos) << "the last subkey, after the damage";
}

void release(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

double secondsOf(const std::function<void()>& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Anyone who can open the store's files can hold one of its locks. regtool waits for none of
// them longer than the bound (3 s), then says that the store stays locked; once the child is
// gone, the same command works.
TEST_F(Reg, NoLockHeldByAnotherProcessHoldsRegtoolLongerThanTheBound) {
    const struct {
        const char* file;
        off_t start, len;
    } locks[] = {{"", 0x40000000, 1}, {"", 0x40000001, 1}, {"", 0x40000002, 510}, {"-shm", 120, 1},
                 {"-shm", 121, 1},    {"-shm", 122, 1},    {"-shm", 123, 1},      {"-shm", 124, 4},
                 {"-shm", 123, 5},    {"-shm", 128, 1}};
    std::vector<std::future<std::string>> runs;
    int n = 0;
    for (const auto& l : locks) {
        const std::string store = env.path("l" + std::to_string(++n) + ".db");
        runs.push_back(std::async(std::launch::async, [this, l, store, n] {
            std::string report =
                std::string(l.file) + " " + std::to_string(l.start) + "+" + std::to_string(l.len);
            const std::string tag = std::to_string(n);
            auto run = [&](const std::string& args) {
                const std::string cmd = quote(kTool) + " --store " + quote(store) + " " + args +
                                        " >/dev/null 2>" + env.path("err" + tag);
                const int status = std::system(cmd.c_str());
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            };
            if (run("write HKCU\\\\A x sz 1") != 0) return report + ": no store";
            const pid_t child = holdLock(store + l.file, l.start, l.len);
            if (child < 0) return report + ": the child took no lock";
            for (const char* args : {"read HKCU\\\\A x", "write HKCU\\\\A x sz 2", "check"}) {
                int rc = 0;
                const double s = secondsOf([&] { rc = run(args); });
                const std::string said = fileBytes(env.path("err" + tag));
                if (s > 5.0) report += std::string(": ") + args + " took " + std::to_string(s) + " s";
                if (rc != 0 && said.find("stays locked by another program. Nothing was read or saved") ==
                                   std::string::npos)
                    report += std::string(": ") + args + " said " + said;
            }
            release(child);
            if (run("write HKCU\\\\A x sz 3") != 0) report += ": no write once the lock was gone";
            return report;
        }));
    }
    for (size_t i = 0; i < runs.size(); ++i) {
        const std::string report = runs[i].get();
        EXPECT_EQ(report.find(':'), std::string::npos) << report;
    }
}

// The program's own uses: the first meets the bound and says so; the ones right after fail at
// once instead of waiting again, and the store works again once the lock is gone.
TEST_F(Reg, ALockHeldByAnotherProcessHoldsTheProgramOnceForTheBoundAtMost) {
    const struct {
        off_t start;
        bool open;  // the program has used the store before the lock is taken
    } cases[] = {{120, false}, {123, false}, {120, true}};
    for (const auto& [start, open] : cases) {
        SCOPED_TRACE(std::to_string(start) + (open ? ", open" : ""));
        const std::string store = env.path("p" + std::to_string(start) + (open ? "o" : "") + ".db");
        env.set("ZENTROVA_REGISTRY", store);
        {
            Registry reg;
            ASSERT_TRUE(reg.openKey(kInstrument, true));
            reg.writeString("COM", "COM1");
        }
        Registry::closeStore();
        Registry reg;
        if (open) {
            ASSERT_TRUE(reg.openKey(kInstrument, false));
            EXPECT_EQ(reg.readString("COM"), "COM1");
        }
        const pid_t child = holdLock(store + "-shm", start, 5);
        ASSERT_GT(child, 0);
        std::string first;
        const double once = secondsOf([&] {
            first = raised([&] {
                reg.openKey(kInstrument, true);
                reg.writeString("COM", "COM2");
            });
        });
        EXPECT_NE(first.find("The settings store " + store + " stays locked by another program"),
                  std::string::npos)
            << first;
        EXPECT_GT(once, 2.5);
        EXPECT_LT(once, 5.0);
        for (int i = 0; i < 5; ++i)
            EXPECT_LT(secondsOf([&] { raised([&] { reg.writeString("COM", "COM3"); }); }), 0.5);
        release(child);
        Registry::closeStore();  // the next use tries again at once
        EXPECT_EQ(raised([&] {
                      reg.openKey(kInstrument, true);
                      reg.writeString("COM", "COM4");
                  }),
                  "");
        EXPECT_EQ(reg.readString("COM"), "COM4");
        Registry::closeStore();
    }
}

// A named pipe beside the store: every use says which file is wrong, none blocks.
TEST_F(Reg, ANamedPipeBesideTheStoreIsNamedAndBlocksNothing) {
    for (const char* file : {"-shm", "-wal"}) {
        SCOPED_TRACE(file);
        const std::string store = env.path(std::string("f") + file + ".db");
        env.set("ZENTROVA_REGISTRY", store);
        ASSERT_EQ(tool({"write", "HKCU\\A", "x", "sz", "1"}), 0) << err;
        ASSERT_EQ(::mkfifo((store + file).c_str(), 0600), 0);
        for (const Names& args : {Names{"read", "HKCU\\A", "x"}, Names{"write", "HKCU\\A", "x", "sz", "2"},
                                  Names{"check"}, Names{"list", "HKCU\\A"}}) {
            SCOPED_TRACE(args[0]);
            EXPECT_EQ(tool(args), 1);
            EXPECT_NE(err.find(store + file +
                               " is not read: it is a named pipe (FIFO), not a regular file. The "
                               "settings store " +
                               store + " is left unchanged"),
                      std::string::npos)
                << err;
        }
        EXPECT_NE(raised([] { Registry().keyExists("\\A"); }).find(store + file + " is not read"),
                  std::string::npos);
        Registry::closeStore();
        ::unlink((store + file).c_str());
        EXPECT_EQ(tool({"read", "HKCU\\A", "x"}), 0) << err;
    }
    // Under a running copy: its next write looks at the -shm by name, and is not held by a pipe there.
    Registry reg;
    ASSERT_TRUE(reg.openKey("\\A", false));
    reg.writeString("y", "1");
    ASSERT_EQ(::rename((Registry::storePath() + "-shm").c_str(), env.path("old-shm").c_str()), 0);
    ASSERT_EQ(::mkfifo((Registry::storePath() + "-shm").c_str(), 0600), 0);
    auto write = std::async(std::launch::async, [] {
        Registry other;
        other.openKey("\\A", false);
        return raised([&] { other.writeString("y", "2"); });
    });
    if (write.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ::close(::open((Registry::storePath() + "-shm").c_str(), O_WRONLY | O_NONBLOCK));
        ADD_FAILURE() << "the write blocked on the named pipe";
    }
    write.get();
    EXPECT_EQ(raised([&] { reg.writeString("y", "3"); }), "");
}

// What the program makes for its own use is the user's alone, whatever the umask.
TEST_F(Reg, TheStoreItsFolderAndJournalAreTheUsersAlone) {
    const mode_t mask = ::umask(0);
    env.set("ZENTROVA_REGISTRY", env.path("new/folder/registry.db"));
    Registry reg;
    ASSERT_TRUE(reg.openKey("\\A", true));
    reg.writeString("x", "1");
    ::umask(mask);
    struct stat st {};
    for (const char* file : {"new", "new/folder"}) {
        ASSERT_EQ(::stat(env.path(file).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u) << file;
    }
    for (const char* file : {"", "-wal", "-shm"}) {
        ASSERT_EQ(::stat((Registry::storePath() + file).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
    }
    Registry::closeStore();
}

// Names that would mislead a terminal or a reader are refused on import; what older versions
// stored is printed escaped, and an export names what it cannot write back.
TEST_F(Reg, RegtoolRefusesMisleadingKeyNamesAndPrintsStoredControlCharactersEscaped) {
    const struct {
        std::string input;
        const char* message;
    } cases[] = {
        {"[HKCU\\Software\\..]\n", "<stdin>:1: A settings key name cannot be \".\" or \"..\"."},
        {"[HKCU\\Software\\.\\A]\n", "<stdin>:1: A settings key name cannot be \".\" or \"..\"."},
        {"[HKCU\\Software\\A\x1b[31mB]\n", "<stdin>:1: A settings key name cannot hold a control character."},
        {"[HKCU\\Software\\A\x01]\n", "<stdin>:1: A settings key name cannot hold a control character."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(tool({"import"}, c.input + "\"v\"=sz:1\n"), 2);
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
    EXPECT_EQ(tool({"write", "HKCU\\Software\\..", "v", "sz", "1"}), 2);
    EXPECT_EQ(tool({"list", "HKCU\\Software"}), 1) << "nothing was written";
    // Stored by an older version.
    ASSERT_EQ(tool({"import"}, "[HKCU\\Software\\A]\n\"v\"=sz:red\\x1b[31m\\x01\n"), 0) << err;
    aside([&] {
        EXPECT_EQ(sql(path,
                      "INSERT INTO keys(parent, name, fold) SELECT id, 'E' || char(27) || '[2J', 'e' || "
                      "char(27) || '[2j' FROM keys WHERE fold='software'"),
                  "<no row>");
    });
    ASSERT_EQ(tool({"read", "HKCU\\Software\\A", "v"}), 0) << err;
    EXPECT_EQ(out, "red\\x1b[31m\\x01\n");
    ASSERT_EQ(tool({"list", "HKCU\\Software"}), 0) << err;
    EXPECT_EQ(out, "A\\\nE\\x1b[2J\\\n");
    EXPECT_EQ(tool({"export", "HKCU\\Software"}), 1);
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
    EXPECT_NE(err.find("HKCU\\Software\\E\\x1b[2J: a key name with a control character cannot be exported"),
              std::string::npos)
        << err;
}

// Import files: a loop of symbolic links is named as one, a link to a file is followed, and a
// file in UTF-16 gets one word, not one per line.
TEST_F(Reg, RegtoolImportNamesALinkLoopAndAnEncodingItDoesNotRead) {
    const std::string text = "[HKCU\\Software\\A]\n\"v\"=sz:1\n\"w\"=sz:2\n\"x\"=sz:3\n";
    writeFile(env.path("in.reg"), text);
    ASSERT_EQ(::symlink("in.reg", env.path("link").c_str()), 0);
    ASSERT_EQ(::symlink("loop2", env.path("loop1").c_str()), 0);
    ASSERT_EQ(::symlink("loop1", env.path("loop2").c_str()), 0);
    EXPECT_EQ(tool({"import", env.path("loop1")}), 2);
    EXPECT_EQ(err, "regtool: " + env.path("loop1") +
                       " is not read: it is a symbolic link that leads round in a loop.\n");
    EXPECT_EQ(tool({"import", env.path("link")}), 0) << err;
    std::string le = "\xFF\xFE", be = "\xFE\xFF", bare;
    for (char c : text) {
        le += std::string(1, c) + '\0';
        be += std::string(1, '\0') + c;
        bare += std::string(1, c) + '\0';
    }
    for (const std::string& input : {le, be, bare}) {
        writeFile(env.path("u16.reg"), input);
        for (const Names& args : {Names{"import", env.path("u16.reg")}, Names{"import"}}) {
            EXPECT_EQ(tool(args, input), 2);
            const std::string source = args.size() > 1 ? env.path("u16.reg") : "<stdin>";
            EXPECT_EQ(
                err,
                source +
                    ": the file is encoded as UTF-16, which is not supported: save it as UTF-8 and import "
                    "it again\nregtool: nothing was imported\n");
        }
    }
}

// A store cut short: the export writes what it can read and names the rest, and an existing
// file is left for the incomplete export's own file.
TEST_F(Reg, AnExportOfAStoreCutShortRescuesWhatItCanRead) {
    {
        Registry reg;
        reg.beginTransaction();
        for (int k = 0; k < 9; ++k) {
            ASSERT_TRUE(reg.openKey("\\Software\\K" + std::to_string(k), true));
            for (int v = 0; v < 30; ++v) reg.writeString("v" + std::to_string(v), std::string(40, 'a'));
        }
        reg.commit();
    }
    Registry::closeStore();
    const std::string whole = fileBytes(path);
    ASSERT_GE(whole.size(), 24576u);
    const std::string file = env.path("rescue.txt");
    for (const size_t cut : {size_t(10000), size_t(16384), size_t(20480)}) {
        SCOPED_TRACE(cut);
        const std::string cutStore = env.path("cut" + std::to_string(cut) + ".db");
        writeFile(cutStore, whole.substr(0, cut));
        ::unlink(file.c_str());
        EXPECT_EQ(tool({"--store", cutStore, "export", "HKCU\\Software", file}), 1);
        EXPECT_NE(err.find("the export is incomplete"), std::string::npos) << err;
        const std::string rescued = fileBytes(file);
        EXPECT_EQ(rescued.rfind("# zentrova settings export.", 0), 0u) << rescued;
        EXPECT_NE(rescued.find("could not be read"), std::string::npos) << rescued;
        if (cut == 20480) {  // the pages of the keys are there, those of the values are not
            EXPECT_NE(rescued.find("[HKCU\\Software\\K8]\n"), std::string::npos) << rescued;
        }
        EXPECT_EQ(fileBytes(cutStore), whole.substr(0, cut)) << "the export changed the store";
        writeFile(file, "old");
        EXPECT_EQ(tool({"--store", cutStore, "export", "HKCU\\Software", file}), 1);
        EXPECT_EQ(fileBytes(file), "old");
        EXPECT_EQ(fileBytes(file + ".incomplete"), rescued);
        ::unlink((file + ".incomplete").c_str());
    }
}

// The values each writer confirmed, as regtool writes them: "w<writer>_<n>" under HKCU\Software\W.
int regtoolWrite(const std::string& store, const std::string& name, std::string* said = nullptr) {
    const std::string cmd = quote(kTool) + " --store " + quote(store) + " write 'HKCU\\Software\\W' " +
                            quote(name) + " dword 1 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return -1;
    std::string text;
    char buf[512];
    while (size_t n = std::fread(buf, 1, sizeof buf, p)) text.append(buf, n);
    const int status = ::pclose(p);
    if (said) *said = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Another process's command on the store through the sqlite3 shell (as an administrator runs it).
bool shell(const std::string& store, const std::string& statement) {
    const std::string cmd = "sqlite3 " + quote(store) + " " + quote(statement) + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

// What the normal use of a store does under a running copy, between its writes and other
// copies' writes: none of it is a replacement, no save is refused, nothing is set aside, and
// every confirmed write is there after the close, in a store whose integrity check passes.
TEST_F(Reg, NormalUseUnderARunningCopyIsNeverAReplacement) {
    Registry::notice();  // what earlier cases left
    ASSERT_EQ(std::system("sqlite3 -version >/dev/null 2>&1"), 0)
        << "scripts/install-deps.sh installs sqlite3";
    const struct {
        const char* what;
        std::function<void(const std::string&)> act;
    } rows[] = {
        {"touch", [](const std::string& f) { ::utimensat(AT_FDCWD, f.c_str(), nullptr, 0); }},
        {"touch to an old time",
         [](const std::string& f) {
             const timespec old[2] = {{1000000, 0}, {1000000, 0}};
             ::utimensat(AT_FDCWD, f.c_str(), old, 0);
         }},
        {"checkpoint (PASSIVE)",
         [](const std::string& f) { EXPECT_TRUE(shell(f, "PRAGMA wal_checkpoint(PASSIVE)")); }},
        {"checkpoint (FULL)",
         [](const std::string& f) { EXPECT_TRUE(shell(f, "PRAGMA wal_checkpoint(FULL)")); }},
        {"checkpoint (TRUNCATE)",
         [](const std::string& f) { EXPECT_TRUE(shell(f, "PRAGMA wal_checkpoint(TRUNCATE)")); }},
        {"VACUUM", [](const std::string& f) { EXPECT_TRUE(shell(f, "VACUUM")); }},
        {".backup to a file", [](const std::string& f) { EXPECT_TRUE(shell(f, ".backup " + f + ".bak")); }},
        {"cp of the file over itself", [](const std::string& f) { writeFile(f, fileBytes(f)); }},
        {"cp -p of the file over itself",
         [](const std::string& f) {
             struct stat st {};
             ::stat(f.c_str(), &st);
             writeFile(f, fileBytes(f));
             const timespec times[2] = {st.st_atim, st.st_mtim};
             ::utimensat(AT_FDCWD, f.c_str(), times, 0);
         }},
    };
    int n = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        const std::string store = env.path("u" + std::to_string(++n) + ".db");
        env.set("ZENTROVA_REGISTRY", store);
        ASSERT_EQ(regtoolWrite(store, "before"), 0);
        Registry reg;
        ASSERT_TRUE(reg.openKey("\\Software\\W", false));
        std::vector<std::string> confirmed{"before"};
        for (int round = 0; round < 3; ++round) {
            const std::string mine = "p" + std::to_string(round), theirs = "t" + std::to_string(round);
            EXPECT_EQ(raised([&] { reg.writeInteger(mine, 1); }), "");
            confirmed.push_back(mine);
            std::string said;
            EXPECT_EQ(regtoolWrite(store, theirs, &said), 0) << said;
            confirmed.push_back(theirs);
            r.act(store);
            const std::string after = "a" + std::to_string(round);
            EXPECT_EQ(raised([&] { reg.writeInteger(after, 1); }), "");
            confirmed.push_back(after);
        }
        Registry::closeStore();
        EXPECT_EQ(Registry::notice(), "");
        EXPECT_EQ(asideOf(store), "");
        EXPECT_EQ(sql(store, "PRAGMA integrity_check"), "ok");
        for (const auto& name : confirmed)
            EXPECT_EQ(sql(store, "SELECT count(*) FROM vals WHERE name='" + name + "'"), "1") << name;
    }
}

// A copy killed with writes in its journal, then a backup copied over the store between runs
// (the journal and its index left beside it, or the index removed): the next start finds the
// journal is not the file's, keeps it under a new name and says which, and the backup's values
// are what the store holds. Without the restore the same journal is the store's and is read.
TEST_F(Reg, ABackupRestoredBetweenRunsOverAKilledCopysJournalStaysTheBackup) {
    Registry::notice();  // what earlier cases left
    const struct {
        bool restore;
        bool keepShm;
        bool byRegtool;  // the next start is regtool's write, else the program's
    } cases[] = {{true, true, false},
                 {true, false, false},
                 {true, true, true},
                 {false, true, false},
                 {false, true, true}};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.restore ? "restored" : "not restored") + (c.keepShm ? ", -shm left" : "") +
                     (c.byRegtool ? ", regtool" : ", program"));
        const std::string store = env.path("k" + std::to_string(++n) + ".db");
        env.set("ZENTROVA_REGISTRY", store);
        const std::string backup = closedStore("backup");
        closedStore("later");
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            try {
                Registry copy;
                copy.openKey(kInstrument, false);
                for (const char* v : {"one", "two", "three"}) copy.writeString(v, "killed copy");
            } catch (...) {
            }
            ::kill(::getpid(), SIGKILL);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(exists(store + "-wal"));
        const std::string journal = fileBytes(store + "-wal");
        if (c.restore) writeFile(store, backup);
        if (!c.keepShm) ::unlink((store + "-shm").c_str());
        const std::string key = "HKCU" + kInstrument;
        std::string notice;
        if (c.byRegtool) {
            EXPECT_EQ(tool({"write", key, "IP", "sz", "new"}), 0) << err;
            notice = err;
        } else {
            EXPECT_EQ(Registry::checkStore(), "");
            notice = Registry::notice();
            Registry reg;
            ASSERT_TRUE(reg.openKey(kInstrument, false));
            EXPECT_EQ(raised([&] { reg.writeString("IP", "new"); }), "");
            Registry::closeStore();
        }
        const std::string aside = asideOf(store);
        if (c.restore) {
            ASSERT_NE(aside, "");
            EXPECT_EQ(fileBytes(aside), journal) << "kept whole";
            EXPECT_NE(notice.find("The journal of the settings store " + store), std::string::npos) << notice;
            EXPECT_NE(notice.find("is kept as " + aside), std::string::npos) << notice;
        } else {
            EXPECT_EQ(aside, "");
            EXPECT_EQ(notice, "");
        }
        ASSERT_EQ(tool({"read", key, "COM"}), 0) << err;
        EXPECT_EQ(out, c.restore ? "backup\n" : "later\n");
        EXPECT_EQ(tool({"read", key, "three"}), c.restore ? 1 : 0) << err;
        EXPECT_EQ(out, c.restore ? "" : "killed copy\n");
        ASSERT_EQ(tool({"read", key, "IP"}), 0) << err;
        EXPECT_EQ(out, "new\n");
        EXPECT_EQ(sql(store, "PRAGMA integrity_check"), "ok");
    }
}

// regtool's restore under a running copy: the store holds the backup's keys and values, the
// running copy's next saves go through (a later state of the store it knows), and nothing is
// set aside. A file that is not a sound store is refused and the store stays as it was.
TEST_F(Reg, RegtoolRestoreUnderARunningCopyRefusesNothingAndLosesNothingAfter) {
    Registry::notice();  // what earlier cases left
    const std::string backupFile = env.path("backup.db");
    env.set("ZENTROVA_REGISTRY", backupFile);
    {
        Registry b;
        ASSERT_TRUE(b.openKey(kInstrument, true));
        b.writeString("COM", "backup");
        b.writeInteger("ConnectMethod", 2);
        b.writeBinary("Bytes", {0, 1, 255});
        ASSERT_TRUE(b.openKey("\\Software\\Only\\In\\Backup", true));
        b.writeString("x", "y");
    }
    Registry::closeStore();
    env.set("ZENTROVA_REGISTRY", path);
    Registry reg;
    ASSERT_TRUE(reg.openKey(kInstrument, true));
    reg.writeString("COM", "live");
    reg.writeString("Gone", "after the restore");
    ASSERT_EQ(tool({"write", "HKCU\\Software\\Other", "v", "sz", "other"}), 0) << err;
    const std::string key = "HKCU" + kInstrument;
    ASSERT_EQ(tool({"--store", backupFile, "export", "HKCU\\Software", "-"}), 0) << err;
    const std::string backupExport = out;
    ASSERT_EQ(tool({"restore", backupFile}), 0) << err;
    ASSERT_EQ(tool({"export", "HKCU\\Software", "-"}), 0) << err;
    EXPECT_EQ(out, backupExport);
    EXPECT_EQ(reg.readString("COM"), "backup");
    EXPECT_EQ(reg.readString("Gone"), "");
    EXPECT_EQ(raised([&] { reg.writeString("After", "1"); }), "") << "no refusal after a restore";
    Registry::closeStore();
    EXPECT_EQ(Registry::notice(), "");
    EXPECT_EQ(asideOf(path), "");
    EXPECT_EQ(sql(path, "PRAGMA integrity_check"), "ok");
    ASSERT_EQ(tool({"read", key, "After"}), 0) << err;
    EXPECT_EQ(out, "1\n");
    ASSERT_EQ(tool({"read", "HKCU\\Software\\Only\\In\\Backup", "x"}), 0) << err;
    // Not a store, or a damaged one: refused, nothing changed.
    ASSERT_EQ(tool({"export", "HKCU\\Software", "-"}), 0) << err;
    const std::string before = out;
    writeFile(env.path("text.db"), "not a database at all, not even close to one, really not");
    std::string damaged = fileBytes(backupFile);
    const size_t pageSize = (uint8_t(damaged[16]) << 8) | uint8_t(damaged[17]);
    ASSERT_GT(damaged.size(), 2 * pageSize);
    damaged[pageSize] = '\xff';  // the second page's kind
    writeFile(env.path("damaged.db"), damaged);
    for (const char* bad : {"text.db", "damaged.db", "missing.db"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(tool({"restore", env.path(bad)}), 1);
        EXPECT_NE(err.find(env.path(bad)), std::string::npos) << err;
        ASSERT_EQ(tool({"export", "HKCU\\Software", "-"}), 0) << err;
        EXPECT_EQ(out, before);
    }
}

// The store, or a file of its journal, that is a link or not the user's own: named, with why,
// and nothing is read or written through it.
TEST_F(Reg, AStoreOrJournalThatIsALinkOrAnotherUsersIsRefusedByName) {
    const struct {
        const char* what;
        const char* file;  // "" the store itself, else the suffix
        const char* because;
        bool rootOnly;
    } rows[] = {
        {"store is a link", "", "is a symbolic link", false},
        {"store belongs to another user", "", "belongs to another user", true},
        {"-wal is a link", "-wal", "is a symbolic link", false},
        {"-shm is a link", "-shm", "is a symbolic link", false},
        {"-wal is a folder", "-wal", "it is a folder", false},
        {"-shm is a folder", "-shm", "it is a folder", false},
        {"-wal belongs to another user", "-wal", "belongs to another user", true},
    };
    int n = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        if (r.rootOnly && ::geteuid() != 0) continue;
        const std::string store = env.path("l" + std::to_string(++n) + ".db");
        const std::string theirs = env.path("theirs" + std::to_string(n));
        env.set("ZENTROVA_REGISTRY", store);
        ASSERT_EQ(tool({"write", "HKCU\\A", "x", "sz", "1"}), 0) << err;
        const std::string target = store + r.file;
        const std::string what = std::string(r.what);
        if (what.find("link") != std::string::npos) {
            if (*r.file == 0)
                ::rename(store.c_str(), theirs.c_str());
            else
                writeFile(theirs, "");
            ::unlink(target.c_str());
            ASSERT_EQ(::symlink(theirs.c_str(), target.c_str()), 0);
        } else if (what.find("folder") != std::string::npos) {
            ::unlink(target.c_str());
            ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
        } else {
            if (*r.file != 0) writeFile(target, "");
            ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
        }
        const std::string before = exists(theirs) ? fileBytes(theirs) : "";
        for (const Names& args : {Names{"write", "HKCU\\A", "x", "sz", "2"}, Names{"read", "HKCU\\A", "x"}}) {
            SCOPED_TRACE(args[0]);
            EXPECT_EQ(tool(args), 1) << out;
            EXPECT_NE(err.find(target), std::string::npos) << err;
            EXPECT_NE(err.find(r.because), std::string::npos) << err;
        }
        if (exists(theirs)) {
            EXPECT_EQ(fileBytes(theirs), before) << "nothing written through the link";
        }
        EXPECT_FALSE(exists(theirs + "-wal")) << "no journal made beside their file";
        Registry::closeStore();
    }
}

// With nothing in the journal to compare (a TRUNCATE checkpoint emptied it), a file copied over
// the store is still judged by what it holds: an older state of the same line, or a line
// started from the store's in another file (a backup written to elsewhere), is no later state of
// what the copy saw: its saves are refused and the file stays as restored.
TEST_F(Reg, ARestoreWithAnEmptyJournalIsStillJudgedByItsContent) {
    Registry::notice();
    const char* const cases[] = {"an older state of the same line", "a line started in another file"};
    int n = 0;
    for (const std::string c : cases) {
        SCOPED_TRACE(c);
        const std::string store = env.path("e" + std::to_string(++n) + ".db"), copy = store + ".backup";
        env.set("ZENTROVA_REGISTRY", store);
        const std::string older = closedStore("backup");
        Registry reg;
        ASSERT_TRUE(reg.openKey(kInstrument, false));
        for (int i = 0; i < 3; ++i) reg.writeString("Saved", std::to_string(i));
        EXPECT_EQ(sql(store, "PRAGMA wal_checkpoint(TRUNCATE)"), "0");
        if (c == "a line started in another file") {
            writeFile(copy, fileBytes(store));
            ASSERT_EQ(tool({"--store", copy, "write", "HKCU\\Software\\B", "b", "dword", "1"}), 0) << err;
            EXPECT_NE(sql(copy, "PRAGMA application_id"), sql(store, "PRAGMA application_id"));
            EXPECT_GT(writeCount(copy), writeCount(store));
        } else {
            writeFile(copy, older);
        }
        const std::string restored = fileBytes(copy);
        writeFile(store, restored);
        expectRefusedOnce(reg, store);
        Registry::closeStore();
        EXPECT_EQ(fileBytes(store), restored);
        EXPECT_EQ(sql(store, "PRAGMA integrity_check"), "ok");
    }
    EXPECT_EQ(Registry::notice(), "");
}

// A journal of another file is set aside only while nobody has the store open: a copy that
// still has the old file open (moved away under it) keeps it in use, and the next copy refuses
// to write over it instead; once that copy closes, the journal goes aside and the restored file
// is the store.
TEST_F(Reg, AJournalStillInUseIsNeverSetAside) {
    Registry::notice();
    const std::string backup = closedStore("backup");
    closedStore("later");
    std::promise<void> restored, wrote;
    std::future<void> restoredDone = restored.get_future();
    std::thread copy([&] {
        Registry reg;
        reg.openKey(kInstrument, false);
        for (int i = 0; i < 3; ++i) reg.writeString("Saved", std::to_string(i));
        wrote.set_value();
        restoredDone.wait();
        Registry::closeStore();  // this copy ends
    });
    wrote.get_future().wait();
    writeFile(path + ".new", backup);
    ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0);
    const std::string key = "HKCU" + kInstrument;
    EXPECT_EQ(tool({"write", key, "IP", "sz", "refused"}), 1);
    EXPECT_NE(err.find("was replaced while the program was running"), std::string::npos) << err;
    EXPECT_EQ(asideOf(path), "") << "set aside while another copy had the store open";
    EXPECT_TRUE(exists(path + "-wal"));
    restored.set_value();
    copy.join();
    const std::string aside = asideOf(path);
    EXPECT_NE(aside, "");
    EXPECT_NE(Registry::notice().find("is kept as " + aside), std::string::npos);
    ASSERT_EQ(tool({"write", key, "IP", "sz", "new"}), 0) << err;
    ASSERT_EQ(tool({"read", key, "COM"}), 0) << err;
    EXPECT_EQ(out, "backup\n");
    EXPECT_EQ(fileBytes(path).size(), backup.size());
    EXPECT_EQ(sql(path, "PRAGMA integrity_check"), "ok");
}

// A copy that only closes after an older file was copied over the store under it neither
// checkpoints its journal into the restored file nor leaves the journal to be read over it.
TEST_F(Reg, ACopyThatOnlyClosesAfterARestoreLeavesTheRestoredFileAsItIs) {
    Registry::notice();
    const std::string backup = closedStore("backup");
    Registry reg;
    ASSERT_TRUE(reg.openKey(kInstrument, false));
    for (int i = 0; i < 30; ++i) reg.writeString("v" + std::to_string(i), std::string(200, 'w'));
    EXPECT_EQ(sql(path, "PRAGMA wal_checkpoint"), "0");
    reg.writeString("COM", "before the restore");
    writeFile(path, backup);
    Registry::closeStore();
    EXPECT_EQ(fileBytes(path), backup);
    EXPECT_NE(asideOf(path), "");
    EXPECT_NE(Registry::notice(), "");
    ASSERT_EQ(tool({"read", "HKCU" + kInstrument, "COM"}), 0) << err;
    EXPECT_EQ(out, "backup\n");
}
}  // namespace
