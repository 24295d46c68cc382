// The HPLC module and its data-system client against an in-process server: the relay edge and
// run seconds, the answers, failed requests that fall back to "N/A", the check that the
// server is this user's, and profile files that are not regular files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QLabel>
#include <fstream>
#include <optional>
#include <sstream>

#include "link/ChemStation.h"
#include "link/HPLC.h"
#include "link/LogFile.h"
#include "link/StoredParams.h"
#include "platform/Clock.h"
#include "platform/DdeClient.h"
#include "platform/IniFile.h"
#include "platform/Instance.h"
#include "platform/Registry.h"
#include "support/EventWait.h"
#include "support/OddFiles.h"
#include "support/TempEnv.h"

using Lines = std::vector<std::string>;

namespace {

// A private store, daily log, Windows-directory stand-in and socket folder, set before the
// client and the module are made.
class HplcBase : public ::testing::Test {
  protected:
    HplcBase() {
        env.set("ZENTROVA_WINDIR", env.path("windows"));
        env.set("ZENTROVA_DDE_DIR", env.dir);
        std::filesystem::create_directories(env.path("windows"));
        setInstance("");
    }
    TempEnv env;
    FakeClockGuard clock;
};

class HplcTest : public HplcBase {
  protected:
    void SetUp() override {
        LogFile = &log;
        setStored("HPLCType", "Agilent ChemStation");
        setStored("ChemInstance", "1");
        writeIni("chemstation.ini", "PCS,1", "HPLCSIM1");
        server.setHandler(
            [this](const std::string& topic, const std::string& item) -> std::optional<std::string> {
                ++requests;
                if (withhold) return std::nullopt;
                return topic == "CPNOWAIT" && item == "ACQSTATUS$" ? answer : std::string();
            });
        cs.Timer1->setInterval(3600 * 1000);  // the test polls by hand
        m.Timer1->stop();
        m.ChemStation = &cs;
        m.LoadHPLCType();
    }
    void setStored(const std::string& name, const std::string& value) {
        Registry reg;
        reg.openKey(TStoredParams::InstrumentRegistryKey(), true);
        reg.writeString(name, value);
    }
    void writeIni(const std::string& file, const std::string& section, const std::string& value) {
        IniFile ini(env.path("windows") + "/" + file);
        ini.writeString(section, "_DDEOnLine", value);
        ini.updateFile();
    }
    // The lines logged since the last call, without their time stamps.
    Lines newLines() {
        const std::string text = fileBytes(log.LogPath);
        std::istringstream in(text.substr(text.find("\n\n") + 2));
        Lines fresh;
        size_t n = 0;
        for (std::string line; std::getline(in, line);)
            if (n++ >= seen_) fresh.push_back(line.substr(line.find(',') + 1));
        seen_ = n;
        return fresh;
    }
    // One poll whose request is answered or refused (a withheld one ends on the fake clock's
    // time-out), then one update of the module.
    void poll() {
        const int before = requests;
        cs.Timer1Timer();
        QCoreApplication::processEvents();
        if (withhold && cs.DdeClientConv->busy()) {
            ASSERT_TRUE(waitFor([&] { return requests > before; }));
            clock.fake.advanceSeconds(10);
        }
        ASSERT_TRUE(waitFor([&] { return !cs.DdeClientConv->busy(); }));
        m.UpdateState();
    }

    TLogFile log;
    DdeServer server;
    TChemStation1 cs;
    THPLCModule m;
    std::string answer = "RUN";
    bool withhold = false;
    int requests = 0;
    size_t seen_ = 0;
};

}  // namespace

TEST_F(HplcTest, RelayEdgeAndRunSecondsForEveryRelayType) {
    for (const char* type : {"Varian StarWS", "PE TotalChrom", "Waters", "Other"}) {
        SCOPED_TRACE(type);
        setStored("HPLCType", type);
        THPLCModule relay;
        relay.Timer1->stop();
        relay.SetRelayInput(true);
        for (int s = 1; s <= 3; ++s) relay.UpdateState();
        EXPECT_EQ(relay.GetState(), hsRunning);
        relay.SetRelayInput(false);
        relay.UpdateState();
        EXPECT_EQ(relay.GetState(), hsNotRunning);
        EXPECT_EQ(relay.RunSeconds, 3u) << "kept while the relay is open";
        relay.SetStopped();
        EXPECT_EQ(relay.GetState(), hsStopped);
        relay.SetRelayInput(true);
        relay.UpdateState();
        EXPECT_EQ(relay.RunSeconds, 1u) << "a rising edge restarts the count";
    }
    // Without an HPLC the relay means nothing and the data system is not asked.
    setStored("HPLCType", "No Connection to HPLC");
    m.LoadHPLCType();
    m.UpdateState();
    EXPECT_EQ(m.GetState(), hsNoHPLC);
    EXPECT_FALSE(cs.Timer1->isActive());
}

