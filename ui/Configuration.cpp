#include "ui/Configuration.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "link/FTDI.h"
#include "link/Instrument.h"
#include "link/LogFile.h"
#include "link/StoredParams.h"
#include "platform/Dialogs.h"
#include "platform/Help.h"
#include "platform/Registry.h"
#include "platform/Serial.h"
#include "platform/i18n.h"

std::function<void()> OnApplyConfiguration;
std::function<RunningNow()> OnWhatRuns;
TInstrumentConfiguration* InstrumentConfiguration = nullptr;

const char* const TInstrumentConfiguration::HPLCTypes[6] = {
    "Agilent ChemStation", "Varian StarWS", "PE TotalChrom", "Waters", "Other", "No Connection to HPLC"};

namespace {
const char* const SerialMapKey = "\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
const char* const NoDeviceFound = "No Device Found";
// Item data: the stored name of an HPLC system (the shown text may be translated), and the
// mark of the USB list's no-device placeholder.
constexpr int StoredNameRole = Qt::UserRole;
constexpr int PlaceholderRole = Qt::UserRole + 1;
constexpr int HelpContext = 510;

QString rangeText(const char* range) {
    return _("Temperature range:") + QString::fromUtf8(range);
}

std::string text8(const QString& s) {
    return s.toUtf8().toStdString();
}

QString fromText8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

void warn(const char* text, const char* title) {
    messageBox(_(text), _(title), MsgButtons::OK, mrOk, MsgIcon::Warning);
}
}  // namespace

TInstrumentConfiguration::TInstrumentConfiguration(QWidget* owner) : TUxForm(owner) {
    setObjectName("InstrumentConfiguration");
    RegistryKey = TStoredParams::InstrumentRegistryKey();
    buildControls();
    OnShow = [this] {
        QWidget* host = parentWidget() ? parentWidget() : QApplication::activeWindow();
        CentreOn(host == this ? nullptr : host);
        // Once per showing: re-activation after a message box must not undo the operator's edits.
        FormActivate();
    };
    FormCreate();
}

TInstrumentConfiguration::~TInstrumentConfiguration() {
    if (InstrumentConfiguration == this) InstrumentConfiguration = nullptr;
}

