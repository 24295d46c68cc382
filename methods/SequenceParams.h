// One sequence (TSequenceINIParams: lines of method name and run count) and the store of
// the running instance's sequences (CSequenceNames): one registry key per sequence, one
// numbered subkey per line. A store object lives for one operation or two.
#pragma once
#include <QString>
#include <cstdint>
#include <string>

#include "methods/NamedKeys.h"
#include "platform/Registry.h"
#include "unicode/UxStrings.h"

class TUxListBox;

class TSequenceINIParams {
  public:
    // Name := empty, then ClearParams.
    void Clear();
    // Empties both lists; Name stays.
    void ClearParams();
    static void ClearList(TUxStringList& list);
    // Sum of the run counts as whole numbers; a text that is not one counts 0. The sum
    // stops at the 32-bit limits instead of wrapping.
    int32_t GetTotalRuns() const;

    QString Name;
    TUxStringList MethodList;  // line i: method name
    TUxStringList RunList;     // line i: runs, as typed
};

class CSequenceNames {
  public:
    CSequenceNames();
    CSequenceNames(const CSequenceNames&) = delete;
    CSequenceNames& operator=(const CSequenceNames&) = delete;

    // Clears the box and lists every stored sequence.
    void FillListBox(TUxListBox* box);
    // Deletes the sequence with its lines ("Can't Delete Sequence!" when that fails).
    bool DeleteSequence(const std::string& name);
    // Makes sure the sequence's key exists ("Can't Add Sequence!" when that fails).
    bool AddSequence(const std::string& name);
    // Fills the record's lists from the sequence named by its Name; false when not stored.
    bool LoadSequence(TSequenceINIParams& rec);
    bool LoadSequence(TSequenceINIParams* rec) { return rec != nullptr && LoadSequence(*rec); }
    // Replaces the stored sequence with the record in one transaction: a failed save leaves
    // the old version whole (a store error is raised after the rollback).
    bool SaveSequence(const TSequenceINIParams& rec);
    bool SaveSequence(const TSequenceINIParams* rec) { return rec != nullptr && SaveSequence(*rec); }

    // A name that can be a sequence's key: not empty, without "\" (the key separator).
    static bool IsValidName(const std::string& name);

  private:
    NamedKeys keys_{"Sequences"};

  public:
    const std::string SequencesKey = keys_.folderKey();  // the full path of the sequences key
};
