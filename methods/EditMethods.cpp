#include "methods/EditMethods.h"

#include <QApplication>
#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMouseEvent>
#include <QScrollBar>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <exception>

#include "link/Instrument.h"
#include "link/LogFile.h"
#include "methods/EditorNotice.h"
#include "methods/PrintMethod.h"
#include "platform/CaseFold.h"
#include "platform/Dialogs.h"
#include "platform/Help.h"
#include "platform/i18n.h"
#include "unicode/UxDialogs.h"

TEditMethodForm* EditMethodForm = nullptr;

namespace {

constexpr int kHelpContext = 600;
const QColor kNoteColor(255, 0, 0);
const char* const kDegrees =
    " \xC2\xB0"
    "C.";  // " °C.", never translated

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

std::string s8(const QString& s) {
    return s.toStdString();
}

// A whole number, -1 when the text is not one.
int wholeNumber(const QString& text) {
    return strToIntDef(s8(text), -1);
}

bool decimalNumber(const QString& text, double& out) {
    return tryStrToFloat(s8(text), out);
}

double decimalOr(const QString& text, double fallback) {
    double v = 0.0;
    return decimalNumber(text, v) ? v : fallback;
}

// Fixed decimals with the locale separator; halves round away from zero.
QString formatFixed(double v, int decimals) {
    const double scale = std::pow(10.0, decimals);
    const double scaled = v * scale;
    const double r = std::isfinite(scaled) ? std::round(scaled) / scale : v;
    std::string s = cformat("%.*f", decimals, r);
    if (!s.empty() && s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos) s.erase(0, 1);
    for (char& c : s)
        if (c == '.') c = DecimalSeparator();
    return q(s);
}

// At least two digits, rounded to whole units: -1 gives "-01".
QString formatTwoDigits(double v) {
    const double r = std::round(v);
    std::string s = cformat("%02.0f", std::fabs(r));
    if (r < 0) s.insert(0, "-");
    return q(s);
}

// The instrument's current method, "" without the instrument state.
std::string instrumentMethodName() {
    return InstrumentModule ? InstrumentModule->Method.Name : std::string();
}

constexpr const char* kTypedLimit = "typedLimit";

TUxEdit* makeEdit(QWidget* parent, int maxLength, const char* hint) {
    auto* e = new TUxEdit(parent);
    e->setMaxLength(maxLength);
    e->setProperty(kTypedLimit, maxLength);
    e->setToolTip(hint);
    return e;
}

// The limit is for typing: a stored text longer than that (an imported method, say) is shown
// whole, so that saving the method does not cut it.
void showText(TUxEdit* e, const std::string& text) {
    const QString t = QString::fromStdString(text);
    e->setMaxLength(std::max(e->property(kTypedLimit).toInt(), static_cast<int>(t.size())));
    e->SetText(t);
}

TUxStringGrid* makeGrid(QWidget* parent, int cols, const std::vector<int>& widths) {
    auto* g = new TUxStringGrid(parent, cols, 2);
    g->SetFixedRows(1);
    g->SetFixedCols(1);
    g->SetDefaultRowHeight(20);
    for (int c = 0; c < cols; ++c) g->SetColWidths(c, widths[static_cast<size_t>(c)]);
    g->SetEditing(true);
    g->SetTabMoves(true);
    g->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    g->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    g->horizontalHeader()->hide();
    g->verticalHeader()->hide();
    int width = 2 * g->frameWidth() + g->verticalScrollBar()->sizeHint().width();
    for (int w : widths) width += w;
    g->setMinimumSize(width + 2, 160);
    return g;
}

// Widens the columns to what their texts need (the headers are set, translated, at each
// showing) and keeps every column in view.
void fitColumns(TUxStringGrid* g) {
    int width = 2 * g->frameWidth() + g->verticalScrollBar()->sizeHint().width();
    for (int c = 0; c < g->columnCount(); ++c) {
        const int design = g->columnWidth(c);
        g->resizeColumnToContents(c);
        if (g->columnWidth(c) < design) g->SetColWidths(c, design);
        width += g->columnWidth(c);
    }
    g->setMinimumWidth(width + 2);
}

}  // namespace

TEditMethodForm::TEditMethodForm(QWidget* owner) : TUxForm(owner) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    buildControls();
    wireEvents();
    FormOnCreate();
    if (EditMethodForm == nullptr) EditMethodForm = this;
}

TEditMethodForm::~TEditMethodForm() {
    if (EditMethodForm == this) EditMethodForm = nullptr;
}

