#include "methods/EditSequence.h"

#include <QApplication>
#include <QFont>
#include <QScrollBar>
#include <QSignalBlocker>
#include <exception>

#include "link/Instrument.h"
#include "link/LogFile.h"
#include "methods/EditorNotice.h"
#include "methods/MethodParams.h"
#include "methods/PrintSequence.h"
#include "methods/SequenceParams.h"
#include "platform/Dialogs.h"
#include "platform/i18n.h"
#include "unicode/UxDialogs.h"

std::function<void(const std::string& name)> OnSetDefaultSequence;
TEditSequenceDialog* EditSequenceDialog = nullptr;

namespace {

constexpr int kMethodCol = 1;
constexpr int kRunsCol = 2;

QString quoted(const QString& name) {
    return QStringLiteral("\"") + name + QStringLiteral("\"");
}

// A record's lines as "method|runs".
QStringList linesOf(const TSequenceINIParams& rec) {
    QStringList out;
    for (int i = 0; i < rec.MethodList.GetCount(); ++i)
        out << rec.MethodList.Get(i) + "|" + (i < rec.RunList.GetCount() ? rec.RunList.Get(i) : QString());
    return out;
}

// A stored sequence's lines; false when it is not stored.
bool storedLines(const QString& name, QStringList& lines) {
    TSequenceINIParams rec;
    rec.Name = name;
    const bool stored = CSequenceNames().LoadSequence(rec);
    lines = linesOf(rec);
    return stored;
}

QString blankNameText(const QString& name) {
    return fillFirst(_("The name \"%s\" can not be used: a name can not start or end with a blank."), name);
}

TUxButton* button(const char* caption, const char* name, QWidget* parent, int x, int y, int w = 75) {
    auto* b = new TUxButton(QString::fromUtf8(caption), parent);
    b->setObjectName(QString::fromUtf8(name));
    b->setGeometry(x, y, w, 25);
    return b;
}

}  // namespace