TEST_F(HplcTest, AnswersGiveTheStateAndAFailedRequestEndsARun) {
    ASSERT_TRUE(server.listen("HPLCSIM1"));
    EXPECT_FALSE(cs.Timer1->isActive()) << "idle until the first update";
    m.UpdateState();
    EXPECT_TRUE(cs.Timer1->isActive());
    const std::string open = "#Agilent DDE bConnectionOpen: HPLCSIM1", na = "#hplc: DDE HPLC state= N/A";
    // a: answer and poll, w: no answer within the time-out, s: the server stops listening before
    // the renewal, l: listens again, d: the server closes the conversation.
    const struct {
        char op;
        const char* answer;
        uint8_t state;
        Lines logged;
    } steps[] = {
        {'a', "IDLE", hsNotRunning, {open, "#ChemDDEStatus: IDLE", "#hplc: DDE HPLC state= IDLE"}},
        {'a', "NOTREADY", hsError, {"#ChemDDEStatus: NOTREADY", "#hplc: DDE HPLC state= NOTREADY"}},
        {'a', "  RUN \r", hsRunning, {"#ChemDDEStatus: RUN", "#hplc: DDE HPLC state= RUN"}},
        {'a', "RUN", hsRunning, {"#ChemDDEStatus: RUN"}},  // no change, no line
        {'a', "ERROR", hsError, {"#ChemDDEStatus: ERROR", "#hplc: DDE HPLC state= ERROR"}},
        {'a', "run", hsNotRunning, {"#ChemDDEStatus: run", "#hplc: DDE HPLC state= run"}},
        {'a', "", hsNotRunning, {"#ChemDDEStatus: Unknown", na}},
        {'a', "RUN", hsRunning, {open, "#ChemDDEStatus: RUN", "#hplc: DDE HPLC state= RUN"}},
        {'w', "RUN", hsNotRunning, {"#ChemDDEStatus: Unknown", na}},
        {'a', "RUN", hsRunning, {open, "#ChemDDEStatus: RUN", "#hplc: DDE HPLC state= RUN"}},
        {'s', "RUN", hsNotRunning, {open, "#ChemDDEStatus: No Connect", na}},
        {'l', "RUN", hsRunning, {open, "#ChemDDEStatus: RUN", "#hplc: DDE HPLC state= RUN"}},
        {'d', "RUN", hsNotRunning, {na}},
    };
    newLines();
    for (const auto& s : steps) {
        SCOPED_TRACE(std::string(1, s.op) + " " + s.answer);
        answer = s.answer;
        withhold = s.op == 'w';
        if (s.op == 's') server.stopListening();
        if (s.op == 's') cs.ReconnectCountdown = -1;
        EXPECT_TRUE(s.op != 'l' || server.listen("HPLCSIM1"));
        if (s.op == 'd') server.dropConnections();
        EXPECT_TRUE(s.op != 'd' || waitFor([&] { return !cs.LinkOpen; }));
        s.op == 'd' ? (void)m.UpdateState() : poll();
        EXPECT_EQ(m.GetState(), s.state);
        EXPECT_EQ(newLines(), s.logged);
    }
    EXPECT_EQ(m.DDEStateVal->text(), "0");
    EXPECT_EQ(m.DDENameVal->text(), "HPLCSIM1");
}