void TEditMethodForm::buildControls() {
    SetCaption("Edit Methods");

    MethodNameList = new TUxListBox(this);
    MethodNameList->setMinimumWidth(150);
    GroupBox1 = new TUxGroupBox("Method", this);
    BtnAddMethod = new TUxButton("Add", GroupBox1);
    BtnDeleteMethod = new TUxButton("Delete", GroupBox1);
    auto* methodButtons = new QHBoxLayout(GroupBox1);
    methodButtons->addWidget(BtnAddMethod);
    methodButtons->addWidget(BtnDeleteMethod);

    PageControlTT = new TUxPageControl(this);
    PageControlTT->setToolTip("Pump & Column Timetables");
    SaveBtn = new TUxButton("Save", this);
    CancelBtn = new TUxButton("Cancel", this);
    PrintBtn = new TUxButton("Print", this);
    TabSheet1 = new TUxTabSheet(PageControlTT, "Pumps");
    TabSheet2 = new TUxTabSheet(PageControlTT, "Column");
    PumpTimetable = makeGrid(TabSheet1, 4, {25, 35, 53, 53});
    ColumnTimetable = makeGrid(TabSheet2, 3, {25, 64, 64});
    BtnPumpsTTAdd = new TUxButton("Add", TabSheet1);
    BtnPumpsTTInsert = new TUxButton("Insert", TabSheet1);
    BtnPumpsTTDelete = new TUxButton("Delete", TabSheet1);
    BtnColTTAdd = new TUxButton("Add", TabSheet2);
    BtnColTTInsert = new TUxButton("Insert", TabSheet2);
    BtnColTTDelete = new TUxButton("Delete", TabSheet2);
    auto pageLayout = [](TUxTabSheet* page, TUxStringGrid* grid, std::initializer_list<TUxButton*> buttons) {
        auto* row = new QHBoxLayout(page);
        row->addWidget(grid, 1);
        auto* col = new QVBoxLayout;
        for (TUxButton* b : buttons) col->addWidget(b);
        col->addStretch();
        row->addLayout(col);
    };
    pageLayout(TabSheet1, PumpTimetable, {BtnPumpsTTAdd, BtnPumpsTTInsert, BtnPumpsTTDelete});
    pageLayout(TabSheet2, ColumnTimetable, {BtnColTTAdd, BtnColTTInsert, BtnColTTDelete});

    GroupBox3 = new TUxGroupBox(this);
    StatusLbl = new TUxLabel(GroupBox3);
    QFont bold("Arial", 9);
    bold.setBold(true);
    StatusLbl->setFont(bold);
    StatusLbl->setMinimumHeight(18);
    (new QHBoxLayout(GroupBox3))->addWidget(StatusLbl);

    CloseBtn = new TUxButton("Close", this);
    SaveAsBtn = new TUxButton("Save As", this);
    HelpBtn = new TUxButton("Help", this);

    PageControl1 = new TUxPageControl(this);
    TabSheet3 = new TUxTabSheet(PageControl1, "Initial Settings");
    TabSheet4 = new TUxTabSheet(PageControl1, "Advanced Settings");
    QWidget* p = TabSheet3;
    RuntimeLabel = new TUxLabel("Runtime, min", p);
    Runtime = makeEdit(p, 4, "Duration from injection to finishing data acquisition");
    EquilTimeLbl = new TUxLabel("Equilibration time, min", p);
    EquilTime = makeEdit(p, 4, "Take value from HPLC software");
    ColumnTINILabel = new TUxLabel(
        "Column t, \xC2\xB0"
        "C",
        p);
    ColumnTINI = makeEdit(p, 4, "Default Column Temperature");
    ColumnTypeLabel = new TUxLabel("Column Type", p);
    ColumnD = makeEdit(p, 255, "Put column name or serial number");
    ReactorTINILabel = new TUxLabel(
        "Reactor t, \xC2\xB0"
        "C",
        p);
    ReactorTINI = makeEdit(p, 4, "Set Reactor Temperature");
    ReactorTypeLabel = new TUxLabel("Reactor Volume, ml", p);
    ReactorType = makeEdit(p, 5, "Reactor Description");
    Pump1FlowRateLbl = new TUxLabel("Pump1 Flow Rate, ml/min", p);
    Pump1FlowRate = makeEdit(p, 5, "Default Pump #1 Flow Rate");
    Reagent1Label = new TUxLabel("Reagent 1", p);
    Reagent1 = makeEdit(p, 255, "Reagent #1 Description");
    Pump2FlowRateLbl = new TUxLabel("Pump2 Flow Rate, ml/min", p);
    Pump2FlowRate = makeEdit(p, 5, "Default Pump #2 Flow Rate");
    Reagent2Label = new TUxLabel("Reagent 2", p);
    Reagent2 = makeEdit(p, 255, "Reagent #2 Description");
    auto* fields = new QGridLayout(p);
    const std::pair<TUxLabel*, TUxEdit*> left[] = {{RuntimeLabel, Runtime},
                                                   {ColumnTINILabel, ColumnTINI},
                                                   {ReactorTINILabel, ReactorTINI},
                                                   {Pump1FlowRateLbl, Pump1FlowRate},
                                                   {Pump2FlowRateLbl, Pump2FlowRate}};
    const std::pair<TUxLabel*, TUxEdit*> right[] = {{EquilTimeLbl, EquilTime},
                                                    {ColumnTypeLabel, ColumnD},
                                                    {ReactorTypeLabel, ReactorType},
                                                    {Reagent1Label, Reagent1},
                                                    {Reagent2Label, Reagent2}};
    for (int r = 0; r < 5; ++r) {
        fields->addWidget(left[r].first, r, 0);
        fields->addWidget(left[r].second, r, 1);
        left[r].second->setFixedWidth(60);
        fields->addWidget(right[r].first, r, 2);
        fields->addWidget(right[r].second, r, 3);
        right[r].first->setBuddy(right[r].second);
        left[r].first->setBuddy(left[r].second);
    }
    fields->setColumnStretch(3, 1);
    FlushMethodChkBx = new TUxCheckBox("Flush Method", TabSheet4);
    PowerCoolingMethodChkBx = new TUxCheckBox("Power Cooling", TabSheet4);
    PowerCoolingMethodChkBx->setVisible(false);
    auto* advanced = new QVBoxLayout(TabSheet4);
    advanced->addWidget(FlushMethodChkBx);
    advanced->addWidget(PowerCoolingMethodChkBx);
    advanced->addStretch();

    // List and method buttons on the left; status, settings and timetables on the right; the
    // form's commands along the bottom.
    auto* leftCol = new QVBoxLayout;
    leftCol->addWidget(MethodNameList, 1);
    leftCol->addWidget(GroupBox1);
    auto* rightCol = new QVBoxLayout;
    rightCol->addWidget(GroupBox3);
    rightCol->addWidget(PageControl1);
    rightCol->addWidget(PageControlTT, 1);
    auto* top = new QHBoxLayout;
    top->addLayout(leftCol);
    top->addLayout(rightCol, 1);
    auto* bottom = new QHBoxLayout;
    for (TUxButton* b : {SaveBtn, SaveAsBtn, CancelBtn, PrintBtn, HelpBtn}) bottom->addWidget(b);
    bottom->addStretch();
    bottom->addWidget(CloseBtn);
    auto* whole = new QVBoxLayout(this);
    whole->addLayout(top, 1);
    whole->addLayout(bottom);
    whole->setSizeConstraint(QLayout::SetFixedSize);
}

