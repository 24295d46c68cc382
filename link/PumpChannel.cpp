#include "link/PumpChannel.h"

namespace {

// States at which a refill waits while the other channel has its turn.
bool refillHolds(uint8_t s) {
    switch (s) {
        case 8:
        case 11:
        case 12:
        case 14:
        case 15:
        case 16:
        case 19:
        case 20:
        case 22:
        case 23:
        case 29:
        case 30:
        case 31:
            return true;
        default:
            return false;
    }
}

bool isRefillState(uint8_t s) {
    return (s >= 1 && s <= 33 && s != 5 && s != 6 && s != 7 && !(s >= 24 && s <= 28)) ||
           (s >= 79 && s <= 84) || s == 90;
}

bool isFlushState(uint8_t s) {
    return s == 1 || (s >= 34 && s <= 53) || s == 90;
}

bool isEmptyState(uint8_t s) {
    return s == 1 || (s >= 55 && s <= 62) || s == 90;
}

}  // namespace

void TPumpChannel::Init(uint32_t n, TPump* pump, TValve* valve) {
    Pump = pump;
    Valve = valve;
    if (Valve) Valve->ValveNumber = n;
    if (Pump) Pump->ChannelNumber = n;
}

// ---------------------------------------------------------------- simple commands

void TPumpChannel::dispense(double r) {
    Pump->SetForwardRate(r);
    Pump->Forward();
}

void TPumpChannel::aspirate(double r) {
    Pump->SetReverseRate(r);
    Pump->Reverse();
}

void TPumpChannel::stop() {
    Pump->Off();
}

bool TPumpChannel::StartRefill(double volume) {
    State = 1;
    TargetVolume = volume;
    return true;
}

bool TPumpChannel::StartFlush() {
    State = 1;
    PassCount = 0;
    if (Pump && Pump->GetRate() != 0.0) stop();
    return true;
}

bool TPumpChannel::StartEmpty() {
    State = 1;
    return true;
}

bool TPumpChannel::StartPumpOn() {
    State = 1;
    return true;
}

bool TPumpChannel::SetIdle() {
    State = 0;
    return true;
}

bool TPumpChannel::StartPressureTest(double p) {
    State = 1;
    StopPressure = p;
    return true;
}

bool TPumpChannel::StartFillTo(double volume) {
    TargetVolume = volume;
    if (Pump && Pump->GetVolume() < volume) {
        aspirate(Speed);
        State = 1;
    } else {
        State = 90;
    }
    return true;
}

bool TPumpChannel::IsFillDone() {
    if (!Pump) return true;
    if (!Pump->LimitA && !Pump->IsStopped() && Pump->GetVolume() < TargetVolume && TargetVolume != 0.0)
        return false;
    stop();
    State = 90;
    return true;
}

bool TPumpChannel::PumpForward(double r) {
    if (Pump) dispense(r);
    RunRate = -1.0;
    return true;
}

bool TPumpChannel::SetRunRate(double r) {
    if (r == RunRate || !Pump) return true;
    stop();
    if (r > 0.0) dispense(r);
    RunRate = r;
    return true;
}

bool TPumpChannel::Stop() {
    if (Pump) stop();
    return true;
}

bool TPumpChannel::IsValvePositionUnknown() const {
    return Valve && Valve->GetPosition() == 0;
}

// ---------------------------------------------------------------- helpers of the machines

bool TPumpChannel::valveStep(int8_t p) {
    if (Valve->GetPosition() == p && Valve->IsInPosition()) {
        StateTicks = 0;
        return true;
    }
    if (StateTicks == 0) Valve->MoveTo(p);
    ++StateTicks;
    return false;
}

bool TPumpChannel::flushMove(bool forward, bool done) {
    if (done || (Pump->IsStopped() && StateTicks >= 2)) {
        stop();
        StateTicks = 0;
        return true;
    }
    if (StateTicks == 0) forward ? dispense(Speed) : aspirate(Speed);
    ++StateTicks;
    return false;
}

void TPumpChannel::EndRefill() {
    State = 0;
    stop();
}

void TPumpChannel::EndFlush() {
    State = 0;
    stop();
}

// ---------------------------------------------------------------- refill