// Once started, the data system is asked for the program's life whatever the type becomes;
// the state follows the type of the moment, and a type changed back finds the conversation open.
TEST_F(HplcTest, PollingGoesOnWhenTheTypeChangesAway) {
    ASSERT_TRUE(server.listen("HPLCSIM1"));
    const struct {
        const char *type, *answer;
        bool relay;
        uint8_t state;
        Lines logged;
    } rows[] = {
        {"Agilent ChemStation",
         "RUN",
         false,
         hsRunning,
         {"#Agilent DDE bConnectionOpen: HPLCSIM1", "#ChemDDEStatus: RUN", "#hplc: DDE HPLC state= RUN"}},
        {"Other", "IDLE", false, hsNotRunning, {"#ChemDDEStatus: IDLE"}},  // the shown text stays
        {"Other", "IDLE", true, hsRunning, {"#ChemDDEStatus: IDLE"}},
        {"No Connection to HPLC", "RUN", true, hsNoHPLC, {"#ChemDDEStatus: RUN"}},
        {"Agilent ChemStation",
         "NOTREADY",
         false,
         hsError,
         {"#ChemDDEStatus: NOTREADY", "#hplc: DDE HPLC state= NOTREADY"}},
    };
    m.UpdateState();
    newLines();
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.type) + " " + r.answer);
        setStored("HPLCType", r.type);
        m.LoadHPLCType();
        m.SetRelayInput(r.relay);
        answer = r.answer;
        m.UpdateState();
        poll();
        EXPECT_TRUE(cs.Timer1->isActive());
        EXPECT_EQ(m.GetState(), r.state);
        EXPECT_EQ(newLines(), r.logged);
        EXPECT_EQ(server.connectionCount(), 1u);
    }
}

// While the conversation is open the stored service name is used: a new ChemStation instance
// counts from the poll after the conversation went down.
TEST_F(HplcTest, AnInstanceChangedWhileTheLinkIsOpenCountsOnceItWentDown) {
    ASSERT_TRUE(server.listen("HPLCSIM1"));
    DdeServer second;
    second.setHandler(
        [](const std::string&, const std::string&) { return std::optional<std::string>("IDLE"); });
    ASSERT_TRUE(second.listen("HPLCSIM2"));
    writeIni("chemstation.ini", "PCS,2", "HPLCSIM2");
    m.UpdateState();
    const struct {
        char op;  // p: poll, i: instance 2 stored, r: poll at the hourly renewal, d: the server ends
                  // the conversation
        Lines logged;
    } steps[] = {
        {'p', {"#Agilent DDE bConnectionOpen: HPLCSIM1", "#ChemDDEStatus: RUN"}},
        {'i', {}},
        {'p', {"#ChemDDEStatus: RUN"}},
        {'r', {"#Agilent DDE bConnectionOpen: HPLCSIM1", "#ChemDDEStatus: RUN"}},  // renewed by the old name
        {'p', {"#ChemDDEStatus: RUN"}},
        {'d', {}},
        {'p', {"#Agilent DDE bConnectionOpen: HPLCSIM2", "#ChemDDEStatus: IDLE"}},
    };
    newLines();
    for (const auto& s : steps) {
        SCOPED_TRACE(std::string(1, s.op));
        if (s.op == 'r') cs.ReconnectCountdown = -1;
        if (s.op == 'p' || s.op == 'r') poll();
        if (s.op == 'i') setStored("ChemInstance", "2");
        if (s.op == 'd') {
            server.dropConnections();
            EXPECT_TRUE(waitFor([&] { return !cs.LinkOpen; }));
        }
        Lines dde;
        for (const std::string& l : newLines())
            if (l.rfind("#hplc", 0) != 0) dde.push_back(l);
        EXPECT_EQ(dde, s.logged);
    }
    EXPECT_EQ(m.GetState(), hsNotRunning);
}

// The stored type is compared exactly, as the configuration list shows it.
TEST(HplcType, StoredTextsGiveTheirTypeAndAnyOtherSpellingNone) {
    const struct {
        const char* text;
        uint8_t type;
    } rows[] = {
        {"Agilent ChemStation", htChemStation},
        {"agilent chemstation", htNone},
        {"AGILENT CHEMSTATION", htNone},
        {"Varian StarWS", htStarWS},
        {"PE TotalChrom", htTotalChrom},
        {"Waters", htWaters},
        {"waters", htNone},
        {"Waters ", htNone},
        {"Other", htOther},
        {"other", htNone},
        {"", htNone},
    };
    for (const auto& r : rows) EXPECT_EQ(THPLCModule::TypeFromText(r.text), r.type) << r.text;
}

