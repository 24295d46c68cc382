// Fixture of the sequence editor and load-dialog tests: a fresh store with a log, stored
// methods and sequences made in one line, and the texts of the boxes shown.
#pragma once
#include <QFile>
#include <QStringList>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "link/LogFile.h"
#include "methods/EditSequence.h"
#include "methods/MethodParams.h"
#include "methods/SequenceParams.h"
#include "methods/support_store.h"
#include "platform/Clock.h"

// Readable failures.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QStringList& l, std::ostream* os) {
    *os << '{';
    for (const QString& s : l) *os << " \"" << s.toStdString() << '"';
    *os << " }";
}

class SequenceDialogTest : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        log_ = std::make_unique<TLogFile>();
        LogFile = log_.get();
        chosen.clear();
        OnSetDefaultSequence = [this](const std::string& name) { chosen.push_back(name); };
    }
    void TearDown() override {
        OnSetDefaultSequence = nullptr;
        LogFile = nullptr;
        log_.reset();
        StoreTest::TearDown();
    }

    static void method(const std::string& name, bool flush = false) {
        TMethodINIParams m;
        m.Name = name;
        m.Runtime = "10";
        m.flushMethod = flush;
        ASSERT_TRUE(CMethodNames().SaveMethod(m));
    }
    static void sequence(const QString& name, const QStringList& methods, const QStringList& runs) {
        TSequenceINIParams s;
        s.Name = name;
        s.MethodList.AddStrings(methods);
        s.RunList.AddStrings(runs);
        ASSERT_TRUE(CSequenceNames().SaveSequence(s));
    }
    // The stored lines as "method|runs".
    static QStringList stored(const QString& name) {
        TSequenceINIParams s;
        s.Name = name;
        if (!CSequenceNames().LoadSequence(s)) return {"<missing>"};
        QStringList out;
        for (int i = 0; i < s.MethodList.GetCount(); ++i) out << s.MethodList.Get(i) + "|" + s.RunList.Get(i);
        return out;
    }
    static QStringList names() {
        TUxListBox box;
        CSequenceNames().FillListBox(&box);
        return box.GetItems()->ToStringList();
    }
    std::string logText() const {
        QFile f(QString::fromStdString(log_->LogPath));
        if (!f.open(QIODevice::ReadOnly)) return {};
        return f.readAll().toStdString();
    }
    QStringList texts() const {
        QStringList out;
        for (const MessageRequest& r : dialogs_.shown) out << r.title + ": " + r.text;
        return out;
    }

    FakeClockGuard clock_;
    std::unique_ptr<TLogFile> log_;
    std::vector<std::string> chosen;
};
