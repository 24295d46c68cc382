#include "ui/ChangeSeal.h"

#include "link/Instrument.h"
#include "link/PumpChannel.h"
#include "link/ZentrovaAPI.h"
#include "platform/Dialogs.h"
#include "platform/i18n.h"

TChangeSeal* ChangeSeal = nullptr;

TChangeSeal::TChangeSeal(QWidget* owner) : TUxForm(owner) {}

TChangeSeal::~TChangeSeal() {
    if (ChangeSeal == this) ChangeSeal = nullptr;
}

bool TChangeSeal::StartProcedure() {
    SealState = 0;
    return true;
}

bool TChangeSeal::valvesAt(int8_t p) const {
    const TInstrumentModule& m = *InstrumentModule;
    auto at = [p](const TPumpChannel* c) { return c->Valve->GetPosition() == p && c->Valve->IsInPosition(); };
    return at(m.Channel1) && (m.SinglePump || at(m.Channel2));
}

bool TChangeSeal::Step() {
    if (!InstrumentModule || !InstrumentModule->Channel1 || !InstrumentModule->Channel2) return false;
    TInstrumentModule& m = *InstrumentModule;
    // A box's answer counts only while the procedure that asked is still running: stopped under
    // the box, it does nothing more (a new start may already own SealState).
    const uint64_t procedure = currentProcedure();
    const auto ask = [procedure](const QString& text, const QString& title, MsgButtons buttons,
                                 MsgResult defaultButton) {
        return messageBox(text, title, buttons, defaultButton, MsgIcon::None, procedure);
    };
    const auto stopped = [procedure] { return currentProcedure() != procedure; };
    switch (SealState) {
        case 0: {
            SealState = SealParked;
            const MsgResult r =
                ask(_("You requested Change Seal Procedure.\n\nThis procedure requires special "
                      "training. Please, follow step-by-step instructions.\n\nDo you want to "
                      "continue?"),
                    _("Please, confirm"), MsgButtons::YesNo, mrNo);
            if (stopped()) return false;
            SealState = r == mrYes ? 1 : SealEnd;
            break;
        }
        case 1:
            m.StartFlush();
            SealState = 2;
            break;
        case 2:
            if (!m.FlushStep()) SealState = 4;
            break;
        case 4:
            m.Channel1->Valve->MoveTo(5);
            if (!m.SinglePump) m.Channel2->Valve->MoveTo(5);
            SealState = 5;
            break;
        case 5:
            if (valvesAt(5)) SealState = 3;
            break;
        case 3: {
            SealState = SealParked;
            const MsgResult r =
                ask(_("The pump needs to dispense all the liquid from the syringe.\nPlease remove "
                      "the flush line from the bottle. Click OK when ready."),
                    _("Instructions"), MsgButtons::OKCancel, mrOk);
            if (stopped()) return false;
            SealState = r == mrOk ? 6 : SealEnd;
            break;
        }
        case 6:
            m.Channel1->StartFillTo(SealChangeVolume);
            if (!m.SinglePump) m.Channel2->StartFillTo(SealChangeVolume);
            SealState = 7;
            break;
        case 7: {
            const bool done1 = m.Channel1->IsFillDone();
            const bool done2 = m.SinglePump || m.Channel2->IsFillDone();
            if (done1 && done2) SealState = 8;
            break;
        }
        case 8:
            SealState = SealParked;
            ask(_("The pumps are now ready for seal change.\nPlease follow procedure in the operating "
                  "manual."),
                _("Instructions"), MsgButtons::OK, mrOk);
            if (stopped()) return false;
            SealState = SealEnd;
            break;
        default:  // 9 the end, 10 parked
            break;
    }
    return SealState != SealEnd;
}
