// The settings store restored from a backup while the real program runs: the program ends
// without bringing anything of its journal into the restored file, copied over the store or
// moved over it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QProcess>

#include "integration/support_program.h"
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

off_t sizeOf(const std::string& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? st.st_size : -1;
}

}  // namespace

TEST(ProgramStore, AStoreRestoredUnderTheRunningProgramStaysTheBackup) {
    ASSERT_EQ(progtest::missingProgram(), "");
    for (const bool move : {false, true}) {
        SCOPED_TRACE(move ? "mv" : "cp");
        progtest::Sandbox box;
        const std::string store = box.path() + "/registry.db";
        ASSERT_TRUE(box.setting("COM", "backup"));
        const std::string backup = fileBytes(store);
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
        EXPECT_EQ(fileBytes(store), backup) << "the program's close wrote into the restored file";
        EXPECT_EQ(readValue(box, "COM"), "backup\n");
    }
}
