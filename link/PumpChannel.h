// One syringe pump with its valve, driven through small step machines: refill, flush, empty,
// pump-out, pump-on, fill-to, the run-rate setter and the pressure-test moves. Each step call
// looks at the last parsed status of the pump and valve, sends at most one motion or valve
// command and returns whether the machine is still busy. Waits are count-down timers read on
// later ticks; nothing blocks.
#pragma once
#include <cstdint>

#include "link/Timers.h"
#include "link/ZentrovaAPI.h"

class TPumpChannel {
  public:
    TPumpChannel() = default;
    virtual ~TPumpChannel() = default;
    TPumpChannel(const TPumpChannel&) = delete;
    TPumpChannel& operator=(const TPumpChannel&) = delete;

    // Binds the channel to its pump and valve and gives both the channel number n.
    void Init(uint32_t n, TPump* pump, TValve* valve);

    bool StartRefill(double volume);
    bool StartFlush();
    bool StartEmpty();  // arms EmptyStep and PumpOutStep
    bool StartPumpOn();
    bool SetIdle();
    bool StartPressureTest(double p);
    bool StartFillTo(double volume);
    // False while the aspirate of a fill-to still runs; otherwise stops the pump and is true.
    bool IsFillDone();
    bool PumpForward(double r);
    // Sends only when the rate changes: stop, then dispense at r when r > 0.
    bool SetRunRate(double r);
    bool Stop();
    bool IsValvePositionUnknown() const;
    static int32_t RefillEndPause() { return 5; }
    static int32_t PassPause() { return 5; }

    // The machines: true while busy; false in state 0, after state 90 and in a foreign state.
    bool RefillStep(bool hold);
    bool FlushStep(bool hold);
    bool EmptyStep(bool hold, double rate);
    bool PumpOutStep(double rate);
    bool PumpOnStep(double rate);
    bool PressureTestStep();

    uint8_t State = 0;  // 0 idle; 90 finished, cleaned up by the next step call
    int32_t StateTicks = 0;
    uint32_t PassCount = 0;
    double TargetVolume = 0.0;
    TCountDownTimer PressureTimer;
    TCountDownTimer RefillEndTimer;
    TCountDownTimer PauseTimer;
    TPump* Pump = nullptr;    // not owned
    TValve* Valve = nullptr;  // not owned
    double PassVolume = 0.0;
    double RunRate = 0.0;
    double StopPressure = 0.0;
    int32_t Speed = 0;  // ml/min of every refill, flush, empty and fill-to move

  private:
    void dispense(double r);
    void aspirate(double r);
    void stop();
    // State := the state that follows it in the machines' tables.
    void proceed();
    // One tick of "valve step to p": true once the valve reports p in position (StateTicks
    // is then 0 again).
    bool valveStep(int8_t p);
    // A valve step to p that proceeds once the valve is there.
    void valveThen(int8_t p);
    // The end of a move when done: stop and StateTicks := 0; returns done.
    bool endMove(bool done);
    // Starts a pause and proceeds; proceeds after a pause once it has expired.
    void startTimer(TCountDownTimer& timer, int32_t seconds);
    void afterTimer(TCountDownTimer& timer);
    // After a repeated pass: once more (again, counted in PassCount) while fewer than two
    // repeats were counted, else last.
    uint8_t afterPass(uint8_t again, uint8_t last);
    // Limit B or stopped: a dispense is over.
    bool emptied() const;
    // Stop; State := 0; false (the machine is done).
    bool finish();
    // A flush move: sent on the first tick; done on its end flag or when the pump is seen
    // stopped from the second tick on. Done stops the pump and zeroes StateTicks.
    bool flushMove(bool forward, bool done);
    void EndRefill();
    void EndFlush();
};