TEditSequenceDialog::TEditSequenceDialog(QWidget* owner) : TUxForm(owner) {
    setObjectName("EditSequenceDialog");
    SetCaption("Edit Sequence");
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFont(QFont("Arial", 8));
    setFixedSize(560, 430);

    CurrentSequenceGroupBox = new TUxGroupBox(QString(), this);
    CurrentSequenceGroupBox->setObjectName("CurrentSequenceGroupBox");
    CurrentSequenceGroupBox->setGeometry(8, 4, 544, 44);
    StatusLbl = new TUxLabel("No sequence loaded", CurrentSequenceGroupBox);
    StatusLbl->setObjectName("StatusLbl");
    QFont bold("Arial", 9);
    bold.setBold(true);
    StatusLbl->setFont(bold);
    StatusLbl->setGeometry(10, 16, 524, 22);

    SequenceNameLabel = new TUxLabel("Sequence Name", this);
    SequenceNameLabel->setObjectName("SequenceNameLabel");
    SequenceNameLabel->setGeometry(8, 54, 180, 16);
    SequenceNameList = new TUxListBox(this);
    SequenceNameList->setObjectName("SequenceNameList");
    SequenceNameList->setGeometry(8, 72, 180, 312);

    EditSequenceGroupBox = new TUxGroupBox("Select/Edit Sequence", this);
    EditSequenceGroupBox->setObjectName("EditSequenceGroupBox");
    EditSequenceGroupBox->setGeometry(196, 52, 356, 332);
    BtnAddSequence = button("Create Sequence", "BtnAddSequence", EditSequenceGroupBox, 8, 20, 110);
    BtnDeleteSequence = button("Delete Sequence", "BtnDeleteSequence", EditSequenceGroupBox, 124, 20, 110);

    SequenceTable = new TUxStringGrid(EditSequenceGroupBox, 3, 2);
    SequenceTable->setObjectName("SequenceTable");
    SequenceTable->setGeometry(8, 52, 290, 234);
    SequenceTable->SetFixedRows(1);
    SequenceTable->SetFixedCols(1);
    SequenceTable->SetDefaultRowHeight(21);
    SequenceTable->SetColWidths(0, 25);
    SequenceTable->SetColWidths(1, 174);
    SequenceTable->SetColWidths(2, 68);
    SequenceTable->SetEditing(true);

    MethodNameSelect = new TUxComboBox(SequenceTable);
    MethodNameSelect->setObjectName("MethodNameSelect");
    MethodNameSelect->hide();

    BtnAddMethod = button("Add", "BtnAddMethod", EditSequenceGroupBox, 304, 52, 44);
    BtnInsertMethod = button("Insert", "BtnInsertMethod", EditSequenceGroupBox, 304, 82, 44);
    BtnDeleteMethod = button("Delete", "BtnDeleteMethod", EditSequenceGroupBox, 304, 112, 44);
    BtnSaveAs = button("Save As", "BtnSaveAs", EditSequenceGroupBox, 8, 296, 80);
    BtnCancel = button("Cancel", "BtnCancel", EditSequenceGroupBox, 94, 296, 80);
    BtnPrint = button("Print", "BtnPrint", EditSequenceGroupBox, 180, 296, 80);

    BtnSave = button("Save", "BtnSave", this, 196, 396, 80);
    BtnLoad = button("Load", "BtnLoad", this, 284, 396, 80);
    BtnClose = button("Close", "BtnClose", this, 372, 396, 80);

    SequenceNameList->OnClick = [this] { SequenceNameChanged(); };
    SequenceTable->OnSelectCell = [this](int col, int row, bool& canSelect) {
        if (!selfMove_) SequenceTableSelectCell(SequenceTable, col, row, canSelect);
    };
    SequenceTable->OnSetEditText = [this](int col, int row, const QString& v) {
        SequenceTableOnSetEditText(col, row, v);
    };
    SequenceTable->OnExit = [this] { OnExitSequenceName(); };
    // A method chosen in the picker is a change of the grid, even before it reaches the cell.
    MethodNameSelect->OnClick = [this] { Modified = true; };
    // The picker follows its cell when the grid scrolls.
    auto follow = [this] {
        if (MethodNameSelect->isVisible()) placePicker(SequenceTable->GetCol(), SequenceTable->GetRow());
    };
    connect(SequenceTable->verticalScrollBar(), &QScrollBar::valueChanged, this, follow);
    connect(SequenceTable->horizontalScrollBar(), &QScrollBar::valueChanged, this, follow);

    BtnAddSequence->OnClick = [this] { BtnAddSequenceClick(); };
    BtnDeleteSequence->OnClick = [this] { BtnDeleteSequenceClick(); };
    BtnAddMethod->OnClick = [this] { BtnAddMethodClick(); };
    BtnInsertMethod->OnClick = [this] { BtnInsertMethodClick(); };
    BtnDeleteMethod->OnClick = [this] { BtnDeleteMethodClick(); };
    BtnSave->OnClick = [this] { BtnSaveClick(); };
    BtnSaveAs->OnClick = [this] { BtnSaveAsClick(); };
    BtnPrint->OnClick = [this] { BtnPrintClick(); };
    BtnLoad->OnClick = [this] { BtnLoadClick(); };
    BtnCancel->OnClick = [this] { BtnCancelClick(); };
    BtnClose->OnClick = [this] { BtnCloseClick(); };
    // Escape and the title bar's close box ask about pending changes as Close does: neither a
    // key press nor the close box loses edits.
    SetCancelButton(BtnClose);
    OnCloseQuery = [this](bool& canClose) { closeQuery(canClose); };
    OnShow = [this] { FormShow(); };

    if (!EditSequenceDialog) EditSequenceDialog = this;
    FormCreate();
}

