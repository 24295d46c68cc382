// The settings store restored from a backup while the real program runs: the program ends
// without bringing anything of its journal into the restored file, copied over the store or
// moved over it; its saves after the restore are refused, and the operator is told once why.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QProcess>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "integration/support_program.h"
#include "support/HeldLock.h"
#include "support/TempEnv.h"

namespace {

const std::string kKey = "HKCU\\Software\\TressivanLabs\\Zentrova\\Instrument";

// What regtool prints for one value ("" when it fails).
std::string readValue(const progtest::Sandbox& box, const std::string& name) {
    QProcess p;
    p.setProcessEnvironment(box.environment());
    p.start(QString::fromStdString(progtest::built("tools/regtool/regtool")),
            {"read", QString::fromStdString(kKey), QString::fromStdString(name)});
    if (!p.waitForFinished(10000) || p.exitCode() != 0) return "";
    return p.readAllStandardOutput().toStdString();
}

// regtool's export of the whole tree of the store in file ("" when it fails).
std::string exportOf(const progtest::Sandbox& box, const std::string& file) {
    QProcess p;
    p.setProcessEnvironment(box.environment());
    p.start(QString::fromStdString(progtest::built("tools/regtool/regtool")),
            {"--store", QString::fromStdString(file), "export", "HKCU\\Software", "-"});
    if (!p.waitForFinished(10000) || p.exitCode() != 0) return "";
    return p.readAllStandardOutput().toStdString();
}

// regtool run in the sandbox; true when it ends with status 0.
bool regtool(const progtest::Sandbox& box, const QStringList& args) {
    QProcess p;
    p.setProcessEnvironment(box.environment());
    p.start(QString::fromStdString(progtest::built("tools/regtool/regtool")), args);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

off_t sizeOf(const std::string& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? st.st_size : -1;
}

// The configuration dialog's Save, as the operator clicks it, under the real program; true once
// the dialog was there to click and has closed (the save, and the box of a refused one, come
// before the close).
bool clickSave(progtest::Program& prog) {
    if (prog.control("menu Configure1") != "ok") return false;
    if (!progtest::waitUntil([&] { return prog.control("modal") == "InstrumentConfiguration"; }, 20000))
        return false;
    return prog.control("click Save") == "ok" &&
           progtest::waitUntil([&] { return prog.control("modal") != "InstrumentConfiguration"; }, 20000);
}

int boxCount(progtest::Program& prog) {
    return std::atoi(prog.control("boxes").c_str());
}

// What the sqlite3 shell prints for one statement on the store (as another process runs it).
std::string sqlite(const std::string& store, const std::string& statement) {
    QProcess p;
    p.start("sqlite3", {QString::fromStdString(store), QString::fromStdString(statement)});
    if (!p.waitForFinished(20000)) return "<no answer>";
    return p.readAllStandardOutput().toStdString() + p.readAllStandardError().toStdString();
}

// The journal kept aside beside store ("" when none).
std::string asideOf(const std::string& store) {
    const std::filesystem::path dir = std::filesystem::path(store).parent_path();
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().filename().string().rfind("registry.db-wal.stale-", 0) == 0) return e.path().string();
    return "";
}

// A regtool writer in a loop of its own: value names "<prefix><n>" under HKCU\Software\W, the
// confirmed ones (status 0) kept, what any refusal said kept too.
struct Writer {
    QProcessEnvironment env;
    std::string prefix;
    std::vector<std::string> confirmed;
    std::string refusals;
    void run(const std::atomic<bool>& stop) {
        for (int n = 0; !stop; ++n) {
            const std::string name = prefix + std::to_string(n);
            QProcess p;
            p.setProcessEnvironment(env);
            p.start(QString::fromStdString(progtest::built("tools/regtool/regtool")),
                    {"write", "HKCU\\Software\\W", QString::fromStdString(name), "dword", "1"});
            if (!p.waitForFinished(30000)) {
                refusals += name + ": no end\n";
                continue;
            }
            if (p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
                confirmed.push_back(name);
            else
                refusals += p.readAllStandardError().toStdString();
        }
    }
};

}  // namespace

// A backup older than the file (written to since, every copy closed) copied or moved over the
// store under the running program: the program's close leaves it as it is. A copy of the very
// file the running journal starts from is the same store, and the journal's write stays.
TEST(ProgramStore, AStoreRestoredUnderTheRunningProgramStaysTheBackup) {
    ASSERT_EQ(progtest::missingProgram(), "");
    const struct { bool move, older; } cases[] = {{false, true}, {true, true}, {false, false}};
    for (const auto& c : cases) {
        const bool move = c.move;
        SCOPED_TRACE(std::string(move ? "mv" : "cp") + (c.older ? ", older" : ", the same state"));
        progtest::Sandbox box;
        const std::string store = box.path() + "/registry.db";
        ASSERT_TRUE(box.setting("COM", "backup"));
        const std::string backup = fileBytes(store);
        if (c.older) {
            ASSERT_TRUE(box.setting("IP", "after the backup"));
        }
        progtest::Program prog(box);
        ASSERT_TRUE(prog.start()) << prog.output();
        // Another copy writes into the journal that the program holds open.
        ASSERT_TRUE(box.setting("COM", "before the restore"));
        ASSERT_GT(sizeOf(store + "-wal"), 0);
        if (move) {
            writeFile(store + ".new", backup);
            ASSERT_EQ(::rename((store + ".new").c_str(), store.c_str()), 0);
        } else {
            writeFile(store, backup);
        }
        ASSERT_EQ(prog.control("answer yes"), "ok");  // the question whether to end
        EXPECT_EQ(prog.control("close"), "ok");
        ASSERT_TRUE(prog.waitForExit(20000)) << prog.output();
        if (c.older) {
            EXPECT_EQ(fileBytes(store), backup) << "the program's close wrote into the restored file";
            EXPECT_EQ(readValue(box, "COM"), "backup\n");
        } else {
            EXPECT_EQ(readValue(box, "COM"), "before the restore\n");
        }
        EXPECT_EQ(sqlite(store, "PRAGMA integrity_check"), "ok\n");
    }
}

// The store restored under the running program, copied over it or moved over it, after the
// program has saved into it and another copy has written into the journal: the next save tells
// the operator once that the store was replaced and the program must be started again, the one
// after says briefly that nothing was saved, and the restored file keeps the backup's values,
// byte for byte, while the program runs and after it ends; nothing of the old journal gets in.
TEST(ProgramStore, SavesIntoAStoreReplacedUnderTheRunningProgramAreRefusedAndSaidOnce) {
    ASSERT_EQ(progtest::missingProgram(), "");
    const std::string once = "was replaced while the program was running. Nothing more is saved into it";
    const std::string again =
        "The settings were not saved: the settings store was replaced while the program was running; start "
        "the program again.";
    for (const bool move : {false, true}) {
        SCOPED_TRACE(move ? "mv" : "cp");
        progtest::Sandbox box;
        const std::string store = box.path() + "/registry.db";
        // Linked to the instrument, the program opens no box of its own.
        progtest::Sim sim(box);
        ASSERT_TRUE(sim.startPty()) << sim.output();
        ASSERT_TRUE(box.setting("ConnectMethod", 2));
        ASSERT_TRUE(box.setting("COM", sim.ptyPath()));
        ASSERT_TRUE(box.setting("InstrumentLabel", "backup"));
        const std::string backup = fileBytes(store);
        writeFile(box.path() + "/backup.db", backup);
        ASSERT_TRUE(box.setting("IP", "after the backup"));  // the store goes on past the backup
        const std::string backupValues = exportOf(box, box.path() + "/backup.db");
        ASSERT_NE(backupValues.find("\"InstrumentLabel\"=sz:backup"), std::string::npos) << backupValues;
        progtest::Program prog(box);
        ASSERT_TRUE(prog.start()) << prog.output();
        ASSERT_TRUE(prog.waitForLog("#main: setMode(): mode=2; current mode=0", 20000)) << prog.logText();

        // Before the restore a save goes through without a word, into the program's journal.
        ASSERT_TRUE(clickSave(prog));
        ASSERT_TRUE(progtest::waitUntil([&] { return readValue(box, "PressureMeasure") != ""; }, 10000))
            << prog.control("boxes");
        ASSERT_EQ(boxCount(prog), 0) << prog.control("boxes");
        ASSERT_TRUE(box.setting("InstrumentLabel", "before the restore"));
        ASSERT_GT(sizeOf(store + "-wal"), 0);
        if (move) {
            writeFile(store + ".new", backup);
            ASSERT_EQ(::rename((store + ".new").c_str(), store.c_str()), 0);
        } else {
            writeFile(store, backup);
        }

        for (int save = 1; save <= 2; ++save) {
            SCOPED_TRACE(save);
            ASSERT_TRUE(clickSave(prog));
            ASSERT_TRUE(progtest::waitUntil([&] { return boxCount(prog) >= save; }, 10000))
                << "the save was taken as done";
        }
        const std::string boxes = prog.control("boxes");
        ASSERT_EQ(boxCount(prog), 2) << boxes;
        const size_t second = boxes.find(" | ", boxes.find(" | ") + 3);
        const std::string first = boxes.substr(0, second);
        EXPECT_NE(first.find("The settings store " + store + " " + once), std::string::npos) << boxes;
        EXPECT_NE(first.find("start it again"), std::string::npos) << boxes;
        EXPECT_NE(boxes.find(again, second), std::string::npos) << boxes;
        EXPECT_EQ(progtest::countOf(boxes, once), 1) << boxes;
        EXPECT_EQ(progtest::countOf(prog.logText(), once), 1) << prog.logText();
        EXPECT_EQ(progtest::countOf(prog.logText(), again), 1) << prog.logText();
        EXPECT_EQ(fileBytes(store), backup) << "a refused save wrote into the restored file";

        ASSERT_EQ(prog.control("answer yes"), "ok");  // the question whether to end
        EXPECT_EQ(prog.control("close"), "ok");
        ASSERT_TRUE(prog.waitForExit(20000)) << prog.output();
        EXPECT_EQ(fileBytes(store), backup) << "the program's close wrote into the restored file";
        EXPECT_EQ(fileBytes(store + "-wal").find("before the restore"), std::string::npos);
        EXPECT_EQ(exportOf(box, store), backupValues);
        EXPECT_EQ(readValue(box, "InstrumentLabel"), "backup\n");
    }
}

// A backup copied from the store and written to since, copied back over the store after the
// program saved three times into its journal: the next save is refused with the full word, the
// program's close leaves the backup as it was, and its values are there to read.
TEST(ProgramStore, ABackupWrittenToSinceIsRefusedWhateverItsWriteCount) {
    ASSERT_EQ(progtest::missingProgram(), "");
    progtest::Sandbox box;
    const std::string store = box.path() + "/registry.db", copy = box.path() + "/backup.db";
    progtest::Sim sim(box);
    ASSERT_TRUE(sim.startPty()) << sim.output();
    ASSERT_TRUE(box.setting("ConnectMethod", 2));
    ASSERT_TRUE(box.setting("COM", sim.ptyPath()));
    writeFile(copy, fileBytes(store));
    for (const char* name : {"One", "Two", "Three"})
        ASSERT_TRUE(regtool(box, {"--store", QString::fromStdString(copy), "write", "HKCU\\Software\\B", name,
                                  "sz", "backup"}));
    const std::string backup = fileBytes(copy);
    progtest::Program prog(box);
    ASSERT_TRUE(prog.start()) << prog.output();
    ASSERT_TRUE(prog.waitForLog("#main: setMode(): mode=2; current mode=0", 20000)) << prog.logText();
    for (int save = 0; save < 3; ++save) ASSERT_TRUE(clickSave(prog));
    ASSERT_EQ(boxCount(prog), 0) << prog.control("boxes");
    writeFile(store, backup);
    ASSERT_TRUE(clickSave(prog));
    ASSERT_TRUE(progtest::waitUntil([&] { return boxCount(prog) >= 1; }, 10000))
        << "the save was taken as done";
    EXPECT_NE(prog.control("boxes").find("The settings store " + store +
                                         " was replaced while the program was running"),
              std::string::npos)
        << prog.control("boxes");
    ASSERT_EQ(prog.control("answer yes"), "ok");
    EXPECT_EQ(prog.control("close"), "ok");
    ASSERT_TRUE(prog.waitForExit(20000)) << prog.output();
    EXPECT_EQ(fileBytes(store), backup) << "the program's close wrote into the restored file";
    EXPECT_TRUE(regtool(box, {"read", "HKCU\\Software\\B", "Three"}));
}

// Another process holds the store's write lock and read marks under the running program: a
// save waits for them three seconds at most, the operator is told that the store stays locked,
// and once the lock is gone a save goes through again.
TEST(ProgramStore, ALockHeldOnTheStoreHoldsASaveForTheBoundAtMostAndIsSaid) {
    ASSERT_EQ(progtest::missingProgram(), "");
    progtest::Sandbox box;
    const std::string store = box.path() + "/registry.db";
    progtest::Sim sim(box);
    ASSERT_TRUE(sim.startPty()) << sim.output();
    ASSERT_TRUE(box.setting("ConnectMethod", 2));
    ASSERT_TRUE(box.setting("COM", sim.ptyPath()));
    progtest::Program prog(box);
    ASSERT_TRUE(prog.start()) << prog.output();
    ASSERT_TRUE(prog.waitForLog("#main: setMode(): mode=2; current mode=0", 20000)) << prog.logText();
    const pid_t child = holdLock(store + "-shm", 120, 8);
    ASSERT_GT(child, 0);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(clickSave(prog));
    ASSERT_TRUE(progtest::waitUntil([&] { return boxCount(prog) >= 1; }, 10000))
        << "the save was taken as done";
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(took, 7.0);
    EXPECT_NE(prog.control("boxes").find("The settings store " + store +
                                         " stays locked by another program. Nothing was read or saved"),
              std::string::npos)
        << prog.control("boxes");
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    int boxes = boxCount(prog);
    EXPECT_TRUE(progtest::waitUntil(
        [&] {
            const bool said = !clickSave(prog) || boxCount(prog) > boxes;
            boxes = boxCount(prog);
            return !said;
        },
        20000))  // the stall after the wait that ran out is ten seconds
        << prog.control("boxes");
    ASSERT_EQ(prog.control("answer yes"), "ok");
    EXPECT_EQ(prog.control("close"), "ok");
    ASSERT_TRUE(prog.waitForExit(20000)) << prog.output();
}

// Four regtool writers, a process that checkpoints the store in a loop (now and then a VACUUM
// or a touch), and the program saving under them: no save or write is refused as a replaced
// store, every confirmed write is in the store after the program's close, nothing is set aside,
// and the store's integrity check passes.
TEST(ProgramStore, WritersAndACheckpointingProcessUnderTheRunningProgramLoseNothing) {
    ASSERT_EQ(progtest::missingProgram(), "");
    ASSERT_EQ(sqlite("/dev/null", "SELECT 1"), "1\n") << "scripts/install-deps.sh installs sqlite3";
    progtest::Sandbox box;
    const std::string store = box.path() + "/registry.db";
    progtest::Sim sim(box);
    ASSERT_TRUE(sim.startPty()) << sim.output();
    ASSERT_TRUE(box.setting("ConnectMethod", 2));
    ASSERT_TRUE(box.setting("COM", sim.ptyPath()));
    progtest::Program prog(box);
    ASSERT_TRUE(prog.start()) << prog.output();
    ASSERT_TRUE(prog.waitForLog("#main: setMode(): mode=2; current mode=0", 20000)) << prog.logText();
    std::atomic<bool> stop{false};
    std::vector<Writer> writers(4);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < writers.size(); ++i) {
        writers[i].env = box.environment();
        writers[i].prefix = "w" + std::to_string(i) + "_";
        threads.emplace_back([&, i] { writers[i].run(stop); });
    }
    std::string admin;
    threads.emplace_back([&] {
        for (int n = 0; !stop; ++n) {
            const std::string said = n % 7 == 3   ? sqlite(store, "VACUUM")
                                     : n % 5 == 2 ? (::utimensat(AT_FDCWD, store.c_str(), nullptr, 0), "")
                                                  : sqlite(store, "PRAGMA wal_checkpoint(PASSIVE)");
            if (said.find("rror") != std::string::npos && said.find("locked") == std::string::npos)
                admin += said;
        }
    });
    const auto joinAll = [&] {
        stop = true;
        for (auto& t : threads)
            if (t.joinable()) t.join();
    };
    for (int save = 0; save < 6; ++save)
        if (!clickSave(prog)) {
            joinAll();
            FAIL() << "Save";
        }
    const std::string boxes = prog.control("boxes");
    EXPECT_EQ(boxes.find("replaced"), std::string::npos) << boxes;
    // The program ends while the writers go on: every wait of its close is bounded.
    const auto closing = std::chrono::steady_clock::now();
    EXPECT_EQ(prog.control("answer yes"), "ok");
    EXPECT_EQ(prog.control("close"), "ok");
    const bool ended = prog.waitForExit(30000);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - closing).count();
    joinAll();
    ASSERT_TRUE(ended) << prog.output();
    EXPECT_LT(took, 15.0);
    EXPECT_EQ(prog.output().find("kept as"), std::string::npos) << prog.output();
    EXPECT_EQ(asideOf(store), "");
    EXPECT_EQ(sqlite(store, "PRAGMA integrity_check"), "ok\n");
    const std::string stored = sqlite(store, "SELECT name FROM vals");
    size_t confirmed = 0;
    for (const Writer& w : writers) {
        EXPECT_EQ(w.refusals.find("replaced"), std::string::npos) << w.refusals;
        for (const std::string& name : w.confirmed) {
            ++confirmed;
            EXPECT_NE(stored.find("\n" + name + "\n"), std::string::npos)
                << name << " was confirmed and is lost";
        }
    }
    EXPECT_GT(confirmed, 20u);
    EXPECT_EQ(admin, "");
    EXPECT_NE(readValue(box, "PressureMeasure"), "") << "the program's saves are there";
}

