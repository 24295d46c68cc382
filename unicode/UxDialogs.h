// The two input queries of the windows, through the program's dialog service.
#pragma once
#include <QString>

// A modal box with the prompt, an edit holding value, OK (the default) and Cancel.
// True on OK with value holding the edited text; false on Cancel, value unchanged.
bool WideInputQuery(const QString& caption, const QString& prompt, QString& value);
// As WideInputQuery, with cancelCaption on the Cancel button.
bool WideInputQueryCust(const QString& caption, const QString& prompt, const QString& cancelCaption,
                        QString& value);