void TEditMethodForm::wireEvents() {
    MethodNameList->OnClick = [this] {
        if (!listFilling_) OnClickMethodNameList(MethodNameList);
    };
    BtnAddMethod->OnClick = [this] { BtnAddMethodClick(); };
    BtnDeleteMethod->OnClick = [this] { BtnDeleteMethodClick(); };
    SaveBtn->OnClick = [this] { BtnSaveClick(); };
    SaveAsBtn->OnClick = [this] { SaveAsBtnClick(); };
    CancelBtn->OnClick = [this] { BtnCancelClick(); };
    CloseBtn->OnClick = [this] { CloseBtnClick(); };
    PrintBtn->OnClick = [this] { PrintBtnClick(); };
    HelpBtn->OnClick = [this] { HelpBtnClick(); };
    // Escape asks about pending changes as Close does: a key press loses no edits.
    SetCancelButton(CloseBtn);
    Help::setTopic(this, kHelpContext);

    Runtime->OnChange = [this] { OnChangeRuntime(); };
    EquilTime->OnChange = [this] { OnChangeEquilTime(); };
    ColumnTINI->OnChange = [this] { OnChangeColumnTINI(); };
    ColumnD->OnChange = [this] { OnChangeColumnD(); };
    ReactorTINI->OnChange = [this] { OnChangeReactorTINI(); };
    ReactorType->OnChange = [this] { OnChangeReactorType(); };
    Pump1FlowRate->OnChange = [this] { OnChangePump1FlowRate(); };
    Reagent1->OnChange = [this] { OnChangeReagent1(); };
    Pump2FlowRate->OnChange = [this] { OnChangePump2FlowRate(); };
    Reagent2->OnChange = [this] { OnChangeReagent2(); };

    Runtime->OnExit = [this] { fieldExit([this] { RuntimeOnExit(); }); };
    EquilTime->OnExit = [this] { fieldExit([this] { EquilTimeOnExit(); }); };
    ColumnTINI->OnExit = [this] { fieldExit([this] { ColumnTINIOnExit(); }); };
    ReactorTINI->OnExit = [this] { fieldExit([this] { ReactorTINIOnExit(); }); };
    Pump1FlowRate->OnExit = [this] { fieldExit([this] { Pump1FlowRateOnExit(); }); };
    Pump2FlowRate->OnExit = [this] { fieldExit([this] { Pump2FlowRateOnExit(); }); };

    PumpTimetable->OnSelectCell = [this](int c, int r, bool& can) { PumpsTTOnSelectCell(c, r, can); };
    ColumnTimetable->OnSelectCell = [this](int c, int r, bool& can) { ColumnTTOnSelectCell(c, r, can); };
    PumpTimetable->OnSetEditText = [this](int c, int r, const QString& v) { PumpsTTOnSetEditText(c, r, v); };
    ColumnTimetable->OnSetEditText = [this](int c, int r, const QString& v) {
        ColumnTTOnSetEditText(c, r, v);
    };
    PumpTimetable->OnExit = [this] { fieldExit([this] { PumpTimetableOnExit(); }); };
    ColumnTimetable->OnExit = [this] { fieldExit([this] { ColumnTimetableOnExit(); }); };
    ColumnTimetable->viewport()->installEventFilter(this);
    ColumnTimetable->setToolTip(_("Drag a row by its left cell to move it."));
    BtnPumpsTTAdd->OnClick = [this] { BtnPumpsTTAddClick(); };
    BtnPumpsTTInsert->OnClick = [this] { BtnPumpsTTInsertClick(); };
    BtnPumpsTTDelete->OnClick = [this] { BtnPumpsTTDeleteClick(); };
    BtnColTTAdd->OnClick = [this] { BtnColTTAddClick(); };
    BtnColTTInsert->OnClick = [this] { BtnColTTInsertClick(); };
    BtnColTTDelete->OnClick = [this] { BtnColTTDeleteClick(); };

    FlushMethodChkBx->OnClick = [this] { FlushMethodChkBxClick(); };
    PowerCoolingMethodChkBx->OnClick = [this] { PowerCoolingMethodChkBxClick(); };

    // The first activation of each opening comes right after OnShow; later ones only when the
    // editor comes back from another of the program's forms (not from its own boxes, which
    // would otherwise reload the method over the operator's edits).
    OnShow = [this] {
        adjustSize();
        CentreOn(parentWidget());
        FormOnShow();
        activatePending_ = false;
        FormOnActivate();
    };
    OnDeactivate = [this] {
        QWidget* now = QApplication::activeWindow();
        activatePending_ = now != nullptr && now != this && qobject_cast<TUxForm*>(now) != nullptr;
    };
    OnActivate = [this] {
        if (!activatePending_) return;
        activatePending_ = false;
        FormOnActivate();
    };
    OnCloseQuery = [this](bool& canClose) { EditMethodFormOnClose(canClose); };
}

void TEditMethodForm::FormOnCreate() {
    TranslateComponent(this);
    StatusColor = StatusLbl->GetFontColor();
    FlushNote = _(" This method will use FLUSH solution!");
    PowerCoolingNote = _(" This method will use Power Cooling Algorithm!");
    ConflictText =
        _("You can not describe one method as Flush and as Power Cooling simultaneously! Please, check only "
          "one "
          "option.");
}

void TEditMethodForm::FormOnShow() {
    refillList();
    PumpTimetable->SetCells(1, 0, _("Time, min"));
    PumpTimetable->SetCells(2, 0, _("P1,ml/min"));
    PumpTimetable->SetCells(3, 0, _("P2,ml/min"));
    ColumnTimetable->SetCells(1, 0, _("Time, min"));
    ColumnTimetable->SetCells(2, 0,
                              _("Temp, ") + QString::fromUtf8("\xC2\xB0"
                                                              "C"));
    bool can = true;
    PumpsTTOnSelectCell(1, 1, can);
    can = true;
    ColumnTTOnSelectCell(1, 1, can);
    fitColumns(PumpTimetable);
    fitColumns(ColumnTimetable);
    if (MethodNameList->GetCount() > 0) {
        MethodNameList->SetItemIndex(0);
        loadSelected();
    }
}

void TEditMethodForm::FormOnActivate() {
    StatusLbl->SetCaption(QString());
    if (MethodNameList->GetCount() == 0) return;
    const std::string current = instrumentMethodName();
    // A current method that is no longer stored is treated as no current method.
    if (current.empty() || !selectName(current)) {
        if (MethodNameList->GetItemIndex() < 0) MethodNameList->SetItemIndex(0);
    }
    loadSelected();
}

// ---------------------------------------------------------------- list and load

std::string TEditMethodForm::selectedName() const {
    const int i = MethodNameList->GetItemIndex();
    return i < 0 ? std::string() : s8(MethodNameList->item(i)->text());
}

void TEditMethodForm::refillList() {
    const std::string keep = selectedName();
    listFilling_ = true;
    try {
        CMethodNames().FillListBox(MethodNameList);
    } catch (...) {
        listFilling_ = false;
        throw;
    }
    listFilling_ = false;
    if (!keep.empty()) selectName(keep);
}

bool TEditMethodForm::selectName(const std::string& name) {
    const int i = MethodNameList->GetItems()->IndexOf(q(name));
    if (i < 0) return false;
    MethodNameList->SetItemIndex(i);
    return true;
}

