#include "methods/MethodParams.h"

#include <algorithm>
#include <cstdio>

#include "platform/Dialogs.h"
#include "platform/Instance.h"
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

void info(const char* text) {
    messageBox(_(text), _("Info"), MsgButtons::OK);
}

}  // namespace

std::vector<std::string> sortedByNumber(std::vector<std::string> names) {
    auto numberOfName = [](const std::string& s) -> long long {
        if (s.empty() || s.size() > 18) return -1;
        long long v = 0;
        for (char c : s) {
            if (c < '0' || c > '9') return -1;
            v = v * 10 + (c - '0');
        }
        return v;
    };
    std::stable_sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        const long long na = numberOfName(a), nb = numberOfName(b);
        if (na < 0 || nb < 0) return na >= 0 && nb < 0;  // numbers first
        return na < nb;
    });
    return names;
}

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

CMethodNames::CMethodNames() {
    // Without an instance the methods sit directly under the product key.
    MethodsKey = Instance().empty()
                     ? std::string("\\Software\\TressivanLabs\\Zentrova\\Methods")
                     : "\\Software\\TressivanLabs\\Zentrova\\Instrument" + Instance() + "\\Methods";
}

CMethodNames::~CMethodNames() = default;

bool CMethodNames::IsValidName(const std::string& name) {
    return !name.empty() && name.find('\\') == std::string::npos;
}

void CMethodNames::FillListBox(TUxListBox* box) {
    if (box == nullptr) return;
    box->Clear();
    if (!reg_.openKey(MethodsKey, false)) return;
    for (const std::string& name : reg_.getKeyNames()) box->AddItem(QString::fromStdString(name));
}

void CMethodNames::FillComboBox(TUxComboBox* box) {
    if (box == nullptr || !reg_.openKey(MethodsKey, false)) return;
    box->GetItems()->Clear();
    for (const std::string& name : reg_.getKeyNames()) box->GetItems()->Add(QString::fromStdString(name));
}

bool CMethodNames::MethodExists(const QString& name) {
    return MethodExists(name.toStdString());
}

bool CMethodNames::MethodExists(const std::string& name) {
    // The method loads exactly when its key opens.
    return IsValidName(name) && reg_.openKey(keyOf(name), false);
}

bool CMethodNames::AddMethod(const QString& name) {
    return AddMethod(name.toStdString());
}

bool CMethodNames::AddMethod(const std::string& name) {
    try {
        if (!reg_.openKey(MethodsKey, true)) return false;
    } catch (const ERegistryException&) {
        return false;
    }
    bool ok = false;
    if (IsValidName(name)) {
        try {
            ok = reg_.openKey(keyOf(name), true);
        } catch (const ERegistryException&) {
            ok = false;
        }
    }
    if (!ok) info("Can't Add Method!");
    return ok;
}

bool CMethodNames::DeleteMethod(const QString& name) {
    return DeleteMethod(name.toStdString());
}

bool CMethodNames::DeleteMethod(const std::string& name) {
    if (!reg_.openKey(MethodsKey, false)) return false;
    bool ok = false;
    if (IsValidName(name)) {
        try {
            ok = reg_.deleteKey(keyOf(name));
        } catch (const ERegistryException&) {
            ok = false;
        }
    }
    if (!ok) info("Can't Delete Method!");
    return ok;
}

std::vector<std::string> CMethodNames::rowKeys(const std::string& path) {
    if (!reg_.openKey(path, false)) return {};
    return sortedByNumber(reg_.getKeyNames());
}