TEditSequenceDialog::~TEditSequenceDialog() {
    if (EditSequenceDialog == this) EditSequenceDialog = nullptr;
}

void TEditSequenceDialog::FormCreate() {
    TranslateComponent(this);
}

// ---- helpers

QString TEditSequenceDialog::selectedName() const {
    const int i = SequenceNameList->GetItemIndex();
    return i >= 0 ? SequenceNameList->item(i)->text() : QString();
}

bool TEditSequenceDialog::selectName(const QString& name) {
    const int i = SequenceNameList->GetItems()->IndexOf(name);
    if (i < 0) return false;
    SequenceNameList->SetItemIndex(i);
    return true;
}

void TEditSequenceDialog::refillList() {
    // Emptying the list drops its selection; that is no click of the operator. The selected
    // sequence stays selected while it is stored, so a refused name leaves the editor on it.
    const QSignalBlocker quiet(SequenceNameList);
    const QString keep = selectedName();
    CSequenceNames().FillListBox(SequenceNameList);
    if (!keep.isEmpty()) selectName(keep);
}

void TEditSequenceDialog::status(const QString& text) {
    StatusLbl->SetCaption(text);
}

void TEditSequenceDialog::closeCellEditor() {
    SequenceTable->SetEditorMode(false);
}

void TEditSequenceDialog::placePicker(int col, int row) {
    const QRect cell = SequenceTable->CellRect(col, row);
    if (cell.isEmpty()) {
        MethodNameSelect->hide();
        return;
    }
    MethodNameSelect->setGeometry(cell.x(), cell.y(), SequenceTable->GetColWidths(col),
                                  SequenceTable->GetRowHeights(row));
    MethodNameSelect->SetDropDownCount(8);
    MethodNameSelect->show();
    MethodNameSelect->raise();
}

void TEditSequenceDialog::moveCurrentCell(int col, int row) {
    bool canSelect = true;
    SequenceTableSelectCell(nullptr, col, row, canSelect);
    selfMove_ = true;
    SequenceTable->SetCurrentCell(col, row);
    selfMove_ = false;
}

void TEditSequenceDialog::copyLine(int from, int to) {
    SequenceTable->SetCells(kMethodCol, to, SequenceTable->GetCells(kMethodCol, from));
    SequenceTable->SetCells(kRunsCol, to, SequenceTable->GetCells(kRunsCol, from));
}

void TEditSequenceDialog::fillRecord(TSequenceINIParams& rec, const QString& name) {
    rec.Name = name;
    for (int r = 1; r < SequenceTable->GetRowCount(); ++r) {
        rec.MethodList.Add(SequenceTable->GetCells(kMethodCol, r));
        rec.RunList.Add(SequenceTable->GetCells(kRunsCol, r));
    }
}

// ---- showing

void TEditSequenceDialog::FormShow() {
    Modified = false;
    refillList();
    // With nothing stored the grid holds no sequence: a name kept from an earlier opening would
    // receive the changes made in it.
    CurrentSequenceName.clear();
    if (SequenceNameList->GetCount() > 0) {
        SequenceNameList->SetItemIndex(0);
        CurrentSequenceName = selectedName();
    }
    SequenceTable->SetCells(kMethodCol, 0, _("Method Name"));
    SequenceTable->SetCells(kRunsCol, 0, _("Runs"));
    LoadSelectedSequence();
    CMethodNames().FillComboBox(MethodNameSelect);
    bool canSelect = true;
    SequenceTableSelectCell(nullptr, kMethodCol, 1, canSelect);
    CentreOn(parentWidget() ? parentWidget() : QApplication::activeWindow());
    // The editor is shown modally and becomes the active window now; its own boxes do not
    // run the activation again (that would move the list away from the sequence just chosen).
    EditSequenceDialogOnActivate();
}