void TInstrumentConfiguration::buildControls() {
    SetCaption("Instrument Configuration");
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFont(QFont("Arial"));

    auto label = [](const char* caption, const char* name, QWidget* parent) {
        auto* l = new TUxLabel(caption, parent);
        l->setObjectName(name);
        return l;
    };
    auto radio = [](const char* caption, const char* name, QWidget* parent) {
        auto* r = new TUxRadioButton(caption, parent);
        r->setObjectName(name);
        return r;
    };
    auto combo = [](const char* name, QWidget* parent) {
        auto* c = new TUxComboBox(parent);
        c->setObjectName(name);
        c->setMinimumContentsLength(16);
        return c;
    };

    Instrument = new TUxPageControl(this);
    Instrument->setObjectName("Instrument");
    InstrumentSheet = new TUxTabSheet(Instrument, "Instrument");
    ColumnSheet = new TUxTabSheet(Instrument, "Column");
    ReactorSheet = new TUxTabSheet(Instrument, "Reactor");
    PumpSheet = new TUxTabSheet(Instrument, "Pump");
    MoreSheet = new TUxTabSheet(Instrument, "More...");

    // Instrument: the label and the connection.
    InstrumentLabelLbl = label("Instrument Label", "InstrumentLabelLbl", InstrumentSheet);
    InstrumentLabel = new TUxEdit(InstrumentSheet);
    InstrumentLabel->setObjectName("InstrumentLabel");
    ConnectionGroup = new TUxGroupBox("Select Connection Method", InstrumentSheet);
    ConnectionGroup->setObjectName("ConnectionGroup");
    ConnectMethodRadio1 = radio("Network", "ConnectMethodRadio1", ConnectionGroup);
    ConnectMethodRadio2 = radio("Serial Port", "ConnectMethodRadio2", ConnectionGroup);
    ConnectMethodRadio3 = radio("USB Port", "ConnectMethodRadio3", ConnectionGroup);
    IPAddressLbl = label("IP Address:", "IPAddressLbl", ConnectionGroup);
    InstrumentIPAddress = new TUxEdit(ConnectionGroup);
    InstrumentIPAddress->setObjectName("InstrumentIPAddress");
    // Typing is held to the address mask; a longer stored value (a host name) is shown and kept whole.
    InstrumentIPAddress->setValidator(
        new QRegularExpressionValidator(QRegularExpression("[0-9. ]{0,15}"), InstrumentIPAddress));
    CommPortLbl = label("Com Port:", "CommPortLbl", ConnectionGroup);
    InstrumentCommPort = combo("InstrumentCommPort", ConnectionGroup);
    USBPortLbl = label("Device:", "USBPortLbl", ConnectionGroup);
    InstrumentUSBPort = combo("InstrumentUSBPort", ConnectionGroup);
    // Its items (the placeholder too) may come after the first showing.
    InstrumentUSBPort->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    RefreshUSBBtn = new TUxButton("Refresh", ConnectionGroup);
    RefreshUSBBtn->setObjectName("RefreshUSBBtn");
    RefreshUSBBtn->setToolTip("Refresh list");
    {
        auto* g = new QGridLayout(ConnectionGroup);
        g->addWidget(ConnectMethodRadio1, 0, 0);
        g->addWidget(IPAddressLbl, 0, 1);
        g->addWidget(InstrumentIPAddress, 0, 2);
        g->addWidget(ConnectMethodRadio2, 1, 0);
        g->addWidget(CommPortLbl, 1, 1);
        g->addWidget(InstrumentCommPort, 1, 2);
        g->addWidget(ConnectMethodRadio3, 2, 0);
        g->addWidget(USBPortLbl, 2, 1);
        g->addWidget(InstrumentUSBPort, 2, 2);
        g->addWidget(RefreshUSBBtn, 2, 3);
        auto* v = new QVBoxLayout(InstrumentSheet);
        v->addWidget(InstrumentLabelLbl);
        v->addWidget(InstrumentLabel);
        v->addWidget(ConnectionGroup);
        v->addStretch();
    }

    // Column.
    ColTmpRangeLbl = label("Temperature range:", "ColTmpRangeLbl", ColumnSheet);
    (new QVBoxLayout(ColumnSheet))->addWidget(ColTmpRangeLbl, 0, Qt::AlignTop);

    // Reactor.
    ReactorVolumeLbl = label("Volume, ml:", "ReactorVolumeLbl", ReactorSheet);
    ReactorVolume = new TUxEdit(ReactorSheet);
    ReactorVolume->setObjectName("ReactorVolume");
    ReactorMaxTempLabel = label("", "ReactorMaxTempLabel", ReactorSheet);
    ReactorMaxTempLabel->SetCaption(rangeText(" 30\u00B0C - 130\u00B0C"));
    {
        auto* g = new QGridLayout(ReactorSheet);
        g->addWidget(ReactorVolumeLbl, 0, 0);
        g->addWidget(ReactorVolume, 0, 1);
        g->addWidget(ReactorMaxTempLabel, 1, 0, 1, 2);
        g->setRowStretch(2, 1);
    }

    // Pump: limits, refill speed, pressure unit.
    PumpMaxVolLabel = label("Max Volume:", "PumpMaxVolLabel", PumpSheet);
    PumpMaxVolValueLbl = label("70 ml", "PumpMaxVolValueLbl", PumpSheet);
    PumpMaxFlowRateLbl = label("Flow Rate:", "PumpMaxFlowRateLbl", PumpSheet);
    PumpMaxFlowRateValueLbl = label("0.05 - 1.5 ml/min", "PumpMaxFlowRateValueLbl", PumpSheet);
    RefillSpeedPanel = new TUxGroupBox("Refill Speed:", PumpSheet);
    RefillSpeedPanel->setObjectName("RefillSpeedPanel");
    RefillFastRBtn = radio("Normal", "RefillFastRBtn", RefillSpeedPanel);
    RefillFastRBtn->setToolTip("55 ml/min, recommended for most applications");
    RefillSlowRBtn = radio("Slow", "RefillSlowRBtn", RefillSpeedPanel);
    RefillSlowRBtn->setToolTip("30 ml/min, recommended for viscous reagents");
    RefillMaxRBtn = radio("Fast", "RefillMaxRBtn", RefillSpeedPanel);
    RefillMaxRBtn->setToolTip("70 ml/min");
    RefillMaxRBtn->hide();
    {
        auto* h = new QHBoxLayout(RefillSpeedPanel);
        h->addWidget(RefillMaxRBtn);
        h->addWidget(RefillFastRBtn);
        h->addWidget(RefillSlowRBtn);
    }
    PressureUnitPanel = new TUxGroupBox("Pressure in:", PumpSheet);
    PressureUnitPanel->setObjectName("PressureUnitPanel");
    MeasureBarRBtn = radio("bar", "MeasureBarRBtn", PressureUnitPanel);
    MeasurePsiRBtn = radio("psi", "MeasurePsiRBtn", PressureUnitPanel);
    {
        auto* h = new QHBoxLayout(PressureUnitPanel);
        h->addWidget(MeasureBarRBtn);
        h->addWidget(MeasurePsiRBtn);
        auto* g = new QGridLayout(PumpSheet);
        g->addWidget(PumpMaxVolLabel, 0, 0);
        g->addWidget(PumpMaxVolValueLbl, 0, 1);
        g->addWidget(PumpMaxFlowRateLbl, 1, 0);
        g->addWidget(PumpMaxFlowRateValueLbl, 1, 1);
        g->addWidget(RefillSpeedPanel, 2, 0, 1, 2);
        g->addWidget(PressureUnitPanel, 3, 0, 1, 2);
        g->setRowStretch(4, 1);
    }

    // More...: the HPLC system.
    HPLCTypeLbl = label("HPLC Type:", "HPLCTypeLbl", MoreSheet);
    HPLCType = combo("HPLCType", MoreSheet);
    for (const char* t : HPLCTypes) {
        HPLCType->addItem(t);
        HPLCType->setItemData(HPLCType->count() - 1, QString(t), StoredNameRole);
    }
    HPLCType->SetItemIndex(-1);
    UseOfRelaysLbl = label("", "UseOfRelaysLbl", MoreSheet);
    ChemInstanceLbl = label("ChemStation Instance:", "ChemInstanceLbl", MoreSheet);
    ChemInstance = combo("ChemInstance", MoreSheet);
    for (const char* t : {"1", "2", "3", "4"}) ChemInstance->addItem(t);
    ChemInstance->SetItemIndex(-1);
    {
        auto* g = new QGridLayout(MoreSheet);
        g->addWidget(HPLCTypeLbl, 0, 0);
        g->addWidget(HPLCType, 0, 1);
        g->addWidget(UseOfRelaysLbl, 1, 0, 1, 2);
        g->addWidget(ChemInstanceLbl, 2, 0);
        g->addWidget(ChemInstance, 2, 1);
        g->setRowStretch(3, 1);
    }

    Save = new TUxButton("Save", this);
    Save->setObjectName("Save");
    Cancel = new TUxButton("Cancel", this);
    Cancel->setObjectName("Cancel");
    Help = new TUxButton("Help", this);
    Help->setObjectName("Help");
    {
        auto* buttons = new QHBoxLayout;
        buttons->addStretch();
        buttons->addWidget(Save);
        buttons->addWidget(Cancel);
        buttons->addWidget(Help);
        auto* top = new QVBoxLayout(this);
        top->addWidget(Instrument);
        top->addLayout(buttons);
    }

    Save->OnClick = [this] { SaveClick(); };
    Cancel->OnClick = [this] { CancelClick(); };
    Help->OnClick = [this] { HelpClick(); };
    SetCancelButton(Cancel);
    Help::setTopic(this, HelpContext);
    ConnectMethodRadio1->OnClick = [this] { CommRadioNetClick(); };
    ConnectMethodRadio2->OnClick = [this] { CommRadioComClick(); };
    ConnectMethodRadio3->OnClick = [this] { ConnectMethodRadioUSBClick(); };
    ReactorVolume->OnChange = [this] { ReactorVolumeChange(); };
    HPLCType->OnChange = [this] { HPLCTypeOnChange(); };
    MeasureBarRBtn->OnClick = [this] { MeasureBarRBtnClick(); };
    MeasurePsiRBtn->OnClick = [this] { MeasurePsiRBtnClick(); };
    RefillMaxRBtn->OnClick = [this] { RefillMaxRBtnClick(); };
    RefillFastRBtn->OnClick = [this] { RefillFastRBtnClick(); };
    RefillSlowRBtn->OnClick = [this] { RefillSlowRBtnClick(); };
    RefreshUSBBtn->OnClick = [this] { RefreshUSBBtnClick(); };
}