void TEditMethodForm::OnClickMethodNameList(QObject* Sender) {
    if (Sender != nullptr) {
        StatusLbl->SetCaption(QString());
        if (!AskSaveChanges(CurrentMethodName)) {
            MessageText = _("Can not save changes: \n") + MessageText;
            warn(MessageText);
            // The method whose changes are pending stays selected; without it, nothing is
            // selected, so that no other method can receive those changes.
            if (!selectName(CurrentMethodName)) MethodNameList->SetItemIndex(-1);
            return;
        }
    }
    TMethodINIParams rec;
    rec.Name = selectedName();
    loadedStored_ = CMethodNames().LoadMethod(rec);
    loaded_ = rec;

    showText(Runtime, rec.Runtime);
    showText(EquilTime, rec.EquilTime);
    showText(ColumnTINI, rec.ColumnT);
    showText(ColumnD, rec.ColumnD);
    showText(ReactorTINI, rec.ReactorT);
    showText(ReactorType, rec.ReactorV);
    showText(Pump1FlowRate, rec.Pump1Flow);
    showText(Reagent1, rec.Reagent1D);
    showText(Pump2FlowRate, rec.Pump2Flow);
    showText(Reagent2, rec.Reagent2D);
    SetFlushChecked(rec.flushMethod);
    SetPowerCoolingChecked(rec.powerCoolingMethod);

    auto fill = [](TUxStringGrid* grid, const std::vector<const std::vector<std::string>*>& lists) {
        const size_t n = lists[0]->size();
        const int cols = static_cast<int>(lists.size());
        if (n > 0) {
            grid->SetRowCount(static_cast<int>(n) + 1);
            for (size_t i = 0; i < n; ++i)
                for (int c = 0; c < cols; ++c) {
                    const auto& list = *lists[static_cast<size_t>(c)];
                    grid->SetCells(c + 1, static_cast<int>(i) + 1, i < list.size() ? q(list[i]) : QString());
                }
        } else {
            grid->SetRowCount(2);
            for (int c = 1; c <= cols; ++c) grid->SetCells(c, 1, QString());
        }
    };
    fill(PumpTimetable, {&rec.PumpTimeList, &rec.Pump1FlowList, &rec.Pump2FlowList});
    fill(ColumnTimetable, {&rec.ColumnTimeList, &rec.ColumnTempList});

    ShowMethodKind();
    CurrentMethodName = rec.Name;
    Modified = false;
}

// ---------------------------------------------------------------- store

bool TEditMethodForm::AskSaveChanges(const std::string& name) {
    if (!Modified) return true;
    // Without a name the question is still asked: No drops the edits, Yes fails and keeps them in
    // the window for Save As.
    // Yes is the default: Enter keeps the edits rather than throwing them away.
    const MsgResult r = messageBox(fillFirst(_("Save all changes to \"%s\"?"), q(name)), _("Please, confirm"),
                                   MsgButtons::YesNo, mrYes);
    if (r != mrYes) {
        Modified = false;
        return true;
    }
    if (!ValidateMethod()) return false;
    if (name.empty()) {
        // An empty name would store under the selected item, which a click may have just
        // changed to another method.
        MessageText = _("No Method Name selected.");
        return false;
    }
    if (!StoreMethod(name)) return false;
    Modified = false;
    return true;
}

void TEditMethodForm::RecordFromControls(TMethodINIParams& rec, const std::string& name) const {
    rec.Clear();
    rec.Name = name.empty() ? selectedName() : name;
    rec.Runtime = s8(Runtime->GetText());
    rec.EquilTime = s8(EquilTime->GetText());
    rec.ColumnT = s8(ColumnTINI->GetText());
    rec.ColumnD = s8(ColumnD->GetText());
    rec.ReactorT = s8(ReactorTINI->GetText());
    rec.ReactorV = s8(ReactorType->GetText());
    rec.Pump1Flow = s8(Pump1FlowRate->GetText());
    rec.Reagent1D = s8(Reagent1->GetText());
    rec.Pump2Flow = s8(Pump2FlowRate->GetText());
    rec.Reagent2D = s8(Reagent2->GetText());
    rec.flushMethod = FlushMethodChkBx->GetChecked();
    rec.powerCoolingMethod = PowerCoolingMethodChkBx->GetChecked();
    for (int r = 1; r < PumpTimetable->GetRowCount(); ++r) {
        rec.PumpTimeList.push_back(s8(PumpTimetable->GetCells(1, r)));
        rec.Pump1FlowList.push_back(s8(PumpTimetable->GetCells(2, r)));
        rec.Pump2FlowList.push_back(s8(PumpTimetable->GetCells(3, r)));
    }
    for (int r = 1; r < ColumnTimetable->GetRowCount(); ++r) {
        rec.ColumnTimeList.push_back(s8(ColumnTimetable->GetCells(1, r)));
        rec.ColumnTempList.push_back(s8(ColumnTimetable->GetCells(2, r)));
    }
}

std::string TEditMethodForm::SaveLogLine(const TMethodINIParams& rec, bool success) {
    auto flag = [](bool b) { return std::string(b ? "true" : "false"); };
    std::string line =
        "#EditMethods: SaveMethod(" + std::string(success ? "success" : "failed") + "): " + rec.Name + "|" +
        "RunTime " + rec.Runtime + "|Equil " + rec.EquilTime + "|P1 " + rec.Pump1Flow + "|P2 " +
        rec.Pump2Flow + "|Col T " + rec.ColumnT + "|Col D " + rec.ColumnD + "|Reactor T " + rec.ReactorT +
        "|Reactor D " + rec.ReactorV + "|Reagent1 " + rec.Reagent1D + "|Reagent2 " + rec.Reagent2D +
        "|flush:" + flag(rec.flushMethod) + "|powerCooling:" + flag(rec.powerCoolingMethod) + "|";
    auto at = [](const std::vector<std::string>& list, size_t i) {
        return i < list.size() ? list[i] : std::string();
    };
    line += "|flow rate TT|";
    for (size_t i = 0; i < rec.PumpTimeList.size(); ++i)
        line += "|" + rec.PumpTimeList[i] + "|" + at(rec.Pump1FlowList, i) + "|" + "|" +
                at(rec.Pump2FlowList, i) + "|";
    line += "|Col Temp TT|";
    for (size_t j = 0; j < rec.ColumnTimeList.size(); ++j)
        line += "|" + rec.ColumnTimeList[j] + "|" + at(rec.ColumnTempList, j) + "|";
    line += "|";
    return line;
}

