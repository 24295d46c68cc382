#include "methods/ExportImport.h"

#include <QFileDialog>
#include <QFont>
#include <QStringDecoder>
#include <QStringList>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <map>
#include <system_error>
#include <vector>

#include "link/Instrument.h"
#include "methods/EditorNotice.h"
#include "methods/MethodParams.h"
#include "methods/SequenceParams.h"
#include "platform/CaseFold.h"
#include "platform/Dialogs.h"
#include "platform/IniFile.h"
#include "platform/Registry.h"
#include "platform/SafeRead.h"
#include "platform/i18n.h"
#include "unicode/UxControls.h"

TExportImport1* ExportImport1 = nullptr;
std::function<bool(bool save, QString& fileName)> ExportImportFileDialog;
std::function<void()> OnLoadedSequenceStored;

namespace {

// A file larger than this is not an export file; reading it would only tie up memory.
constexpr size_t kMaxImportBytes = IniFile::DefaultMaxBytes;

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

// The profile file trims every value, so a value that starts or ends with a blank goes into
// quotes, as does one that starts or ends with a quote (else reading would take its quotes for
// ours). Reading removes one pair of surrounding quotes, as profile files are read: files
// written before keep reading as they did, but for values that both start and end with one.
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::string quotedValue(const std::string& v) {
    if (v.empty()) return v;
    const char first = v.front(), last = v.back();
    return isBlank(first) || isBlank(last) || first == '"' || last == '"' ? '"' + v + '"' : v;
}

std::string unquotedValue(const std::string& v) {
    return v.size() >= 2 && v.front() == '"' && v.back() == '"' ? v.substr(1, v.size() - 2) : v;
}

// Rows and lines are texts joined by ";". A text that holds a ";" or starts with a quote goes
// into quotes (a quote inside doubled), so that it splits back whole; values without such a
// text are written, and read, as they always were.
bool needsFieldQuotes(const std::string& f) {
    return f.find(';') != std::string::npos || (!f.empty() && f.front() == '"');
}

std::string joinFields(const std::vector<std::string>& fields) {
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) out += ';';
        const std::string& f = fields[i];
        if (!needsFieldQuotes(f)) {
            out += f;
            continue;
        }
        out += '"';
        for (char c : f) out += c == '"' ? std::string("\"\"") : std::string(1, c);
        out += '"';
    }
    return out;
}

// The n texts of a value that quotes at least one of them; false for a value without quotes or
// that does not split so (an older file's value, read by the older rules).
bool splitQuotedFields(const std::string& v, size_t n, std::vector<std::string>& out) {
    out.clear();
    bool quoted = false;
    size_t pos = 0;
    for (;;) {
        std::string f;
        if (pos < v.size() && v[pos] == '"') {
            quoted = true;
            ++pos;
            for (;;) {
                if (pos >= v.size()) return false;
                if (v[pos] == '"') {
                    if (pos + 1 < v.size() && v[pos + 1] == '"') {
                        f += '"';
                        pos += 2;
                        continue;
                    }
                    ++pos;
                    break;
                }
                f += v[pos++];
            }
            if (pos < v.size() && v[pos] != ';') return false;
        } else {
            const size_t end = std::min(v.find(';', pos), v.size());
            f = v.substr(pos, end - pos);
            pos = end;
        }
        out.push_back(std::move(f));
        if (pos >= v.size()) break;
        ++pos;  // the ";"
    }
    return quoted && out.size() == n;
}