void TEditSequenceDialog::EditSequenceDialogOnActivate() {
    CMethodNames().FillComboBox(MethodNameSelect);
    bool canSelect = true;
    SequenceTableSelectCell(nullptr, kMethodCol, 1, canSelect);
    status(QString());
    const QString runName = InstrumentModule ? InstrumentModule->Sequence.Name : QString();
    // A run's sequence that is no longer stored leaves the selection where it is.
    if (!runName.isEmpty() && selectName(runName)) SequenceNameChanged();
}

bool TEditSequenceDialog::LoadSelectedSequence() {
    const QString name = selectedName();
    const bool selected = SequenceNameList->GetItemIndex() >= 0;
    closeCellEditor();
    SequenceTable->SetRowCount(2);
    SequenceTable->SetCells(kMethodCol, 1, QString());
    SequenceTable->SetCells(kRunsCol, 1, QString());
    loadedName_ = selected ? name : QString();
    loadedStored_ = false;
    loadedLines_.clear();
    if (selected) {
        TSequenceINIParams rec;
        rec.Name = name;
        loadedStored_ = CSequenceNames().LoadSequence(rec);
        loadedLines_ = linesOf(rec);
        for (int k = 0; k < rec.MethodList.GetCount(); ++k) {
            if (SequenceTable->GetRowCount() < k + 2) SequenceTable->SetRowCount(k + 2);
            SequenceTable->SetCells(kMethodCol, k + 1, rec.MethodList.Get(k));
            SequenceTable->SetCells(kRunsCol, k + 1,
                                    k < rec.RunList.GetCount() ? rec.RunList.Get(k) : QString());
        }
    }
    moveCurrentCell(kMethodCol, 1);
    Modified = false;
    return selected;
}

void TEditSequenceDialog::SequenceNameChanged() {
    status(QString());
    AskSaveChanges(CurrentSequenceName);
    if (!Modified) {
        LoadSelectedSequence();
        CurrentSequenceName = selectedName();
    }
}

bool TEditSequenceDialog::AskSaveChanges(const QString& given) {
    if (!Modified) return true;
    const QString name = given.isEmpty() ? selectedName() : given;
    // Without a name there is nowhere to save to: the changes stay pending (Create Sequence
    // or Save As gives them one).
    if (name.isEmpty()) return false;
    ErrorText = _("Save changes for the sequence") + " " + quoted(name) + "?";
    // Yes is the default: Enter keeps the edits rather than throwing them away.
    if (messageBox(ErrorText, _("Please, confirm"), MsgButtons::YesNo, mrYes) != mrYes) {
        Modified = false;
        return true;
    }
    ErrorText.clear();
    if (!ValidateSequence()) {
        ErrorText =
            _("You can not save changes. Please, correct the following errors in your submission:\n") +
            ErrorText;
        messageBox(ErrorText, _("Warning"));
        selectName(name);
        return false;
    }
    const bool stored = StoreSequence(name.toStdString());
    if (SequenceNameList->GetItems()->IndexOf(name) < 0) refillList();
    selectName(name);
    if (!stored) {
        // The edits stay in the grid and stay pending: nothing is lost by a refused write.
        if (!storeDeclined_) messageBox(_("Error while storing Sequence."), _("Warning"));
        return false;
    }
    return true;
}

bool TEditSequenceDialog::confirmOverwrite(const QString& name) {
    // Only the sequence loaded here has a version to compare with; Save As onto another stored
    // sequence asks its own question.
    if (name.isEmpty() || name.compare(loadedName_, Qt::CaseInsensitive) != 0) return true;
    QStringList now;
    const bool stored = storedLines(name, now);
    QStringList changes;
    auto listed = [](const QStringList& lines) { return lines.isEmpty() ? _("none") : lines.join(", "); };
    if (stored != loadedStored_) {
        changes << (stored ? _("it was stored by another program") : _("it was deleted"));
    } else if (stored && now != loadedLines_) {
        changes << fillFirst(_("lines when loaded: %s"), listed(loadedLines_))
                << fillFirst(_("lines stored now: %s"), listed(now));
    }
    if (changes.isEmpty()) return true;
    // No is the default: the edits stay here either way, but a stray Enter must not destroy
    // what another program stored.
    const QString question =
        fillInOrder(_("Sequence \"%s\" was changed elsewhere since it was loaded here:\n%s\n\nOverwrite it "
                      "with the changes made here?"),
                    {name, "- " + changes.join("\n- ")});
    return messageBox(question, _("Warning"), MsgButtons::YesNo, mrNo, MsgIcon::Warning) == mrYes;
}