namespace {

// What differs between two versions of a stored method, one line each.
QStringList methodChanges(const TMethodINIParams& was, const TMethodINIParams& now) {
    QStringList out;
    auto text = [&](const char* label, const std::string& a, const std::string& b) {
        if (a != b) out << _(label) + ": \"" + q(a) + "\" -> \"" + q(b) + "\"";
    };
    text("Runtime, min", was.Runtime, now.Runtime);
    text("Equilibration time, min", was.EquilTime, now.EquilTime);
    text(
        "Column t, \xC2\xB0"
        "C",
        was.ColumnT, now.ColumnT);
    text("Column Type", was.ColumnD, now.ColumnD);
    text(
        "Reactor t, \xC2\xB0"
        "C",
        was.ReactorT, now.ReactorT);
    text("Reactor Volume, ml", was.ReactorV, now.ReactorV);
    text("Pump1 Flow Rate, ml/min", was.Pump1Flow, now.Pump1Flow);
    text("Reagent 1", was.Reagent1D, now.Reagent1D);
    text("Pump2 Flow Rate, ml/min", was.Pump2Flow, now.Pump2Flow);
    text("Reagent 2", was.Reagent2D, now.Reagent2D);
    if (was.flushMethod != now.flushMethod) out << _("Flush Method");
    if (was.powerCoolingMethod != now.powerCoolingMethod) out << _("Power Cooling");
    if (was.PumpTimeList != now.PumpTimeList || was.Pump1FlowList != now.Pump1FlowList ||
        was.Pump2FlowList != now.Pump2FlowList)
        out << _("Pumps");
    if (was.ColumnTimeList != now.ColumnTimeList || was.ColumnTempList != now.ColumnTempList)
        out << _("Column");
    return out;
}

}  // namespace

bool TEditMethodForm::confirmOverwrite(const std::string& name) {
    // Only the method loaded here has a version to compare with; Save As onto another stored
    // method asks its own question.
    if (name.empty() || !sameTextCI(name, loaded_.Name)) return true;
    TMethodINIParams now;
    now.Name = name;
    const bool stored = CMethodNames().LoadMethod(now);
    QStringList changes;
    if (stored != loadedStored_)
        changes << (stored ? _("it was stored by another program") : _("it was deleted"));
    else if (stored)
        changes = methodChanges(loaded_, now);
    if (changes.isEmpty()) return true;
    // No is the default: the edits stay here either way, but a stray Enter must not destroy
    // what another program stored.
    const QString question = fillInOrder(
        _("Method \"%s\" was changed elsewhere since it was loaded here:\n%s\n\nOverwrite it with "
          "the changes made here?"),
        {q(name), "- " + changes.join("\n- ")});
    return messageBox(question, _("Warning"), MsgButtons::YesNo, mrNo, MsgIcon::Warning) == mrYes;
}

bool TEditMethodForm::StoreMethod(const std::string& name) {
    TMethodINIParams rec;
    RecordFromControls(rec, name);
    storeDeclined_ = !confirmOverwrite(rec.Name);
    if (storeDeclined_) {
        MessageText =
            fillFirst(_("Method \"%s\" was not saved over the changes made elsewhere."), q(rec.Name));
        return false;
    }
    bool ok = false;
    try {
        ok = CMethodNames().SaveMethod(rec);
    } catch (const std::exception&) {
        ok = false;  // the store keeps its old version; reported below like a refusal
    }
    if (ok) {
        Modified = false;
        // What is stored now is the version later saves compare with.
        loaded_.Name = rec.Name;
        loadedStored_ = CMethodNames().LoadMethod(loaded_);
    } else {
        const QString earlier = MessageText;
        MessageText = _("Error while saving to registry.");
        if (!earlier.isEmpty()) MessageText += "\n" + earlier;
    }
    logLine(SaveLogLine(rec, ok));
    if (ok) recordStored(StoredRecord::Method, q(rec.Name));
    return ok;
}

// ---------------------------------------------------------------- commands

void TEditMethodForm::setStatus(const QString& text) {
    StatusLbl->SetCaption(text);
    StatusLbl->SetFontColor(StatusColor);
}

void TEditMethodForm::warn(const QString& text) {
    messageBox(text, _("Warning"), MsgButtons::OK);
}

void TEditMethodForm::BtnSaveClick() {
    const std::string name = selectedName();
    if (name.empty()) {
        warn(_("No Method Name selected."));
        return;
    }
    if (!ValidateMethod()) {
        MessageText = _("Please, correct the following errors in your submission:\n") + MessageText;
        warn(MessageText);
        setStatus(fillFirst(QStringLiteral("Method \"%s\" not saved"), q(name)));
        return;
    }
    if (StoreMethod(name)) {
        setStatus(fillFirst(_("Method \"%s\" saved"), q(name)));
    } else {
        if (!storeDeclined_) warn(MessageText);
        setStatus(fillFirst(QStringLiteral("Method \"%s\" not saved"), q(name)));
    }
}

void TEditMethodForm::SaveAsBtnClick() {
    if (!ValidateMethod()) {
        MessageText = _("Please, correct the following errors in your submission:\n") + MessageText;
        warn(MessageText);
        return;
    }
    QString name;
    QString status;
    for (;;) {
        if (!WideInputQuery(_("Save As Method"), _("New Method Name:"), name)) break;
        if (name.isEmpty()) continue;
        if (startsOrEndsWithBlank(name)) {
            warn(fillFirst(_("The name \"%s\" can not be used: a name can not start or end with a blank."),
                           name));
            continue;
        }
        if (!CMethodNames::IsValidName(s8(name))) {
            const std::string why = Registry::keyNameProblem(s8(name));
            warn(name.contains('\\') || why.empty()
                     ? fillFirst(_("The name \"%s\" can not be used: a method name can not contain \"\\\"."),
                                 name)
                     : fillFirst(_("The name \"%s\" can not be used: "), name) + QString::fromStdString(why));
            continue;
        }
        const bool exists = MethodNameList->GetItems()->IndexOf(name) >= 0;
        if (exists) {
            const MsgResult r = messageBox(fillFirst(_("Method Name \"%s\" already exist. Overwrite?"), name),
                                           _("Warning"), MsgButtons::YesNoCancel, mrNo);
            if (r == mrNo) continue;
            if (r != mrYes) break;
        }
        // The store replaces an existing method in one step, so a failed save keeps the old one.
        if (!StoreMethod(s8(name))) {
            if (!storeDeclined_) warn(MessageText);
            setStatus(fillFirst(QStringLiteral("Method \"%s\" not saved"), name));
            return;  // the controls keep the unsaved changes
        }
        refillList();
        selectName(s8(name));
        status = fillFirst(exists ? _("Method \"%s\" replaced") : _("Method \"%s\" added"), name);
        break;
    }
    // The load shows the method's flag note on the status line; the command's result is set
    // after it, and only where there is no note, which matters more.
    loadSelected();
    if (!status.isEmpty() && StatusLbl->GetCaption().isEmpty()) setStatus(status);
}

