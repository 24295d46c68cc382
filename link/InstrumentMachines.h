// The step machines of the instrument state: the maintenance procedures (flush, refill, empty,
// pump-on, storage preparation, instrument flush) and the sequence run machine bRun. The main
// loop calls one step per tick; a step returns true while busy (bRun: true once the sequence
// has ended). TInstrumentModule derives from this class; the machines work on its fields.
#pragma once
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

class TInstrumentModule;
class TPumpChannel;

class TInstrumentMachines {
  public:
    // Procedures: start operations return true; steps return true while busy.
    bool StartFlush();
    bool StartFlushPump(int pump);  // 1 or 2; any other value arms nothing
    bool FlushStep();
    bool StartRefill();  // reloads the method of the current sequence line first
    bool StartRefillPump(int pump);
    bool RefillStep();
    bool StartEmpty();
    bool StartEmptyPump(int pump);
    bool EmptyStep();
    // Arms pump-on on the chosen channel; the other keeps what it runs.
    bool StartPumpOn(int pump);
    // Steps the channels armed by StartPumpOn only.
    bool PumpOnStep();
    // Every stop ends here: both pumps are sent OFF whatever they report, and both channels
    // are idle, so no later step starts a move that a stopped machine left half done.
    void StopPumps();
    // One pump switched off by hand: OFF and its channel idle.
    void StopPump(int pump);
    bool StartStorageProcedure();
    bool StorageProcedureStep();
    bool StartInstrumentFlush();
    bool InstrumentFlushStep();

    // The sequence run.
    bool InitSequenceRun();
    // action: 0 run, 1 suspend (hold before the next run's pumps start), 2 stop after the
    // current run. True once the sequence has ended.
    bool bRun(int action);
    // The sequence has ended, whatever ended it (its own end, Stop, a lost link, a disabled
    // instrument): the machine cannot resume the run; a later call only repeats the end.
    void EndSequenceRun();
    // Row searches over a timetable's time column (minutes; compared in whole seconds).
    // A row whose time does not read is skipped. -1 when no row fits.
    static int32_t FindLastRowAtOrBefore(int32_t seconds, const std::vector<std::string>& times);
    static int32_t FindFirstRowAfter(int32_t seconds, const std::vector<std::string>& times);
    // The column set point of the current method at a run time; sets TempRamping while the
    // value lies on a ramp between two rows.
    double ColumnTemperatureAt(int32_t seconds);
    static int32_t ValveSettlePause() { return 5; }  // seconds after a fill before the valves move

    // Tick counters that live for the whole program run: the alternation of the two channels
    // in flush, refill and empty, and the cut-off of the slow pump-outs.
    int32_t FlushTicks = 0;
    int32_t RefillTicks = 0;
    int32_t EmptyTicks = 0;
    int32_t StoragePumpOutTicks = 0;
    int32_t InstrumentFlushPumpOutTicks = 0;
    // Channels armed by StartPumpOn: bit 0 channel 1, bit 1 channel 2.
    uint8_t PumpOnChannels = 0;

  protected:
    TInstrumentMachines() = default;
    ~TInstrumentMachines() = default;
    TInstrumentMachines(const TInstrumentMachines&) = delete;
    TInstrumentMachines& operator=(const TInstrumentMachines&) = delete;

  private:
    TInstrumentModule& self();

    // Procedures.
    void copySpeed();
    bool bothValvesAt(int8_t p);
    void bothValvesTo(int8_t p);
    void fillTo(double volume);
    bool fillDone();
    void armPumpOut();
    bool pumpOut(double rate);  // rate < 0: each channel's own speed
    void pumpsOff();
    // The operator's answer to a box of the storage preparation; Stopped when the procedure
    // that asked was stopped (or ended) while the box was open: the step then does nothing more.
    enum class Answer { Ok, Refused, Stopped };
    Answer askOperator(const QString& text);
    // A storage box: OK goes on to next, Cancel to the end; false when the procedure was
    // stopped under the box (nothing more may happen).
    bool storageBox(const QString& text, uint8_t next);

    // Run machine.
    bool runState(int action);
    void runInProgress();
    void nextRunOrLine();
    void restoreColumnAfterCooling();
    bool coolingStarted() const;
};
