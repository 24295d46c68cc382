// The HPLC module and its data-system client against the stand-in program tools/hplc-sim,
// steered through its stdin: RUN, ERROR, NOTREADY, an empty answer, no answer, not listening.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QProcess>
#include <filesystem>

#include "link/ChemStation.h"
#include "link/HPLC.h"
#include "test_hplc_env.h"

using Lines = std::vector<std::string>;

namespace {

class HplcSimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string exe = std::string(ZENTROVA_BINARY_DIR) + "/tools/hplc-sim/hplc-sim";
        ASSERT_TRUE(std::filesystem::exists(exe)) << "build the target hplc-sim: " << exe;
        e.setStored("HPLCType", "Agilent ChemStation");
        e.setStored("ChemInstance", "1");
        sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        sim.start(QString::fromStdString(exe), {"--service", "SimOne", "--status", "NOTREADY", "--write-ini",
                                                QString::fromStdString(e.env.path("windows"))});
        ASSERT_TRUE(sim.waitForStarted(5000));
        ASSERT_TRUE(waitForOutput("ready ")) << out;
        cs.Timer1->setInterval(3600 * 1000);
        m.Timer1->stop();
        m.ChemStation = &cs;
        m.LoadHPLCType();
        e.newLines();
    }
    void TearDown() override {
        sim.write("quit\n");
        if (!sim.waitForFinished(3000)) sim.kill();
        sim.waitForFinished(3000);
    }

    bool waitForOutput(const std::string& what) {
        return waitFor([&] {
            out += sim.readAllStandardOutput().toStdString();
            const size_t p = out.find(what);
            if (p == std::string::npos) return false;
            out.erase(0, p + what.size());
            return true;
        });
    }
    void tell(const std::string& command) {
        sim.write((command + "\n").c_str());
        ASSERT_TRUE(waitForOutput("ok ")) << command;
    }
    // One poll, answered or refused, then one update of the module.
    void pollAndUpdate() {
        cs.Timer1Timer();
        QCoreApplication::processEvents();
        ASSERT_TRUE(waitFor([&] { return !cs.DdeClientConv->busy(); }));
        m.UpdateState();
    }

    HplcEnv e;
    QProcess sim;
    std::string out;
    TChemStation1 cs;
    THPLCModule m;
};

}  // namespace

TEST_F(HplcSimTest, StatusWordsGiveTheStates) {
    pollAndUpdate();
    EXPECT_EQ(m.GetState(), hsError);
    tell("RUN");
    pollAndUpdate();
    pollAndUpdate();
    EXPECT_EQ(m.GetState(), hsRunning);
    EXPECT_EQ(m.RunSeconds, 2u);
    tell("ERROR");
    pollAndUpdate();
    EXPECT_EQ(m.GetState(), hsError);
    tell("status   RUN  ");
    pollAndUpdate();
    EXPECT_EQ(m.GetState(), hsRunning);
    EXPECT_EQ(m.DDENameVal->text(), "SimOne");
    EXPECT_EQ(e.newLines(),
              (Lines{"#Agilent DDE bConnectionOpen: SimOne", "#ChemDDEStatus: NOTREADY",
                     "#hplc: DDE HPLC state= NOTREADY", "#ChemDDEStatus: RUN", "#hplc: DDE HPLC state= RUN",
                     "#ChemDDEStatus: RUN", "#ChemDDEStatus: ERROR", "#hplc: DDE HPLC state= ERROR",
                     "#ChemDDEStatus: RUN", "#hplc: DDE HPLC state= RUN"}));
}

TEST_F(HplcSimTest, NothingNoAnswerAndNotListening) {
    tell("RUN");
    pollAndUpdate();
    e.newLines();

    tell("empty");
    pollAndUpdate();
    EXPECT_FALSE(cs.LinkOpen);
    EXPECT_EQ(m.GetState(), hsNotRunning) << "a failed request is not taken as still running";

    tell("silent");
    cs.Timer1Timer();  // reopens and asks
    ASSERT_TRUE(waitForOutput("(withheld)"));
    EXPECT_TRUE(cs.DdeClientConv->busy());
    e.clock.fake.advanceSeconds(10);
    ASSERT_TRUE(waitFor([&] { return !cs.DdeClientConv->busy(); }));
    EXPECT_FALSE(cs.LinkOpen);

    tell("down");
    pollAndUpdate();
    EXPECT_FALSE(cs.LinkOpen);
    tell("up");
    tell("NOTREADY");
    pollAndUpdate();
    EXPECT_TRUE(cs.LinkOpen);
    EXPECT_EQ(m.GetState(), hsError);
    EXPECT_EQ(e.newLines(), (Lines{"#ChemDDEStatus: Unknown", "#hplc: DDE HPLC state= N/A",
                                   "#Agilent DDE bConnectionOpen: SimOne",
                                   "#ChemDDEStatus: Unknown", "#Agilent DDE bConnectionOpen: SimOne",
                                   "#ChemDDEStatus: No Connect", "#Agilent DDE bConnectionOpen: SimOne",
                                   "#ChemDDEStatus: NOTREADY", "#hplc: DDE HPLC state= NOTREADY"}));

    // The data system closes the conversation: the status goes back to N/A.
    tell("drop");
    ASSERT_TRUE(waitFor([&] { return !cs.LinkOpen; }));
    m.UpdateState();
    EXPECT_EQ(m.GetState(), hsNotRunning);
    EXPECT_EQ(m.StatusText, "N/A");
}
