// The HPLC module: stored type, relay edge and run seconds, the data-system states, the
// stopped state, the labels and the one log line per status change.
#include <gtest/gtest.h>

#include <QLabel>
#include <QTimer>
#include <map>

#include "link/ChemStation.h"
#include "link/HPLC.h"
#include "test_hplc_env.h"

using Lines = std::vector<std::string>;

TEST(HPLCType, StoredTextGivesTheType) {
    HplcEnv e;
    const std::map<std::string, uint8_t> table = {{"Agilent ChemStation", 0},
                                                  {"Varian StarWS", 1}, {"PE TotalChrom", 2}, {"Waters", 3},
                                                  {"Other", 4}, {"No Connection to HPLC", 5}, {"", 5},
                                                  {"waters", 5}, {"Waters ", 5},
                                                  {"OTHER", 5}};
    THPLCModule m;
    m.Timer1->stop();
    EXPECT_EQ(m.HPLCType, 5) << "nothing stored";
    for (const auto& [text, type] : table) {
        e.setStored("HPLCType", text);
        EXPECT_TRUE(m.LoadHPLCType());
        EXPECT_EQ(m.HPLCType, type) << '"' << text << '"';
    }
}

TEST(HPLCType, TranslatedTextIsRecognisedToo) {
    // The configuration dialog stores the list text as the operator saw it.
    const auto german = [](const char* s) -> std::string {
        const std::map<std::string, std::string> de = {{"Other", "Andere"}, {"Waters", "Waters"}};
        auto it = de.find(s);
        return it == de.end() ? s : it->second;
    };
    EXPECT_EQ(THPLCModule::TypeFromText("Andere", german), htOther);
    EXPECT_EQ(THPLCModule::TypeFromText("Other", german), htOther);
    EXPECT_EQ(THPLCModule::TypeFromText("Waters", german), htWaters);
    EXPECT_EQ(THPLCModule::TypeFromText("andere", german), htNone);
    EXPECT_EQ(THPLCModule::TypeFromText("", [](const char*) { return std::string(); }), htNone)
        << "an untranslated (empty) text matches nothing";
}

TEST(HPLCModule, RelayEdgeAndRunSecondsForEveryRelayType) {
    HplcEnv e;
    for (const char* type : {"Varian StarWS", "PE TotalChrom", "Waters", "Other"}) {
        SCOPED_TRACE(type);
        e.setStored("HPLCType", type);
        THPLCModule m;
        m.Timer1->stop();
        e.newLines();
        m.UpdateState();
        EXPECT_EQ(m.GetState(), hsNotRunning);
        EXPECT_EQ(e.newLines(), Lines{"#hplc: DDE HPLC state= N/A"}) << "logged once, at the first update";
        EXPECT_EQ(m.RelayStateVal->text(), "0");
        EXPECT_EQ(m.ChemStatusVal->text(), "N/A");

        m.SetRelayInput(true);
        for (uint32_t s = 1; s <= 3; ++s) {
            m.UpdateState();
            EXPECT_EQ(m.GetState(), hsRunning);
            EXPECT_EQ(m.RunSeconds, s);
        }
        EXPECT_EQ(m.RelayStateVal->text(), "1");
        m.SetRelayInput(false);
        m.UpdateState();
        EXPECT_EQ(m.GetState(), hsNotRunning);
        EXPECT_EQ(m.RunSeconds, 3u) << "kept while the relay is open";
        m.SetStopped();
        EXPECT_EQ(m.GetState(), hsStopped);
        m.SetRelayInput(true);
        m.UpdateState();
        EXPECT_EQ(m.GetState(), hsRunning);
        EXPECT_EQ(m.RunSeconds, 1u) << "a rising edge restarts the count";
        EXPECT_EQ(m.StatusText, "N/A");
        EXPECT_TRUE(e.newLines().empty());
    }
}

TEST(HPLCModule, NoHPLCAndStopped) {
    HplcEnv e;
    e.setStored("HPLCType", "No Connection to HPLC");
    TChemStation1 cs;
    THPLCModule m;
    m.Timer1->stop();
    m.ChemStation = &cs;
    m.SetRelayInput(true);
    m.UpdateState();
    EXPECT_EQ(m.GetState(), hsNoHPLC);
    EXPECT_EQ(m.RunSeconds, 0u);
    m.SetStopped();
    EXPECT_EQ(m.GetState(), hsStopped) << "holds until the next update";
    m.UpdateState();
    EXPECT_EQ(m.GetState(), hsNoHPLC);
    EXPECT_FALSE(cs.Timer1->isActive()) << "the data-system poll stays idle";
}

TEST(HPLCModule, DataSystemStatusGivesTheState) {
    HplcEnv e;
    e.setStored("HPLCType", "Agilent ChemStation");
    TChemStation1 cs;
    cs.Timer1->setInterval(3600 * 1000);  // the test polls by hand
    THPLCModule m;
    m.Timer1->stop();
    m.ChemStation = &cs;
    EXPECT_FALSE(cs.Timer1->isActive()) << "idle until the first update";
    e.newLines();

    m.UpdateState();
    EXPECT_TRUE(cs.Timer1->isActive());
    EXPECT_EQ(m.GetState(), hsNotRunning) << "N/A";
    EXPECT_EQ(m.DDEStateVal->text(), "0");

    const std::vector<std::pair<std::string, uint8_t>> cases = {
        {"NOTREADY", hsError},    {" RUN \r", hsRunning}, {"ERROR", hsError}, {"run", hsNotRunning},
        {"PRERUN", hsNotRunning}, {"RUN", hsRunning},     {"", hsNotRunning}};
    for (const auto& [text, state] : cases) {
        cs.StatusText = text;
        m.UpdateState();
        EXPECT_EQ(m.GetState(), state) << '"' << text << '"';
    }
    // Running twice in a row counts seconds; NOTREADY does not.
    EXPECT_EQ(m.RunSeconds, 2u);
    EXPECT_EQ(e.newLines(), (Lines{"#hplc: DDE HPLC state= N/A", "#hplc: DDE HPLC state= NOTREADY",
                                   "#hplc: DDE HPLC state= RUN", "#hplc: DDE HPLC state= ERROR",
                                   "#hplc: DDE HPLC state= run", "#hplc: DDE HPLC state= PRERUN",
                                   "#hplc: DDE HPLC state= RUN", "#hplc: DDE HPLC state= "}));
    cs.StatusText = "";
    m.UpdateState();
    EXPECT_TRUE(e.newLines().empty()) << "no change, no line";

    cs.LinkOpen = true;
    cs.DDEServiceName = "HPLC1";
    m.UpdateState();
    EXPECT_EQ(m.DDEStateVal->text(), "1");
    EXPECT_EQ(m.DDENameVal->text(), "HPLC1");
}