void TEditSequenceDialog::rememberStored(const QString& name) {
    loadedName_ = name;
    loadedStored_ = storedLines(name, loadedLines_);
}

// ---- the grid

void TEditSequenceDialog::SequenceTableSelectCell(QObject* sender, int col, int row, bool& canSelect) {
    canSelect = true;
    const int curRow = SequenceTable->GetRow();
    if (SequenceTable->GetCol() == kMethodCol && MethodNameSelect->GetItemIndex() >= 0 && sender)
        SequenceTable->SetCells(kMethodCol, curRow, MethodNameSelect->GetText());
    if (col == kMethodCol) {
        MethodNameSelect->hide();
        MethodNameSelect->SetItemIndex(
            MethodNameSelect->GetItems()->IndexOf(SequenceTable->GetCells(col, row)));
        placePicker(col, row);
    } else {
        MethodNameSelect->hide();
    }
    for (int r = 1; r < SequenceTable->GetRowCount(); ++r) SequenceTable->SetCells(0, r, QString());
    SequenceTable->SetCells(0, row, QStringLiteral(">>>"));
    if (sender) Modified = true;
}

void TEditSequenceDialog::SequenceTableOnSetEditText(int, int, const QString&) {
    Modified = true;
}

void TEditSequenceDialog::OnExitSequenceName() {
    if (SequenceTable->GetCol() == kMethodCol && MethodNameSelect->GetItemIndex() >= 0)
        SequenceTable->SetCells(kMethodCol, SequenceTable->GetRow(), MethodNameSelect->GetText());
}

void TEditSequenceDialog::BtnAddMethodClick() {
    closeCellEditor();
    const int n = SequenceTable->GetRowCount();
    SequenceTable->SetRowCount(n + 1);
    SequenceTable->SetCells(kMethodCol, n, QString());
    SequenceTable->SetCells(kRunsCol, n, QString());
    Modified = true;
}

void TEditSequenceDialog::BtnInsertMethodClick() {
    closeCellEditor();
    const int n = SequenceTable->GetRowCount();
    const int cur = SequenceTable->GetRow();
    SequenceTable->SetRowCount(n + 1);
    for (int r = n; r > cur; --r) copyLine(r - 1, r);
    SequenceTable->SetCells(kMethodCol, cur, QString());
    SequenceTable->SetCells(kRunsCol, cur, QString());
    if (SequenceTable->GetCol() == kMethodCol) {
        bool canSelect = true;
        SequenceTableSelectCell(nullptr, kMethodCol, cur, canSelect);
    }
    Modified = true;
}

void TEditSequenceDialog::BtnDeleteMethodClick() {
    closeCellEditor();
    const int n = SequenceTable->GetRowCount();
    if (n < 3) {
        SequenceTable->SetCells(kMethodCol, 1, QString());
        SequenceTable->SetCells(kRunsCol, 1, QString());
    } else {
        for (int r = SequenceTable->GetRow(); r < n - 1; ++r) copyLine(r + 1, r);
        SequenceTable->SetRowCount(n - 1);
    }
    bool canSelect = true;
    const int col = SequenceTable->GetCol(), row = SequenceTable->GetRow();
    if (col == kMethodCol) {
        SequenceTableSelectCell(nullptr, kMethodCol, row, canSelect);
    } else {
        // The last line may have gone: the marker follows the current row.
        for (int r = 1; r < SequenceTable->GetRowCount(); ++r) SequenceTable->SetCells(0, r, QString());
        SequenceTable->SetCells(0, row, QStringLiteral(">>>"));
    }
    Modified = true;
}

