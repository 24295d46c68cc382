// A data system that answers nothing, hangs or goes away is not taken as still running: the
// status falls back to "N/A" (state 0) until it answers again. A data system that is no
// longer the configured HPLC is no longer asked.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <functional>
#include <optional>

#include "link/ChemStation.h"
#include "link/HPLC.h"
#include "platform/DdeClient.h"
#include "test_hplc_env.h"

using Lines = std::vector<std::string>;

namespace {

class HplcSilentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        e.setStored("HPLCType", "Agilent ChemStation");
        e.setStored("ChemInstance", "1");
        e.writeIni("chemstation.ini", "PCS,1", "_DDEOnLine", "SILENT1");
        server.setHandler([this](const std::string&, const std::string&) -> std::optional<std::string> {
            if (withhold) return std::nullopt;
            return answer;
        });
        ASSERT_TRUE(server.listen("SILENT1"));
        cs.Timer1->setInterval(3600 * 1000);  // the test polls by hand
        m.Timer1->stop();
        m.ChemStation = &cs;
        m.LoadHPLCType();
    }
    // One poll; a waiting request ends on its time-out of the fake clock. Then one update.
    void pollAndUpdate() {
        cs.Timer1Timer();
        QCoreApplication::processEvents();
        if (withhold && cs.DdeClientConv->busy()) {
            ASSERT_TRUE(waitFor([&] { return server.requestCount() > requestsBefore; }));
            e.clock.fake.advanceSeconds(10);
            cs.DdeClientConv->checkTimeout();
        }
        ASSERT_TRUE(waitFor([&] { return !cs.DdeClientConv->busy(); }));
        QCoreApplication::processEvents();
        requestsBefore = server.requestCount();
        m.UpdateState();
    }

    HplcEnv e;
    DdeServer server;
    TChemStation1 cs;
    THPLCModule m;
    std::string answer = "RUN";
    bool withhold = false;
    uint64_t requestsBefore = 0;
};

}  // namespace

TEST_F(HplcSilentTest, FailedRequestEndsTheRunUntilTheNextGoodAnswer) {
    struct Case {
        const char* name;
        std::function<void()> fail, heal;
        const char* logged;
    };
    const std::vector<Case> cases = {
        {"empty answer", [&] { answer = ""; }, [&] { answer = "RUN"; }, "#ChemDDEStatus: Unknown"},
        {"no answer", [&] { withhold = true; }, [&] { withhold = false; }, "#ChemDDEStatus: Unknown"},
        {"gone at the renewal",
         [&] {
             server.stopListening();
             cs.ReconnectCountdown = -1;
         },
         [&] { ASSERT_TRUE(server.listen("SILENT1")); }, "#ChemDDEStatus: No Connect"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pollAndUpdate();
        ASSERT_EQ(m.GetState(), hsRunning);
        e.newLines();
        c.fail();
        pollAndUpdate();
        EXPECT_EQ(m.GetState(), hsNotRunning);
        EXPECT_EQ(m.StatusText, "N/A");
        const Lines lines = e.newLines();
        EXPECT_NE(std::find(lines.begin(), lines.end(), c.logged), lines.end());
        EXPECT_EQ(lines.back(), "#hplc: DDE HPLC state= N/A");
        c.heal();
        pollAndUpdate();
        EXPECT_EQ(m.GetState(), hsRunning);
    }
}

TEST_F(HplcSilentTest, PollingStopsWhenTheTypeChangesAway) {
    pollAndUpdate();
    ASSERT_TRUE(cs.Timer1->isActive());
    ASSERT_EQ(m.GetState(), hsRunning);
    e.newLines();

    e.setStored("HPLCType", "Other");
    m.LoadHPLCType();
    m.UpdateState();
    EXPECT_FALSE(cs.Timer1->isActive());
    EXPECT_FALSE(cs.DdeClientConv->isOpen());
    EXPECT_EQ(m.GetState(), hsNotRunning);
    EXPECT_TRUE(waitFor([&] { return server.connectionCount() == 0; }));
    spin(20);
    EXPECT_EQ(e.newLines(), Lines{"#hplc: DDE HPLC state= N/A"});

    e.setStored("HPLCType", "Agilent ChemStation");
    m.LoadHPLCType();
    m.UpdateState();
    EXPECT_TRUE(cs.Timer1->isActive()) << "asked again once it is the HPLC again";
}
