// The maintenance procedures: flush, refill, empty and pump-on of both pumps or of one, the
// storage preparation and the instrument flush. Each is a start operation that arms the pump
// channels and a step the main loop calls once per tick.
#include <cmath>
#include <limits>

#include "link/Instrument.h"
#include "link/InstrumentMachines.h"
#include "link/PumpChannel.h"
#include "link/ZentrovaAPI.h"
#include "platform/Dialogs.h"
#include "platform/i18n.h"

namespace {

// Ticks per procedure that make 100 percent.
constexpr int32_t FlushTicksFull = 360;
constexpr int32_t RefillTicksFull = 240;
constexpr int32_t EmptyTicksFull = 120;
constexpr int32_t StorageTicksFull = 1800;
constexpr int32_t InstrumentFlushTicksFull = 1200;

// The slow pump-outs stop after this many ticks (about 15 minutes).
constexpr int32_t SlowPumpOutLimit = 900;
constexpr double SlowPumpOutRate = 0.3;  // ml/min

// Storage preparation: the state while one of its boxes is open.
constexpr uint8_t StorageBoxOpen = 42;
constexpr uint8_t StorageOver = 68;

int32_t percentOf(int32_t ticks, int32_t full) {
    return static_cast<int32_t>(static_cast<int64_t>(ticks) * 100 / full);
}

// Program-lifetime counters wrap to 0 instead of overflowing; the alternation goes on.
void advance(int32_t& counter) {
    counter = counter == std::numeric_limits<int32_t>::max() ? 0 : counter + 1;
}

bool isOdd(int32_t counter) {
    return (counter & 1) != 0;
}

// An operator number from a method text; false when it does not read as a finite number.
bool readNumber(const std::string& text, double& out) {
    double v = 0.0;
    if (!tryStrToFloat(text, v) || !std::isfinite(v)) return false;
    out = v;
    return true;
}

}  // namespace

TInstrumentModule& TInstrumentMachines::self() {
    return static_cast<TInstrumentModule&>(*this);
}

void TInstrumentMachines::copySpeed() {
    TInstrumentModule& m = self();
    m.Channel1->Speed = m.RefillSpeed;
    m.Channel2->Speed = m.RefillSpeed;
}

// ---------------------------------------------------------------- flush

bool TInstrumentMachines::StartFlush() {
    TInstrumentModule& m = self();
    copySpeed();
    m.Channel1->StartFlush();
    if (ZentrovaAPI.Pump2Absent)
        m.Channel2->SetIdle();
    else
        m.Channel2->StartFlush();
    m.StepCount = 0;
    m.PercentDone = 0;
    return true;
}

bool TInstrumentMachines::StartFlushPump(int pump) {
    TInstrumentModule& m = self();
    copySpeed();
    if (pump == 1) {
        m.Channel1->StartFlush();
        m.Channel2->SetIdle();
    } else if (pump == 2) {
        m.Channel2->StartFlush();
        m.Channel1->SetIdle();
    }
    m.StepCount = 0;
    m.PercentDone = 0;
    return true;
}

bool TInstrumentMachines::FlushStep() {
    TInstrumentModule& m = self();
    advance(FlushTicks);
    m.PercentDone = percentOf(m.StepCount, FlushTicksFull);
    advance(m.StepCount);
    bool busy = m.Channel1->FlushStep(isOdd(FlushTicks));
    if (!ZentrovaAPI.Pump2Absent) busy = m.Channel2->FlushStep(!isOdd(FlushTicks)) || busy;
    return busy;
}

// ---------------------------------------------------------------- refill

bool TInstrumentMachines::StartRefill() {
    TInstrumentModule& m = self();
    copySpeed();
    m.RunIndex = 0;
    m.GetMethodParams();
    m.Channel1->StartRefill(m.RefillVolume(1));
    if (!ZentrovaAPI.Pump2Absent) m.Channel2->StartRefill(m.RefillVolume(2));
    m.StepCount = 0;
    m.PercentDone = 0;
    return true;
}

bool TInstrumentMachines::StartRefillPump(int pump) {
    TInstrumentModule& m = self();
    copySpeed();
    if (pump == 1) {
        m.Channel1->StartRefill(m.RefillVolume(1));
        m.Channel2->SetIdle();
    } else if (pump == 2) {
        m.Channel2->StartRefill(m.RefillVolume(2));
        m.Channel1->SetIdle();
    }
    m.PercentDone = 0;
    m.StepCount = 0;
    return true;
}

