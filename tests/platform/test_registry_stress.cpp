// The settings store under load for about a minute (ZENTROVA_STRESS_SECONDS changes that): four
// regtool writers, an administrator's process that checkpoints, vacuums, touches and backs up
// the store, and a copy of the program writing all the while. No write is refused as a replaced
// store, every confirmed write is in the store at the end, nothing is set aside, and the
// store's integrity check passes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Registry.h"
#include "support/TempEnv.h"

namespace {
const std::string kTool = ZENTROVA_BINARY_DIR "/tools/regtool/regtool";

std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// A command's status and what it said (standard output and error).
int run(const std::string& cmd, std::string& said) {
    said.clear();
    FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return -1;
    char buf[512];
    while (size_t n = std::fread(buf, 1, sizeof buf, p)) said.append(buf, n);
    const int status = ::pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int seconds() {
    const char* s = std::getenv("ZENTROVA_STRESS_SECONDS");
    return s && std::atoi(s) > 0 ? std::atoi(s) : 50;
}

TEST(RegistryStress, WritersAndAnAdministratorUnderARunningCopyLoseNothing) {
    std::string said;
    ASSERT_EQ(run("sqlite3 -version", said), 0) << "scripts/install-deps.sh installs sqlite3";
    TempEnv env;
    const std::string store = env.path("registry.db");
    ASSERT_EQ(run(quote(kTool) + " write 'HKCU\\Software\\W' start dword 1", said), 0) << said;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds());
    const auto going = [&] { return std::chrono::steady_clock::now() < end; };

    struct Writer {
        std::vector<std::string> confirmed;
        std::string refusals;
        int locked = 0;
    };
    std::vector<Writer> writers(4);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < writers.size(); ++i)
        threads.emplace_back([&, i] {
            std::string out;
            for (int n = 0; going(); ++n) {
                const std::string name = "w" + std::to_string(i) + "_" + std::to_string(n);
                const int rc = run(quote(kTool) + " write 'HKCU\\Software\\W' " + name + " dword 1", out);
                if (rc == 0)
                    writers[i].confirmed.push_back(name);
                else if (out.find("stays locked") != std::string::npos)
                    ++writers[i].locked;
                else
                    writers[i].refusals += out;
            }
        });
    std::string admin;
    threads.emplace_back([&] {
        std::string out;
        for (int n = 0; going(); ++n) {
            std::string cmd = "sqlite3 " + quote(store) + " ";
            cmd += n % 11 == 5   ? quote("VACUUM")
                   : n % 13 == 7 ? quote(".backup " + store + ".bak")
                                 : quote("PRAGMA wal_checkpoint(PASSIVE)");
            if (run(cmd, out) != 0 && out.find("locked") == std::string::npos) admin += out;
            if (n % 5 == 2) ::utimensat(AT_FDCWD, store.c_str(), nullptr, 0);
        }
    });
    // The program: a value written, read back and written again all the while.
    std::vector<std::string> mine;
    std::string refused;
    int locked = 0;
    {
        Registry reg;
        ASSERT_TRUE(reg.openKey("\\Software\\W", false));
        for (int n = 0; going(); ++n) {
            const std::string name = "p" + std::to_string(n);
            try {
                reg.writeInteger(name, 1);
                mine.push_back(name);
                EXPECT_EQ(reg.readInteger(name), 1);
            } catch (const ERegistryException& e) {
                const std::string what = e.what();
                if (what.find("stays locked") != std::string::npos)
                    ++locked;
                else
                    refused += what + "\n";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    for (auto& t : threads) t.join();
    Registry::closeStore();
    EXPECT_EQ(refused, "");
    EXPECT_EQ(admin, "");
    EXPECT_EQ(Registry::notice(), "");
    for (const auto& e : std::filesystem::directory_iterator(env.dir))
        EXPECT_EQ(e.path().filename().string().find("-wal.stale-"), std::string::npos) << e.path();

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(store.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    std::set<std::string> stored;
    std::string integrity;
    sqlite3_exec(
        db, "SELECT name FROM vals",
        [](void* s, int, char** v, char**) {
            static_cast<std::set<std::string>*>(s)->insert(v[0] ? v[0] : "");
            return 0;
        },
        &stored, nullptr);
    sqlite3_exec(
        db, "PRAGMA integrity_check",
        [](void* s, int, char** v, char**) {
            *static_cast<std::string*>(s) += v[0] ? v[0] : "";
            return 0;
        },
        &integrity, nullptr);
    sqlite3_close(db);
    EXPECT_EQ(integrity, "ok");
    size_t confirmed = mine.size(), lost = 0;
    for (const auto& name : mine) lost += stored.count(name) == 0;
    for (const Writer& w : writers) {
        EXPECT_EQ(w.refusals, "");
        confirmed += w.confirmed.size();
        for (const auto& name : w.confirmed) lost += stored.count(name) == 0;
        locked += w.locked;
    }
    EXPECT_EQ(lost, 0u) << "of " << confirmed << " confirmed writes";
    EXPECT_GT(confirmed, 100u);
    std::printf("%zu confirmed writes, %zu lost, %d refused as locked\n", confirmed, lost, locked);
}
}  // namespace