void TEditMethodForm::BtnAddMethodClick() {
    // The new method is loaded over the controls: pending changes are offered first, as Close
    // and a click on the list offer them.
    if (!AskSaveChanges(CurrentMethodName)) {
        warn(_("Can not save changes: \n") + MessageText);
        return;
    }
    QString name;
    QString status;
    if (WideInputQueryCust(_("Add Method Name"), _("Method Name:"), _("Cancel"), name) && !name.isEmpty()) {
        if (startsOrEndsWithBlank(name)) {
            warn(fillFirst(_("The name \"%s\" can not be used: a name can not start or end with a blank."),
                           name));
        } else if (MethodNameList->GetItems()->IndexOf(name) < 0) {
            const bool ok = CMethodNames().AddMethod(name);
            refillList();
            selectName(s8(name));
            if (ok) status = fillFirst(_("Method \"%s\" added"), name);
        } else {
            messageBox(fillFirst(_("Method Name \"%s\" already exist. Please, pick another one."), name),
                       _("Error"), MsgButtons::OK);
        }
    }
    loadSelected();
    // The load shows the flag note; the command's result is shown when there is none.
    if (!status.isEmpty() && StatusLbl->GetCaption().isEmpty()) setStatus(status);
}

void TEditMethodForm::BtnDeleteMethodClick() {
    QString status;
    const std::string name = selectedName();
    if (!name.empty()) {
        QString question = fillFirst(QStringLiteral("Delete Method \"%s\"?"), q(name));
        // Named in the question: the loaded sequence would stop at the line that names it, and the
        // operator may not have it in mind while editing methods.
        if (InstrumentModule && !InstrumentModule->Sequence.Name.isEmpty()) {
            const TUxStringList& lines = InstrumentModule->Sequence.MethodList;
            for (int i = 0; i < lines.GetCount(); ++i) {
                if (lines.Get(i).compare(q(name), Qt::CaseInsensitive) != 0) continue;
                const QString uses = _("The loaded sequence \"%s\" uses this method (line %s).");
                question +=
                    "\n\n" + fillInOrder(uses, {InstrumentModule->Sequence.Name, QString::number(i + 1)});
                break;
            }
        }
        // Cancel is the default: a stray Enter must not delete a stored method.
        const MsgResult r = messageBox(question, _("Please, confirm"), MsgButtons::OKCancel, mrCancel);
        if (r == mrOk) {
            const bool ok = CMethodNames().DeleteMethod(q(name));
            refillList();
            if (MethodNameList->GetCount() > 0) MethodNameList->SetItemIndex(0);
            if (ok) status = fillFirst(QStringLiteral("Method \"%s\" deleted."), q(name));
            if (ok) recordStored(StoredRecord::Method, q(name));
        }
    }
    loadSelected();
    if (!status.isEmpty() && StatusLbl->GetCaption().isEmpty()) setStatus(status);
}

void TEditMethodForm::BtnCancelClick() {
    Modified = false;
    Close();
    loadSelected();
}

void TEditMethodForm::CloseBtnClick() {
    Close();
}

void TEditMethodForm::EditMethodFormOnClose(bool& canClose) {
    const std::string name = selectedName();
    if (!AskSaveChanges(name)) {
        warn(fillFirst(_("Can not save method \"%s\" :\n"), q(name)) + MessageText);
        canClose = false;
    }
}

void TEditMethodForm::PrintBtnClick() {
    TMethodINIParams rec;
    RecordFromControls(rec, std::string());
    PrintMethodReport(rec, this);
}

void TEditMethodForm::HelpBtnClick() {
    Help::showTopicOf(this);
}

// ---------------------------------------------------------------- field checks

void TEditMethodForm::fieldExit(const std::function<void()>& check) {
    // Only a move to another control of this window is a field change: focus that goes to a
    // box or another application comes back to the same control.
    if (inFieldCheck_) return;
    QWidget* now = QApplication::focusWidget();
    if (now == nullptr || (now != this && !isAncestorOf(now))) return;
    // Cancel drops the edits and Help changes nothing: neither is held up by a field's check.
    // The check's box and its return of the focus would swallow the click, so an invalid value
    // would keep the operator from leaving, or from reading the help about it.
    if (now == CancelBtn || now == HelpBtn) return;
    inFieldCheck_ = true;
    runGuarded(check);
    inFieldCheck_ = false;
}

void TEditMethodForm::RuntimeOnExit() {
    const QString t = Runtime->GetText();
    if (t.isEmpty() || wholeNumber(t) >= 1) return;
    warn(_("The Runtime should be a positive number."));
    Runtime->setFocus();
}

void TEditMethodForm::EquilTimeOnExit() {
    const QString t = EquilTime->GetText();
    if (t.isEmpty()) return;
    const int v = wholeNumber(t);
    if (v >= 1 && v <= 60) return;
    warn(_("The Equilibration time should be between 1 and 60 minutes."));
    EquilTime->setFocus();
}

void TEditMethodForm::ColumnTINIOnExit() {
    const QString t = ColumnTINI->GetText();
    if (t.isEmpty()) return;
    const int v = wholeNumber(t);
    if (v >= 30 && v <= 75) return;
    warn(_("The Column Temperature should be between 30 and 75") + QString::fromUtf8(kDegrees));
    ColumnTINI->setFocus();
}

void TEditMethodForm::ReactorTINIOnExit() {
    const QString t = ReactorTINI->GetText();
    if (t.isEmpty()) return;
    const int v = wholeNumber(t);
    if (v >= 30 && v <= 130) return;
    warn(_("The Reactor Temperature should be between 30 and 130") + QString::fromUtf8(kDegrees));
    ReactorTINI->setFocus();
}

namespace {
bool flowInRange(double v) {
    return v == 0.0 || (v >= 0.05 && v <= 1.5);
}
}  // namespace

static void flowExit(TUxEdit* edit, const std::function<void(const QString&)>& warn) {
    const QString t = edit->GetText();
    if (t.isEmpty()) return;
    double v = 0.0;
    if (!decimalNumber(t, v))
        warn(_("The value should contain numbers and decimal point, no other symbols, please."));
    else if (!flowInRange(v))
        warn(_("The Pump flow rate should be between 0.05 and 1.5 ml/min or 0."));
    else
        return;
    edit->setFocus();
}

