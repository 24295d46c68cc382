// One method (TMethodINIParams) and the store of the running instance's methods
// (CMethodNames): one registry key per method, with its pump and column timetables as
// numbered row keys. A store object lives for one task; it caches nothing.
#pragma once
#include <QString>
#include <string>
#include <vector>

#include "methods/NamedKeys.h"
#include "platform/Registry.h"

class TUxListBox;
class TUxComboBox;

class TMethodINIParams {
  public:
    TMethodINIParams() { ClearParams(); }

    // Empties Name, then ClearParams.
    void Clear();
    // Every field but Name and the two flags back to "nothing typed"; the lists emptied.
    void ClearParams();
    static void ClearList(std::vector<std::string>& list);
    bool IsFlushMethod() const { return flushMethod; }

    std::string Name;
    std::string ColumnT;
    double ColumnTValue = -100.0;  // -100.0: no temperature
    std::string ColumnD;
    std::string ReactorT;
    double ReactorTValue = -100.0;
    std::string ReactorV;
    std::string Reagent1D;
    std::string Reagent2D;
    std::string Runtime;
    double RuntimeValue = 0.0;
    std::string EquilTime;
    double EquilTimeValue = 0.0;
    std::string Pump1Flow;
    double Pump1FlowValue = 0.0;
    std::string Pump2Flow;
    double Pump2FlowValue = 0.0;
    bool flushMethod = false;
    bool powerCoolingMethod = false;
    // Pump timetable: item i of each of the three lists is row i.
    std::vector<std::string> Pump1FlowList;
    std::vector<std::string> Pump2FlowList;
    std::vector<std::string> PumpTimeList;
    // Column timetable: item i of each of the two lists is row i.
    std::vector<std::string> ColumnTempList;
    std::vector<std::string> ColumnTimeList;
};

class CMethodNames {
  public:
    CMethodNames();
    ~CMethodNames();
    CMethodNames(const CMethodNames&) = delete;
    CMethodNames& operator=(const CMethodNames&) = delete;

    // Clears the box and lists every stored method.
    void FillListBox(TUxListBox* box);
    // The same for a combo box; a methods key that does not open leaves the box as it was.
    void FillComboBox(TUxComboBox* box);
    bool MethodExists(const QString& name);
    bool MethodExists(const std::string& name);
    // Creates an empty method key ("Can't Add Method!" when that fails).
    bool AddMethod(const QString& name);
    bool AddMethod(const std::string& name);
    // Deletes a method key with everything under it ("Can't Delete Method!" when that fails).
    bool DeleteMethod(const QString& name);
    bool DeleteMethod(const std::string& name);
    // Fills the record from the key named by its Name; false when there is no such method.
    bool LoadMethod(TMethodINIParams& rec);
    bool LoadMethod(TMethodINIParams* rec) { return rec != nullptr && LoadMethod(*rec); }
    // Replaces the method's key with the record in one transaction: a failed save leaves
    // the old version whole (a store error is raised after the rollback).
    bool SaveMethod(const TMethodINIParams& rec);
    bool SaveMethod(const TMethodINIParams* rec) { return rec != nullptr && SaveMethod(*rec); }

    // A name that can be a method's key: not empty, without "\" (the key separator).
    static bool IsValidName(const std::string& name);

  private:
    std::vector<std::string> rowKeys(const std::string& path);

    NamedKeys keys_{"Methods"};

  public:
    const std::string MethodsKey = keys_.folderKey();  // the full path of the methods key
};
