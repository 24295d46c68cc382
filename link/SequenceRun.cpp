// The sequence run machine bRun: for every line of the current sequence it loads the line's
// method, sets the temperatures, cools the column when it is too warm, refills the pumps
// between runs, equilibrates, starts the pumps, waits for the HPLC run signal, drives the pump
// and column timetables through the run and goes on with the next run or line. One state per
// call; the main loop calls it once a second.
#include <QCheckBox>
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>

#include "link/Instrument.h"
#include "link/InstrumentMachines.h"
#include "link/LogFile.h"
#include "link/PumpChannel.h"
#include "link/ZentrovaAPI.h"
#include "platform/i18n.h"

namespace {

constexpr double CoolingThreshold = 0.4;  // degrees above the set point that call for cooling
constexpr int32_t CoolingSeconds = 300;
constexpr int32_t RecoverySeconds = 120;    // after the cooling, before the heater is on again
constexpr int32_t CoolingEndsBefore = 420;  // seconds of equilibration left that end the cooling
constexpr int32_t PumpsStartBefore = 300;   // seconds of equilibration left at the pump start
constexpr int32_t HplcWaitSeconds = 900;

constexpr uint8_t RunInProgress = 34;
constexpr uint8_t RunEnded = 35;
constexpr uint8_t SequenceOver = 47;
constexpr uint8_t StoppedOnError = 3;  // the main window's end reason for "stopped on error"

bool readNumber(const std::string& text, double& out) {
    double v = 0.0;
    if (!tryStrToFloat(text, v) || !std::isfinite(v)) return false;
    out = v;
    return true;
}

// Minutes of a method value as whole seconds, truncated toward zero and kept in range.
int32_t wholeSeconds(double minutes) {
    const double s = std::trunc(minutes * 60.0);
    if (!std::isfinite(s)) return 0;
    if (s >= std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (s <= std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(s);
}

// A timetable time in whole seconds (minutes x 60, truncated); false when it does not read.
bool rowSeconds(const std::string& text, double& seconds) {
    double minutes = 0.0;
    if (!readNumber(text, minutes)) return false;
    seconds = std::trunc(minutes * 60.0);
    return std::isfinite(seconds);
}

// Item k of a list as a number; false when the row has no such item or it does not read.
bool itemNumber(const std::vector<std::string>& list, size_t k, double& out) {
    return k < list.size() && readNumber(list[k], out);
}

int32_t rowCount(const std::vector<std::string>& list) {
    return static_cast<int32_t>(std::min<size_t>(list.size(), std::numeric_limits<int32_t>::max()));
}

// The latest row not later than e (of equal times the later row); rows that are not usable, or
// whose time is negative or unreadable, are skipped: a conversion error raised out of the search
// would end each tick of the run before its end could be seen, and the pumps would not stop.
template <class Usable>
int32_t findLast(int32_t e, const std::vector<std::string>& times, Usable usable) {
    int32_t best = -1;
    double bestT = -1.0;
    for (int32_t k = 0; k < rowCount(times); ++k) {
        double t = 0.0;
        if (!rowSeconds(times[static_cast<size_t>(k)], t) || !usable(static_cast<size_t>(k))) continue;
        if (t >= 0 && t <= e && bestT <= t) {
            best = k;
            bestT = t;
        }
    }
    return best;
}

// The earliest row later than e (of equal times the earlier row).
template <class Usable>
int32_t findFirst(int32_t e, const std::vector<std::string>& times, Usable usable) {
    int32_t best = -1;
    double bestT = -1.0;
    for (int32_t k = 0; k < rowCount(times); ++k) {
        double t = 0.0;
        if (!rowSeconds(times[static_cast<size_t>(k)], t) || !usable(static_cast<size_t>(k))) continue;
        if (t >= 0 && t > e && (bestT > t || bestT == -1.0)) {
            best = k;
            bestT = t;
        }
    }
    return best;
}

constexpr auto anyRow = [](size_t) { return true; };

}  // namespace

// ---------------------------------------------------------------- timetables

int32_t TInstrumentMachines::FindLastRowAtOrBefore(int32_t seconds, const std::vector<std::string>& times) {
    return findLast(seconds, times, anyRow);
}

int32_t TInstrumentMachines::FindFirstRowAfter(int32_t seconds, const std::vector<std::string>& times) {
    return findFirst(seconds, times, anyRow);
}

double TInstrumentMachines::ColumnTemperatureAt(int32_t seconds) {
    TInstrumentModule& m = self();
    m.TempRamping = false;
    const TMethodINIParams& method = m.Method;
    // A row counts only when its time and its temperature both read.
    auto usable = [&method](size_t k) {
        double unused = 0.0;
        return itemNumber(method.ColumnTempList, k, unused);
    };
    const int32_t p = findLast(seconds, method.ColumnTimeList, usable);
    const int32_t n = findFirst(seconds, method.ColumnTimeList, usable);

    double t0 = 0.0, temp0 = 0.0;
    if (p >= 0) {
        itemNumber(method.ColumnTempList, static_cast<size_t>(p), temp0);
        readNumber(method.ColumnTimeList[static_cast<size_t>(p)], t0);
        t0 *= 60.0;
    } else if (!readNumber(method.ColumnT, temp0)) {
        // Without a readable method temperature there is nothing to start from: the set point
        // stays as it is until a row applies.
        return ZentrovaAPI.Column.GetSetPoint();
    }
    if (n < 0) return temp0;

    double t1 = 0.0, temp1 = 0.0;
    itemNumber(method.ColumnTempList, static_cast<size_t>(n), temp1);
    readNumber(method.ColumnTimeList[static_cast<size_t>(n)], t1);
    t1 *= 60.0;
    if (t1 == t0) return temp0;
    m.TempRamping = true;
    return temp0 + (temp1 - temp0) * (seconds - t0) / (t1 - t0);
}

// ---------------------------------------------------------------- start and step

bool TInstrumentMachines::InitSequenceRun() {
    TInstrumentModule& m = self();
    m.LineIndex = 0;
    m.RunIndex = 0;
    m.RunCounter = 0;
    m.TempRamping = false;
    m.RunState = 0;
    m.RunSignal = false;
    m.RunClock.Start(0);
    m.Channel1->Speed = m.RefillSpeed;
    m.Channel2->Speed = m.RefillSpeed;
    m.PumpStarts = 0;
    m.NeedCooling = false;
    m.DeltaValueChange();
    m.EquilTimer.Reset();
    m.CoolingTimer.Reset();
    m.SequenceEndReason = 1;
    return true;
}

bool TInstrumentMachines::bRun(int action) {
    TInstrumentModule& m = self();
    if (action == 2 && m.RunState != RunInProgress && m.RunState != RunEnded) {
        // A stop during the cooling leaves the column as a run would: heater on again.
        if (coolingStarted()) restoreColumnAfterCooling();
        m.RunState = SequenceOver;
    }
    return runState(action);
}

void TInstrumentMachines::EndSequenceRun() {
    self().RunState = SequenceOver;
}

// The cooling has switched the heater off (state 12) and not yet back on (leaving state 16).
bool TInstrumentMachines::coolingStarted() const {
    const TInstrumentModule& m = static_cast<const TInstrumentModule&>(*this);
    if (!m.NeedCooling || m.Method.IsFlushMethod()) return false;
    switch (m.RunState) {
        case 3:
        case 4:
        case 5:
        case 7:
        case 8:
        case 9:
        case 10:
        case 11:
        case 13:
        case 14:
        case 15:
        case 16:
        case 37:
            return true;
        default:
            return false;
    }
}

// What states 15 and 16 do at the end of a cooling: door closed, fans swapped back, set point
// and heater on.
void TInstrumentMachines::restoreColumnAfterCooling() {
    TInstrumentModule& m = self();
    TColumn& column = ZentrovaAPI.Column;
    const bool recFanAlwaysOn = m.RecFanAlwaysOn && m.RecFanAlwaysOn->isChecked();
    if (m.RunState != 16) {
        logLine("#bRun(): Recirculating Fan ON, Cooling Fan OFF, Cooling Door Closed");
        column.SetColumnFan(false);
        if (!recFanAlwaysOn) column.SetRecircFan(true);
        column.SetDoor(false);
    }
    THeater& heater = column;
    heater.SetSetPoint(m.Method.ColumnTValue);
    heater.SetHeat(true);
    if (recFanAlwaysOn) column.SetRecircFan(true);
}

bool TInstrumentMachines::runState(int action) {
    TInstrumentModule& m = self();
    THeater& column = ZentrovaAPI.Column;
    THeater& reactor = ZentrovaAPI.Reactor;
    TColumn& columnBox = ZentrovaAPI.Column;
    const bool flush = m.Method.IsFlushMethod();
    const bool recFanAlwaysOn = m.RecFanAlwaysOn && m.RecFanAlwaysOn->isChecked();
    const bool forcedCooling = m.Forced5MinChkBox && m.Forced5MinChkBox->isChecked();

    switch (m.RunState) {
        case 0:
            m.GetSequenceParams();
            logLine("#bRun(): Sequence started, erunGetSequenceParams, " + m.Sequence.Name.toStdString());
            m.RunState = 1;
            break;
        case 1:
            // Without the line's own method loaded, a run would use whatever the record held
            // before (an earlier sequence's method): the sequence ends instead.
            if (m.GetMethodParams()) {
                m.RunState = 2;
            } else {
                m.SequenceEndReason = StoppedOnError;
                const QString method = m.LineIndex < m.Sequence.MethodList.GetCount()
                                           ? m.Sequence.MethodList.Get(m.LineIndex)
                                           : QString();
                m.SequenceStopReason = fillInOrder(_("METHOD \"%s\" OF LINE %s NOT FOUND"),
                                                   {method, QString::number(m.LineIndex + 1)});
                logLine("#bRun(): no method loaded for line " + std::to_string(m.LineIndex + 1) +
                        " of Sequence " + m.Sequence.Name.toStdString() + ", stopping Sequence");
                m.RunState = SequenceOver;
            }
            break;
        case 2:
            ++m.RunCounter;
            column.SetSetPoint(m.Method.ColumnTValue);
            reactor.SetSetPoint(m.Method.ReactorTValue);
            if (m.PumpStarts >= 1)
                m.EquilTimer.Start(wholeSeconds(m.Method.EquilTimeValue));
            else
                m.EquilTimer.Reset();
            m.NeedCooling = column.GetTemperature() - CoolingThreshold > m.Method.ColumnTValue &&
                            !m.EquilTimer.IsExpired();
            m.RunState = flush ? 17 : m.NeedCooling ? 12 : 3;
            break;
        case 3:
            if (m.PumpStarts == 0) {
                // The first run starts with what the syringes hold (checked at the start).
                m.RunState = 7;
            } else {
                bothValvesTo(4);
                m.RunState = 4;
            }
            break;
        case 4:
            if (bothValvesAt(4)) m.RunState = 5;
            break;
        case 5:
            m.Channel1->StartFillTo(m.RefillVolume(1));
            if (!m.SinglePump) m.Channel2->StartFillTo(m.RefillVolume(2));
            m.RunState = 37;
            break;
        case 37:
            m.RunState = 11;
            break;
        case 11:
            if (fillDone()) m.RunState = 9;
            break;
        case 9:
            m.ValveWaitTimer.Start(ValveSettlePause());
            m.RunState = 10;
            break;
        case 10:
            if (m.ValveWaitTimer.IsExpired()) m.RunState = 7;
            break;
        case 7:
            bothValvesTo(2);
            m.RunState = 8;
            break;
        case 8:
            if (bothValvesAt(2)) m.RunState = m.NeedCooling ? 13 : 17;
            break;
        case 12:
            logLine("#bRun(): Heater OFF, Cooling fan ON, Recirculation Fan OFF, Door open");
            column.SetHeat(false);
            columnBox.SetColumnFan(true);
            columnBox.SetDoor(true);
            if (!recFanAlwaysOn) columnBox.SetRecircFan(false);
            m.CoolingTimer.Start(CoolingSeconds);
            m.RunState = 3;
            break;
        case 13:
            if (m.CoolingTimer.IsExpired() || m.EquilTimer.SecondsLeft() < CoolingEndsBefore ||
                !forcedCooling)
                m.RunState = 14;
            break;
        case 14:
            if (m.EquilTimer.SecondsLeft() < CoolingEndsBefore ||
                column.GetTemperature() < m.Method.ColumnTValue - m.CoolingDelta)
                m.RunState = 15;
            break;
        case 15:
            logLine("#bRun(): Recirculating Fan ON, Cooling Fan OFF, Cooling Door Closed");
            columnBox.SetColumnFan(false);
            if (!recFanAlwaysOn) columnBox.SetRecircFan(true);
            columnBox.SetDoor(false);
            m.CoolingTimer.Start(RecoverySeconds);
            m.RunState = 16;
            break;
        case 16:
            if (m.CoolingTimer.IsExpired() || m.EquilTimer.SecondsLeft() < PumpsStartBefore) {
                column.SetSetPoint(m.Method.ColumnTValue);
                column.SetHeat(true);
                if (recFanAlwaysOn) columnBox.SetRecircFan(true);
                m.RunState = 17;
            }
            break;
        case 17:
            if (m.EquilTimer.SecondsLeft() < PumpsStartBefore && action != 1) m.RunState = 31;
            break;
        case 31:
            m.RunState = flush ? 19 : 32;
            break;
        case 32:
            m.RunSeconds = wholeSeconds(m.Method.RuntimeValue);
            m.Channel1->PumpForward(m.Method.Pump1FlowValue);
            if (!m.SinglePump) m.Channel2->PumpForward(m.Method.Pump2FlowValue);
            ++m.PumpStarts;
            m.RunState = 19;
            break;
        case 19:
            m.HplcWaitTimer.Start(HplcWaitSeconds);
            m.RunState = 18;
            break;
        case 18:
            if (m.RunSignal && m.EquilTimer.IsExpired()) {
                m.RunClock.Start(1);
                logLine("#bRun(): HPLC Run signal received, starting Run " + m.Method.Name);
                m.RunState = flush ? 20 : 33;
            } else if (m.HplcWaitTimer.IsExpired()) {
                m.DisableInstrument();
                m.SequenceEndReason = 2;
                logLine("#bRun(): HPLC timeout, stopping Sequence, current Method " + m.Method.Name);
                m.RunState = SequenceOver;
            }
            break;
        case 20:
            StartFlush();
            m.RunState = 21;
            break;
        case 21:
            if (!FlushStep()) m.RunState = 22;
            break;
        case 22:
            bothValvesTo(5);
            m.RunState = 23;
            break;
        case 23:
            if (bothValvesAt(5)) m.RunState = 24;
            break;
        case 24:
            m.Channel1->StartFillTo(m.RefillVolumeForRun(1, 0));
            if (!m.SinglePump) m.Channel2->StartFillTo(m.RefillVolumeForRun(2, 0));
            m.RunState = 25;
            break;
        case 25:
            if (fillDone()) m.RunState = 28;
            break;
        case 28:
            m.ValveWaitTimer.Start(ValveSettlePause());
            m.RunState = 29;
            break;
        case 29:
            if (m.ValveWaitTimer.IsExpired()) m.RunState = 26;
            break;
        case 26:
            bothValvesTo(2);
            m.RunState = 27;
            break;
        case 27:
            if (bothValvesAt(2)) m.RunState = 30;
            break;
        case 30:
            m.RunSeconds = wholeSeconds(m.Method.RuntimeValue);
            m.Channel1->PumpForward(m.Method.Pump1FlowValue);
            if (!m.SinglePump) m.Channel2->PumpForward(m.Method.Pump2FlowValue);
            ++m.PumpStarts;
            logLine("#bRun(): Flush Pumping for Run started, " + m.Method.Name);
            m.RunState = 33;
            break;
        case 33:
            m.RunClock.Start(m.RunSeconds);
            m.RunState = RunInProgress;
            runInProgress();
            break;
        case RunInProgress:
            runInProgress();
            break;
        case RunEnded:
            m.Channel1->Stop();
            if (!m.SinglePump) m.Channel2->Stop();
            logLine("#bRun(): Run finished, " + m.Method.Name);
            m.RunState = action == 2 ? SequenceOver : 36;
            break;
        case 36:
            nextRunOrLine();
            break;
        case SequenceOver:
            // Both pumps whatever they report, as the halt does: a start not yet reported
            // would otherwise go on after the end.
            m.StopPumps();
            logLine("#bRun(): Sequence finished, " + m.Sequence.Name.toStdString());
            return true;
        default:
            // 6, 38 to 46 and everything above 47: no such state; the sequence is over.
            return true;
    }
    return false;
}

// State 34: the run clock runs; the pump timetable steps the flows, the column timetable ramps
// the set point every ten seconds.
void TInstrumentMachines::runInProgress() {
    TInstrumentModule& m = self();
    const TMethodINIParams& method = m.Method;
    if (!m.RunClock.IsExpired()) {
        const int32_t e = m.RunClock.SecondsElapsed();
        // A row counts for a pump only when its time and its flow for that pump read; the pump
        // keeps the previous flow. A cell that does not read cannot stop the run: raised out of
        // this tick, it would end every tick here and the run clock's end would never be seen,
        // so the pumps would run on at their last flow. The refill estimate skips the same rows.
        auto rowFlow = [&](const std::vector<std::string>& flows, TPumpChannel* channel) {
            auto usable = [&flows](size_t k) {
                double unused = 0.0;
                return itemNumber(flows, k, unused);
            };
            const int32_t i = findLast(e, method.PumpTimeList, usable);
            double flow = 0.0;
            if (i >= 0 && itemNumber(flows, static_cast<size_t>(i), flow)) channel->SetRunRate(flow);
        };
        rowFlow(method.Pump1FlowList, m.Channel1);
        if (!m.SinglePump) rowFlow(method.Pump2FlowList, m.Channel2);

        if (e % 10 == 0) {
            const double c = ColumnTemperatureAt(e);
            THeater& column = ZentrovaAPI.Column;
            if (c != column.GetSetPoint()) column.SetSetPoint(c);
        }
    } else {
        m.RunState = RunEnded;
    }

    // A flush method's run goes on until both pumps are empty or stopped.
    if (m.RunState == RunEnded && method.IsFlushMethod()) {
        const bool pumping1 = ZentrovaAPI.Pump1.GetVolume() * ZentrovaAPI.Pump1.GetRate() > 0;
        const bool pumping2 =
            !m.SinglePump && ZentrovaAPI.Pump2.GetVolume() * ZentrovaAPI.Pump2.GetRate() > 0;
        if (pumping1 || pumping2) m.RunState = RunInProgress;
    }
}

// State 36: the next run of the line, the next line, or the end of the sequence.
void TInstrumentMachines::nextRunOrLine() {
    TInstrumentModule& m = self();
    ++m.RunIndex;
    m.EquilTimer.Reset();
    m.RunClock.Start(0);
    m.RunState = 2;
    int32_t runs = -1;
    if (m.LineIndex >= 0 && m.LineIndex < m.Sequence.RunList.GetCount())
        runs = strToIntDef(m.Sequence.RunList.Get(m.LineIndex).toStdString(), -1);
    if (m.RunIndex >= runs) {
        m.RunIndex = 0;
        m.RunState = 1;
        ++m.LineIndex;
    }
    if (m.Sequence.MethodList.GetCount() <= m.LineIndex) {
        m.LineIndex = 0;
        m.RunState = SequenceOver;
    }
}
