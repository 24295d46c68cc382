// The method editor: the modal window "Edit Methods" that lists the stored methods, loads the
// selected one into its fields, flag boxes and two timetables, checks what the operator types,
// and saves, copies, deletes and prints methods through the method store.
#pragma once
#include <QColor>
#include <QString>
#include <functional>
#include <string>

#include "methods/MethodParams.h"
#include "unicode/UxControls.h"
#include "unicode/UxForms.h"

class TEditMethodForm : public TUxForm {
    Q_OBJECT
  public:
    explicit TEditMethodForm(QWidget* owner = nullptr);  // builds the window, runs FormOnCreate
    ~TEditMethodForm() override;

    TUxListBox* MethodNameList;
    TUxGroupBox* GroupBox1;
    TUxButton* BtnAddMethod;
    TUxButton* BtnDeleteMethod;
    TUxPageControl* PageControlTT;
    TUxButton* SaveBtn;
    TUxButton* CancelBtn;
    TUxButton* PrintBtn;
    TUxTabSheet* TabSheet1;
    TUxTabSheet* TabSheet2;
    TUxStringGrid* PumpTimetable;
    TUxStringGrid* ColumnTimetable;
    TUxButton* BtnPumpsTTAdd;
    TUxButton* BtnPumpsTTInsert;
    TUxButton* BtnPumpsTTDelete;
    TUxButton* BtnColTTAdd;
    TUxButton* BtnColTTInsert;
    TUxButton* BtnColTTDelete;
    TUxGroupBox* GroupBox3;
    TUxLabel* StatusLbl;
    TUxButton* CloseBtn;
    TUxButton* SaveAsBtn;
    TUxButton* HelpBtn;
    TUxPageControl* PageControl1;
    TUxTabSheet* TabSheet3;
    TUxTabSheet* TabSheet4;
    TUxLabel* RuntimeLabel;
    TUxEdit* Runtime;
    TUxLabel* EquilTimeLbl;
    TUxEdit* EquilTime;
    TUxLabel* ColumnTINILabel;
    TUxEdit* ColumnTINI;
    TUxLabel* ColumnTypeLabel;
    TUxEdit* ColumnD;
    TUxLabel* ReactorTINILabel;
    TUxEdit* ReactorTINI;
    TUxLabel* ReactorTypeLabel;
    TUxEdit* ReactorType;
    TUxLabel* Pump1FlowRateLbl;
    TUxEdit* Pump1FlowRate;
    TUxLabel* Reagent1Label;
    TUxEdit* Reagent1;
    TUxLabel* Pump2FlowRateLbl;
    TUxEdit* Pump2FlowRate;
    TUxLabel* Reagent2Label;
    TUxEdit* Reagent2;
    TUxCheckBox* FlushMethodChkBx;
    TUxCheckBox* PowerCoolingMethodChkBx;

    QColor StatusColor;             // the status line's colour as designed
    QString MessageText;            // lines of the final validation; working text of the messages
    bool Modified = false;          // the controls hold changes that are not stored
    std::string CurrentMethodName;  // the method last loaded into the controls

    // False only while the code itself sets a flag box (its OnClick then asks nothing).
    bool CheckBoxClickByUser = true;
    // Flag notes and the conflict text, translated once at creation.
    QString FlushNote;
    QString PowerCoolingNote;
    QString ConflictText;

    void FormOnCreate();
    void FormOnShow();
    void FormOnActivate();
    // The load of the selected method; with a sender (a click on the list) pending changes
    // are offered for saving first.
    void OnClickMethodNameList(QObject* Sender = nullptr);
    bool AskSaveChanges(const std::string& name);
    bool StoreMethod(const std::string& name);
    bool ValidateMethod();

    void BtnAddMethodClick();
    void BtnDeleteMethodClick();
    void BtnSaveClick();
    void SaveAsBtnClick();
    void BtnCancelClick();
    void CloseBtnClick();
    void PrintBtnClick();
    void HelpBtnClick();
    void EditMethodFormOnClose(bool& canClose);

