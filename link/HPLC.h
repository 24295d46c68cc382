// The HPLC module: holds the configured HPLC type and works out, once a second, the one
// HPLC state the main loop, the sequence run and the critical-error monitor read. The run
// signal comes from the data system's acquisition status (ChemStation) or from the relay
// input of the instrument (every other type). A small service window shows its values.
#pragma once
#include <QString>
#include <cstdint>
#include <functional>
#include <string>

#include "unicode/UxForms.h"

class QTimer;
class QLabel;
class TChemStation1;

enum THPLCType : uint8_t {
    htChemStation = 0,
    htStarWS = 1,
    htTotalChrom = 2,
    htWaters = 3,
    htOther = 4,
    htNone = 5,
};

enum THPLCState : uint8_t {
    hsNotRunning = 0,
    hsRunning = 1,
    hsStopped = 3,
    hsError = 4,
    hsNoHPLC = 5,
};

class THPLCModule : public TUxForm {
    Q_OBJECT
  public:
    explicit THPLCModule(QWidget* owner = nullptr);  // runs FormCreate; Timer1 starts
    ~THPLCModule() override;

    bool LoadHPLCType();
    bool UpdateState();
    void SetRelayInput(bool on) { RelayInput = on; }
    bool SetStopped();
    void FormCreate();
    void Timer1Timer();

    uint8_t GetState() const { return HPLCState; }

    // The type of a stored "HPLCType" text, compared exactly with the list texts the
    // configuration dialog stores (untranslated). Anything else is htNone.
    static uint8_t TypeFromText(const std::string& text);

    bool RelayInput = false;
    bool PrevRelayInput = false;
    uint32_t RunSeconds = 0;
    uint8_t HPLCState = hsStopped;
    std::string StatusText = "N/A";
    uint8_t HPLCType = htNone;

    // The data-system client consulted for type 0 (ChemStation1 unless set otherwise).
    TChemStation1* ChemStation = nullptr;

    QLabel* ChemStatusVal = nullptr;
    QLabel* RelayStateVal = nullptr;
    QLabel* DDEStateVal = nullptr;
    QLabel* DDENameVal = nullptr;
    QTimer* Timer1 = nullptr;  // 1000 ms, runs from creation on

  private:
    TChemStation1* chem() const;
};

extern THPLCModule* HPLCModule;