bool TInstrumentMachines::RefillStep() {
    TInstrumentModule& m = self();
    advance(RefillTicks);
    bool busy = m.Channel1->RefillStep(isOdd(RefillTicks));
    if (!ZentrovaAPI.Pump2Absent) busy = m.Channel2->RefillStep(!isOdd(RefillTicks)) || busy;
    m.PercentDone = percentOf(m.StepCount, RefillTicksFull);
    advance(m.StepCount);
    return busy;
}

// ---------------------------------------------------------------- empty

bool TInstrumentMachines::StartEmpty() {
    TInstrumentModule& m = self();
    copySpeed();
    m.Channel1->StartEmpty();
    m.Channel2->StartEmpty();
    m.StepCount = 0;
    m.PercentDone = 0;
    return true;
}

bool TInstrumentMachines::StartEmptyPump(int pump) {
    TInstrumentModule& m = self();
    copySpeed();
    if (pump == 1) {
        m.Channel1->StartEmpty();
        m.Channel2->SetIdle();
    } else if (pump == 2) {
        m.Channel2->StartEmpty();
        m.Channel1->SetIdle();
    }
    m.StepCount = 0;
    m.PercentDone = 0;
    return true;
}

bool TInstrumentMachines::EmptyStep() {
    TInstrumentModule& m = self();
    advance(EmptyTicks);
    m.PercentDone = percentOf(m.StepCount, EmptyTicksFull);
    advance(m.StepCount);
    // Both channels are stepped every tick; an idle one answers false.
    const bool busy1 = m.Channel1->EmptyStep(isOdd(EmptyTicks), m.Channel1->Speed);
    const bool busy2 = m.Channel2->EmptyStep(!isOdd(EmptyTicks), m.Channel2->Speed);
    return busy1 || busy2;
}

// ---------------------------------------------------------------- pump-on

bool TInstrumentMachines::StartPumpOn(int pump) {
    TInstrumentModule& m = self();
    copySpeed();
    m.PumpOnRate1 = 0.0;
    m.PumpOnRate2 = 0.0;
    readNumber(m.Method.Pump1Flow, m.PumpOnRate1);
    readNumber(m.Method.Pump2Flow, m.PumpOnRate2);
    if (pump == 1)
        m.Channel1->StartPumpOn();
    else if (pump == 2)
        m.Channel2->StartPumpOn();
    if (pump == 1 || pump == 2) PumpOnChannels |= uint8_t(1u << (pump - 1));
    return true;
}

bool TInstrumentMachines::PumpOnStep() {
    TInstrumentModule& m = self();
    // A channel the operator did not choose is not stepped: whatever another machine left in
    // its state (a fill stopped half way) would otherwise start that pump too.
    const bool busy1 = (PumpOnChannels & 1u) != 0 && m.Channel1->PumpOnStep(m.PumpOnRate1);
    const bool busy2 = (PumpOnChannels & 2u) != 0 && m.Channel2->PumpOnStep(m.PumpOnRate2);
    return busy1 || busy2;
}

void TInstrumentMachines::StopPumps() {
    TInstrumentModule& m = self();
    pumpsOff();
    if (m.Channel1) m.Channel1->SetIdle();
    if (m.Channel2) m.Channel2->SetIdle();
    PumpOnChannels = 0;
}

void TInstrumentMachines::StopPump(int pump) {
    TInstrumentModule& m = self();
    TPumpChannel* c = pump == 1 ? m.Channel1 : pump == 2 ? m.Channel2 : nullptr;
    if (!c) return;
    // Off alone leaves a pump-on that still waits for its valve in its start states: the next
    // step would dispense again.
    c->Stop();
    c->SetIdle();
    PumpOnChannels &= uint8_t(~(1u << (pump - 1)));
}

// ---------------------------------------------------------------- shared moves of the long procedures

// Channel 2 takes part only on a two-pump instrument.
bool TInstrumentMachines::bothValvesAt(int8_t p) {
    TInstrumentModule& m = self();
    auto at = [p](const TPumpChannel* c) { return c->Valve->GetPosition() == p && c->Valve->IsInPosition(); };
    return at(m.Channel1) && (m.SinglePump || at(m.Channel2));
}

void TInstrumentMachines::bothValvesTo(int8_t p) {
    TInstrumentModule& m = self();
    m.Channel1->Valve->MoveTo(p);
    if (!m.SinglePump) m.Channel2->Valve->MoveTo(p);
}

void TInstrumentMachines::fillTo(double volume) {
    TInstrumentModule& m = self();
    m.Channel1->StartFillTo(volume);
    if (!m.SinglePump) m.Channel2->StartFillTo(volume);
}

