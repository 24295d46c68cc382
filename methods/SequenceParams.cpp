#include "methods/SequenceParams.h"

#include <cstdio>
#include <limits>

#include "methods/MethodParams.h"
#include "platform/Dialogs.h"
#include "platform/Instance.h"
#include "platform/i18n.h"
#include "unicode/UxControls.h"

namespace {
void info(const char* text) {
    messageBox(_(text), _("Info"), MsgButtons::OK);
}
}  // namespace

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

CSequenceNames::CSequenceNames() {
    // Without an instance the sequences sit directly under the product key.
    SequencesKey = Instance().empty()
                       ? std::string("\\Software\\TressivanLabs\\Zentrova\\Sequences")
                       : "\\Software\\TressivanLabs\\Zentrova\\Instrument" + Instance() + "\\Sequences";
}

bool CSequenceNames::IsValidName(const std::string& name) {
    return !name.empty() && name.find('\\') == std::string::npos;
}

void CSequenceNames::FillListBox(TUxListBox* box) {
    if (box == nullptr) return;
    box->Clear();
    if (!reg_.openKey(SequencesKey, false)) return;
    for (const std::string& name : reg_.getKeyNames()) box->AddItem(QString::fromStdString(name));
}

bool CSequenceNames::DeleteSequence(const std::string& name) {
    if (!reg_.openKey(SequencesKey, false)) return false;
    bool ok = false;
    if (IsValidName(name)) {
        try {
            ok = reg_.deleteKey(keyOf(name));
        } catch (const ERegistryException&) {
            ok = false;
        }
    }
    reg_.closeKey();
    if (!ok) info("Can't Delete Sequence!");
    return ok;
}

bool CSequenceNames::AddSequence(const std::string& name) {
    try {
        if (!reg_.openKey(SequencesKey, true)) return false;
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
    reg_.closeKey();
    if (!ok) info("Can't Add Sequence!");
    return ok;
}

bool CSequenceNames::LoadSequence(TSequenceINIParams& rec) {
    const std::string name = rec.Name.toStdString();
    rec.ClearParams();
    if (!IsValidName(name)) return false;
    const std::string key = keyOf(name);
    if (!reg_.openKey(key, false)) return false;
    // Lines in the order of their numbers, whatever the stored names' text order.
    for (const std::string& line : sortedByNumber(reg_.getKeyNames())) {
        if (!reg_.openKey(key + "\\" + line, false)) continue;
        rec.MethodList.Add(QString::fromStdString(reg_.readString("Name")));
        rec.RunList.Add(QString::fromStdString(reg_.readString("Repeat")));
    }
    reg_.closeKey();
    return true;
}

bool CSequenceNames::SaveSequence(const TSequenceINIParams& rec) {
    const std::string name = rec.Name.toStdString();
    if (!IsValidName(name)) return false;
    const std::string key = keyOf(name);

    // The old version goes only together with the new one's arrival.
    reg_.beginTransaction();
    try {
        reg_.deleteKey(key);
        if (!reg_.openKey(key, true)) {
            reg_.rollback();
            return false;
        }
        int line = 0;
        for (int i = 0; i < rec.MethodList.GetCount(); ++i) {
            const std::string method = rec.MethodList.Get(i).toStdString();
            if (method.empty()) continue;
            char number[16];
            std::snprintf(number, sizeof number, "%07d", ++line);
            if (!reg_.openKey(key + "\\" + number, true)) continue;
            reg_.writeString("Name", method);
            reg_.writeString("Repeat",
                             i < rec.RunList.GetCount() ? rec.RunList.Get(i).toStdString() : std::string());
        }
        reg_.commit();
    } catch (...) {
        if (reg_.inTransaction()) reg_.rollback();
        reg_.closeKey();
        throw;
    }
    reg_.closeKey();
    return true;
}
