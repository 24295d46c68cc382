// A fixture for the store tests: a fresh settings store and folders per test, no instance
// string, scripted dialogs, and readers that look at the stored keys and values directly.
#pragma once
#include <gtest/gtest.h>

#include <QStringList>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Dialogs.h"
#include "platform/Instance.h"
#include "methods/MethodParams.h"
#include "platform/Registry.h"
#include "support/TempEnv.h"

using Strings = std::vector<std::string>;

// A whole method on one line: every text with its parsed number, the flags, then the rows
// of both timetables; one comparison covers every field.
inline std::string describe(const TMethodINIParams& m) {
    auto num = [](double v) { return "(" + QString::number(v).toStdString() + ")"; };
    std::string out = m.Name + "|" + m.ColumnT + num(m.ColumnTValue) + "|" + m.ColumnD + "|" + m.ReactorT +
                      num(m.ReactorTValue) + "|" + m.ReactorV + "|" + m.Reagent1D + "|" + m.Reagent2D + "|" +
                      m.Runtime + num(m.RuntimeValue) + "|" + m.EquilTime + num(m.EquilTimeValue) + "|" +
                      m.Pump1Flow + num(m.Pump1FlowValue) + "|" + m.Pump2Flow + num(m.Pump2FlowValue) +
                      (m.flushMethod ? "|flush" : "|-") + (m.powerCoolingMethod ? "|power" : "|-") + "|pumps";
    for (size_t i = 0; i < m.PumpTimeList.size(); ++i)
        out += " " + m.PumpTimeList[i] + ";" + (i < m.Pump1FlowList.size() ? m.Pump1FlowList[i] : "?") + ";" +
               (i < m.Pump2FlowList.size() ? m.Pump2FlowList[i] : "?");
    out += "|column";
    for (size_t i = 0; i < m.ColumnTimeList.size(); ++i)
        out += " " + m.ColumnTimeList[i] + ";" + (i < m.ColumnTempList.size() ? m.ColumnTempList[i] : "?");
    return out;
}

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override { setInstance(""); }
    void TearDown() override {
        Registry::failAfterWrites(0);
        setInstance("");
    }

    // Subkeys and value names of a stored key ("<missing>" when it does not exist).
    static Strings keys(const std::string& path) {
        Registry reg;
        return reg.openKey(path, false) ? reg.getKeyNames() : Strings{"<missing>"};
    }
    static Strings values(const std::string& path) {
        Registry reg;
        return reg.openKey(path, false) ? reg.getValueNames() : Strings{"<missing>"};
    }
    // A stored string value; a value of another type fails the test.
    static std::string str(const std::string& path, const std::string& name) {
        Registry reg;
        if (!reg.openKey(path, false)) return "<missing>";
        EXPECT_EQ(reg.getDataType(name), RegDataType::String) << path << " " << name;
        return reg.readString(name);
    }

    // The boxes shown so far, "title: text" each; with buttons, also the buttons and default.
    QStringList boxes(bool buttons = false) const {
        QStringList out;
        for (const MessageRequest& r : dialogs_.shown)
            out << r.title + ": " + r.text + (buttons ? " [" + buttonNames(r) + "]" : QString());
        return out;
    }
    static QString buttonNames(const MessageRequest& r) {
        static const char* const sets[] = {"OK", "OKCancel", "YesNo", "YesNoCancel"};
        const char* def = r.defaultButton == mrYes ? "Yes" : r.defaultButton == mrNo ? "No"
                          : r.defaultButton == mrCancel                              ? "Cancel"
                                                                                     : "OK";
        return QString(sets[int(r.buttons)]) + " " + def;
    }
    // Takes the boxes shown so far.
    QStringList takeBoxes(bool buttons = false) {
        const QStringList out = boxes(buttons);
        dialogs_.shown.clear();
        return out;
    }

    TempEnv env_;
    DialogScript dialogs_;
};