bool TPumpChannel::RefillStep(bool hold) {
    if (!Pump || !Valve || !isRefillState(State)) return false;
    if (hold && refillHolds(State)) return true;
    TPump& p = *Pump;
    const bool emptied = p.LimitB || p.IsStopped();
    switch (State) {
        case 1:
            StateTicks = 0;
            PassCount = 0;
            // A syringe that already holds more than 5 ml needs no priming.
            State = p.GetVolume() > 5.0 ? 29 : 2;
            break;
        case 2:
            if (valveStep(1)) State = 3;
            break;
        case 3:
            dispense(Speed);
            State = 79;
            break;
        case 79:
            State = 4;
            break;
        case 4:
            if (emptied) {
                stop();
                StateTicks = 0;
                State = 13;
            }
            break;
        case 13:
            if (valveStep(4)) State = 14;
            break;
        case 14:
            aspirate(Speed);
            PassVolume = 3.0;
            State = 80;
            break;
        case 80:
            State = 15;
            break;
        case 15:
            if (p.GetVolume() > PassVolume || p.LimitA || p.IsStopped()) {
                stop();
                StateTicks = 0;
                State = 9;
            }
            break;
        case 9:
            PauseTimer.Start(PassPause());
            State = 10;
            break;
        case 10:
            if (PauseTimer.IsExpired()) State = 8;
            break;
        case 8:
            if (valveStep(1)) State = 11;
            break;
        case 11:
            dispense(Speed);
            State = 81;
            break;
        case 81:
            State = 12;
            break;
        case 12:
            if (emptied) {
                stop();
                StateTicks = 0;
                State = 21;
            }
            break;
        case 21:
            if (valveStep(4)) State = 22;
            break;
        case 22:
            aspirate(Speed);
            PassVolume = 1.0;
            State = 82;
            break;
        case 82:
            State = 23;
            break;
        case 23:
            if (p.GetVolume() >= PassVolume || p.LimitA || p.IsStopped()) {
                stop();
                StateTicks = 0;
                State = 17;
            }
            break;
        case 17:
            PauseTimer.Start(PassPause());
            State = 18;
            break;
        case 18:
            if (PauseTimer.IsExpired()) State = 16;
            break;
        case 16:
            if (valveStep(1)) State = 19;
            break;
        case 19:
            dispense(Speed);
            State = 83;
            break;
        case 83:
            State = 20;
            break;
        case 20:
            if (emptied) {
                stop();
                StateTicks = 0;
                if (PassCount < 2) {
                    ++PassCount;
                    State = 21;
                } else {
                    State = 29;
                }
            }
            break;
        case 29:
            if (valveStep(4)) State = 30;
            break;
        case 30:
            aspirate(Speed);
            State = 84;
            break;
        case 84:
            State = 31;
            break;
        case 31:
            if (p.GetVolume() >= TargetVolume || p.LimitA || (p.IsStopped() && StateTicks >= 2)) {
                stop();
                StateTicks = 0;
                State = 32;
            } else {
                ++StateTicks;
            }
            break;
        case 32:
            RefillEndTimer.Start(RefillEndPause());
            State = 33;
            break;
        case 33:
            if (RefillEndTimer.IsExpired()) State = 90;
            break;
        case 90:
            EndRefill();
            return false;
        default:
            return false;
    }
    return true;
}

// ---------------------------------------------------------------- flush

bool TPumpChannel::FlushStep(bool hold) {
    if (!Pump || !Valve || !isFlushState(State)) return false;
    if (hold && State == 34) return true;
    TPump& p = *Pump;
    switch (State) {
        case 1:
            StateTicks = 0;
            PassVolume = 3.0;
            PassCount = 0;
            State = 34;
            break;
        case 34:
            if (valveStep(1)) State = 35;
            break;
        case 35:
            if (flushMove(true, p.LimitB)) State = 36;
            break;
        case 36:
            if (valveStep(5)) State = 37;
            break;
        case 37:
            if (flushMove(false, p.GetVolume() > PassVolume || p.LimitA)) State = 39;
            break;
        case 39:
            PauseTimer.Start(PassPause());
            State = 40;
            break;
        case 40:
            if (PauseTimer.IsExpired()) State = 38;
            break;
        case 38:
            if (valveStep(1)) State = 41;
            break;
        case 41:
            if (flushMove(true, p.LimitB)) State = 42;
            break;
        case 42:
            if (valveStep(5)) State = 43;
            break;
        case 43: {
            const bool sends = StateTicks == 0;
            if (flushMove(false, p.GetVolume() > PassVolume || p.LimitA))
                State = 45;
            else if (sends)
                PassVolume = 1.0;  // the first pass aspirates 3 ml, every later one 1 ml
            break;
        }
        case 45:
            PauseTimer.Start(PassPause());
            State = 46;
            break;
        case 46:
            if (PauseTimer.IsExpired()) State = 44;
            break;
        case 44:
            if (valveStep(1)) State = 47;
            break;
        case 47:
            if (flushMove(true, p.LimitB)) {
                if (PassCount < 2) {
                    ++PassCount;
                    State = 42;
                } else {
                    State = 48;
                }
            }
            break;
        case 48:
            if (valveStep(5)) State = 49;
            break;
        case 49:
            if (flushMove(false, p.LimitA)) State = 51;
            break;
        case 51:
            PauseTimer.Start(PassPause());
            State = 52;
            break;
        case 52:
            if (PauseTimer.IsExpired()) State = 50;
            break;
        case 50:
            if (valveStep(1)) State = 53;
            break;
        case 53:
            // The last dispense ends without its own stop: state 90 sends it.
            if (p.LimitB || (p.IsStopped() && StateTicks >= 2)) {
                StateTicks = 0;
                State = 90;
            } else {
                if (StateTicks == 0) dispense(Speed);
                ++StateTicks;
            }
            break;
        case 90:
            EndFlush();
            return false;
        default:
            return false;
    }
    return true;
}