bool TInstrumentMachines::fillDone() {
    TInstrumentModule& m = self();
    const bool done1 = m.Channel1->IsFillDone();
    const bool done2 = m.SinglePump || m.Channel2->IsFillDone();
    return done1 && done2;
}

void TInstrumentMachines::armPumpOut() {
    TInstrumentModule& m = self();
    m.Channel1->StartEmpty();
    if (!m.SinglePump) m.Channel2->StartEmpty();
}

bool TInstrumentMachines::pumpOut(double rate) {
    TInstrumentModule& m = self();
    const bool busy1 = m.Channel1->PumpOutStep(rate < 0 ? m.Channel1->Speed : rate);
    const bool busy2 = !m.SinglePump && m.Channel2->PumpOutStep(rate < 0 ? m.Channel2->Speed : rate);
    return busy1 || busy2;
}

// Both pumps whatever SinglePump says, as DisableInstrument stops them.
void TInstrumentMachines::pumpsOff() {
    ZentrovaAPI.Pump1.Off();
    ZentrovaAPI.Pump2.Off();
}

TInstrumentMachines::Answer TInstrumentMachines::askOperator(const QString& text) {
    const uint64_t procedure = currentProcedure();
    const MsgResult r =
        messageBox(text, _("Action Required"), MsgButtons::OKCancel, mrNone, MsgIcon::None, procedure);
    if (currentProcedure() != procedure) return Answer::Stopped;
    return r == mrOk ? Answer::Ok : Answer::Refused;
}

// ---------------------------------------------------------------- storage preparation

bool TInstrumentMachines::storageBox(const QString& text, uint8_t next) {
    TInstrumentModule& m = self();
    // The main timer keeps calling while the box is open; state 42 makes those calls idle.
    m.StorageStep = StorageBoxOpen;
    switch (askOperator(text)) {
        case Answer::Ok:
            m.StorageStep = next;
            return true;
        case Answer::Refused:
            m.StorageStep = StorageOver;
            return true;
        case Answer::Stopped:
            break;
    }
    return false;
}

bool TInstrumentMachines::StartStorageProcedure() {
    TInstrumentModule& m = self();
    copySpeed();
    m.StorageStep = 0;
    m.PercentDone = 0;
    m.StepCount = 0;
    return true;
}

