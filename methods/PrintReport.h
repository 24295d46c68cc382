// What the printed method and sequence reports share: labels and grids at fixed places,
// grids grown to show all their cells, the date and user of the printout, and the
// question, print dialog and printout of the form's image.
#pragma once
#include <QString>
#include <QStringList>
#include <functional>
#include <string>
#include <vector>

class QWidget;
class TUxForm;
class TUxLabel;
class TUxStringGrid;

namespace report {
inline constexpr int kLabelHeight = 19;

// White like the paper it goes on.
void paper(QWidget* form);
TUxLabel* label(QWidget* parent, const char* text, int x, int y, int width, bool heading = false);
// A read-only grid without scroll bars or fixed rows, with grid lines, two rows, sized to
// show them all.
TUxStringGrid* grid(QWidget* parent, int cols, int x, int y);
// Writes the items into the column's empty cells from the top ("" as one blank).
void fillColumn(TUxStringGrid* g, int col, const std::vector<std::string>& items);
void fillColumn(TUxStringGrid* g, int col, const QStringList& items);
// Widens a column to show its header in full.
void fitColumn(TUxStringGrid* g, int col);
// Grows the grid until it shows every row (returns the height added) or every column.
int growToRows(TUxStringGrid* g);
void growToCols(TUxStringGrid* g);
// Today's date in the user's short date format; the logged-on user's name.
QString printDate();
QString userName();
// Asks the question (Yes/No, No the default), then the print dialog, then prints the form's
// image on one page. True when printed.
bool confirmAndPrint(TUxForm* form, const QString& question);
// Runs one printout; a printer that cannot be used is reported in an error box (false).
bool printOrReport(const std::function<bool()>& print);
}  // namespace report
