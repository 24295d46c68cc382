#include "methods/SequenceParams.h"

#include <cstdio>
#include <limits>

#include "platform/i18n.h"
#include "unicode/UxControls.h"

// ---- TSequenceINIParams ----

void TSequenceINIParams::Clear() {
    Name.clear();
    ClearParams();
}

void TSequenceINIParams::ClearParams() {
    ClearList(MethodList);
    ClearList(RunList);
}

void TSequenceINIParams::ClearList(TUxStringList& list) {
    while (list.GetCount() > 0) list.Delete(0);
}

int32_t TSequenceINIParams::GetTotalRuns() const {
    int64_t sum = 0;
    for (int i = 0; i < RunList.GetCount(); ++i) sum += strToIntDef(RunList.Get(i).toStdString(), 0);
    if (sum > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (sum < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(sum);
}

// ---- CSequenceNames ----

CSequenceNames::CSequenceNames() = default;

bool CSequenceNames::IsValidName(const std::string& name) {
    return NamedKeys::isValidName(name);
}

void CSequenceNames::FillListBox(TUxListBox* box) {
    if (box == nullptr) return;
    box->Clear();
    std::vector<std::string> names;
    if (!keys_.names(names)) return;
    for (const std::string& name : names) box->AddItem(QString::fromStdString(name));
}

bool CSequenceNames::DeleteSequence(const std::string& name) {
    const bool ok = keys_.remove(name, "Can't Delete Sequence!");
    keys_.reg().closeKey();
    return ok;
}

bool CSequenceNames::AddSequence(const std::string& name) {
    const bool ok = keys_.add(name, "Can't Add Sequence!");
    keys_.reg().closeKey();
    return ok;
}

bool CSequenceNames::LoadSequence(TSequenceINIParams& rec) {
    const std::string name = rec.Name.toStdString();
    rec.ClearParams();
    if (!IsValidName(name)) return false;
    const std::string key = keys_.keyOf(name);
    Registry& reg = keys_.reg();
    if (!reg.openKey(key, false)) return false;
    // Lines in the order of their numbers, whatever the stored names' text order.
    for (const std::string& line : sortedByNumber(reg.getKeyNames())) {
        if (!reg.openKey(key + "\\" + line, false)) continue;
        rec.MethodList.Add(QString::fromStdString(reg.readString("Name")));
        rec.RunList.Add(QString::fromStdString(reg.readString("Repeat")));
    }
    reg.closeKey();
    return true;
}

bool CSequenceNames::SaveSequence(const TSequenceINIParams& rec) {
    const bool ok = keys_.replace(rec.Name.toStdString(), [&](const std::string& key) {
        Registry& reg = keys_.reg();
        // Lines without a method are left out; the others are numbered without gaps.
        int line = 0;
        for (int i = 0; i < rec.MethodList.GetCount(); ++i) {
            const std::string method = rec.MethodList.Get(i).toStdString();
            if (method.empty()) continue;
            char number[16];
            std::snprintf(number, sizeof number, "%07d", ++line);
            if (!reg.openKey(key + "\\" + number, true)) continue;
            reg.writeString("Name", method);
            reg.writeString("Repeat",
                            i < rec.RunList.GetCount() ? rec.RunList.Get(i).toStdString() : std::string());
        }
    });
    keys_.reg().closeKey();
    return ok;
}