std::array<QRadioButton*, 3> TInstrumentConfiguration::connectionButtons() const {
    return {ConnectMethodRadio1, ConnectMethodRadio2, ConnectMethodRadio3};
}

std::array<QRadioButton*, 3> TInstrumentConfiguration::refillButtons() const {
    return {RefillMaxRBtn, RefillFastRBtn, RefillSlowRBtn};
}

std::array<QRadioButton*, 2> TInstrumentConfiguration::unitButtons() const {
    return {MeasureBarRBtn, MeasurePsiRBtn};
}

void TInstrumentConfiguration::checkOnly(std::span<QRadioButton* const> group, QRadioButton* on) {
    // Auto-exclusive buttons cannot all be unchecked; the exclusivity is lifted meanwhile.
    for (QRadioButton* b : group) {
        b->setAutoExclusive(false);
        b->setChecked(b == on);
        b->setAutoExclusive(true);
    }
}

void TInstrumentConfiguration::selectEqual(TUxComboBox* box, const QString& text) {
    int found = -1;
    for (int i = 0; i < box->count(); ++i) {
        if (QString::localeAwareCompare(box->itemText(i).toCaseFolded(), text.toCaseFolded()) == 0) {
            found = i;
            break;
        }
    }
    box->SetItemIndex(found);
}

