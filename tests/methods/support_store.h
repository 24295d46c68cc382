// The fixture of the methods tests: a fresh settings store, folders and daily log per test, no
// instance string, a fake clock, scripted dialogs, and readers of what the store holds.
#pragma once
#include <gtest/gtest.h>

#include <QFile>
#include <QStringList>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "link/LogFile.h"
#include "methods/MethodParams.h"
#include "methods/SequenceParams.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/Instance.h"
#include "platform/Registry.h"
#include "platform/i18n.h"
#include "support/StoredMethods.h"
#include "support/TempEnv.h"
#include "unicode/UxControls.h"

using Strings = std::vector<std::string>;

// Readable failures.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QStringList& l, std::ostream* os) {
    *os << '{';
    for (const QString& s : l) *os << " \"" << s.toStdString() << '"';
    *os << " }";
}

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

// A method with every field set and rows in both timetables.
inline TMethodINIParams fullMethod(const std::string& name) {
    TMethodINIParams m = plainMethod(name);
    m.ColumnD = "C18 #7";
    m.ReactorT = "130";
    m.ReactorV = "0.5";
    m.Reagent1D = "Ninhydrin";
    m.Reagent2D = "Buffer=B";
    m.Runtime = "30";
    m.EquilTime = "5";
    m.Pump1Flow = "0.30";
    m.PumpTimeList = {"1", "20"};
    m.Pump1FlowList = {"0.30", "0.50"};
    m.Pump2FlowList = {"0.35", "0.40"};
    m.ColumnTimeList = {"10"};
    m.ColumnTempList = {"45"};
    return m;
}

// A list's names, the selected one marked with "*".
inline QStringList listed(TUxListBox* list) {
    QStringList out = list->GetItems()->ToStringList();
    if (list->GetItemIndex() >= 0) out[list->GetItemIndex()] += "*";
    return out;
}

// A grid's rows from row and column `first` on, cells joined by "|".
inline QStringList rows(const TUxStringGrid* g, int first = 1) {
    QStringList out;
    for (int r = first; r < g->GetRowCount(); ++r) {
        QStringList cells;
        for (int c = first; c < g->GetColCount(); ++c) cells << g->GetCells(c, r);
        out << cells.join("|");
    }
    return out;
}

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setInstance("");
        setDecimalSeparator('.');
        log_ = std::make_unique<TLogFile>();
        LogFile = log_.get();
    }
    void TearDown() override {
        Registry::failAfterWrites(0);
        LogFile = nullptr;
        log_.reset();
        setInstance("");
    }

    // Every key and value under a path as "{ value=text value#number key{ ...}}", for layout and
    // "nothing changed" checks; "" when the key does not exist.
    static std::string dump(const std::string& path = "\\Software") {
        Registry reg;
        if (!reg.openKey(path, false)) return "";
        std::string out = "{";
        for (const auto& v : reg.getValueNames())
            out += " " + v +
                   (reg.getDataType(v) == RegDataType::String ? "=" + reg.readString(v)
                                                              : "#" + std::to_string(reg.readInteger(v)));
        for (const auto& k : reg.getKeyNames()) out += " " + k + dump(path + "\\" + k);
        return out + "}";
    }
    // Subkeys of a stored key ("<missing>" when it does not exist).
    static Strings keys(const std::string& path) {
        Registry reg;
        return reg.openKey(path, false) ? reg.getKeyNames() : Strings{"<missing>"};
    }
    static void writeString(const std::string& path, const std::string& name, const std::string& value) {
        Registry reg;
        ASSERT_TRUE(reg.openKey(path, true));
        reg.writeString(name, value);
    }
    static TMethodINIParams stored(const std::string& name) {
        TMethodINIParams m;
        m.Name = name;
        EXPECT_TRUE(CMethodNames().LoadMethod(m)) << name;
        return m;
    }
    // A stored sequence's lines as "method|runs".
    static QStringList lines(const QString& name) {
        TSequenceINIParams s;
        s.Name = name;
        if (!CSequenceNames().LoadSequence(s)) return {"<missing>"};
        QStringList out;
        for (int i = 0; i < s.MethodList.GetCount(); ++i) out << s.MethodList.Get(i) + "|" + s.RunList.Get(i);
        return out;
    }
    std::string logText() const {
        QFile f(QString::fromStdString(log_->LogPath));
        return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
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
        const char* def = r.defaultButton == mrYes      ? "Yes"
                          : r.defaultButton == mrNo     ? "No"
                          : r.defaultButton == mrCancel ? "Cancel"
                                                        : "OK";
        return QString(sets[int(r.buttons)]) + " " + def;
    }
    // Takes the boxes shown so far.
    QStringList takeBoxes(bool buttons = false) {
        const QStringList out = boxes(buttons);
        dialogs_.shown.clear();
        return out;
    }
    // The captions and prompts of the name boxes asked so far.
    QStringList queries() const {
        QStringList out;
        for (const InputRequest& q : dialogs_.queried)
            out << q.caption + ": " + q.prompt + " [" + q.value + "]";
        return out;
    }

    // One operator action in a flow: what the window shows afterwards, the boxes it shows
    // ("title: text"), and the answers queued for its boxes and name boxes.
    struct Step {
        std::function<void()> act;
        QString after;
        QStringList boxes = {};
        std::vector<MsgResult> answers = {};
        QStringList names = {};
    };
    virtual QString shown() const { return {}; }
    void run(const std::vector<Step>& steps) {
        for (size_t i = 0; i < steps.size(); ++i) {
            SCOPED_TRACE("step " + std::to_string(i + 1));
            for (MsgResult a : steps[i].answers) dialogs_.answer(a);
            for (const QString& name : steps[i].names) dialogs_.answerInput(true, name);
            steps[i].act();
            EXPECT_EQ(takeBoxes(), steps[i].boxes);
            EXPECT_EQ(shown(), steps[i].after);
        }
    }

    TempEnv env_;
    FakeClockGuard clock_;
    DialogScript dialogs_;
    std::unique_ptr<TLogFile> log_;
};