// Control characters (a NUL, a line break, a tab) would not survive the file.
bool hasControlCharacter(const std::string& name) {
    return std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
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

// An export opens with this line and ends with the closing line: a file that opens so but
// lacks the closing line was cut off, and its last section may lack rows or lines. Files
// without the opening line (older exports, the original platform's) carry no such promise.
const char* const kOpeningLine =
    "; Methods and sequences of ZentrovaKVZ. The last line of this file is \"; end of export\": "
    "without it the file is incomplete.";
const char* const kClosingLine = "; end of export";

// Windows-1252 bytes 0x80 to 0x9F; the rest of the upper half is Latin-1. The five unused
// bytes keep their C1 code points.
const char16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::string fromCp1252(const std::string& bytes) {
    QString out;
    out.reserve(static_cast<qsizetype>(bytes.size()));
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out.append(b >= 0x80 && b < 0xA0 ? QChar(kCp1252High[b - 0x80]) : QChar(b));
    }
    return out.toStdString();
}

bool validUtf8(const std::string& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8);
    // The decoder works when its result becomes a string.
    const QString text = decoder.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    return !decoder.hasError();
}

// An export file as the import sees it: its texts as UTF-8 whatever the file's encoding.
struct ImportFile {
    const IniFile& ini;
    bool cp1252 = false;  // the file is not UTF-8: an export of the original platform
    bool cutOff = false;  // the file opens with kOpeningLine but lacks kClosingLine

    std::string text(const std::string& s) const { return cp1252 ? fromCp1252(s) : s; }
    // A value as the export wrote it: without its quotes, in UTF-8.
    std::string get(const std::string& section, const std::string& key) const {
        return text(unquotedValue(ini.readString(section, key, "")));
    }
    // The report's name of a section: with the entry's name when it has one.
    QString label(const std::string& section) const {
        const std::string name = get(section, "Name");
        return qs(text(section)) + (name.empty() ? QString() : " (" + qs(name) + ")");
    }
};

TMethodINIParams readMethod(const ImportFile& f, const std::string& s) {
    TMethodINIParams r;
    r.Name = f.get(s, "Name");
    r.ColumnT = f.get(s, "ColumnT");
    r.ColumnD = f.get(s, "ColumnD");
    r.ReactorT = f.get(s, "ReactorT");
    r.ReactorV = f.get(s, "ReactorV");
    r.Reagent1D = f.get(s, "Reagent1D");
    r.Reagent2D = f.get(s, "Reagent2D");
    r.Runtime = f.get(s, "Runtime");
    r.EquilTime = f.get(s, "EquilTime");
    r.Pump1Flow = f.get(s, "Pump1Flow");
    r.Pump2Flow = f.get(s, "Pump2Flow");
    r.flushMethod = f.ini.readBool(s, "flushMethod", false);
    r.powerCoolingMethod = f.ini.readBool(s, "powerCoolingMethod", false);
    for (const std::string& key : f.ini.readSection(s)) {
        std::vector<std::string> fields;
        if (startsWith(key, "PumpFlowTT")) {
            const std::string v = f.get(s, key);
            if (splitQuotedFields(v, 3, fields)) {
                r.PumpTimeList.push_back(fields[0]);
                r.Pump1FlowList.push_back(fields[1]);
                r.Pump2FlowList.push_back(fields[2]);
                continue;
            }
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
            const std::string v = f.get(s, key);
            if (splitQuotedFields(v, 2, fields)) {
                r.ColumnTimeList.push_back(fields[0]);
                r.ColumnTempList.push_back(fields[1]);
                continue;
            }
            // As the pump rows: a value without ";" is the temperature alone.
            const size_t p = v.find(';');
            r.ColumnTimeList.push_back(p == std::string::npos ? std::string() : v.substr(0, p));
            r.ColumnTempList.push_back(p == std::string::npos ? v : v.substr(p + 1));
        }
    }
    return r;
}