void TEditMethodForm::Pump1FlowRateOnExit() {
    flowExit(Pump1FlowRate, [this](const QString& t) { warn(t); });
}

void TEditMethodForm::Pump2FlowRateOnExit() {
    flowExit(Pump2FlowRate, [this](const QString& t) { warn(t); });
}

// ---------------------------------------------------------------- timetables

bool TEditMethodForm::checkCell(TUxStringGrid* grid, bool pumpGrid, const QString& flowText) {
    const int col = grid->GetCol();
    const int row = grid->GetRow();
    const QString text = grid->GetCells(col, row);
    if (text.isEmpty()) return true;
    const double v = decimalOr(text, -1.0);
    bool accepted = true;
    if (col == 1) {
        if (v < 0) {
            warn(_("The Time should be a positive number."));
            accepted = false;
        } else if (v > wholeNumber(Runtime->GetText())) {
            warn(_("The Time should not be greater than Runtime."));
        }
        grid->SetCells(col, row, formatFixed(v, 1));
    } else if (pumpGrid) {
        if (!flowInRange(v)) {
            warn(flowText);
            accepted = false;
        }
        grid->SetCells(col, row, formatFixed(v, 2));
    } else {
        if (v != 0.0 && (v < 30 || v > 75)) {
            warn(_("The Column temperature should be positive number, between 30 and 75"));
            accepted = false;
        }
        grid->SetCells(col, row, formatTwoDigits(v));
    }
    return accepted;
}

namespace {
void movePointer(TUxStringGrid* grid, int toRow) {
    grid->SetCells(0, grid->GetRow(), QString());
    grid->SetCells(0, toRow, QStringLiteral(">>>"));
}
}  // namespace

void TEditMethodForm::PumpsTTOnSelectCell(int, int row, bool& canSelect) {
    try {
        canSelect = checkCell(PumpTimetable, true,
                              _("The Pump Flow Rate should be a positive number, between 0.05 and 1.5"));
    } catch (const std::exception&) {
        warn(_("The value should contain numbers and decimal point, no other symbols, please."));
        canSelect = false;
    }
    if (canSelect) movePointer(PumpTimetable, row);
}

void TEditMethodForm::ColumnTTOnSelectCell(int, int row, bool& canSelect) {
    try {
        canSelect = checkCell(ColumnTimetable, false, QString());
    } catch (const std::exception&) {
        warn(_("The value should contain numbers and decimal point, no other symbols, please."));
    }
    if (canSelect) movePointer(ColumnTimetable, row);
}

void TEditMethodForm::PumpTimetableOnExit() {
    // The row's Delete takes the row away: its values need not be valid.
    if (QApplication::focusWidget() == BtnPumpsTTDelete) return;
    try {
        if (!checkCell(PumpTimetable, true,
                       _("The Pump Flow Rate should be positive number, between 0.05 and 1.5 or 0")))
            PumpTimetable->setFocus();
    } catch (const std::exception&) {
        warn(_("The value should contain numbers and decimal point, no other symbols, please."));
    }
}

void TEditMethodForm::ColumnTimetableOnExit() {
    if (QApplication::focusWidget() == BtnColTTDelete) return;
    try {
        if (!checkCell(ColumnTimetable, false, QString())) ColumnTimetable->setFocus();
    } catch (const std::exception&) {
        warn(_("The value should contain numbers and decimal point, no other symbols, please."));
    }
}

void TEditMethodForm::addRow(TUxStringGrid* grid) {
    grid->SetRowCount(grid->GetRowCount() + 1);
}

void TEditMethodForm::insertRow(TUxStringGrid* grid) {
    const int cols = grid->GetColCount();
    const int cur = std::max(1, grid->GetRow());
    grid->SetRowCount(grid->GetRowCount() + 1);
    for (int r = grid->GetRowCount() - 1; r > cur; --r)
        for (int c = 1; c < cols; ++c) grid->SetCells(c, r, grid->GetCells(c, r - 1));
    for (int c = 1; c < cols; ++c) grid->SetCells(c, cur, QString());
}

void TEditMethodForm::deleteRow(TUxStringGrid* grid) {
    const int cols = grid->GetColCount();
    const int rows = grid->GetRowCount();
    if (rows <= 2) {
        for (int c = 1; c < cols; ++c) grid->SetCells(c, 1, QString());
        return;
    }
    for (int r = std::max(1, grid->GetRow()); r < rows - 1; ++r)
        for (int c = 1; c < cols; ++c) grid->SetCells(c, r, grid->GetCells(c, r + 1));
    grid->SetRowCount(rows - 1);
}

void TEditMethodForm::BtnPumpsTTAddClick() {
    addRow(PumpTimetable);
    Modified = true;
}

void TEditMethodForm::BtnPumpsTTInsertClick() {
    insertRow(PumpTimetable);
    Modified = true;
}

void TEditMethodForm::BtnPumpsTTDeleteClick() {
    deleteRow(PumpTimetable);
    Modified = true;
}

void TEditMethodForm::BtnColTTAddClick() {
    addRow(ColumnTimetable);
    Modified = true;
}

void TEditMethodForm::BtnColTTInsertClick() {
    insertRow(ColumnTimetable);
    Modified = true;
}

void TEditMethodForm::BtnColTTDeleteClick() {
    deleteRow(ColumnTimetable);
    Modified = true;
}

void TEditMethodForm::ColumnTTRowMoved(int fromRow, int toRow) {
    TUxStringGrid* grid = ColumnTimetable;
    const int rows = grid->GetRowCount();
    if (fromRow < 1 || toRow < 1 || fromRow >= rows || toRow >= rows || fromRow == toRow) return;
    // Leaving the current cell is checked as any move is; a refused value stops the drag.
    if (grid->GetEditorMode()) grid->SetEditorMode(false);
    const int col = std::max(1, grid->GetCol());
    if (!grid->SetCurrentCell(col, fromRow)) return;
    const int cols = grid->GetColCount();
    QStringList moved;
    for (int c = 1; c < cols; ++c) moved << grid->GetCells(c, fromRow);
    const int step = toRow > fromRow ? 1 : -1;
    for (int r = fromRow; r != toRow; r += step)
        for (int c = 1; c < cols; ++c) grid->SetCells(c, r, grid->GetCells(c, r + step));
    for (int c = 1; c < cols; ++c) grid->SetCells(c, toRow, moved[c - 1]);
    // The checked value moved with its row, so the current cell follows without a new check.
    grid->setCurrentCell(toRow, col);
    for (int r = 1; r < rows; ++r) grid->SetCells(0, r, QString());
    grid->SetCells(0, toRow, QStringLiteral(">>>"));
    Modified = true;
}