    void OnChangeRuntime() { Modified = true; }
    void OnChangeEquilTime() { Modified = true; }
    void OnChangeColumnTINI() { Modified = true; }
    void OnChangeColumnD() { Modified = true; }
    void OnChangeReactorTINI() { Modified = true; }
    void OnChangeReactorType() { Modified = true; }
    void OnChangePump1FlowRate() { Modified = true; }
    void OnChangeReagent1() { Modified = true; }
    void OnChangePump2FlowRate() { Modified = true; }
    void OnChangeReagent2() { Modified = true; }
    void PumpsTTOnSetEditText(int, int, const QString&) { Modified = true; }
    void ColumnTTOnSetEditText(int, int, const QString&) { Modified = true; }

    // Checks on leaving a field: a warning, and the focus goes back to the field.
    void RuntimeOnExit();
    void EquilTimeOnExit();
    void ColumnTINIOnExit();
    void ReactorTINIOnExit();
    void Pump1FlowRateOnExit();
    void Pump2FlowRateOnExit();

    // Checks of the cell being left.
    void PumpsTTOnSelectCell(int col, int row, bool& canSelect);
    void ColumnTTOnSelectCell(int col, int row, bool& canSelect);
    void PumpTimetableOnExit();
    void ColumnTimetableOnExit();

    void BtnPumpsTTAddClick();
    void BtnPumpsTTInsertClick();
    void BtnPumpsTTDeleteClick();
    void BtnColTTAddClick();
    void BtnColTTInsertClick();
    void BtnColTTDeleteClick();
    // A column timetable row dragged by its left cell from one data row to another: the rows
    // between move up or down by one, and the moved row becomes the current one.
    void ColumnTTRowMoved(int fromRow, int toRow);

    void FlushMethodChkBxClick();
    void PowerCoolingMethodChkBxClick();
    void SetFlushChecked(bool checked);
    void SetPowerCoolingChecked(bool checked);
    void ShowMethodKind();

    // The record as the controls show it (name from the selected item when name is empty).
    void RecordFromControls(TMethodINIParams& rec, const std::string& name) const;
    // The daily-log line of a save.
    static std::string SaveLogLine(const TMethodINIParams& rec, bool success);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void buildControls();
    void wireEvents();
    std::string selectedName() const;
    // Lists the stored methods again; the selected name stays selected when it is still there.
    void refillList();
    // Selects the item equal to name (without regard to case); false when there is none, and
    // then the selection stays as it was.
    bool selectName(const std::string& name);
    void loadSelected() { OnClickMethodNameList(nullptr); }
    void setStatus(const QString& text);
    void warn(const QString& text);
    void fieldExit(const std::function<void()>& check);
    bool checkCell(TUxStringGrid* grid, bool pumpGrid, const QString& flowText);
    void flagClick(TUxCheckBox* clicked, TUxCheckBox* other, const QString& question);
    static void addRow(TUxStringGrid* grid);
    static void insertRow(TUxStringGrid* grid);
    static void deleteRow(TUxStringGrid* grid);

    // Before a store over the method loaded here: when the stored method changed since it was
    // loaded, asks whether to overwrite it; false when the operator declines.
    bool confirmOverwrite(const std::string& name);
    // The stored method as it was loaded (or last stored) here, and whether it was stored.
    TMethodINIParams loaded_;
    bool loadedStored_ = false;
    // The last StoreMethod stored nothing because the operator declined to overwrite.
    bool storeDeclined_ = false;

    bool listFilling_ = false;  // the list is being refilled: its selection events are ours
    bool inFieldCheck_ = false;
    bool activatePending_ = false;
    int dragFromRow_ = 0;  // the column timetable row being dragged, 0 when none
};

extern TEditMethodForm* EditMethodForm;
