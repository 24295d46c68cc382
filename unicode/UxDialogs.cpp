#include "unicode/UxDialogs.h"

#include "platform/Dialogs.h"

bool WideInputQuery(const QString& caption, const QString& prompt, QString& value) {
    return inputQuery(caption, prompt, value);
}

bool WideInputQueryCust(const QString& caption, const QString& prompt, const QString& cancelCaption,
                        QString& value) {
    return inputQuery(caption, prompt, value, cancelCaption);
}
