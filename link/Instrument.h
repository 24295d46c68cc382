// The instrument state: connection settings, the current method and sequence, the two pump
// channels, the fields of the maintenance procedures and of the sequence run, and thin getters
// over the instrument API. It opens and closes the link window and switches the heaters on and
// off ("enable" and "disable"). Normally hidden; its window is a service view (Ctrl+Alt+I).
// The main loop calls it every tick; it never calls the main window.
#pragma once
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

#include "link/InstrumentMachines.h"
#include "link/LogFile.h"
#include "link/PumpChannel.h"
#include "link/Timers.h"
#include "methods/MethodParams.h"
#include "methods/SequenceParams.h"
#include "unicode/UxForms.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

// The procedures and the run machine come from TInstrumentMachines and work on these fields.
class TInstrumentModule : public TUxForm, public LogHeaderSource, public TInstrumentMachines {
    Q_OBJECT
  public:
    static constexpr double DefaultRefillVolume = 70.0;  // ml, when a method gives no run time
    static constexpr int32_t DefaultRefillSpeed = 55;    // ml/min

    explicit TInstrumentModule(QWidget* owner = nullptr);  // runs DataModuleCreate
    ~TInstrumentModule() override;                         // runs DataModuleDestroy

    void DataModuleCreate();
    void DataModuleDestroy();

    // Settings of the instrument key. With keepLink false the link is closed afterwards (the
    // main loop reopens it with the new settings).
    bool LoadSettings(bool keepLink);
    bool ReloadSettings() { return LoadSettings(false); }

    // One step: an open link is closed; a closed one is opened by ConnectMethod.
    void Reconnect();
    bool IsConnectionAlive();
    void ShowCommunicationWindow();
    bool StopUSBPolling();
    void ClearCommandQueue();
    void SyncPumpCount();

    double GetPump1Volume() const;
    double GetPump2Volume() const;
    double GetPump1Pressure() const;
    double GetPump2Pressure() const;
    double GetPump1Rate() const;
    double GetPump2Rate() const;
    double GetColumnTemperature() const;
    double GetReactorTemperature() const;
    double GetColumnSetPoint() const;  // -100.0: off
    double GetReactorSetPoint() const;
    bool GetRelayInput() const;
    uint32_t GetInstrumentNumber() const;  // 0 until the identity line came
    std::string GetVersionText() const;
    void SetColumnSetPoint(double t);
    void SetReactorSetPoint(double t);
    // Elapsed run time while a run is in progress; a negative count-down of the equilibration
    // while the next run is prepared; 0 otherwise.
    int32_t GetRunSeconds();

    // Reloads the current sequence by its name.
    bool GetSequenceParams();
    // Loads the method of sequence line LineIndex into Method; false without a sequence,
    // without lines, or when the line's method is not stored (Method is then emptied).
    bool GetMethodParams();
    double RefillVolume(int pump) { return RefillVolumeForRun(pump, 15); }
    // Syringe volume (ml) that one run of Method needs on the pump, plus the extra minutes at
    // the method's start flow.
    double RefillVolumeForRun(int pump, double extraMinutes) const;
    // The same for any method record.
    static double RefillVolumeForRun(const TMethodINIParams& method, int pump, double extraMinutes);
    // Whether the syringes hold enough for the first run of the current sequence.
    bool PumpsHoldEnoughForRun();

    bool EnableInstrument();
    bool DisableInstrument();

    void CalculateRefillVolBtnClick();
    void DeltaValueChange();

    // LogHeaderSource
    uint32_t instrumentNumber() const override { return GetInstrumentNumber(); }
    std::string versionText() const override { return GetVersionText(); }
    std::string ipAddress() const override { return IP; }
    std::string currentSequenceName() const override { return Sequence.Name.toStdString(); }
    std::string currentMethodName() const override { return Method.Name; }
    int32_t connectMethod() const override { return ConnectMethod; }

    // Fields.
    uint8_t RunState = 0;
    uint8_t StorageStep = 0;
    uint8_t InstrumentFlushState = 0;
    int32_t RunSeconds = 0;
    TCountDownTimer CoolingTimer;
    TCountDownTimer HplcWaitTimer;
    double PumpOnRate1 = 0.0;
    double PumpOnRate2 = 0.0;
    int32_t StepCount = 0;
    bool NeedCooling = false;
    double CoolingDelta = 0.0;
    int32_t PressureUnit = 0;  // 1 bar, 2 psi, 0 not set
    bool SinglePump = false;
    TMethodINIParams Method;
    TSequenceINIParams Sequence;
    std::string IP;
    std::string USB;
    QString EnableErrorText;
    int32_t PercentDone = 0;
    int32_t ConnectMethod = 0;  // 1 TCP/IP, 2 serial, 3 USB
    bool TempRamping = false;
    uint8_t SequenceEndReason = 0;
    QString SequenceStopReason;  // why the program stopped the sequence (end reason 3), for the operator
    TPumpChannel* Channel1 = nullptr;  // owned
    TPumpChannel* Channel2 = nullptr;  // owned
    bool RunSignal = false;
    int32_t LineIndex = 0;
    int32_t RunIndex = 0;
    int32_t RunCounter = 0;
    bool Enabled = false;
    TCountUpTimer RunClock;
    int32_t RefillSpeed = 0;
    TCountDownTimer EquilTimer;
    TCountDownTimer ValveWaitTimer;
    int32_t PumpStarts = 0;

    // The service window.
    QLabel* RefillVol1Lbl = nullptr;
    QLabel* RefillVol1 = nullptr;
    QPushButton* CalculateRefillVolBtn = nullptr;
    QLabel* RefillVol2 = nullptr;
    QLabel* RefillVol2Lbl = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* PercentDoneVal = nullptr;
    QLineEdit* DeltaValue = nullptr;
    QLabel* Label2 = nullptr;
    QCheckBox* Forced5MinChkBox = nullptr;
    QSpinBox* UpDown1 = nullptr;
    QLabel* DeltaRealValue = nullptr;
    QCheckBox* RecFanAlwaysOn = nullptr;

  private:
    template <class F>
    void guarded(F&& f);
};

// The instrument state, created at start-up (the first one constructed registers itself).
extern TInstrumentModule* InstrumentModule;