bool CMethodNames::LoadMethod(TMethodINIParams& rec) {
    rec.ClearParams();
    if (!IsValidName(rec.Name)) return false;
    const std::string key = keyOf(rec.Name);
    if (!reg_.openKey(key, false)) return false;

    rec.ColumnT = reg_.readString("ColumnT");
    rec.ColumnTValue = numberOf(rec.ColumnT);
    rec.ColumnD = reg_.readString("ColumnD");
    rec.ReactorT = reg_.readString("ReactorT");
    rec.ReactorTValue = numberOf(rec.ReactorT);
    rec.ReactorV = reg_.readString("ReactorV");
    rec.Reagent1D = reg_.readString("Reagent1D");
    rec.Reagent2D = reg_.readString("Reagent2D");
    rec.Runtime = reg_.readString("Runtime");
    rec.RuntimeValue = numberOf(rec.Runtime);
    rec.EquilTime = reg_.readString("EquilTime");
    rec.EquilTimeValue = numberOf(rec.EquilTime);
    rec.Pump1Flow = reg_.readString("Pump1Flow");
    rec.Pump1FlowValue = numberOf(rec.Pump1Flow);
    rec.Pump2Flow = reg_.readString("Pump2Flow");
    rec.Pump2FlowValue = numberOf(rec.Pump2Flow);
    rec.flushMethod = flagOf(reg_, "flushMethod");
    rec.powerCoolingMethod = flagOf(reg_, "powerCoolingMethod");

    // Rows come back in the order of their numbers, so row 10 follows row 9.
    const std::string columns = key + "\\Columns";
    for (const std::string& row : rowKeys(columns)) {
        if (!reg_.openKey(columns + "\\" + row, false)) continue;
        rec.ColumnTempList.push_back(reg_.readString("1"));
        rec.ColumnTimeList.push_back(reg_.readString("time"));
    }
    const std::string pumps = key + "\\Pumps";
    for (const std::string& row : rowKeys(pumps)) {
        if (!reg_.openKey(pumps + "\\" + row, false)) continue;
        rec.Pump1FlowList.push_back(reg_.readString("1"));
        rec.Pump2FlowList.push_back(reg_.readString("2"));
        rec.PumpTimeList.push_back(reg_.readString("time"));
    }
    return true;
}

bool CMethodNames::SaveMethod(const TMethodINIParams& rec) {
    if (!IsValidName(rec.Name)) return false;
    const std::string key = keyOf(rec.Name);
    auto item = [](const std::vector<std::string>& list, size_t i) {
        return i < list.size() ? list[i] : std::string();
    };

    // The old version goes only together with the new one's arrival.
    reg_.beginTransaction();
    try {
        reg_.deleteKey(key);
        if (!reg_.openKey(key, true)) {
            reg_.rollback();
            return false;
        }
        reg_.writeString("ColumnT", rec.ColumnT);
        reg_.writeString("ColumnD", rec.ColumnD);
        reg_.writeString("ReactorT", rec.ReactorT);
        reg_.writeString("ReactorV", rec.ReactorV);
        reg_.writeString("Reagent1D", rec.Reagent1D);
        reg_.writeString("Reagent2D", rec.Reagent2D);
        reg_.writeString("Runtime", rec.Runtime);
        reg_.writeString("EquilTime", rec.EquilTime);
        reg_.writeString("Pump1Flow", rec.Pump1Flow);
        reg_.writeString("Pump2Flow", rec.Pump2Flow);
        reg_.writeBool("flushMethod", rec.flushMethod);
        reg_.writeBool("powerCoolingMethod", rec.powerCoolingMethod);

        const std::string columns = key + "\\Columns";
        if (reg_.openKey(columns, true)) {
            int k = 0;
            for (size_t i = 0; i < rec.ColumnTimeList.size(); ++i) {
                if (rec.ColumnTimeList[i].empty()) continue;
                if (!reg_.openKey(columns + "\\" + std::to_string(++k), true)) continue;
                reg_.writeString("time", rec.ColumnTimeList[i]);
                reg_.writeString("1", item(rec.ColumnTempList, i));
            }
        }
        const std::string pumps = key + "\\Pumps";
        if (reg_.openKey(pumps, true)) {
            int k = 0;
            for (size_t i = 0; i < rec.PumpTimeList.size(); ++i) {
                if (rec.PumpTimeList[i].empty()) continue;
                if (!reg_.openKey(pumps + "\\" + std::to_string(++k), true)) continue;
                reg_.writeString("time", rec.PumpTimeList[i]);
                reg_.writeString("1", item(rec.Pump1FlowList, i));
                reg_.writeString("2", item(rec.Pump2FlowList, i));
            }
        }
        reg_.commit();
    } catch (...) {
        if (reg_.inTransaction()) reg_.rollback();
        throw;
    }
    return true;
}
