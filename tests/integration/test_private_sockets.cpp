// The sockets the program and its tools listen on: mode 0600 even under umask 0, a file already
// at the path is refused and left as it is, and a path that is no longer their socket when they
// stop is not removed. The data-system stand-in, the test-control channel and the simulator's
// control socket.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QProcess>
#include <functional>

#include "integration/support_program.h"
#include "platform/DdeClient.h"
#include "support/EventWait.h"
#include "support/TempEnv.h"
#include "ui/TestControl.h"

namespace {

struct Creator {
    const char* name;
    std::string path;
    std::function<bool()> start;
    std::function<void()> stop;
};

int modeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? int(st.st_mode & (S_IFMT | 07777)) : -1;
}

}  // namespace

TEST(PrivateSockets, Mode0600AndForeignFilesLeftAlone) {
    TempEnv env;
    env.set("ZENTROVA_DDE_DIR", env.dir);
    env.set("ZENTROVA_TEST_CONTROL", env.path("control"));
    DdeServer dde;
    QProcess sim;
    const std::string simControl = env.path("sim.ctl");
    const std::vector<Creator> creators = {
        {"data-system server", dde::socketPath("own"), [&] { return dde.listen("own"); },
         [&] { dde.stopListening(); }},
        {"test control", env.path("control"), [] { return TestControl::startFromEnvironment(); },
         [] { TestControl::stop(); }},
        {"simulator control", simControl,
         [&] {
             sim.start(QString::fromStdString(progtest::built("tools/instrument-sim/instrument-sim")),
                       {"--pty", QString::fromStdString(env.path("tty")), "--control",
                        QString::fromStdString(simControl)});
             // Running from here on: the socket can appear before the start is reported.
             if (!sim.waitForStarted(30000)) return false;
             // Up when its control socket is there; a refusal ends the process. A loaded machine
             // may take a while either way.
             return waitFor(
                        [&] {
                            return modeOf(simControl) == int(S_IFSOCK | 0600) ||
                                   sim.state() == QProcess::NotRunning;
                        },
                        60000) &&
                    sim.state() == QProcess::Running;
         },
         [&] {
             sim.write("quit\n");
             if (!sim.waitForFinished(30000)) sim.kill();
         }},
    };
    const mode_t oldMask = ::umask(0);
    for (const Creator& c : creators) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.start());
        EXPECT_EQ(modeOf(c.path), int(S_IFSOCK | 0600));
        c.stop();
        EXPECT_EQ(modeOf(c.path), -1) << "its own socket goes when it stops";

        writeFile(c.path, "keep me");
        EXPECT_FALSE(c.start());
        EXPECT_EQ(fileBytes(c.path), "keep me");

        ::unlink(c.path.c_str());
        ASSERT_TRUE(c.start());
        ::unlink(c.path.c_str());
        writeFile(c.path, "someone else's");
        c.stop();
        EXPECT_EQ(fileBytes(c.path), "someone else's") << "not removed: it is not the socket it made";
        ::unlink(c.path.c_str());
    }
    ::umask(oldMask);
}