// ---------------------------------------------------------------- registry <-> controls

bool TInstrumentConfiguration::LoadConfiguration() {
    std::unique_ptr<Registry> reg;
    bool keyOpen = false;
    // A missing key or value reads as empty; a value of another type raises.
    auto readText = [&](const char* name) -> QString {
        return keyOpen ? fromText8(reg->readString(name)) : QString();
    };
    auto readInteger = [&](const char* name, int32_t def) -> int32_t {
        try {
            if (keyOpen) return reg->readInteger(name);
        } catch (const std::exception&) {
        }
        return def;
    };

    try {
        reg = std::make_unique<Registry>(RegRoot::CurrentUser);
        keyOpen = reg->openKeyReadOnly(RegistryKey);

        switch (readInteger("ConnectMethod", DefaultConnectMethod)) {
            case 2:
                checkOnly(connectionButtons(), ConnectMethodRadio2);
                CommRadioComClick();
                break;
            case 3:
                checkOnly(connectionButtons(), ConnectMethodRadio3);
                ConnectMethodRadioUSBClick();
                break;
            default:
                checkOnly(connectionButtons(), ConnectMethodRadio1);
                CommRadioNetClick();
                break;
        }

        QString ip = readText("IP");
        if (ip.isEmpty()) ip = DefaultIP;
        InstrumentIPAddress->SetText(ip);

        QString com = readText("COM");
        if (com.isEmpty()) com = DefaultCom;
        selectEqual(InstrumentCommPort, com);
        // A device path is used as it is: shown even where the system's list lacks it.
        if (InstrumentCommPort->GetItemIndex() < 0 && com.startsWith('/')) {
            InstrumentCommPort->addItem(com);
            InstrumentCommPort->SetItemIndex(InstrumentCommPort->count() - 1);
        }

        UsbDevice = text8(readText("USB"));
        selectEqual(InstrumentUSBPort, fromText8(UsbDevice));
        // With no device attached the placeholder stays on show.
        if (InstrumentUSBPort->GetItemIndex() < 0 && InstrumentUSBPort->count() == 1 &&
            InstrumentUSBPort->itemData(0, PlaceholderRole).toBool())
            InstrumentUSBPort->SetItemIndex(0);

        {
            // The range follows the stored volume, whatever was typed and cancelled before.
            loading_ = true;
            ReactorMaxTempLabel->SetCaption(rangeText(" 30\u00B0C - 130\u00B0C"));
            ReactorVolume->SetText(readText("ReactorVolume"));
            ReactorVolumeChange();
            loading_ = false;
        }

        QString unit = readText("PressureMeasure");
        if (unit.isEmpty()) unit = DefaultPressureMeasure;
        if (unit == "bar")
            checkOnly(unitButtons(), MeasureBarRBtn);
        else if (unit == "psi")
            checkOnly(unitButtons(), MeasurePsiRBtn);
        else
            checkOnly(unitButtons(), nullptr);

        const QString hplc = readText("HPLCType");
        int found = -1;
        for (int i = 0; i < HPLCType->count() && found < 0; ++i) {
            if (QString::localeAwareCompare(HPLCType->itemData(i, StoredNameRole).toString().toCaseFolded(),
                                            hplc.toCaseFolded()) == 0 ||
                QString::localeAwareCompare(HPLCType->itemText(i).toCaseFolded(), hplc.toCaseFolded()) == 0)
                found = i;
        }
        HPLCType->SetItemIndex(found);
        HPLCTypeOnChange();

        selectEqual(ChemInstance, readText("ChemInstance"));

        InstrumentLabel->SetText(readText("InstrumentLabel"));
    } catch (const std::exception&) {
        warn("Please, Set-Up Software Parameters.", "Warning");
    }

    const int32_t refill = readInteger("RefillSpeed", DefaultRefillSpeed);
    checkOnly(refillButtons(), refill == 30 ? RefillSlowRBtn : refill == 70 ? RefillMaxRBtn : RefillFastRBtn);
    return true;
}

