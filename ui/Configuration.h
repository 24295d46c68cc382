// The instrument configuration dialog: the one place where the operator edits the
// instrument's settings, stored as named values under the instrument key of the running
// instance. Missing values show their defaults; nothing is stored before Save.
#pragma once
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "unicode/UxControls.h"
#include "unicode/UxForms.h"

class QRadioButton;

// Set by the main window: reloads the settings of the running program after a Save.
extern std::function<void()> OnApplyConfiguration;
// What a Save would stop: it halts the instrument and opens the link anew.
enum class RunningNow { Nothing, HeatersOrPumps, Operation };
// Set by the main window; without it the instrument's enabled state decides.
extern std::function<RunningNow()> OnWhatRuns;

class TInstrumentConfiguration : public TUxForm {
    Q_OBJECT
  public:
    // Builds the form and loads the stored values (hidden, so the volume warnings stay silent).
    explicit TInstrumentConfiguration(QWidget* owner = nullptr);
    ~TInstrumentConfiguration() override;

    // Values shown when a setting is missing.
    static constexpr const char* DefaultIP = "192.168.1.100";
    static constexpr const char* DefaultCom = "COM1";
    static constexpr const char* DefaultPressureMeasure = "psi";
    static constexpr int32_t DefaultConnectMethod = 1;
    static constexpr int32_t DefaultRefillSpeed = 55;
    // The HPLC systems, as stored in "HPLCType" (the HPLC link compares them exactly).
    static const char* const HPLCTypes[6];

    bool LoadConfiguration();
    bool SaveConfiguration();
    // The index-th serial port name of the system's port map into buffer (with its terminator);
    // false when there is none, it is not text, or it does not fit.
    bool ListSerialPorts(char* buffer, uint32_t size, uint32_t index);
    bool ListUsbDevices();

    void FormCreate();
    void FormActivate();
    void SaveClick();
    void CancelClick();
    void HelpClick();
    void CommRadioNetClick();
    void CommRadioComClick();
    void ConnectMethodRadioUSBClick();
    void ReactorVolumeChange();
    void HPLCTypeOnChange();
    void MeasureBarRBtnClick();
    void MeasurePsiRBtnClick();
    void RefillMaxRBtnClick();
    void RefillFastRBtnClick();
    void RefillSlowRBtnClick();
    void RefreshUSBBtnClick();

    std::string RegistryKey;
    std::string UsbDevice;

    TUxPageControl* Instrument = nullptr;
    TUxTabSheet* InstrumentSheet = nullptr;
    TUxTabSheet* ColumnSheet = nullptr;
    TUxTabSheet* ReactorSheet = nullptr;
    TUxTabSheet* PumpSheet = nullptr;
    TUxTabSheet* MoreSheet = nullptr;

    TUxLabel* InstrumentLabelLbl = nullptr;
    TUxEdit* InstrumentLabel = nullptr;
    TUxGroupBox* ConnectionGroup = nullptr;
    TUxRadioButton* ConnectMethodRadio1 = nullptr;
    TUxRadioButton* ConnectMethodRadio2 = nullptr;
    TUxRadioButton* ConnectMethodRadio3 = nullptr;
    TUxLabel* IPAddressLbl = nullptr;
    TUxEdit* InstrumentIPAddress = nullptr;
    TUxLabel* CommPortLbl = nullptr;
    TUxComboBox* InstrumentCommPort = nullptr;
    TUxLabel* USBPortLbl = nullptr;
    TUxComboBox* InstrumentUSBPort = nullptr;
    TUxButton* RefreshUSBBtn = nullptr;

    TUxLabel* ColTmpRangeLbl = nullptr;

    TUxLabel* ReactorVolumeLbl = nullptr;
    TUxEdit* ReactorVolume = nullptr;
    TUxLabel* ReactorMaxTempLabel = nullptr;

    TUxLabel* PumpMaxVolLabel = nullptr;
    TUxLabel* PumpMaxVolValueLbl = nullptr;
    TUxLabel* PumpMaxFlowRateLbl = nullptr;
    TUxLabel* PumpMaxFlowRateValueLbl = nullptr;
    TUxGroupBox* RefillSpeedPanel = nullptr;
    TUxRadioButton* RefillFastRBtn = nullptr;
    TUxRadioButton* RefillSlowRBtn = nullptr;
    TUxRadioButton* RefillMaxRBtn = nullptr;
    TUxGroupBox* PressureUnitPanel = nullptr;
    TUxRadioButton* MeasureBarRBtn = nullptr;
    TUxRadioButton* MeasurePsiRBtn = nullptr;

    TUxLabel* HPLCTypeLbl = nullptr;
    TUxComboBox* HPLCType = nullptr;
    TUxLabel* UseOfRelaysLbl = nullptr;
    TUxLabel* ChemInstanceLbl = nullptr;
    TUxComboBox* ChemInstance = nullptr;

    TUxButton* Save = nullptr;
    TUxButton* Cancel = nullptr;
    TUxButton* Help = nullptr;

  private:
    void buildControls();
    void closeDialog(int result);
    // Checks on (nullptr: none) and unchecks its sisters, without running their click handlers.
    static void checkOnly(std::span<QRadioButton* const> group, QRadioButton* on);
    static uint32_t serialPortCount();  // values in the system's port map
    std::array<QRadioButton*, 3> connectionButtons() const;
    std::array<QRadioButton*, 3> refillButtons() const;
    std::array<QRadioButton*, 2> unitButtons() const;
    // Enables the controls of one connection row (1 network, 2 serial, 3 USB), disables the others.
    void enableConnectionRow(int32_t method);
    // Selects the first item equal to text, case ignored; none when absent.
    static void selectEqual(TUxComboBox* box, const QString& text);
    // The stored values are being shown: the volume's warnings are for what the operator types.
    bool loading_ = false;
};

extern TInstrumentConfiguration* InstrumentConfiguration;