// ---- sequences

void TEditSequenceDialog::BtnAddSequenceClick() {
    AskSaveChanges(QString());
    QString name;
    WideInputQueryCust(_("Create Sequence"), _("Sequence Name:"), _("Cancel"), name);
    if (startsOrEndsWithBlank(name)) {
        messageBox(blankNameText(name), _("Error!"));
    } else if (SequenceNameList->GetItems()->IndexOf(name) >= 0) {
        messageBox(fillFirst(_("Sequence Name \"%s\" already exist. Please, pick another one."), name),
                   _("Error!"));
    } else if (!name.isEmpty()) {
        CSequenceNames().AddSequence(name.toStdString());
        refillList();
        selectName(name);
    }
    SequenceNameChanged();
}

void TEditSequenceDialog::BtnDeleteSequenceClick() {
    const QString name = selectedName();
    if (name.isEmpty()) {
        // Said rather than asked: there is nothing to delete, and the store would only answer
        // "Can't Delete Sequence!".
        messageBox(_("No Sequence Name selected."), _("Warning"));
        return;
    }
    // Pending changes are offered first, as Close offers them: they are not dropped unasked,
    // and a save after the delete would store the deleted sequence again.
    if (!AskSaveChanges(CurrentSequenceName)) return;
    // Cancel is the default: a stray Enter must not delete a stored sequence.
    if (messageBox(fillFirst(_("Delete Sequence \"%s\"?"), name), _("Please, confirm"), MsgButtons::OKCancel,
                   mrCancel) != mrOk) {
        SequenceNameChanged();
        return;
    }
    const bool deleted = CSequenceNames().DeleteSequence(name.toStdString());
    refillList();
    if (SequenceNameList->GetCount() > 0) SequenceNameList->SetItemIndex(0);
    SequenceNameChanged();
    // After the selection change, which clears the status line. A delete that failed (the box
    // of the store said why) does not say "deleted".
    status(fillFirst(deleted ? _("Sequence \"%s\" deleted.") : _("Sequence \"%s\" not deleted."), name));
    if (deleted) recordStored(StoredRecord::Sequence, name);
}

bool TEditSequenceDialog::ValidateSequence() {
    closeCellEditor();
    const int rows = SequenceTable->GetRowCount();
    bool ok = true;
    if (rows == 2 && SequenceTable->GetCells(kMethodCol, 1).isEmpty()) {
        ErrorText += _("at least one method has to be defined\n");
        ok = false;
    }
    CMethodNames methods;
    for (int r = 1; r < rows; ++r) {
        const QString m = SequenceTable->GetCells(kMethodCol, r);
        if (m.isEmpty()) continue;
        if (!methods.MethodExists(m)) {
            ErrorText += _("- method ") + m + _(" does not exist\n");
            ok = false;
        } else {
            TMethodINIParams rec;
            rec.Name = m.toStdString();
            if (methods.LoadMethod(rec) && rec.IsFlushMethod() && r != rows - 1) {
                ErrorText += _("- The Flash method ") + m + _(" should be the last one in Sequence\n");
                ok = false;
            }
        }
        const QString runs = SequenceTable->GetCells(kRunsCol, r);
        if (runs.isEmpty()) {
            ErrorText += _("- Runs for method ") + m + _(" should be defined\n");
            ok = false;
        } else if (strToIntDef(runs.toStdString(), -1) < 1) {
            ErrorText += _("- Runs for method ") + m + _(" should be a positive number\n");
            ok = false;
        }
    }
    return ok;
}