bool TInstrumentConfiguration::SaveConfiguration() {
    try {
        // One transaction: a save that fails part-way leaves the previous settings whole.
        Registry reg(RegRoot::CurrentUser);
        reg.beginTransaction();
        if (!reg.openKey(RegistryKey, true)) throw ERegistryException("The key cannot be opened.");

        if (ConnectMethodRadio1->isChecked())
            reg.writeInteger("ConnectMethod", 1);
        else if (ConnectMethodRadio2->isChecked())
            reg.writeInteger("ConnectMethod", 2);
        else if (ConnectMethodRadio3->isChecked())
            reg.writeInteger("ConnectMethod", 3);

        reg.writeString("IP", text8(InstrumentIPAddress->GetText()));

        // A port that is not in the system's list now (an adapter unplugged) keeps its setting.
        if (InstrumentCommPort->GetItemIndex() >= 0)
            reg.writeString("COM", text8(InstrumentCommPort->GetText()));

        // Neither the no-device placeholder nor an empty selection replaces the stored device.
        const int usb = InstrumentUSBPort->GetItemIndex();
        if (usb >= 0 && !InstrumentUSBPort->itemData(usb, PlaceholderRole).toBool())
            reg.writeString("USB", text8(InstrumentUSBPort->GetText()));

        reg.writeString("ReactorVolume", text8(ReactorVolume->GetText()));

        if (RefillMaxRBtn->isChecked())
            reg.writeInteger("RefillSpeed", 70);
        else if (RefillFastRBtn->isChecked())
            reg.writeInteger("RefillSpeed", 55);
        else if (RefillSlowRBtn->isChecked())
            reg.writeInteger("RefillSpeed", 30);

        if (MeasurePsiRBtn->isChecked())
            reg.writeString("PressureMeasure", "psi");
        else if (MeasureBarRBtn->isChecked())
            reg.writeString("PressureMeasure", "bar");
        else
            reg.writeString("PressureMeasure", "");

        const int hplc = HPLCType->GetItemIndex();
        reg.writeString("HPLCType",
                        hplc >= 0 ? text8(HPLCType->itemData(hplc, StoredNameRole).toString()) : "");

        if (!ChemInstance->isHidden()) {
            const int chem = ChemInstance->GetItemIndex();
            reg.writeString("ChemInstance", chem >= 0 ? text8(ChemInstance->itemText(chem)) : "");
        }
        reg.writeString("InstrumentLabel", text8(InstrumentLabel->GetText()));
        reg.commit();
        return true;
    } catch (const std::exception& e) {
        // Why it failed tells the operator what to do (a store replaced under the program: restart).
        logLine(std::string("#main: Configuration not saved: ") + e.what());
        messageBox(
            _("Can not save parameters to Registry!") + "\n\n" + QString::fromUtf8(e.what()) + "\n\n" +
                _("Nothing was changed: the link to the instrument and the instrument stay as they were."),
            _("Error"), MsgButtons::OK, mrOk, MsgIcon::Error);
        return false;
    }
}

