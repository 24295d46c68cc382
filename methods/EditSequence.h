// The sequence editor: the stored sequences in a list, the selected one's lines in a grid
// (the working copy; nothing reaches the store until the operator saves), and the commands to
// create, delete, save, save under a new name, print and load a sequence for the next run.
#pragma once
#include <QString>
#include <QStringList>
#include <functional>
#include <string>

#include "unicode/UxControls.h"
#include "unicode/UxForms.h"

// Makes the named sequence the one of the next run (the main window sets it). Shared by the
// editor and the load-sequence dialog.
extern std::function<void(const std::string& name)> OnSetDefaultSequence;

class TSequenceINIParams;

class TEditSequenceDialog : public TUxForm {
    Q_OBJECT
  public:
    explicit TEditSequenceDialog(QWidget* owner = nullptr);  // runs FormCreate
    ~TEditSequenceDialog() override;

    TUxGroupBox* CurrentSequenceGroupBox;
    TUxLabel* StatusLbl;
    TUxListBox* SequenceNameList;
    TUxLabel* SequenceNameLabel;
    TUxGroupBox* EditSequenceGroupBox;
    TUxButton* BtnAddSequence;
    TUxButton* BtnDeleteSequence;
    TUxButton* BtnAddMethod;
    TUxButton* BtnInsertMethod;
    TUxButton* BtnDeleteMethod;
    TUxButton* BtnSaveAs;
    TUxButton* BtnCancel;
    TUxButton* BtnPrint;
    TUxStringGrid* SequenceTable;
    TUxComboBox* MethodNameSelect;
    TUxButton* BtnSave;
    TUxButton* BtnLoad;
    TUxButton* BtnClose;

    void FormCreate();
    void FormShow();
    void EditSequenceDialogOnActivate();
    void SequenceNameChanged();
    // sender: the grid when the operator moves the current cell, nullptr when the editor does.
    void SequenceTableSelectCell(QObject* sender, int col, int row, bool& canSelect);
    void SequenceTableOnSetEditText(int col, int row, const QString& value);
    void OnExitSequenceName();
    void BtnAddSequenceClick();
    void BtnDeleteSequenceClick();
    void BtnAddMethodClick();
    void BtnInsertMethodClick();
    void BtnDeleteMethodClick();
    void BtnSaveClick();
    void BtnSaveAsClick();
    void BtnPrintClick();
    void BtnLoadClick();
    void BtnCancelClick();
    void BtnCloseClick();

    // Fills the grid from the store; false when no sequence is selected.
    bool LoadSelectedSequence();
    // Offers to save pending changes under name (the selected sequence when empty); true when
    // no changes are pending afterwards.
    bool AskSaveChanges(const QString& name);
    // Appends one text per problem of the grid to ErrorText; true when it may be stored.
    bool ValidateSequence();
    // Writes the grid as the named sequence (the selected one when empty) and logs it.
    bool StoreSequence(const std::string& name);
    // 6 when every named method is stored, 7 (after telling why) when not.
    int CheckMissingMethods(const TWideStrings& names);

    bool Modified = false;
    QString ErrorText;
    QString CurrentSequenceName;

  private:
    QString selectedName() const;
    // Changes are pending and no sequence is selected to save them to.
    bool unnamedChanges() const;
    // Selects the item equal to name (letter case aside); false, selection unchanged, when absent.
    bool selectName(const QString& name);
    void refillList();
    // The editor's own move of the current cell: the picker is placed, nothing is committed.
    void moveCurrentCell(int col, int row);
    void placePicker(int col, int row);
    void copyLine(int from, int to);
    void fillRecord(TSequenceINIParams& rec, const QString& name);
    void closeCellEditor();
    void status(const QString& text);

    // Before a store over the sequence loaded here: when the stored sequence changed since it
    // was loaded, asks whether to overwrite it; false when the operator declines.
    bool confirmOverwrite(const QString& name);
    // After a store: the stored version is the one later saves compare with.
    void rememberStored(const QString& name);
    // The closing of the window (Close, Escape, the title bar's close box): pending changes are
    // offered first, and a failed save keeps the window open.
    void closeQuery(bool& canClose);
    // Makes the stored sequence of the selected name the one of the next run, after checking its
    // methods; false (the editor stays open) when it is not stored or a method is missing.
    bool handOnSelected(const QString& name);
    // Lists the stored sequences again and shows the first, after the selected one went.
    void showFirstStored();

    // The stored sequence as it was loaded (or last stored) here: its name, whether it was
    // stored, and its lines as "method|runs".
    QString loadedName_;
    bool loadedStored_ = false;
    QStringList loadedLines_;
    // The last StoreSequence stored nothing because the operator declined to overwrite.
    bool storeDeclined_ = false;

    bool closeAsked_ = false;  // Close asked already: the close event asks nothing more
    bool selfMove_ = false;
};

extern TEditSequenceDialog* EditSequenceDialog;