// ---------------------------------------------------------------- empty and pump-out

bool TPumpChannel::EmptyStep(bool hold, double rate) {
    if (!Pump || !Valve || !isEmptyState(State)) return false;
    if (hold && State != 59 && State != 60 && State != 62) return true;
    TPump& p = *Pump;
    switch (State) {
        case 1:
            // A count left by an abandoned machine would keep the valve command from going out.
            StateTicks = 0;
            State = 58;
            if (p.LimitB && p.GetVolume() == 70.0) State = 55;
            break;
        case 58:
            if (valveStep(1)) State = 61;
            break;
        case 61:
            dispense(rate);
            State = 62;
            break;
        case 62:
            if (p.LimitB || p.IsStopped()) State = 90;
            break;
        case 55:
            if (valveStep(5)) State = 56;
            break;
        case 56:
            aspirate(rate);
            State = 57;
            break;
        case 57:
            stop();
            State = 59;
            break;
        case 59:
            PauseTimer.Start(PassPause());
            State = 60;
            break;
        case 60:
            if (PauseTimer.IsExpired()) State = 58;
            break;
        case 90:
            stop();
            State = 0;
            return false;
        default:
            return false;
    }
    return true;
}

bool TPumpChannel::PumpOutStep(double rate) {
    if (!Pump) return false;
    switch (State) {
        case 1:
            dispense(rate);
            State = 78;
            return true;
        case 78:
            State = 54;
            return true;
        case 54:
            if (Pump->LimitB || Pump->IsStopped()) State = 90;
            return true;
        case 90:
            stop();
            State = 0;
            return false;
        default:
            return false;
    }
}

// ---------------------------------------------------------------- pump-on

bool TPumpChannel::PumpOnStep(double rate) {
    if (!Pump || !Valve) return false;
    switch (State) {
        case 1:
            StateTicks = 0;
            State = 63;
            return true;
        case 63:
            if (valveStep(2)) State = 66;
            return true;
        case 66:
            dispense(rate);
            State = 67;
            return true;
        case 67:
            if (Pump->LimitB || Pump->IsStopped()) State = 90;
            return true;
        case 90:
            stop();
            State = 0;
            return false;
        default:
            return false;
    }
}

// ---------------------------------------------------------------- pressure test

bool TPumpChannel::PressureTestStep() {
    if (!Pump) return false;
    const bool halted = Pump->LimitB || Pump->IsStopped();
    switch (State) {
        case 1:
            StateTicks = 0;
            State = 68;
            break;
        case 68:
            Pump->SetStopPressure(StopPressure - 100.0);
            State = 69;
            break;
        case 69:
            dispense(0.01);
            State = 70;
            break;
        case 70:
            State = 71;
            break;
        case 71:
            if (halted) State = 72;
            break;
        case 72:
            PressureTimer.Start(3);
            State = 73;
            break;
        case 73:
            if (PressureTimer.IsExpired()) State = 74;
            break;
        case 74:
            Pump->SetStopPressure(StopPressure);
            State = 75;
            break;
        case 75:
            dispense(0.001);
            State = 76;
            break;
        case 76:
            State = 77;
            break;
        case 77:
            if (halted) State = 90;
            break;
        case 90:
            // The instrument stopped the pump at the stop pressure; nothing more to send.
            State = 0;
            return false;
        default:
            return false;
    }
    return true;
}
