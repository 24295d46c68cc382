#include "link/HPLC.h"

#include <QGridLayout>
#include <QLabel>
#include <QTimer>
#include <exception>

#include "link/ChemStation.h"
#include "link/LogFile.h"
#include "link/StoredParams.h"
#include "platform/Dialogs.h"
#include "platform/i18n.h"

THPLCModule* HPLCModule = nullptr;

namespace {

// The list texts of the configuration dialog, by type.
const char* const TypeTexts[] = {"Agilent ChemStation", "Varian StarWS", "PE TotalChrom", "Waters", "Other"};

}  // namespace

THPLCModule::THPLCModule(QWidget* owner) : TUxForm(owner) {
    setObjectName("HPLCModule");
    SetCaption("HPLC Module");
    auto* grid = new QGridLayout(this);
    auto row = [&](int r, const char* caption, QLabel*& value, const char* name) {
        grid->addWidget(new QLabel(caption, this), r, 0);
        value = new QLabel("N/I", this);
        value->setObjectName(name);
        grid->addWidget(value, r, 1);
    };
    row(0, "HPLC Status:", ChemStatusVal, "ChemStatusVal");
    row(1, "Relay State:", RelayStateVal, "RelayStateVal");
    row(2, "DDE State:", DDEStateVal, "DDEStateVal");
    row(3, "DDE Name:", DDENameVal, "DDENameVal");
    TranslateComponent(this);

    Timer1 = new QTimer(this);
    Timer1->setInterval(1000);
    connectTimer(Timer1, this, [this] { Timer1Timer(); });
    FormCreate();
    Timer1->start();
}

THPLCModule::~THPLCModule() {
    if (HPLCModule == this) HPLCModule = nullptr;
}

void THPLCModule::FormCreate() {
    RunSeconds = 0;
    HPLCState = hsStopped;
    RelayInput = false;
    PrevRelayInput = false;
    StatusText = "N/A";
    LoadHPLCType();
}

TChemStation1* THPLCModule::chem() const {
    return ChemStation ? ChemStation : ChemStation1;
}

uint8_t THPLCModule::TypeFromText(const std::string& text) {
    for (uint8_t t = htChemStation; t < htNone; ++t)
        if (text == TypeTexts[t]) return t;
    return htNone;
}

bool THPLCModule::LoadHPLCType() {
    HPLCType =
        TypeFromText(TStoredParams::ReadRegistryString(TStoredParams::InstrumentRegistryKey(), "HPLCType"));
    return true;
}

bool THPLCModule::SetStopped() {
    HPLCState = hsStopped;
    return true;
}

void THPLCModule::Timer1Timer() {
    UpdateState();
}

bool THPLCModule::UpdateState() {
    TChemStation1* cs = chem();
    switch (HPLCType) {
        case htChemStation:
            // Once started the data system's poll goes on for the program's life, whatever the
            // type becomes: a type changed back finds it answered and the conversation open.
            if (cs) {
                if (!cs->Timer1->isActive()) cs->Timer1->start();
                StatusText = cs->GetStatus();
            }
            if (StatusText == "RUN")
                HPLCState = hsRunning;
            else if (StatusText == "ERROR" || StatusText == "NOTREADY")
                HPLCState = hsError;
            else
                HPLCState = hsNotRunning;
            break;
        case htStarWS:
        case htTotalChrom:
        case htWaters:
        case htOther:
            if (RelayInput) {
                HPLCState = hsRunning;
                if (!PrevRelayInput) RunSeconds = 0;
            } else {
                HPLCState = hsNotRunning;
            }
            PrevRelayInput = RelayInput;
            break;
        default:
            HPLCState = hsNoHPLC;
            break;
    }
    if (HPLCState == hsRunning) ++RunSeconds;

    const QString status = QString::fromStdString(StatusText);
    if (status != ChemStatusVal->text())
        logLine("#hplc: DDE HPLC state= " + TLogFile::CutReceived(StatusText, false));
    ChemStatusVal->setText(status);
    RelayStateVal->setText(RelayInput ? "1" : "0");
    DDEStateVal->setText(cs && cs->LinkOpen ? "1" : "0");
    DDENameVal->setText(cs ? QString::fromStdString(cs->DDEServiceName) : QString());
    return true;
}