bool TInstrumentMachines::StorageProcedureStep() {
    TInstrumentModule& m = self();
    if (m.StorageStep != StorageBoxOpen) advance(m.StepCount);
    m.PercentDone = percentOf(m.StepCount, StorageTicksFull);
    constexpr double AtSpeed = -1.0;

    switch (m.StorageStep) {
        case 0:
            m.StorageStep = 1;
            break;
        case 1:
            if (!storageBox(_("Please replace your reagent with mixture of water-methanol (80/20).\n"
                              "Click OK when finished."),
                            2))
                return false;
            break;
        case 2: {
            const bool already = bothValvesAt(4);
            bothValvesTo(4);
            m.StorageStep = already ? 4 : 3;
            break;
        }
        case 3:
            if (bothValvesAt(4)) m.StorageStep = 4;
            break;
        case 4:
            fillTo(20.0);
            m.StorageStep = 5;
            break;
        case 5:
            if (fillDone()) m.StorageStep = 6;
            break;
        case 6:
            bothValvesTo(1);
            m.StorageStep = 7;
            break;
        case 7:
            if (bothValvesAt(1)) m.StorageStep = 8;
            break;
        case 8:
            armPumpOut();
            m.StorageStep = 9;
            break;
        case 9:
            if (!pumpOut(AtSpeed)) m.StorageStep = 10;
            break;
        case 10:
            m.Channel1->StartFlush();
            if (!m.SinglePump) m.Channel2->StartFlush();
            m.StorageStep = 11;
            break;
        case 11: {
            const bool busy1 = m.Channel1->FlushStep(false);
            const bool busy2 = !m.SinglePump && m.Channel2->FlushStep(false);
            if (!busy1 && !busy2) m.StorageStep = 12;
            break;
        }
        case 12:
            bothValvesTo(5);
            m.StorageStep = 13;
            break;
        case 13:
            if (bothValvesAt(5)) m.StorageStep = 14;
            break;
        case 14:
            fillTo(20.0);
            m.StorageStep = 15;
            break;
        case 15:
            if (fillDone()) m.StorageStep = 16;
            break;
        case 16: {
            const bool already = bothValvesAt(2);
            bothValvesTo(2);
            m.StorageStep = already ? 18 : 17;
            break;
        }
        case 17:
            if (bothValvesAt(2)) m.StorageStep = 18;
            break;
        case 18:
            armPumpOut();
            StoragePumpOutTicks = 0;
            m.StorageStep = 19;
            break;
        case 19: {
            const bool busy = pumpOut(SlowPumpOutRate);
            if (!busy || StoragePumpOutTicks > SlowPumpOutLimit) {
                pumpsOff();
                m.StorageStep = 20;
            }
            advance(StoragePumpOutTicks);
            break;
        }
        case 20:
            bothValvesTo(1);
            m.StorageStep = 21;
            break;
        case 21:
            if (bothValvesAt(1)) m.StorageStep = 22;
            break;
        case 22:
            armPumpOut();
            m.StorageStep = 23;
            break;
        case 23:
            if (!pumpOut(AtSpeed)) m.StorageStep = 25;
            break;
        case 25:
            if (!storageBox(_("Please empty piston wash and flush bottles.\nClick OK when finished."), 26))
                return false;
            break;
        case 26:
        case 34:
            bothValvesTo(5);
            m.StorageStep = m.StorageStep + 1;
            break;
        case 27:
        case 35:
            if (bothValvesAt(5)) m.StorageStep = m.StorageStep + 1;
            break;
        case 28:
        case 36:
            fillTo(70.0);
            m.StorageStep = m.StorageStep + 1;
            break;
        case 29:
        case 37:
            if (fillDone()) m.StorageStep = m.StorageStep + 1;
            break;
        case 30:
        case 38:
            bothValvesTo(1);
            m.StorageStep = m.StorageStep + 1;
            break;
        case 31:
        case 39:
            if (bothValvesAt(1)) m.StorageStep = m.StorageStep + 1;
            break;
        case 32:
        case 40:
            armPumpOut();
            m.StorageStep = m.StorageStep + 1;
            break;
        case 33:
            if (!pumpOut(AtSpeed)) m.StorageStep = 34;
            break;
        case 41: {
            if (!pumpOut(AtSpeed)) m.StorageStep = 34;
            // The last cycle ends as soon as the syringes are down to about 40 ml. An absent
            // pump's reading is not waited for: it may never drop and the cycle would not end.
            const bool low1 = ZentrovaAPI.Pump1.GetVolume() < 40.0;
            const bool low2 = m.SinglePump || ZentrovaAPI.Pump2.GetVolume() < 40.0;
            if (low1 && low2) {
                pumpsOff();
                m.StorageStep = StorageOver;
            }
            break;
        }
        case StorageBoxOpen:
            break;
        case StorageOver:
            return false;
        default:
            break;
    }
    return true;
}

// ---------------------------------------------------------------- instrument flush

bool TInstrumentMachines::StartInstrumentFlush() {
    TInstrumentModule& m = self();
    copySpeed();
    m.InstrumentFlushState = 0;
    m.StepCount = 0;
    m.PercentDone = 0;
    return true;
}

bool TInstrumentMachines::InstrumentFlushStep() {
    TInstrumentModule& m = self();
    m.PercentDone = percentOf(m.StepCount, InstrumentFlushTicksFull);
    advance(m.StepCount);
    constexpr double AtSpeed = -1.0;
    uint8_t& s = m.InstrumentFlushState;

    switch (s) {
        case 0:
            s = 1;
            break;
        case 1:
        case 9:
        case 21:
            bothValvesTo(1);
            ++s;
            break;
        case 2:
        case 10:
        case 22:
            if (bothValvesAt(1)) ++s;
            break;
        case 3:
        case 11:
        case 23:
            armPumpOut();
            ++s;
            break;
        case 4:
        case 12:
        case 24:
            if (!pumpOut(AtSpeed)) ++s;
            break;
        case 5:
        case 13:
            bothValvesTo(5);
            ++s;
            break;
        case 6:
        case 14:
            if (bothValvesAt(5)) ++s;
            break;
        case 7:
            fillTo(10.0);
            s = 8;
            break;
        case 15:
            fillTo(70.0);
            s = 16;
            break;
        case 8:
        case 16:
            if (fillDone()) ++s;
            break;
        case 17:
            bothValvesTo(2);
            s = 18;
            break;
        case 18:
            if (bothValvesAt(2)) s = 19;
            break;
        case 19:
            armPumpOut();
            InstrumentFlushPumpOutTicks = 0;
            s = 20;
            break;
        case 20: {
            const bool busy = pumpOut(SlowPumpOutRate);
            if (!busy || InstrumentFlushPumpOutTicks > SlowPumpOutLimit) {
                pumpsOff();
                s = 21;
            }
            advance(InstrumentFlushPumpOutTicks);
            break;
        }
        case 25:
        case 26:
            return false;
        default:
            break;
    }
    return true;
}