TSequenceINIParams readSequence(const ImportFile& f, const std::string& s) {
    TSequenceINIParams q;
    q.Name = qs(f.get(s, "Name"));
    for (const std::string& key : f.ini.readSection(s)) {
        if (!startsWith(key, "SequenceLine")) continue;
        const std::string v = f.get(s, key);
        std::vector<std::string> fields;
        if (splitQuotedFields(v, 2, fields)) {
            q.MethodList.Add(qs(fields[0]));
            q.RunList.Add(qs(fields[1]));
            continue;
        }
        // The runs text is a number, so the last ";" ends the method name: a method name
        // with ";" in it comes back whole.
        const size_t p = v.rfind(';');
        if (p == std::string::npos) {
            q.MethodList.Add(QString());
            q.RunList.Add(qs(v));
        } else {
            q.MethodList.Add(qs(v.substr(0, p)));
            q.RunList.Add(qs(v.substr(p + 1)));
        }
    }
    return q;
}

// One method or sequence of the file.
struct Entry {
    bool method = true;
    std::string section;
    std::string name;
    TMethodINIParams m;
    TSequenceINIParams q;
};

// The entries of the file that land on one stored key (names equal when folded), in file
// order, and the stored entry's name there ("" when there is none).
struct Group {
    std::vector<size_t> members;
    std::string stored;
};

QString kindOf(const Entry& e) {
    return e.method ? _("Method") : _("Sequence");
}

QString quotedName(const std::string& name) {
    return "\"" + qs(name) + "\"";
}

bool importEntries(const ImportFile& file, const QString& qpath);

// The file's lines with line ends and surrounding blanks removed: the first, and the last
// that is not blank.
std::string trimmedLine(const std::string& bytes, size_t from, size_t to) {
    while (from < to && std::isspace(static_cast<unsigned char>(bytes[from]))) ++from;
    while (to > from && std::isspace(static_cast<unsigned char>(bytes[to - 1]))) --to;
    return bytes.substr(from, to - from);
}

bool opensAsExport(const std::string& bytes) {
    const size_t start = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    const size_t eol = bytes.find('\n', start);
    return eol != std::string::npos && trimmedLine(bytes, start, eol) == kOpeningLine;
}

bool endsAsExport(const std::string& bytes) {
    size_t end = bytes.size();
    while (end > 0 && std::isspace(static_cast<unsigned char>(bytes[end - 1]))) --end;
    const size_t eol = bytes.rfind('\n', end == 0 ? 0 : end - 1);
    return trimmedLine(bytes, eol == std::string::npos ? 0 : eol + 1, end) == kClosingLine;
}

QString nameList(const QStringList& names) {
    return names.join(QStringLiteral("\n"));
}

