#include "methods/MethodParams.h"

#include <initializer_list>

#include "platform/i18n.h"
#include "unicode/UxControls.h"

namespace {

// Parses a typed number; a text that does not parse (the empty text too) gives 0.0.
double numberOf(const std::string& text) {
    double v = 0.0;
    return tryStrToFloat(text, v) ? v : 0.0;
}

// A flag: a missing value or one of another type reads as false.
bool flagOf(Registry& reg, const char* name) {
    if (reg.getDataType(name) != RegDataType::Dword) return false;
    try {
        return reg.readInteger(name) != 0;
    } catch (const ERegistryException&) {
        return false;
    }
}

// The ten texts of a method in their stored order, with the number parsed from each.
struct TextField {
    const char* value;
    std::string TMethodINIParams::*text;
    double TMethodINIParams::*number;  // nullptr: a text without a number
};
using M = TMethodINIParams;
constexpr TextField TextFields[] = {
    {"ColumnT", &M::ColumnT, &M::ColumnTValue},
    {"ColumnD", &M::ColumnD, nullptr},
    {"ReactorT", &M::ReactorT, &M::ReactorTValue},
    {"ReactorV", &M::ReactorV, nullptr},
    {"Reagent1D", &M::Reagent1D, nullptr},
    {"Reagent2D", &M::Reagent2D, nullptr},
    {"Runtime", &M::Runtime, &M::RuntimeValue},
    {"EquilTime", &M::EquilTime, &M::EquilTimeValue},
    {"Pump1Flow", &M::Pump1Flow, &M::Pump1FlowValue},
    {"Pump2Flow", &M::Pump2Flow, &M::Pump2FlowValue},
};

// One column of a timetable: its value name in a row key and the record's list.
template <class List>
struct Cell {
    const char* value;
    List* list;
};

}  // namespace

// ---- TMethodINIParams ----

void TMethodINIParams::Clear() {
    Name.clear();
    ClearParams();
}

void TMethodINIParams::ClearParams() {
    ColumnT.clear();
    ColumnTValue = -100.0;
    ColumnD.clear();
    ReactorT.clear();
    ReactorTValue = -100.0;
    ReactorV.clear();
    Reagent1D.clear();
    Reagent2D.clear();
    Runtime.clear();
    RuntimeValue = 0.0;
    EquilTime.clear();
    EquilTimeValue = 0.0;
    Pump1Flow.clear();
    Pump1FlowValue = 0.0;
    Pump2Flow.clear();
    Pump2FlowValue = 0.0;
    ClearList(Pump1FlowList);
    ClearList(Pump2FlowList);
    ClearList(PumpTimeList);
    ClearList(ColumnTempList);
    ClearList(ColumnTimeList);
}

void TMethodINIParams::ClearList(std::vector<std::string>& list) {
    list.clear();
}

// ---- CMethodNames ----

CMethodNames::CMethodNames() = default;

CMethodNames::~CMethodNames() = default;

bool CMethodNames::IsValidName(const std::string& name) {
    return NamedKeys::isValidName(name);
}

void CMethodNames::FillListBox(TUxListBox* box) {
    if (box == nullptr) return;
    box->Clear();
    std::vector<std::string> names;
    if (!keys_.names(names)) return;
    for (const std::string& name : names) box->AddItem(QString::fromStdString(name));
}

void CMethodNames::FillComboBox(TUxComboBox* box) {
    std::vector<std::string> names;
    if (box == nullptr || !keys_.names(names)) return;
    box->GetItems()->Clear();
    for (const std::string& name : names) box->GetItems()->Add(QString::fromStdString(name));
}

bool CMethodNames::MethodExists(const QString& name) {
    return MethodExists(name.toStdString());
}

bool CMethodNames::MethodExists(const std::string& name) {
    // The method loads exactly when its key opens.
    return IsValidName(name) && keys_.reg().openKey(keys_.keyOf(name), false);
}

bool CMethodNames::AddMethod(const QString& name) {
    return AddMethod(name.toStdString());
}

bool CMethodNames::AddMethod(const std::string& name) {
    return keys_.add(name, "Can't Add Method!");
}

bool CMethodNames::DeleteMethod(const QString& name) {
    return DeleteMethod(name.toStdString());
}

bool CMethodNames::DeleteMethod(const std::string& name) {
    return keys_.remove(name, "Can't Delete Method!");
}

std::vector<std::string> CMethodNames::rowKeys(const std::string& path) {
    Registry& reg = keys_.reg();
    if (!reg.openKey(path, false)) return {};
    return sortedByNumber(reg.getKeyNames());
}

bool CMethodNames::LoadMethod(TMethodINIParams& rec) {
    rec.ClearParams();
    if (!IsValidName(rec.Name)) return false;
    const std::string key = keys_.keyOf(rec.Name);
    Registry& reg = keys_.reg();
    if (!reg.openKey(key, false)) return false;

    for (const TextField& f : TextFields) {
        rec.*f.text = reg.readString(f.value);
        if (f.number) rec.*f.number = numberOf(rec.*f.text);
    }
    rec.flushMethod = flagOf(reg, "flushMethod");
    rec.powerCoolingMethod = flagOf(reg, "powerCoolingMethod");

    // Rows come back in the order of their numbers, so row 10 follows row 9.
    auto readTable = [&](const std::string& table,
                         std::initializer_list<Cell<std::vector<std::string>>> cells) {
        for (const std::string& row : rowKeys(table)) {
            if (!reg.openKey(table + "\\" + row, false)) continue;
            for (const auto& cell : cells) cell.list->push_back(reg.readString(cell.value));
        }
    };
    readTable(key + "\\Columns", {{"1", &rec.ColumnTempList}, {"time", &rec.ColumnTimeList}});
    readTable(key + "\\Pumps",
              {{"1", &rec.Pump1FlowList}, {"2", &rec.Pump2FlowList}, {"time", &rec.PumpTimeList}});
    return true;
}

bool CMethodNames::SaveMethod(const TMethodINIParams& rec) {
    return keys_.replace(rec.Name, [&](const std::string& key) {
        Registry& reg = keys_.reg();
        for (const TextField& f : TextFields) reg.writeString(f.value, rec.*f.text);
        reg.writeBool("flushMethod", rec.flushMethod);
        reg.writeBool("powerCoolingMethod", rec.powerCoolingMethod);

        // Only rows with a time are stored, numbered 1, 2, ... without gaps.
        auto writeTable = [&](const std::string& table, const std::vector<std::string>& times,
                              std::initializer_list<Cell<const std::vector<std::string>>> cells) {
            if (!reg.openKey(table, true)) return;
            int k = 0;
            for (size_t i = 0; i < times.size(); ++i) {
                if (times[i].empty()) continue;
                if (!reg.openKey(table + "\\" + std::to_string(++k), true)) continue;
                reg.writeString("time", times[i]);
                for (const auto& cell : cells)
                    reg.writeString(cell.value, i < cell.list->size() ? (*cell.list)[i] : std::string());
            }
        };
        writeTable(key + "\\Columns", rec.ColumnTimeList, {{"1", &rec.ColumnTempList}});
        writeTable(key + "\\Pumps", rec.PumpTimeList, {{"1", &rec.Pump1FlowList}, {"2", &rec.Pump2FlowList}});
    });
}
