// The data-system client against an in-process server: the service name from the INI files,
// answers RUN, ERROR, NOTREADY, nothing and none at all, the GUI thread never blocked, the
// close by the server, the renewal count-down and the reconnect after a failed request.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QTimer>
#include <optional>

#include "link/ChemStation.h"
#include "link/HPLC.h"
#include "platform/DdeClient.h"
#include "test_hplc_env.h"

using Lines = std::vector<std::string>;

namespace {

class ChemStationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        e.setStored("HPLCType", "Agilent ChemStation");
        e.setStored("ChemInstance", "2");
        e.writeIni("chemstation.ini", "PCS,2", "_DDEOnLine", "HPLCSIM2");
        server.setHandler(
            [this](const std::string& topic, const std::string& item) -> std::optional<std::string> {
                ++requests;
                if (withhold) return std::nullopt;
                if (topic != "CPNOWAIT" || item != "ACQSTATUS$") return std::string();
                return answer;
            });
        cs.Timer1->setInterval(3600 * 1000);  // the test polls by hand
        e.newLines();
    }

    bool listen() { return server.listen("HPLCSIM2"); }
    // One poll whose request is answered (or refused) before it returns.
    void pollAnswered() {
        const int before = requests;
        cs.Timer1Timer();
        QCoreApplication::processEvents();  // a refused request is answered from the event loop
        if (!cs.DdeClientConv->busy()) return;
        ASSERT_TRUE(waitFor([&] { return !cs.DdeClientConv->busy(); })) << "answered " << requests - before;
    }

    HplcEnv e;
    DdeServer server;
    TChemStation1 cs;
    std::string answer = "RUN";
    bool withhold = false;
    int requests = 0;
};

}  // namespace

TEST_F(ChemStationTest, ServiceNameFromChemstationIniElseWinIni) {
    EXPECT_EQ(TChemStation1::LookupServiceName("2"), "HPLCSIM2");
    EXPECT_EQ(TChemStation1::LookupServiceName("1"), "");
    e.writeIni("win.ini", "PCS,1", "_DDEOnLine", "FROMWIN");
    e.writeIni("win.ini", "pcs,2", "_ddeonline", "NOTUSED");
    EXPECT_EQ(TChemStation1::LookupServiceName("1"), "FROMWIN");
    EXPECT_EQ(TChemStation1::LookupServiceName("2"), "HPLCSIM2") << "chemstation.ini comes first";
    e.writeIni("chemstation.ini", "PCS,2", "_DDEOnLine", "");
    EXPECT_EQ(TChemStation1::LookupServiceName("2"), "NOTUSED") << "an empty entry counts as none";
}

TEST_F(ChemStationTest, AnswersRunErrorNotReadyDriveTheHplcState) {
    ASSERT_TRUE(listen());
    THPLCModule m;
    m.Timer1->stop();
    m.ChemStation = &cs;
    m.UpdateState();
    EXPECT_EQ(m.GetState(), hsNotRunning);
    e.newLines();

    for (const auto& [text, state] : std::vector<std::pair<std::string, uint8_t>>{{"RUN", hsRunning},
                                                                                  {"ERROR", hsError},
                                                                                  {"NOTREADY", hsError},
                                                                                  {"  RUN  ", hsRunning},
                                                                                  {"IDLE", hsNotRunning}}) {
        answer = text;
        pollAnswered();
        m.UpdateState();
        EXPECT_EQ(m.GetState(), state) << '"' << text << '"';
    }
    EXPECT_EQ(e.newLines(),
              (Lines{"#Agilent DDE bConnectionOpen: HPLCSIM2", "#ChemDDEStatus: RUN",
                     "#hplc: DDE HPLC state= RUN", "#ChemDDEStatus: ERROR", "#hplc: DDE HPLC state= ERROR",
                     "#ChemDDEStatus: NOTREADY", "#hplc: DDE HPLC state= NOTREADY", "#ChemDDEStatus: RUN",
                     "#hplc: DDE HPLC state= RUN", "#ChemDDEStatus: IDLE", "#hplc: DDE HPLC state= IDLE"}));
    EXPECT_EQ(cs.StatusText, "IDLE");
    EXPECT_EQ(m.DDEStateVal->text(), "1");
    EXPECT_EQ(m.DDENameVal->text(), "HPLCSIM2");
    EXPECT_EQ(server.connectionCount(), 1u) << "one conversation for all polls";
}

TEST_F(ChemStationTest, EmptyAnswerCountsAsFailedRequestAndReopens) {
    ASSERT_TRUE(listen());
    pollAnswered();
    EXPECT_EQ(cs.StatusText, "RUN");
    answer = "";
    pollAnswered();
    EXPECT_FALSE(cs.LinkOpen);
    EXPECT_EQ(cs.StatusText, "N/A") << "a failed request is not taken as still running";
    answer = "NOTREADY";
    pollAnswered();
    EXPECT_TRUE(cs.LinkOpen);
    EXPECT_EQ(cs.GetStatus(), "NOTREADY");
    EXPECT_EQ(e.newLines(), (Lines{"#Agilent DDE bConnectionOpen: HPLCSIM2", "#ChemDDEStatus: RUN",
                                   "#ChemDDEStatus: Unknown", "#Agilent DDE bConnectionOpen: HPLCSIM2",
                                   "#ChemDDEStatus: NOTREADY"}));
}