bool TEditSequenceDialog::StoreSequence(const std::string& given) {
    closeCellEditor();
    const QString name = given.empty() ? selectedName() : QString::fromStdString(given);
    storeDeclined_ = !confirmOverwrite(name);
    if (storeDeclined_) return false;
    TSequenceINIParams rec;
    fillRecord(rec, name);
    bool ok = false;
    std::string failure;
    try {
        ok = CSequenceNames().SaveSequence(rec);
    } catch (const std::exception& e) {
        failure = e.what();
    }
    std::string line = "#EditSequence: SaveSequence(" + std::string(ok ? "success" : "failed") +
                       "): " + name.toStdString() + "|";
    for (int i = 0; i < rec.MethodList.GetCount(); ++i)
        line += "|" + rec.MethodList.Get(i).toStdString() + "|" + rec.RunList.Get(i).toStdString() + "|";
    line += "|";
    logLine(line);
    if (!failure.empty()) logLine("#EditSequence: " + failure);
    // A refused write leaves the changes pending, so they are offered again.
    if (ok) {
        Modified = false;
        rememberStored(name);
        recordStored(StoredRecord::Sequence, name);
    }
    return ok;
}

void TEditSequenceDialog::BtnSaveClick() {
    const QString name = selectedName();
    if (name.isEmpty()) {
        messageBox(_("No Sequence Name selected."), _("Warning"));
        return;
    }
    ErrorText.clear();
    if (ValidateSequence()) {
        if (StoreSequence(name.toStdString())) {
            status(fillFirst(_("Sequence \"%s\" saved"), name));
        } else {
            if (!storeDeclined_) messageBox(_("Error while storing Sequence."), _("Warning"));
            status(fillFirst(_("Sequence \"%s\" not saved"), name));
        }
    } else {
        messageBox(_("Please, correct the following errors in your submission:\n") + ErrorText, _("Warning"));
        status(fillFirst(_("Sequence \"%s\" not saved"), name));
    }
    CurrentSequenceName = name;
}

void TEditSequenceDialog::BtnSaveAsClick() {
    ErrorText.clear();
    if (!ValidateSequence()) {
        messageBox(
            _("This Sequence can not be saved. Please, correct the following errors in your submission:\n") +
                ErrorText,
            _("Warning"));
        return;
    }
    QString typed;
    for (;;) {
        QString name = typed;
        if (!inputQuery(QStringLiteral("Save As Sequence"), QStringLiteral("New Sequence Name:"), name))
            return;
        typed = name;
        if (name.isEmpty()) {
            messageBox(_("Please, enter Sequence name."), _("Warning"));
            continue;
        }
        if (startsOrEndsWithBlank(name)) {
            messageBox(blankNameText(name), _("Warning"));
            continue;
        }
        // A name the store refuses is said at once, with the reason, and asked again.
        if (!CSequenceNames::IsValidName(name.toStdString())) {
            messageBox(fillFirst(_("The name \"%s\" can not be used: "), name) +
                           QString::fromStdString(Registry::keyNameProblem(name.toStdString())),
                       _("Warning"));
            continue;
        }
        const bool exists = SequenceNameList->GetItems()->IndexOf(name) >= 0;
        if (exists) {
            ErrorText = _("Sequence Name") + " " + quoted(name) + _(" already exist. Overwtire?");
            const MsgResult r = messageBox(ErrorText, _("Warning"), MsgButtons::YesNoCancel, mrNo);
            if (r == mrCancel) return;
            if (r != mrYes) continue;
        }
        // One write, which replaces a stored sequence as a whole or makes a new one: a refused
        // write leaves the store, the list and the selection as they were, and the edits pending.
        if (!StoreSequence(name.toStdString())) {
            if (!storeDeclined_) messageBox(_("Error while storing Sequence."), _("Warning"));
            status(fillFirst(_("Sequence \"%s\" not saved"), name));
            return;
        }
        refillList();
        selectName(name);
        // The grid now is this sequence, also when it replaced one: pending changes go to it
        // from here on, not to the sequence the lines came from.
        CurrentSequenceName = selectedName().isEmpty() ? name : selectedName();
        status(_("Sequence") + " " + quoted(name) + " " + (exists ? _("replaced") : _("added")));
        return;
    }
}