// regtool's restore while the program runs: the program's next save goes through (no refusal),
// the store holds the backup's values and the save's, and nothing is set aside.
TEST(ProgramStore, RegtoolRestoreUnderTheRunningProgramIsNoReplacement) {
    ASSERT_EQ(progtest::missingProgram(), "");
    progtest::Sandbox box;
    const std::string store = box.path() + "/registry.db", copy = box.path() + "/backup.db";
    progtest::Sim sim(box);
    ASSERT_TRUE(sim.startPty()) << sim.output();
    ASSERT_TRUE(box.setting("ConnectMethod", 2));
    ASSERT_TRUE(box.setting("COM", sim.ptyPath()));
    ASSERT_TRUE(box.setting("InstrumentLabel", "backup"));
    writeFile(copy, fileBytes(store));
    ASSERT_TRUE(box.setting("InstrumentLabel", "after the backup"));
    progtest::Program prog(box);
    ASSERT_TRUE(prog.start()) << prog.output();
    ASSERT_TRUE(prog.waitForLog("#main: setMode(): mode=2; current mode=0", 20000)) << prog.logText();
    ASSERT_TRUE(clickSave(prog));
    ASSERT_TRUE(regtool(box, {"restore", QString::fromStdString(copy)}));
    EXPECT_EQ(readValue(box, "InstrumentLabel"), "backup\n");
    EXPECT_EQ(readValue(box, "PressureMeasure"), "") << "the backup holds no saved dialog";
    ASSERT_TRUE(clickSave(prog));
    ASSERT_TRUE(progtest::waitUntil([&] { return readValue(box, "PressureMeasure") != ""; }, 10000))
        << prog.control("boxes");
    EXPECT_EQ(boxCount(prog), 0) << prog.control("boxes");
    ASSERT_EQ(prog.control("answer yes"), "ok");
    EXPECT_EQ(prog.control("close"), "ok");
    ASSERT_TRUE(prog.waitForExit(30000)) << prog.output();
    EXPECT_EQ(asideOf(store), "");
    EXPECT_EQ(sqlite(store, "PRAGMA integrity_check"), "ok\n");
    EXPECT_NE(readValue(box, "PressureMeasure"), "");
}