TEST_F(HplcTest, ForeignServerOrOpenFolderIsRefusedAndLogged) {
    ASSERT_TRUE(server.listen("HPLCSIM1")) << server.lastError();
    const uid_t me = ::geteuid();
    const struct {
        const char* name;
        std::optional<uid_t> peer;
        mode_t folder;
        const char* refusal;  // nullptr: answered
    } cases[] = {
        {"this user", me, 0700, nullptr},
        {"another user", 4242, 0700, ": the server runs as user 4242, not as this user or root"},
        {"root", 0, 0700, nullptr},
        {"unknown user", std::nullopt, 0700,
         ": the server runs as an unknown user, not as this user or root"},
        {"folder writable by others", me, 01777, " is writable by other users"},
        {"folder writable by its group", me, 0770, " is writable by other users"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cs.DdeClientConv->PeerUid = [&](int) { return c.peer; };
        ASSERT_EQ(::chmod(env.dir.c_str(), c.folder), 0);
        cs.CloseLink();
        cs.LinkOpen = false;
        newLines();
        const int asked = requests;
        poll();
        const Lines lines = newLines();
        EXPECT_EQ(cs.GetStatus(), c.refusal ? "N/A" : "RUN");
        if (!c.refusal) continue;
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines[1].rfind("#Agilent DDE refused: ", 0), 0u) << lines[1];
        EXPECT_NE(lines[1].find(c.refusal), std::string::npos) << lines[1];
        EXPECT_EQ(lines[2], "#ChemDDEStatus: No Connect");
        EXPECT_EQ(requests, asked) << "nothing is asked of a server that is not trusted";
    }
}

TEST_F(HplcTest, ALongAnswerIsLoggedCutWithItsLength) {
    ASSERT_TRUE(server.listen("HPLCSIM1"));
    answer = "IDLE" + std::string(64 * 1024 - 4, '.');
    m.UpdateState();
    newLines();
    poll();
    const std::string cut = answer.substr(0, TLogFile::ReceivedLineMax) + " ... (65536 bytes)";
    EXPECT_EQ(newLines(), (Lines{"#Agilent DDE bConnectionOpen: HPLCSIM1", "#ChemDDEStatus: " + cut,
                                 "#hplc: DDE HPLC state= " + cut}));
    EXPECT_EQ(cs.GetStatus(), answer) << "the answer itself is kept whole";
}

// Whoever can write the Windows folder can put a named pipe, a device, a folder or a huge file
// where chemstation.ini or win.ini should be: the poll never waits on it, skips it, and says so
// once (not on every poll) naming the file.
TEST_F(HplcTest, AProfileFileThatIsNotARegularFileIsSkippedAndNamedOnce) {
    ASSERT_TRUE(server.listen("HPLCSIM1"));
    const std::string chem = env.path("windows") + "/chemstation.ini";
    const std::string win = env.path("windows") + "/win.ini";
    writeIni("win.ini", "PCS,1", "HPLCSIM1");
    m.UpdateState();
    for (const OddFile& odd : oddFiles()) {
        SCOPED_TRACE(odd.name);
        ASSERT_TRUE(makeOdd(odd.kind, chem));
        BlockWatchdog watchdog(odd.name);
        for (int i = 0; i < 2; ++i) {
            cs.CloseLink();
            cs.LinkOpen = false;  // the next poll looks the name up again
            newLines();
            poll();
            Lines lines = newLines();
            std::erase_if(lines, [](const std::string& l) { return l.rfind("#hplc:", 0) == 0; });
            ASSERT_GE(lines.size(), i == 0 ? 3u : 2u);
            const Lines found(lines.end() - 2, lines.end());
            EXPECT_EQ(found, (Lines{"#Agilent DDE bConnectionOpen: HPLCSIM1", "#ChemDDEStatus: RUN"}))
                << "the name comes from win.ini";
            if (i == 0) {
                EXPECT_EQ(lines[0].find("#Agilent DDE: " + chem + " is not read: "), 0u) << lines[0];
                EXPECT_NE(lines[0].find(odd.because), std::string::npos) << lines[0];
            } else {
                EXPECT_EQ(lines.size(), 2u) << lines[0];
            }
        }
    }
    // Neither file usable: no name, and both are named.
    ASSERT_TRUE(makeOdd(OddKind::Fifo, win));
    cs.CloseLink();
    cs.LinkOpen = false;
    newLines();
    const int asked = requests;
    poll();
    const Lines lines = newLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "#Agilent DDE: " + chem + " is not read: it is larger than 1 MiB. " + win +
                            " is not read: it is a named pipe (FIFO), not a regular file.");
    EXPECT_EQ(lines[1], "#Agilent DDE bConnectionOpen: incorrect name ");
    EXPECT_EQ(lines[2], "#ChemDDEStatus: No Connect");
    EXPECT_EQ(requests, asked);
}