// What replacing a stored entry means for the sequence loaded for the run (running or not),
// as Delete says it: "" when it does not use the entry.
QString loadedSequenceUse(bool method, const std::string& stored) {
    if (!InstrumentModule || InstrumentModule->Sequence.Name.isEmpty()) return {};
    const TSequenceINIParams& loaded = InstrumentModule->Sequence;
    const QString name = qs(stored);
    if (!method)
        return loaded.Name.compare(name, Qt::CaseInsensitive) == 0
                   ? fillFirst(_("Sequence \"%s\" is the loaded sequence."), loaded.Name)
                   : QString();
    for (int i = 0; i < loaded.MethodList.GetCount(); ++i)
        if (loaded.MethodList.Get(i).compare(name, Qt::CaseInsensitive) == 0)
            return _("The loaded sequence \"%1\" uses method \"%2\" (line %3).")
                .arg(loaded.Name, name, QString::number(i + 1));
    return {};
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
    SetCancelButton(DoneBtn);
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
    // The file is built in memory and replaces the old one only when it is written whole;
    // the old one is never read.
    IniFile ini = IniFile::fromText(path, "");
    ini.setLeadingLines({kOpeningLine});
    ini.setTrailingLines({kClosingLine});
    size_t methods = 0, sequences = 0;
    auto put = [&ini](const std::string& section, const std::string& key, const std::string& value) {
        ini.writeString(section, key, quotedValue(value));
    };
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
            put(s, "Name", m.Name);
            put(s, "ColumnT", m.ColumnT);
            put(s, "ColumnD", m.ColumnD);
            put(s, "ReactorT", m.ReactorT);
            put(s, "ReactorV", m.ReactorV);
            put(s, "Reagent1D", m.Reagent1D);
            put(s, "Reagent2D", m.Reagent2D);
            put(s, "Runtime", m.Runtime);
            put(s, "EquilTime", m.EquilTime);
            put(s, "Pump1Flow", m.Pump1Flow);
            put(s, "Pump2Flow", m.Pump2Flow);
            ini.writeBool(s, "flushMethod", m.flushMethod);
            ini.writeBool(s, "powerCoolingMethod", m.powerCoolingMethod);
            for (size_t j = 0; j < m.Pump1FlowList.size(); ++j)
                put(s, numbered("PumpFlowTT", j),
                    joinFields({itemOr(m.PumpTimeList, j), m.Pump1FlowList[j], itemOr(m.Pump2FlowList, j)}));
            for (size_t k = 0; k < m.ColumnTimeList.size(); ++k)
                put(s, numbered("ColTempTT", k),
                    joinFields({m.ColumnTimeList[k], itemOr(m.ColumnTempList, k)}));
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
            put(s, "Name", name);
            for (int j = 0; j < q.MethodList.GetCount(); ++j) {
                const QString runs = j < q.RunList.GetCount() ? q.RunList.Get(j) : QString();
                put(s, numbered("SequenceLine", static_cast<size_t>(j)),
                    joinFields({q.MethodList.Get(j).toStdString(), runs.toStdString()}));
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
    infoBox(_("Exported %1 and %2 into %3.")
                .arg(_n("%s method", "%s methods", methods), _n("%s sequence", "%s sequences", sequences),
                     qs(path)));
    return true;
}

bool TExportImport1::ImportAll(const std::string& path) {
    const QString qpath = qs(path);
    // Read once, and only a regular file of a sane size: a named pipe or a device picked in
    // the dialog would hold the program, /dev/zero would fill its memory.
    const SafeRead::Result read = SafeRead::readFile(path, kMaxImportBytes);
    switch (read.status) {
        case SafeRead::Status::Ok:
            break;
        case SafeRead::Status::Missing:
            errorBox(fillFirst(_("The file %s does not exist."), qpath));
            return false;
        case SafeRead::Status::TooLarge:
            errorBox(fillFirst(_("%s is too large to be an export file."), qpath));
            return false;
        case SafeRead::Status::NotRegular: {
            std::error_code ec;
            errorBox(std::filesystem::is_directory(path, ec) ? fillFirst(_("%s is not a file."), qpath)
                                                             : qs(read.error));
            return false;
        }
        default:
            errorBox(qs(read.error));
            return false;
    }
    const std::string& bytes = read.bytes;
    const IniFile ini = IniFile::fromText(path, bytes);
    // An export of this program is UTF-8: a name that is not (one written by regtool) keeps its
    // bytes and turns none of the others into Windows-1252.
    const bool ours = opensAsExport(bytes);
    ImportFile file{ini, !ours && !validUtf8(bytes), ours && !endsAsExport(bytes)};
    return importEntries(file, qpath);
}

namespace {

// Stores what the file holds after the questions; the boxes tell the operator what happened.
bool importEntries(const ImportFile& file, const QString& qpath) {
    std::vector<Entry> entries;
    QStringList refused, controls, cut;
    const std::vector<std::string> sections = file.ini.readSections();
    for (size_t i = 0; i < sections.size(); ++i) {
        const std::string& s = sections[i];
        const bool entry = startsWith(s, "Method") || startsWith(s, "Sequence");
        // Where a cut file ends, the last section may have lost rows or lines.
        if (entry && file.cutOff && i + 1 == sections.size()) {
            cut << file.label(s);
            continue;
        }
        Entry e;
        // A text that a section lacks is empty, as it is in the store; a section without a
        // name is not stored (below). A file cut short is told by its missing closing line.
        if (startsWith(s, "Method")) {
            e.m = readMethod(file, s);
            e.name = e.m.Name;
        } else if (startsWith(s, "Sequence")) {
            e.method = false;
            e.q = readSequence(file, s);
            e.name = e.q.Name.toStdString();
        } else {
            continue;
        }
        e.section = file.text(s);
        if (hasControlCharacter(e.name))
            controls << qs(e.section);
        else if (CMethodNames::IsValidName(e.name))
            entries.push_back(std::move(e));
        else
            refused << qs(e.section);
    }
    QString notes;
    if (file.cutOff) {
        notes += "\n\n" + fillFirst(_("The file is cut off: it lacks its last line \"%s\", so whatever "
                                      "followed is missing."),
                                    qs(kClosingLine));
        if (!cut.isEmpty())
            notes += "\n" + fillFirst(_("Not imported, as it may be incomplete:\n%s"), nameList(cut));
    }
    if (!refused.isEmpty())
        notes += "\n\n" + fillFirst(_("Not imported, for a missing name or a name with \"\\\":\n%s"),
                                    nameList(refused));
    if (!controls.isEmpty())
        notes += "\n\n" + fillFirst(_("Not imported, for a name with a control character (a NUL, a line "
                                      "break, a tab):\n%s"),
                                    nameList(controls));
    if (entries.empty()) {
        errorBox(fillFirst(_("%s holds no methods or sequences to import."), qpath) + notes);
        return false;
    }

    // Names land on the store's keys folded (letter case aside), so entries that fold alike
    // are one entry: the file's later one, or the stored one, is replaced only on Yes.
    std::vector<Group> groups;
    QStringList stored, twice;
    try {
        std::map<std::string, std::string> storedNames[2];
        for (int kind = 0; kind < 2; ++kind) {
            Registry reg;
            const std::string folder = kind == 0 ? CMethodNames().MethodsKey : CSequenceNames().SequencesKey;
            if (reg.openKey(folder, false))
                for (const std::string& n : reg.getKeyNames()) storedNames[kind].emplace(caseFold(n), n);
        }
        std::map<std::pair<bool, std::string>, size_t> groupOf;
        for (size_t i = 0; i < entries.size(); ++i) {
            const Entry& e = entries[i];
            const std::string key = caseFold(e.name);
            const auto [it, added] = groupOf.emplace(std::make_pair(e.method, key), groups.size());
            if (added) {
                Group g;
                const auto& names = storedNames[e.method ? 0 : 1];
                const auto found = names.find(key);
                if (found != names.end()) g.stored = found->second;
                groups.push_back(g);
            }
            groups[it->second].members.push_back(i);
        }
    } catch (const std::exception& e) {
        errorBox(fillFirst(_("Nothing was imported: %s"), qs(e.what())));
        return false;
    }
    QStringList inUse;
    for (const Group& g : groups) {
        const Entry& first = entries[g.members.front()];
        if (!g.stored.empty()) {
            QString line = kindOf(first) + " " + qs(g.stored);
            const std::string& incoming = entries[g.members.back()].name;
            if (incoming != g.stored) line += " " + fillFirst(_("(in the file: %s)"), qs(incoming));
            stored << line;
            const QString use = loadedSequenceUse(first.method, g.stored);
            if (!use.isEmpty()) inUse << use;
        }
        if (g.members.size() > 1) {
            QStringList seen;
            for (size_t i : g.members)
                seen << quotedName(entries[i].name) + " (" + qs(entries[i].section) + ")";
            twice << kindOf(first) + " " + seen.join(QStringLiteral(", "));
        }
    }
    // Asked, not done silently: a replaced entry is the operator's stored work, and may be one
    // the loaded sequence runs (its set points then change under the main window).
    bool replace = true;
    if (!stored.isEmpty() || !twice.isEmpty()) {
        QString question;
        if (!stored.isEmpty())
            question += fillFirst(stored.size() == 1 ? _("This is stored already:\n%s")
                                                     : _("These are stored already:\n%s"),
                                  nameList(stored)) +
                        "\n\n";
        if (!inUse.isEmpty())
            question += nameList(inUse) + "\n" +
                        (sequenceRunning()
                             ? _("A run in progress keeps the method it started with; the runs after it use "
                                 "the imported one.")
                             : _("The main window loads the imported one at once.")) +
                        "\n\n";
        if (!twice.isEmpty())
            question += fillFirst(twice.size() == 1
                                      ? _("This is in the file more than once (letter case aside); the later "
                                          "one replaces the earlier:\n%s")
                                      : _("These are in the file more than once (letter case aside); the "
                                          "later one replaces the earlier:\n%s"),
                                  nameList(twice)) +
                        "\n\n";
        question += stored.size() + twice.size() == 1
                        ? _("Replace it with the one from the file? No imports only the new ones.")
                        : _("Replace them with the ones from the file? No imports only the new ones.");
        const MsgResult r =
            messageBox(question, _("Warning"), MsgButtons::YesNoCancel, mrNo, MsgIcon::Warning);
        if (r == mrCancel || r == mrNone) return false;
        replace = r == mrYes;
    }

    // Each group stores at most one entry: on Yes the file's last, on No its first, and only
    // when nothing is stored under that key.
    int methodCount = 0, sequenceCount = 0;
    bool loadedChanged = false;
    QStringList replaced;
    try {
        Registry reg;
        // One transaction for the whole file: a failed write leaves the stores as they were.
        reg.beginTransaction();
        CMethodNames methodStore;
        CSequenceNames sequenceStore;
        for (const Group& g : groups) {
            if (!replace && !g.stored.empty()) continue;
            const Entry& e = entries[replace ? g.members.back() : g.members.front()];
            if (!(e.method ? methodStore.SaveMethod(e.m) : sequenceStore.SaveSequence(e.q))) continue;
            ++(e.method ? methodCount : sequenceCount);
            if (!loadedSequenceUse(e.method, e.name).isEmpty()) loadedChanged = true;
            if (!replace) continue;
            for (size_t k = 0; k + 1 < g.members.size(); ++k) {
                const Entry& earlier = entries[g.members[k]];
                replaced << kindOf(e) + " " +
                                _("%1 replaces %2")
                                    .arg(quotedName(e.name) + " (" + qs(e.section) + ")",
                                         quotedName(earlier.name) + " (" + qs(earlier.section) + ")");
            }
            if (!g.stored.empty() && g.stored != e.name)
                replaced << kindOf(e) + " " +
                                _("%1 replaces the stored %2")
                                    .arg(quotedName(e.name) + " (" + qs(e.section) + ")",
                                         quotedName(g.stored));
        }
        reg.commit();
    } catch (const std::exception& e) {
        errorBox(fillFirst(_("Nothing was imported: %s"), qs(e.what())));
        return false;
    }

    QString text =
        _("Imported %1 and %2 from %3.")
            .arg(_n("%s method", "%s methods", static_cast<unsigned long>(methodCount)),
                 _n("%s sequence", "%s sequences", static_cast<unsigned long>(sequenceCount)), qpath);
    if (file.cp1252) text += "\n\n" + _("The file is not UTF-8: its texts were read as Windows-1252.");
    if (!replaced.isEmpty()) text += "\n\n" + fillFirst(_("Replaced:\n%s"), nameList(replaced));
    // The main window shows the loaded sequence's set points: they follow the stores now.
    if (loadedChanged && OnLoadedSequenceStored) runGuarded(OnLoadedSequenceStored);
    if (file.cutOff)
        messageBox(text + notes, _("Warning"), MsgButtons::OK, mrOk, MsgIcon::Warning);
    else
        infoBox(text + notes);
    return true;
}

}  // namespace