TEST_F(ChemStationTest, NoAnswerAtAllTimesOutWithoutBlockingTheGuiThread) {
    ASSERT_TRUE(listen());
    pollAnswered();
    e.newLines();
    withhold = true;
    cs.Timer1Timer();
    int ticks = 0;
    QTimer gui;
    gui.setInterval(5);
    QObject::connect(&gui, &QTimer::timeout, [&] { ++ticks; });
    gui.start();
    ASSERT_TRUE(waitFor([&] { return requests == 2 && ticks >= 10; })) << "the GUI thread must keep running";
    EXPECT_TRUE(cs.DdeClientConv->busy());
    // Polls while the request waits do nothing (not even the renewal count-down).
    const int32_t countdown = cs.ReconnectCountdown;
    cs.Timer1Timer();
    cs.Timer1Timer();
    EXPECT_EQ(cs.ReconnectCountdown, countdown);
    EXPECT_EQ(requests, 2);
    EXPECT_TRUE(e.newLines().empty());

    e.clock.fake.advanceSeconds(10);
    ASSERT_TRUE(waitFor([&] { return !cs.DdeClientConv->busy(); }));
    EXPECT_FALSE(cs.LinkOpen);
    EXPECT_EQ(cs.StatusText, "N/A");
    EXPECT_EQ(e.newLines(), Lines{"#ChemDDEStatus: Unknown"});

    withhold = false;
    answer = "ERROR";
    pollAnswered();
    EXPECT_EQ(cs.GetStatus(), "ERROR");
    EXPECT_EQ(e.newLines(), (Lines{"#Agilent DDE bConnectionOpen: HPLCSIM2", "#ChemDDEStatus: ERROR"}));
}

TEST_F(ChemStationTest, ServerNotListeningOrNameMissing) {
    pollAnswered();
    EXPECT_FALSE(cs.LinkOpen);
    EXPECT_EQ(e.newLines(), (Lines{"#Agilent DDE bConnectionOpen: HPLCSIM2", "#ChemDDEStatus: No Connect"}));
    ASSERT_TRUE(listen());
    pollAnswered();
    EXPECT_EQ(cs.GetStatus(), "RUN");
    e.newLines();

    // Without a name in either file every poll says so; the state follows the stale text.
    e.setStored("ChemInstance", "3");
    server.dropConnections();
    ASSERT_TRUE(waitFor([&] { return !cs.LinkOpen; })) << "the close by the server";
    EXPECT_EQ(cs.StatusText, "N/A");
    pollAnswered();
    pollAnswered();
    EXPECT_EQ(e.newLines(),
              (Lines{"#Agilent DDE bConnectionOpen: incorrect name ", "#ChemDDEStatus: No Connect",
                     "#Agilent DDE bConnectionOpen: incorrect name ", "#ChemDDEStatus: No Connect"}));
    e.writeIni("win.ini", "PCS,3", "_DDEOnLine", "   ");
    pollAnswered();
    EXPECT_EQ(e.newLines(),
              (Lines{"#Agilent DDE bConnectionOpen: incorrect name ", "#ChemDDEStatus: No Connect"}))
        << "a blank name is no name";
}

TEST_F(ChemStationTest, InstanceChangeWaitsForTheLinkToGoDown) {
    DdeServer other;
    other.setHandler([](const std::string&, const std::string&) { return std::string("ERROR"); });
    ASSERT_TRUE(other.listen("OTHER3"));
    e.writeIni("chemstation.ini", "PCS,3", "_DDEOnLine", "OTHER3");
    ASSERT_TRUE(listen());
    pollAnswered();
    e.setStored("ChemInstance", "3");
    pollAnswered();
    EXPECT_EQ(cs.GetStatus(), "RUN") << "the open link keeps its service";
    EXPECT_EQ(cs.ChemInstance, "2");

    // A configuration change closes the conversation but leaves the flag; the next request
    // fails and the one after it opens with a fresh lookup.
    cs.CloseLink();
    EXPECT_TRUE(cs.LinkOpen);
    e.newLines();
    pollAnswered();
    EXPECT_FALSE(cs.LinkOpen);
    pollAnswered();
    EXPECT_EQ(cs.ChemInstance, "3");
    EXPECT_EQ(cs.GetStatus(), "ERROR");
    EXPECT_EQ(e.newLines(), (Lines{"#ChemDDEStatus: Unknown", "#Agilent DDE bConnectionOpen: OTHER3",
                                   "#ChemDDEStatus: ERROR"}));
}

TEST_F(ChemStationTest, ConversationIsRenewedAfterTheCountDown) {
    ASSERT_TRUE(listen());
    pollAnswered();
    EXPECT_EQ(cs.ReconnectCountdown, 1200);
    pollAnswered();
    EXPECT_EQ(cs.ReconnectCountdown, 1199);
    cs.ReconnectCountdown = 0;
    pollAnswered();
    EXPECT_EQ(cs.ReconnectCountdown, -1);
    EXPECT_EQ(server.connectionCount(), 1u);
    e.newLines();
    pollAnswered();  // below zero: close, open afresh
    EXPECT_EQ(cs.ReconnectCountdown, 1200);
    EXPECT_TRUE(cs.LinkOpen);
    ASSERT_TRUE(waitFor([&] { return server.connectionCount() == 1; })) << "the old conversation ended";
    EXPECT_EQ(e.newLines(), (Lines{"#Agilent DDE bConnectionOpen: HPLCSIM2", "#ChemDDEStatus: RUN"}));
    EXPECT_EQ(requests, 4);
}
