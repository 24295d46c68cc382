// The data system is trusted only when it is ours: a server that runs as another user (or as
// nobody known), or a socket folder that other users can write to, is refused, the refusal is
// logged and the status stays "N/A"; this user and root are answered.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <optional>

#include "link/ChemStation.h"
#include "platform/DdeClient.h"
#include "test_hplc_env.h"

TEST(HplcTrust, ForeignServerOrOpenFolderIsRefusedAndLogged) {
    HplcEnv e;
    e.setStored("ChemInstance", "1");
    e.writeIni("chemstation.ini", "PCS,1", "_DDEOnLine", "TRUST1");
    DdeServer server;
    server.setHandler([](const std::string&, const std::string&) { return std::string("RUN"); });
    ASSERT_TRUE(server.listen("TRUST1")) << server.lastError();
    TChemStation1 cs;
    cs.Timer1->setInterval(3600 * 1000);

    struct Case {
        const char* name;
        std::optional<uid_t> peer;
        mode_t folder;
        const char* refusal;  // nullptr: answered
    };
    const uid_t me = ::geteuid();
    const std::vector<Case> cases = {
        {"this user", me, 0700, nullptr},
        {"another user", 4242, 0700, ": the server runs as user 4242, not as this user or root"},
        {"root", 0, 0700, nullptr},
        {"unknown user", std::nullopt, 0700,
         ": the server runs as an unknown user, not as this user or root"},
        {"folder writable by others", me, 01777, " is writable by other users"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cs.DdeClientConv->PeerUid = [&](int) { return c.peer; };
        ASSERT_EQ(::chmod(e.env.dir.c_str(), c.folder), 0);
        cs.CloseLink();
        cs.LinkOpen = false;
        e.newLines();
        const uint64_t asked = server.requestCount();
        cs.Timer1Timer();
        QCoreApplication::processEvents();
        ASSERT_TRUE(waitFor([&] { return !cs.DdeClientConv->busy(); }));
        const std::vector<std::string> lines = e.newLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], "#Agilent DDE bConnectionOpen: TRUST1");
        if (!c.refusal) {
            EXPECT_EQ(cs.GetStatus(), "RUN");
            continue;
        }
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[1].rfind("#Agilent DDE refused: ", 0), 0u) << lines[1];
        EXPECT_NE(lines[1].find(c.refusal), std::string::npos) << lines[1];
        EXPECT_EQ(lines[2], "#ChemDDEStatus: No Connect");
        EXPECT_EQ(cs.GetStatus(), "N/A");
        EXPECT_EQ(server.requestCount(), asked) << "nothing is asked of a server that is not trusted";
    }
    ::chmod(e.env.dir.c_str(), 0700);
}