bool TInstrumentConfiguration::ListSerialPorts(char* buffer, uint32_t size, uint32_t index) {
    if (!buffer || size == 0) return false;
    try {
        Registry reg(RegRoot::LocalMachine);
        if (!reg.openKeyReadOnly(SerialMapKey)) return false;
        const std::vector<std::string> names = reg.getValueNames();
        if (index >= names.size()) return false;
        if (reg.getDataType(names[index]) != RegDataType::String) return false;
        const std::string port = reg.readString(names[index]);
        if (port.size() + 1 > size) return false;
        std::memcpy(buffer, port.c_str(), port.size() + 1);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

uint32_t TInstrumentConfiguration::serialPortCount() {
    try {
        Registry reg(RegRoot::LocalMachine);
        return reg.openKeyReadOnly(SerialMapKey) ? static_cast<uint32_t>(reg.getValueNames().size()) : 0;
    } catch (const std::exception&) {
        return 0;
    }
}

bool TInstrumentConfiguration::ListUsbDevices() {
    const uint32_t n = FTDI.CreateDeviceList();
    const QString remembered =
        InstrumentUSBPort->GetItemIndex() >= 0 ? InstrumentUSBPort->GetText() : QString();
    InstrumentUSBPort->clear();
    for (uint32_t i = 0; i < n; ++i) {
        // The count includes converters of other kinds; the walk ends with the matching ones.
        const std::string d = FTDI.FindDevice();
        if (d == NoDeviceFound) break;
        InstrumentUSBPort->addItem(fromText8(d));
        if (fromText8(d) == remembered) InstrumentUSBPort->SetItemIndex(InstrumentUSBPort->count() - 1);
    }
    selectEqual(InstrumentUSBPort, fromText8(UsbDevice));
    if (InstrumentUSBPort->count() == 0) {
        InstrumentUSBPort->addItem(_("No ZentrovaKVZ Found"));
        InstrumentUSBPort->setItemData(0, true, PlaceholderRole);
        InstrumentUSBPort->SetItemIndex(0);
    }
    // The layout may hand a combo box less than its hint: its texts would be cut.
    InstrumentUSBPort->setMinimumWidth(InstrumentUSBPort->sizeHint().width());
    return true;
}

// ---------------------------------------------------------------- events

void TInstrumentConfiguration::FormCreate() {
    LoadConfiguration();
    TranslateComponent(this);
    ColTmpRangeLbl->SetCaption(rangeText(" 30\u00B0C - 75\u00B0C"));
    // Activation fills the device list once the dialog is placed: wide enough for the empty
    // list's text from the start, filling it does not widen the dialog off its centre.
    InstrumentUSBPort->addItem(_("No ZentrovaKVZ Found"));
    InstrumentUSBPort->setMinimumWidth(InstrumentUSBPort->sizeHint().width());
    InstrumentUSBPort->clear();
}

void TInstrumentConfiguration::FormActivate() {
    // Our own port map stands in for the system's: bring it up to date before listing it.
    const char* sys = std::getenv("ZENTROVA_SYS_TTY");
    refreshSerialComMap(sys && *sys ? sys : "/sys/class/tty");
    InstrumentCommPort->clear();
    // Every port of the map is listed; an entry that does not read (a value of another type, a
    // name of 10 bytes or more, longer than any port number the link opens) is skipped. Not
    // the end of the list: one such entry would hide every port after it, those the program
    // has just mapped among them, and the instrument's port could not be chosen.
    char port[10];
    for (uint32_t i = 0, n = serialPortCount(); i < n; ++i)
        if (ListSerialPorts(port, sizeof port, i)) InstrumentCommPort->addItem(QString::fromUtf8(port));
    ListUsbDevices();
    LoadConfiguration();
}

void TInstrumentConfiguration::closeDialog(int result) {
    if (IsModal())
        SetModalResult(result);
    else
        Close();
}

void TInstrumentConfiguration::SaveClick() {
    // The settings apply at once: the instrument halts and the link is opened anew. Whatever
    // runs (heaters, pumps, an operation on a disabled instrument too) is asked for first.
    RunningNow running =
        InstrumentModule && InstrumentModule->Enabled ? RunningNow::HeatersOrPumps : RunningNow::Nothing;
    if (OnWhatRuns) running = OnWhatRuns();
    if (running != RunningNow::Nothing &&
        messageBox(_("Saving applies the settings at once: the link to the instrument is closed and opened "
                     "again, and the instrument is halted (heaters and pumps off, set points and LCD message "
                     "cleared).") +
                       (running == RunningNow::Operation ? "\n\n" + _("The operation in progress stops.")
                                                         : QString()) +
                       "\n\n" + _("Save the settings?"),
                   _("Please, confirm"), MsgButtons::OKCancel, mrCancel, MsgIcon::Warning) != mrOk)
        return;
    // A save that failed changes nothing: the program keeps its settings and its link, and the
    // instrument goes on as it was; the dialog closes, as after any save.
    if (SaveConfiguration()) runGuarded(OnApplyConfiguration);
    closeDialog(mrOk);
}

void TInstrumentConfiguration::CancelClick() {
    closeDialog(mrCancel);
}

void TInstrumentConfiguration::HelpClick() {
    Help::showTopicOf(this);
}

void TInstrumentConfiguration::enableConnectionRow(int32_t method) {
    const std::pair<int32_t, QWidget*> controls[] = {
        {1, InstrumentIPAddress}, {1, IPAddressLbl}, {2, InstrumentCommPort}, {2, CommPortLbl},
        {3, InstrumentUSBPort},   {3, USBPortLbl},   {3, RefreshUSBBtn},
    };
    for (const auto& [row, w] : controls) w->setEnabled(row == method);
}

void TInstrumentConfiguration::CommRadioNetClick() {
    enableConnectionRow(1);
}

void TInstrumentConfiguration::CommRadioComClick() {
    enableConnectionRow(2);
}

void TInstrumentConfiguration::ConnectMethodRadioUSBClick() {
    enableConnectionRow(3);
}

void TInstrumentConfiguration::ReactorVolumeChange() {
    double volume = 0.0;
    // An empty field is where the operator starts typing (and a volume never set): no warning.
    if (ReactorVolume->GetText().trimmed().isEmpty()) return;
    const bool tell = isVisible() && !loading_;
    if (!tryStrToFloat(text8(ReactorVolume->GetText()), volume)) {
        if (tell)
            warn(
                "The Reactor Volume value should contain numbers and decimal point, no other symbols, "
                "please.",
                "Warning");
        return;
    }
    if (volume < 0.0 || volume > 70.0) {
        if (tell) warn("The Reactor Volume should be between 0 and 70.", "Warning");
        return;
    }
    ReactorMaxTempLabel->SetCaption(
        rangeText(volume > 2.5 ? " 30\u00B0C - 80\u00B0C" : " 30\u00B0C - 130\u00B0C"));
}

void TInstrumentConfiguration::HPLCTypeOnChange() {
    ChemInstance->hide();
    ChemInstanceLbl->hide();
    // Decided on the stored name, so a translated list behaves the same.
    const int i = HPLCType->GetItemIndex();
    const QString type = i >= 0 ? HPLCType->itemData(i, StoredNameRole).toString() : QString();
    if (type == "No Connection to HPLC") {
        UseOfRelaysLbl->SetCaption(QString());
    } else if (type.contains("Agilent")) {
        UseOfRelaysLbl->SetCaption(_("Will be using Software Synchronization."));
        ChemInstance->show();
        ChemInstanceLbl->show();
    } else {
        UseOfRelaysLbl->SetCaption(_("Will be using relays."));
    }
}

void TInstrumentConfiguration::MeasureBarRBtnClick() {
    checkOnly(unitButtons(), MeasureBarRBtn);
}

void TInstrumentConfiguration::MeasurePsiRBtnClick() {
    checkOnly(unitButtons(), MeasurePsiRBtn);
}

void TInstrumentConfiguration::RefillMaxRBtnClick() {
    checkOnly(refillButtons(), RefillMaxRBtn);
}

void TInstrumentConfiguration::RefillFastRBtnClick() {
    checkOnly(refillButtons(), RefillFastRBtn);
}

void TInstrumentConfiguration::RefillSlowRBtnClick() {
    checkOnly(refillButtons(), RefillSlowRBtn);
    if (isVisible())
        messageBox(
            _("Slow refill speed can be used for viscous reagents. The refill process will take longer "
              "with a slower refill rate."),
            _("Note"), MsgButtons::OK, mrOk, MsgIcon::Information);
}

void TInstrumentConfiguration::RefreshUSBBtnClick() {
    ListUsbDevices();
}
