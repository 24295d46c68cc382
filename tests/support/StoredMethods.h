// Methods and sequences put in the settings store by the tests that run or choose them.
// Header-only: only test programs that link the methods library include it.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "methods/MethodParams.h"
#include "methods/SequenceParams.h"

// A method with plain temperatures, times and flows (runtime 2 min, equilibration 10 min).
inline TMethodINIParams plainMethod(const std::string& name) {
    TMethodINIParams m;
    m.Name = name;
    m.ColumnT = "40";
    m.ReactorT = "50";
    m.Runtime = "2";
    m.EquilTime = "10";
    m.Pump1Flow = "0.25";
    m.Pump2Flow = "0.25";
    return m;
}

inline void storeMethod(const TMethodINIParams& rec) {
    ASSERT_TRUE(CMethodNames().SaveMethod(rec)) << rec.Name;
}

// Stores a sequence of (method, runs) lines.
inline void storeSequence(const std::string& name,
                          const std::vector<std::pair<std::string, std::string>>& lines) {
    TSequenceINIParams seq;
    seq.Name = QString::fromStdString(name);
    for (const auto& [method, runs] : lines) {
        seq.MethodList.Add(QString::fromStdString(method));
        seq.RunList.Add(QString::fromStdString(runs));
    }
    ASSERT_TRUE(CSequenceNames().SaveSequence(seq)) << name;
}
