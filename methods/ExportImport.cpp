#include "methods/ExportImport.h"

#include <QFileDialog>
#include <QFont>
#include <QStringList>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "methods/MethodParams.h"
#include "methods/SequenceParams.h"
#include "platform/Dialogs.h"
#include "platform/IniFile.h"
#include "platform/Registry.h"
#include "platform/i18n.h"
#include "unicode/UxControls.h"

TExportImport1* ExportImport1 = nullptr;
std::function<bool(bool save, QString& fileName)> ExportImportFileDialog;

namespace {

// A file larger than this is not an export file; reading it would only tie up memory.
constexpr std::uintmax_t kMaxImportBytes = 64u * 1024 * 1024;

std::string numbered(const char* prefix, size_t i) {
    return cformat("%s%05zu", prefix, i);
}

bool startsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

const std::string& itemOr(const std::vector<std::string>& list, size_t i) {
    static const std::string empty;
    return i < list.size() ? list[i] : empty;
}

// A name the stores can take as a key; control characters would not survive the file.
bool importableName(const std::string& name) {
    if (!CMethodNames::IsValidName(name)) return false;
    return std::none_of(name.begin(), name.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

void errorBox(const QString& text) {
    messageBox(text, _("Error"), MsgButtons::OK, mrOk, MsgIcon::Error);
}

void infoBox(const QString& text) {
    messageBox(text, _("Info"), MsgButtons::OK, mrOk, MsgIcon::Information);
}

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

struct ImportedMethod {
    std::string section;
    TMethodINIParams rec;
};

struct ImportedSequence {
    std::string section;
    TSequenceINIParams rec;
};

ImportedMethod readMethod(const IniFile& ini, const std::string& s) {
    ImportedMethod m;
    m.section = s;
    TMethodINIParams& r = m.rec;
    r.Name = ini.readString(s, "Name", "");
    r.ColumnT = ini.readString(s, "ColumnT", "");
    r.ColumnD = ini.readString(s, "ColumnD", "");
    r.ReactorT = ini.readString(s, "ReactorT", "");
    r.ReactorV = ini.readString(s, "ReactorV", "");
    r.Reagent1D = ini.readString(s, "Reagent1D", "");
    r.Reagent2D = ini.readString(s, "Reagent2D", "");
    r.Runtime = ini.readString(s, "Runtime", "");
    r.EquilTime = ini.readString(s, "EquilTime", "");
    r.Pump1Flow = ini.readString(s, "Pump1Flow", "");
    r.Pump2Flow = ini.readString(s, "Pump2Flow", "");
    r.flushMethod = ini.readBool(s, "flushMethod", false);
    r.powerCoolingMethod = ini.readBool(s, "powerCoolingMethod", false);
    for (const std::string& key : ini.readSection(s)) {
        if (startsWith(key, "PumpFlowTT")) {
            const std::string v = ini.readString(s, key, "");
            const size_t p1 = v.find(';');
            const size_t p2 = v.rfind(';');
            if (p1 == std::string::npos) {
                r.PumpTimeList.emplace_back();
                r.Pump1FlowList.emplace_back();
                r.Pump2FlowList.push_back(v);
            } else {
                r.PumpTimeList.push_back(v.substr(0, p1));
                r.Pump1FlowList.push_back(p2 > p1 ? v.substr(p1 + 1, p2 - p1 - 1) : std::string());
                r.Pump2FlowList.push_back(v.substr(p2 + 1));
            }
        } else if (startsWith(key, "ColTempTT")) {
            const std::string v = ini.readString(s, key, "");
            const size_t p = v.find(';');
            r.ColumnTimeList.push_back(v.substr(0, p));
            r.ColumnTempList.push_back(p == std::string::npos ? std::string() : v.substr(p + 1));
        }
    }
    return m;
}

ImportedSequence readSequence(const IniFile& ini, const std::string& s) {
    ImportedSequence q;
    q.section = s;
    q.rec.Name = qs(ini.readString(s, "Name", ""));
    for (const std::string& key : ini.readSection(s)) {
        if (!startsWith(key, "SequenceLine")) continue;
        const std::string v = ini.readString(s, key, "");
        // The runs text is a number, so the last ";" ends the method name: a method name
        // with ";" in it comes back whole.
        const size_t p = v.rfind(';');
        if (p == std::string::npos) {
            q.rec.MethodList.Add(QString());
            q.rec.RunList.Add(qs(v));
        } else {
            q.rec.MethodList.Add(qs(v.substr(0, p)));
            q.rec.RunList.Add(qs(v.substr(p + 1)));
        }
    }
    return q;
}

bool sequenceStored(const QString& name) {
    TSequenceINIParams probe;
    probe.Name = name;
    CSequenceNames store;
    return store.LoadSequence(probe);
}

QString nameList(const QStringList& names) {
    return names.join(QStringLiteral("\n"));
}

}  // namespace

TExportImport1::TExportImport1(QWidget* owner) : TUxForm(owner) {
    SetCaption(QStringLiteral("Export/Import user parameters"));
    setFont(QFont(QStringLiteral("Arial"), 8));
    const int bx = 12, lx = 104, bw = 80, bh = 25, lw = 300;
    auto row = [this](TUxButton*& btn, const char* caption, TUxLabel*& lbl, const char* text, int y) {
        btn = new TUxButton(QString::fromUtf8(caption), this);
        btn->setGeometry(bx, y, bw, bh);
        lbl = new TUxLabel(QString::fromUtf8(text), this);
        lbl->setGeometry(lx, y + 4, lw, 17);
    };
    row(ExportBtn, "Export", ExportLbl, "Export Sequences and Methods into a file", 12);
    row(ImportBtn, "Import", ImportLbl, "Import Sequences and Methods from a file", 45);
    row(DoneBtn, "Done", DoneLbl, "Close this dialog", 78);
    setFixedSize(lx + lw + 12, 78 + bh + 12);
    ExportBtn->OnClick = [this] { ExportBtnClick(); };
    ImportBtn->OnClick = [this] { ImportBtnClick(); };
    DoneBtn->OnClick = [this] { DoneBtnClick(); };
    TranslateComponent(this);
}

TExportImport1::~TExportImport1() {
    if (ExportImport1 == this) ExportImport1 = nullptr;
}

void TExportImport1::ExportBtnClick() {
    if (SaveFileName.isEmpty()) SaveFileName = QString::fromUtf8(kExportFileName);
    QString chosen = SaveFileName;
    bool ok;
    if (ExportImportFileDialog) {
        ok = ExportImportFileDialog(true, chosen);
    } else {
        // The dialog asks before it overwrites a file; its folder must exist.
        chosen = QFileDialog::getSaveFileName(this, QString(), SaveFileName);
        ok = !chosen.isEmpty();
    }
    if (!ok || chosen.isEmpty()) return;
    SaveFileName = chosen;
    ExportAll(chosen.toStdString());
}

void TExportImport1::ImportBtnClick() {
    if (OpenFileName.isEmpty()) OpenFileName = QString::fromUtf8(kExportFileName);
    QString chosen = OpenFileName;
    bool ok;
    if (ExportImportFileDialog) {
        ok = ExportImportFileDialog(false, chosen);
    } else {
        chosen = QFileDialog::getOpenFileName(this, QString(), OpenFileName);
        ok = !chosen.isEmpty();
    }
    if (!ok || chosen.isEmpty()) return;
    OpenFileName = chosen;
    ImportAll(chosen.toStdString());
}

void TExportImport1::DoneBtnClick() {
    Close();
}

bool TExportImport1::ExportAll(const std::string& path) {
    // The file is built in memory and replaces the old one only when it is written whole.
    IniFile ini(path);
    ini.clear();
    size_t methods = 0, sequences = 0;
    try {
        CMethodNames methodStore;
        std::vector<std::string> names;
        {
            Registry reg;
            if (reg.openKey(methodStore.MethodsKey, false)) names = reg.getKeyNames();
        }
        TMethodINIParams m;
        for (const std::string& name : names) {
            m.Name = name;
            methodStore.LoadMethod(m);
            const std::string s = numbered("Method", methods++);
            ini.writeString(s, "Name", m.Name);
            ini.writeString(s, "ColumnT", m.ColumnT);
            ini.writeString(s, "ColumnD", m.ColumnD);
            ini.writeString(s, "ReactorT", m.ReactorT);
            ini.writeString(s, "ReactorV", m.ReactorV);
            ini.writeString(s, "Reagent1D", m.Reagent1D);
            ini.writeString(s, "Reagent2D", m.Reagent2D);
            ini.writeString(s, "Runtime", m.Runtime);
            ini.writeString(s, "EquilTime", m.EquilTime);
            ini.writeString(s, "Pump1Flow", m.Pump1Flow);
            ini.writeString(s, "Pump2Flow", m.Pump2Flow);
            ini.writeBool(s, "flushMethod", m.flushMethod);
            ini.writeBool(s, "powerCoolingMethod", m.powerCoolingMethod);
            for (size_t j = 0; j < m.Pump1FlowList.size(); ++j)
                ini.writeString(
                    s, numbered("PumpFlowTT", j),
                    itemOr(m.PumpTimeList, j) + ";" + m.Pump1FlowList[j] + ";" + itemOr(m.Pump2FlowList, j));
            for (size_t k = 0; k < m.ColumnTimeList.size(); ++k)
                ini.writeString(s, numbered("ColTempTT", k),
                                m.ColumnTimeList[k] + ";" + itemOr(m.ColumnTempList, k));
        }

        CSequenceNames sequenceStore;
        names.clear();
        {
            Registry reg;
            if (reg.openKey(sequenceStore.SequencesKey, false)) names = reg.getKeyNames();
        }
        TSequenceINIParams q;
        for (const std::string& name : names) {
            q.Name = qs(name);
            sequenceStore.LoadSequence(q);
            const std::string s = numbered("Sequence", sequences++);
            ini.writeString(s, "Name", name);
            for (int j = 0; j < q.MethodList.GetCount(); ++j) {
                const QString runs = j < q.RunList.GetCount() ? q.RunList.Get(j) : QString();
                ini.writeString(s, numbered("SequenceLine", static_cast<size_t>(j)),
                                (q.MethodList.Get(j) + ";" + runs).toStdString());
            }
        }
    } catch (const std::exception& e) {
        errorBox(fillFirst(_("Nothing was exported: %s"), qs(e.what())));
        return false;
    }
    if (!ini.updateFile()) {
        errorBox(qs(ini.lastError()));
        return false;
    }
    infoBox(_("Exported %1 methods and %2 sequences into %3.").arg(methods).arg(sequences).arg(qs(path)));
    return true;
}

bool TExportImport1::ImportAll(const std::string& path) {
    const QString qpath = qs(path);
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) {
        errorBox(fillFirst(_("The file %s does not exist."), qpath));
        return false;
    }
    if (!std::filesystem::is_regular_file(status)) {
        errorBox(fillFirst(_("%s is not a file."), qpath));
        return false;
    }
    if (std::filesystem::file_size(path, ec) > kMaxImportBytes && !ec) {
        errorBox(fillFirst(_("%s is too large to be an export file."), qpath));
        return false;
    }

    const IniFile ini(path);
    if (!ini.lastError().empty()) {
        errorBox(qs(ini.lastError()));
        return false;
    }

    std::vector<ImportedMethod> methods;
    std::vector<ImportedSequence> sequences;
    QStringList refused;
    for (const std::string& s : ini.readSections()) {
        if (startsWith(s, "Method")) {
            ImportedMethod m = readMethod(ini, s);
            if (importableName(m.rec.Name))
                methods.push_back(std::move(m));
            else
                refused << qs(s);
        } else if (startsWith(s, "Sequence")) {
            ImportedSequence q = readSequence(ini, s);
            if (importableName(q.rec.Name.toStdString()))
                sequences.push_back(std::move(q));
            else
                refused << qs(s);
        }
    }
    const QString refusedText =
        refused.isEmpty()
            ? QString()
            : fillFirst(_("Not imported, for a missing name or a name with \"\\\":\n%s"), nameList(refused));
    if (methods.empty() && sequences.empty()) {
        QString text = fillFirst(_("%s holds no methods or sequences to import."), qpath);
        if (!refusedText.isEmpty()) text += "\n\n" + refusedText;
        errorBox(text);
        return false;
    }

    // Questions come before the store is touched, so no transaction waits on the operator.
    QStringList existing;
    std::vector<bool> methodExists, sequenceExists;
    try {
        CMethodNames probe;
        for (const auto& m : methods) {
            methodExists.push_back(probe.MethodExists(m.rec.Name));
            if (methodExists.back()) existing << fillFirst(_("Method %s"), qs(m.rec.Name));
        }
        for (const auto& q : sequences) {
            sequenceExists.push_back(sequenceStored(q.rec.Name));
            if (sequenceExists.back()) existing << fillFirst(_("Sequence %s"), q.rec.Name);
        }
    } catch (const std::exception& e) {
        errorBox(fillFirst(_("Nothing was imported: %s"), qs(e.what())));
        return false;
    }
    existing.removeDuplicates();
    bool replace = true;
    if (!existing.isEmpty()) {
        const MsgResult r = messageBox(
            fillFirst(_("These are stored already:\n%s\n\nReplace them with the ones from the file? "
                        "No imports only the new ones."),
                      nameList(existing)),
            _("Warning"), MsgButtons::YesNoCancel, mrNo, MsgIcon::Warning);
        if (r == mrCancel || r == mrNone) return false;
        replace = r == mrYes;
    }

    int methodCount = 0, sequenceCount = 0;
    try {
        Registry reg;
        // One transaction for the whole file: a failed write leaves the stores as they were.
        reg.beginTransaction();
        CMethodNames methodStore;
        for (size_t i = 0; i < methods.size(); ++i) {
            if (methodExists[i] && !replace) continue;
            if (methodStore.SaveMethod(methods[i].rec)) ++methodCount;
        }
        CSequenceNames sequenceStore;
        for (size_t i = 0; i < sequences.size(); ++i) {
            if (sequenceExists[i] && !replace) continue;
            if (sequenceStore.SaveSequence(sequences[i].rec)) ++sequenceCount;
        }
        reg.commit();
    } catch (const std::exception& e) {
        errorBox(fillFirst(_("Nothing was imported: %s"), qs(e.what())));
        return false;
    }

    QString text =
        _("Imported %1 methods and %2 sequences from %3.").arg(methodCount).arg(sequenceCount).arg(qpath);
    if (!refusedText.isEmpty()) text += "\n\n" + refusedText;
    infoBox(text);
    return true;
}
