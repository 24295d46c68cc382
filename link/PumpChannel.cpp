#include "link/PumpChannel.h"

#include <array>

namespace {

// The state that follows each state once its action is complete, as the machines' tables give
// it. States that branch (1, 20, 47) choose their next state themselves.
constexpr std::array<uint8_t, 256> makeFollows() {
    std::array<uint8_t, 256> f{};
    // clang-format off
    constexpr uint8_t pairs[][2] = {
        // refill: empty the syringe, one 3-ml pass, 1-ml passes, the final fill
        {2, 3}, {3, 79}, {79, 4}, {4, 13},
        {13, 14}, {14, 80}, {80, 15}, {15, 9}, {9, 10}, {10, 8}, {8, 11}, {11, 81}, {81, 12}, {12, 21},
        {21, 22}, {22, 82}, {82, 23}, {23, 17}, {17, 18}, {18, 16}, {16, 19}, {19, 83}, {83, 20},
        {29, 30}, {30, 84}, {84, 31}, {31, 32}, {32, 33}, {33, 90},
        // flush
        {34, 35}, {35, 36}, {36, 37}, {37, 39}, {39, 40}, {40, 38}, {38, 41}, {41, 42}, {42, 43},
        {43, 45}, {45, 46}, {46, 44}, {44, 47}, {48, 49}, {49, 51}, {51, 52}, {52, 50}, {50, 53},
        {53, 90},
        // empty
        {58, 61}, {61, 62}, {62, 90}, {55, 56}, {56, 57}, {57, 59}, {59, 60}, {60, 58},
        // pump-out and pump-on
        {78, 54}, {54, 90}, {63, 66}, {66, 67}, {67, 90},
        // pressure test
        {68, 69}, {69, 70}, {70, 71}, {71, 72}, {72, 73}, {73, 74}, {74, 75}, {75, 76}, {76, 77},
        {77, 90},
    };
    // clang-format on
    for (const auto& p : pairs) f[p[0]] = p[1];
    return f;
}
constexpr std::array<uint8_t, 256> Follows = makeFollows();

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

// ---------------------------------------------------------------- actions shared by the machines

void TPumpChannel::proceed() {
    State = Follows[State];
}

bool TPumpChannel::valveStep(int8_t p) {
    if (Valve->GetPosition() == p && Valve->IsInPosition()) {
        StateTicks = 0;
        return true;
    }
    if (StateTicks == 0) Valve->MoveTo(p);
    ++StateTicks;
    return false;
}

void TPumpChannel::valveThen(int8_t p) {
    if (valveStep(p)) proceed();
}

bool TPumpChannel::endMove(bool done) {
    if (!done) return false;
    stop();
    StateTicks = 0;
    return true;
}

void TPumpChannel::startTimer(TCountDownTimer& timer, int32_t seconds) {
    timer.Start(seconds);
    proceed();
}

void TPumpChannel::afterTimer(TCountDownTimer& timer) {
    if (timer.IsExpired()) proceed();
}

uint8_t TPumpChannel::afterPass(uint8_t again, uint8_t last) {
    if (PassCount >= 2) return last;
    ++PassCount;
    return again;
}

bool TPumpChannel::flushMove(bool forward, bool done) {
    if (endMove(done || (Pump->IsStopped() && StateTicks >= 2))) return true;
    if (StateTicks == 0) forward ? dispense(Speed) : aspirate(Speed);
    ++StateTicks;
    return false;
}

bool TPumpChannel::finish() {
    stop();
    State = 0;
    return false;
}

bool TPumpChannel::emptied() const {
    return Pump->LimitB || Pump->IsStopped();
}

void TPumpChannel::EndRefill() {
    State = 0;
    stop();
}

void TPumpChannel::EndFlush() {
    EndRefill();
}

// ---------------------------------------------------------------- refill

bool TPumpChannel::RefillStep(bool hold) {
    if (!Pump || !Valve || !isRefillState(State)) return false;
    if (hold && refillHolds(State)) return true;
    TPump& p = *Pump;
    switch (State) {
        case 1:
            StateTicks = 0;
            PassCount = 0;
            // A syringe that already holds more than 5 ml needs no priming.
            State = p.GetVolume() > 5.0 ? 29 : 2;
            break;
        case 2:
        case 8:
        case 16:
            valveThen(1);
            break;
        case 13:
        case 21:
        case 29:
            valveThen(4);
            break;
        case 3:
        case 11:
        case 19:
            dispense(Speed);
            proceed();
            break;
        case 14:
        case 22:
            aspirate(Speed);
            PassVolume = State == 14 ? 3.0 : 1.0;
            proceed();
            break;
        case 30:
            aspirate(Speed);
            proceed();
            break;
        case 79:
        case 80:
        case 81:
        case 82:
        case 83:
        case 84:
            proceed();  // one tick for the move to start
            break;
        case 4:
        case 12:
            if (endMove(emptied())) proceed();
            break;
        case 20:
            if (endMove(emptied())) State = afterPass(21, 29);
            break;
        case 15:
            if (endMove(p.GetVolume() > PassVolume || p.LimitA || p.IsStopped())) proceed();
            break;
        case 23:
            if (endMove(p.GetVolume() >= PassVolume || p.LimitA || p.IsStopped())) proceed();
            break;
        case 31:
            if (endMove(p.GetVolume() >= TargetVolume || p.LimitA || (p.IsStopped() && StateTicks >= 2)))
                proceed();
            else
                ++StateTicks;
            break;
        case 9:
        case 17:
            startTimer(PauseTimer, PassPause());
            break;
        case 10:
        case 18:
            afterTimer(PauseTimer);
            break;
        case 32:
            startTimer(RefillEndTimer, RefillEndPause());
            break;
        case 33:
            afterTimer(RefillEndTimer);
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
        case 38:
        case 44:
        case 50:
            valveThen(1);
            break;
        case 36:
        case 42:
        case 48:
            valveThen(5);
            break;
        case 35:
        case 41:
            if (flushMove(true, p.LimitB)) proceed();
            break;
        case 47:
            if (flushMove(true, p.LimitB)) State = afterPass(42, 48);
            break;
        case 37:
            if (flushMove(false, p.GetVolume() > PassVolume || p.LimitA)) proceed();
            break;
        case 43: {
            const bool sends = StateTicks == 0;
            if (flushMove(false, p.GetVolume() > PassVolume || p.LimitA))
                proceed();
            else if (sends)
                PassVolume = 1.0;  // the first pass aspirates 3 ml, every later one 1 ml
            break;
        }
        case 49:
            if (flushMove(false, p.LimitA)) proceed();
            break;
        case 39:
        case 45:
        case 51:
            startTimer(PauseTimer, PassPause());
            break;
        case 40:
        case 46:
        case 52:
            afterTimer(PauseTimer);
            break;
        case 53:
            // The last dispense ends without its own stop: state 90 sends it.
            if (p.LimitB || (p.IsStopped() && StateTicks >= 2)) {
                StateTicks = 0;
                proceed();
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
            State = p.LimitB && p.GetVolume() == 70.0 ? 55 : 58;
            break;
        case 58:
            valveThen(1);
            break;
        case 55:
            valveThen(5);
            break;
        case 61:
            dispense(rate);
            proceed();
            break;
        case 56:
            aspirate(rate);
            proceed();
            break;
        case 57:
            stop();
            proceed();
            break;
        case 62:
            if (emptied()) proceed();
            break;
        case 59:
            startTimer(PauseTimer, PassPause());
            break;
        case 60:
            afterTimer(PauseTimer);
            break;
        case 90:
            return finish();
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
            break;
        case 78:
            proceed();
            break;
        case 54:
            if (emptied()) proceed();
            break;
        case 90:
            return finish();
        default:
            return false;
    }
    return true;
}

// ---------------------------------------------------------------- pump-on

bool TPumpChannel::PumpOnStep(double rate) {
    if (!Pump || !Valve) return false;
    switch (State) {
        case 1:
            StateTicks = 0;
            State = 63;
            break;
        case 63:
            valveThen(2);
            break;
        case 66:
            dispense(rate);
            proceed();
            break;
        case 67:
            if (emptied()) proceed();
            break;
        case 90:
            return finish();
        default:
            return false;
    }
    return true;
}

// ---------------------------------------------------------------- pressure test

bool TPumpChannel::PressureTestStep() {
    if (!Pump) return false;
    switch (State) {
        case 1:
            StateTicks = 0;
            State = 68;
            break;
        case 68:
        case 74:
            // A first stage 100 below the target, then the target itself.
            Pump->SetStopPressure(State == 68 ? StopPressure - 100.0 : StopPressure);
            proceed();
            break;
        case 69:
        case 75:
            dispense(State == 69 ? 0.01 : 0.001);
            proceed();
            break;
        case 70:
        case 76:
            proceed();
            break;
        case 71:
        case 77:
            if (emptied()) proceed();
            break;
        case 72:
            startTimer(PressureTimer, 3);
            break;
        case 73:
            afterTimer(PressureTimer);
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
