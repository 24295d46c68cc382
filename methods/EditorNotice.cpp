#include "methods/EditorNotice.h"

#include "platform/Dialogs.h"

std::function<void(StoredRecord kind, const QString& name)> OnRecordStored;
std::function<bool()> SequenceRunning;

void recordStored(StoredRecord kind, const QString& name) {
    if (!OnRecordStored) return;
    const auto hook = OnRecordStored;
    runGuarded([&] { hook(kind, name); });
}

bool sequenceRunning() {
    return SequenceRunning && SequenceRunning();
}