// The program killed with saves in its journal, then a backup older than the file copied over
// the store between runs: the next start keeps the journal under a new name and says which, and
// the backup's values are what the program reads and saves over.
TEST(ProgramStore, ABackupRestoredOverAKilledProgramsJournalIsNotUndoneAtTheNextStart) {
    ASSERT_EQ(progtest::missingProgram(), "");
    progtest::Sandbox box;
    const std::string store = box.path() + "/registry.db";
    ASSERT_TRUE(box.setting("InstrumentLabel", "backup"));
    const std::string backup = fileBytes(store);
    ASSERT_TRUE(box.setting("InstrumentLabel", "after the backup"));
    progtest::Sim sim(box);
    ASSERT_TRUE(sim.startPty()) << sim.output();
    ASSERT_TRUE(box.setting("ConnectMethod", 2));
    ASSERT_TRUE(box.setting("COM", sim.ptyPath()));
    {
        progtest::Program prog(box);
        ASSERT_TRUE(prog.start()) << prog.output();
        ASSERT_TRUE(prog.waitForLog("#main: setMode(): mode=2; current mode=0", 20000)) << prog.logText();
        ASSERT_TRUE(clickSave(prog));
        ASSERT_TRUE(progtest::waitUntil([&] { return readValue(box, "PressureMeasure") != ""; }, 10000));
        ASSERT_TRUE(prog.signal(SIGKILL));
        ASSERT_TRUE(prog.waitForExit(20000));
    }
    ASSERT_GT(sizeOf(store + "-wal"), 0);
    const std::string journal = fileBytes(store + "-wal");
    writeFile(store, backup);
    progtest::Program prog(box);
    ASSERT_TRUE(prog.start()) << prog.output();
    ASSERT_TRUE(progtest::waitUntil([&] { return boxCount(prog) >= 1; }, 20000))
        << prog.output() << prog.control("boxes") << asideOf(store);
    const std::string aside = asideOf(store);
    ASSERT_NE(aside, "");
    EXPECT_EQ(fileBytes(aside), journal);
    EXPECT_NE(prog.control("boxes").find("is kept as " + aside), std::string::npos) << prog.control("boxes");
    EXPECT_EQ(readValue(box, "InstrumentLabel"), "backup\n");
    EXPECT_EQ(readValue(box, "PressureMeasure"), "");
    ASSERT_EQ(prog.control("answer yes"), "ok");  // the question whether to end
    EXPECT_EQ(prog.control("close"), "ok");
    ASSERT_TRUE(prog.waitForExit(30000)) << prog.output();
    EXPECT_EQ(sqlite(store, "PRAGMA integrity_check"), "ok\n");
}