// ---- leaving

int TEditSequenceDialog::CheckMissingMethods(const TWideStrings& names) {
    bool anyName = false;
    for (int i = 0; i < names.GetCount(); ++i) anyName = anyName || !names.Get(i).isEmpty();
    if (!anyName) {
        messageBox(_("Please, define at least one Method.\n\nYou can not continue."), _("Error!"));
        return mrNo;
    }
    QString missing;
    CMethodNames methods;
    for (int i = 0; i < names.GetCount(); ++i) {
        const QString m = names.Get(i);
        if (!m.isEmpty() && !methods.MethodExists(m)) missing += QStringLiteral("\n- ") + m;
    }
    if (!missing.isEmpty()) {
        ErrorText = _("The following Method Names for the Sequence are missing: ") + missing +
                    _("\n\nYou can not continue.");
        messageBox(ErrorText, _("Warning"));
        return mrNo;
    }
    return mrYes;
}

void TEditSequenceDialog::BtnLoadClick() {
    if (unnamedChanges()) {
        messageBox(_("No Sequence Name selected: the changes can not be saved and nothing is loaded. Use "
                     "Save As to store them under a name."),
                   _("Warning"));
        return;
    }
    if (!AskSaveChanges(QString())) return;
    const QString name = selectedName();
    if (!name.isEmpty() && !handOnSelected(name)) return;
    Close();
}

bool TEditSequenceDialog::handOnSelected(const QString& name) {
    closeCellEditor();
    // The run gets the stored sequence, which may differ from the grid (changes answered No, or
    // stored by another program meanwhile): that is what is checked.
    TSequenceINIParams rec;
    rec.Name = name;
    if (!CSequenceNames().LoadSequence(rec)) {
        messageBox(fillFirst(_("Sequence \"%s\" is no longer stored."), name), _("Warning"));
        showFirstStored();
        return false;
    }
    if (CheckMissingMethods(rec.MethodList) != mrYes) return false;
    status(_("Current Sequence: ") + name);
    if (OnSetDefaultSequence) OnSetDefaultSequence(name.toStdString());
    return true;
}

void TEditSequenceDialog::showFirstStored() {
    refillList();
    if (SequenceNameList->GetCount() > 0 && SequenceNameList->GetItemIndex() < 0)
        SequenceNameList->SetItemIndex(0);
    LoadSelectedSequence();
    CurrentSequenceName = selectedName();
}

void TEditSequenceDialog::BtnPrintClick() {
    closeCellEditor();
    TSequenceINIParams rec;
    fillRecord(rec, selectedName());
    PrintSequenceReport(rec, this);
}

void TEditSequenceDialog::BtnCancelClick() {
    LoadSelectedSequence();
    Modified = false;
    Close();
}

void TEditSequenceDialog::BtnCloseClick() {
    // Asked here, not only by the close event: the question stands whether or not the window
    // system takes the window as shown.
    bool canClose = true;
    closeQuery(canClose);
    if (!canClose) return;
    closeAsked_ = true;
    Close();
    closeAsked_ = false;
}

void TEditSequenceDialog::closeQuery(bool& canClose) {
    if (closeAsked_) return;
    if (unnamedChanges()) {
        messageBox(_("No Sequence Name selected: the changes are not saved."), _("Warning"));
        return;
    }
    // The answered save failed (invalid lines, a refused write, declined over another's
    // changes): the window stays open with the edits.
    if (!AskSaveChanges(QString())) canClose = false;
}

bool TEditSequenceDialog::unnamedChanges() const {
    return Modified && selectedName().isEmpty();
}