bool TEditMethodForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched != ColumnTimetable->viewport()) return TUxForm::eventFilter(watched, event);
    const QEvent::Type type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseMove && type != QEvent::MouseButtonRelease)
        return false;
    auto* mouse = static_cast<QMouseEvent*>(event);
    const QPoint at = mouse->position().toPoint();
    if (type == QEvent::MouseButtonPress) {
        const QModelIndex idx = ColumnTimetable->indexAt(at);
        if (mouse->button() != Qt::LeftButton || !idx.isValid() || idx.column() != 0 || idx.row() < 1)
            return false;
        dragFromRow_ = idx.row();
        ColumnTimetable->viewport()->setCursor(Qt::SizeVerCursor);
        return true;
    }
    if (dragFromRow_ == 0) return false;
    if (type == QEvent::MouseMove) return true;
    const int from = dragFromRow_;
    dragFromRow_ = 0;
    ColumnTimetable->viewport()->unsetCursor();
    // Above the first data row drops on it, below the last on the last.
    int to = ColumnTimetable->rowAt(at.y());
    if (to < 0) to = at.y() < 0 ? 1 : ColumnTimetable->GetRowCount() - 1;
    to = std::max(1, to);
    runGuarded([&] { ColumnTTRowMoved(from, to); });
    return true;
}

// ---------------------------------------------------------------- final validation

bool TEditMethodForm::ValidateMethod() {
    MessageText.clear();
    const QString degrees = QString::fromUtf8(
        " \xC2\xB0"
        "C.\n");
    const int runtime = wholeNumber(Runtime->GetText());
    if (runtime < 1) MessageText += _("- Runtime should be a positive number.\n");
    const int equil = wholeNumber(EquilTime->GetText());
    if (equil < 1 || equil > 60)
        MessageText += _("- Equilibration time should be between 1 and 60 minutes.\n");
    const int column = wholeNumber(ColumnTINI->GetText());
    if (column < 30 || column > 75)
        MessageText += _("- Column Temperature should be between 30 and 75") + degrees;
    const int reactor = wholeNumber(ReactorTINI->GetText());
    if (reactor < 30 || reactor > 130)
        MessageText += _("- Reactor Temperature should be between 30 and 130") + degrees;

    auto flow = [this](TUxEdit* edit, const QString& undefined, const QString& notNumber,
                       const QString& range) {
        const QString t = edit->GetText();
        double v = 0.0;
        if (t.isEmpty())
            MessageText += undefined;
        else if (!decimalNumber(t, v))
            MessageText += notNumber;
        else if (!flowInRange(v))
            MessageText += range;
    };
    flow(Pump1FlowRate, _("- Pump1 flow rate should be defined.\n"),
         _("- Pump1 flow rate should contain numbers and decimal point, no other symbols, please.\n"),
         _("- Pump1 flow rate should be between 0.05 and 1.5 ml/min.\n"));
    flow(Pump2FlowRate, _("- Pump2 flow rate should be defined.\n"),
         _("- Pump2 flow rate should contain numbers and decimal point, no other symbols, please.\n"),
         _("- Pump2 flow rate should be between 0.05 and 1.5 ml/min.\n"));

    auto times = [this, runtime](TUxStringGrid* grid, const QString& badTime, const QString& unreadable) {
        try {
            for (int r = 1; r < grid->GetRowCount(); ++r) {
                const QString t = grid->GetCells(1, r);
                if (t.isEmpty()) continue;
                const double v = decimalOr(t, -1.0);
                if (v < 0 || v > runtime) {
                    MessageText += badTime;
                    return;
                }
            }
        } catch (const std::exception&) {
            MessageText += unreadable;
        }
    };
    times(
        PumpTimetable,
        _("- Time Stamp in Pump Timetable should be positive number, not greater than Runtime.\n"),
        _("- Time Stamp value in Pump Timetable should contain numbers and decimal point, no other symbols, "
          "please.\n"));
    times(ColumnTimetable,
          _("- Time Stamp in Column Timetable should be positive number, not greater than Runtime.\n"),
          _("- Time Stamp value in Column Timetable should contain numbers and decimal point, no other "
            "symbols, "
            "please.\n"));
    return MessageText.isEmpty();
}

// ---------------------------------------------------------------- flag boxes

void TEditMethodForm::flagClick(TUxCheckBox* clicked, TUxCheckBox* other, const QString& question) {
    Modified = true;
    if (CheckBoxClickByUser) {
        if (clicked->GetChecked() && other->GetChecked()) {
            messageBox(ConflictText, _("Error!"), MsgButtons::OK);
            clicked->SetChecked(false);
            ShowMethodKind();
            CheckBoxClickByUser = true;
            return;
        }
        if (clicked->GetChecked() &&
            messageBox(question, _("Please, confirm"), MsgButtons::OKCancel, mrOk) != mrOk)
            clicked->SetChecked(false);
    }
    ShowMethodKind();
    CheckBoxClickByUser = true;
}

void TEditMethodForm::FlushMethodChkBxClick() {
    flagClick(FlushMethodChkBx, PowerCoolingMethodChkBx,
              _("By checking this checkbox you designate this method to use FLUSH solution."));
}

void TEditMethodForm::PowerCoolingMethodChkBxClick() {
    flagClick(PowerCoolingMethodChkBx, FlushMethodChkBx,
              _("By checking this checkbox you designate this method to use Power Cooling Algorithm."));
}

void TEditMethodForm::SetFlushChecked(bool checked) {
    if (FlushMethodChkBx->GetChecked() == checked) return;
    CheckBoxClickByUser = false;
    FlushMethodChkBx->SetChecked(checked);
}

void TEditMethodForm::SetPowerCoolingChecked(bool checked) {
    if (PowerCoolingMethodChkBx->GetChecked() == checked) return;
    CheckBoxClickByUser = false;
    PowerCoolingMethodChkBx->SetChecked(checked);
}

void TEditMethodForm::ShowMethodKind() {
    if (FlushMethodChkBx->GetChecked()) {
        StatusLbl->SetCaption(FlushNote);
        StatusLbl->SetFontColor(kNoteColor);
    } else if (PowerCoolingMethodChkBx->GetChecked()) {
        StatusLbl->SetCaption(PowerCoolingNote);
        StatusLbl->SetFontColor(kNoteColor);
    } else {
        StatusLbl->SetCaption(QString());
        StatusLbl->SetFontColor(StatusColor);
    }
}