// An open conversation is closed and opened anew after 1201 polls that kept it (about an
// hour at one poll every 3 s).
TEST_F(HplcTest, TheConversationIsRenewedAfter1201PollsThatKeptIt) {
    ASSERT_TRUE(server.listen("HPLCSIM1"));
    const std::string open = "#Agilent DDE bConnectionOpen: HPLCSIM1";
    newLines();
    const struct {
        int calls;  // EnsureLink calls so far
        int opens;  // conversations opened so far
    } rows[] = {{1, 1}, {1202, 1}, {1203, 2}, {2404, 2}, {2405, 3}, {2406, 3}};
    int calls = 0, opens = 0;
    for (const auto& r : rows) {
        for (; calls < r.calls; ++calls) ASSERT_TRUE(cs.EnsureLink()) << calls;
        for (const std::string& l : newLines()) opens += l == open;
        EXPECT_EQ(opens, r.opens) << "after " << r.calls << " calls";
        EXPECT_TRUE(waitFor([&] { return server.connectionCount() == 1; })) << "the old one is closed";
    }
}

// A service name that is missing or blank is not tried: the poll logs it and "No Connect".
TEST_F(HplcTest, AMissingOrBlankServiceNameIsLoggedAsIncorrect) {
    ASSERT_TRUE(server.listen("HPLCSIM1"));
    const auto write = [&](const std::string& file, const std::string& text) {
        std::ofstream(env.path("windows") + "/" + file, std::ios::trunc) << text;
    };
    const struct {
        const char *instance, *chemstation, *win;
        Lines logged;
    } rows[] = {
        {"1", "", "", {"#Agilent DDE bConnectionOpen: incorrect name ", "#ChemDDEStatus: No Connect"}},
        // The profile reader trims values: blanks are no name.
        {"1",
         "[PCS,1]\r\n_DDEOnLine=   \r\n",
         "",
         {"#Agilent DDE bConnectionOpen: incorrect name ", "#ChemDDEStatus: No Connect"}},
        {"1",
         "[PCS,2]\r\n_DDEOnLine=HPLCSIM1\r\n",
         "",
         {"#Agilent DDE bConnectionOpen: incorrect name ", "#ChemDDEStatus: No Connect"}},
        {"2",
         "[PCS,2]\r\n_DDEOnLine=HPLCSIM1\r\n",
         "",
         {"#Agilent DDE bConnectionOpen: HPLCSIM1", "#ChemDDEStatus: RUN"}},
        {"1",
         "[PCS,1]\r\n_DDEOnLine=\r\n",
         "[PCS,1]\r\n_DDEOnLine=HPLCSIM1\r\n",
         {"#Agilent DDE bConnectionOpen: HPLCSIM1", "#ChemDDEStatus: RUN"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.instance) + " " + r.chemstation + " " + r.win);
        setStored("ChemInstance", r.instance);
        write("chemstation.ini", r.chemstation);
        write("win.ini", r.win);
        cs.CloseLink();
        cs.LinkOpen = false;  // the next poll looks the name up afresh
        newLines();
        poll();
        Lines dde;
        for (const std::string& l : newLines())
            if (l.rfind("#Agilent", 0) == 0 || l.rfind("#ChemDDEStatus", 0) == 0) dde.push_back(l);
        EXPECT_EQ(dde, r.logged);
    }
}

// A type or an instance stored as a number reads as no text: no HPLC, and no service name to
// try; nothing is raised.
TEST_F(HplcTest, ATypeOrInstanceStoredAsANumberReadsAsNoText) {
    ASSERT_TRUE(server.listen("HPLCSIM1"));
    {
        Registry reg;
        ASSERT_TRUE(reg.openKey(TStoredParams::InstrumentRegistryKey(), true));
        reg.writeInteger("HPLCType", 0);
        reg.writeInteger("ChemInstance", 1);
    }
    EXPECT_NO_THROW(m.LoadHPLCType());
    EXPECT_EQ(m.HPLCType, htNone);
    cs.LinkOpen = false;
    newLines();
    ASSERT_NO_THROW(poll());
    Lines dde;
    for (const std::string& l : newLines())
        if (l.rfind("#Agilent", 0) == 0 || l.rfind("#ChemDDEStatus", 0) == 0) dde.push_back(l);
    EXPECT_EQ(dde, (Lines{"#Agilent DDE bConnectionOpen: incorrect name ", "#ChemDDEStatus: No Connect"}));
    EXPECT_EQ(m.GetState(), hsNoHPLC);
}
