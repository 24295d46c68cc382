// Told after an editor stored or deleted a method or a sequence, so that what holds a copy of it
// (the main window's loaded sequence and method) can follow the store.
#pragma once
#include <QString>
#include <functional>

enum class StoredRecord { Method, Sequence };

// Set by the main window; empty: nobody listens.
extern std::function<void(StoredRecord kind, const QString& name)> OnRecordStored;
// True while a sequence runs (the main window's run modes); empty: none runs.
extern std::function<bool()> SequenceRunning;

// Tells the listener, if any; whatever it raises is shown and goes no further.
void recordStored(StoredRecord kind, const QString& name);
bool sequenceRunning();
