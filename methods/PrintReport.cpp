#include "methods/PrintReport.h"

#include <QDate>
#include <QFont>
#include <QLocale>
#include <QPalette>

#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/Printer.h"
#include "platform/SystemInfo.h"
#include "platform/i18n.h"
#include "unicode/UxControls.h"
#include "unicode/UxForms.h"

namespace report {

void paper(QWidget* form) {
    QPalette pal = form->palette();
    pal.setColor(QPalette::Window, Qt::white);
    form->setPalette(pal);
    form->setAutoFillBackground(true);
}

TUxLabel* label(QWidget* parent, const char* text, int x, int y, int width, bool heading) {
    auto* l = new TUxLabel(QString::fromUtf8(text), parent);
    l->setGeometry(x, y, width, kLabelHeight);
    if (heading) {
        QFont f = l->font();
        f.setBold(true);
        l->setFont(f);
    }
    return l;
}

TUxStringGrid* grid(QWidget* parent, int cols, int x, int y) {
    auto* g = new TUxStringGrid(parent, cols, 2);
    g->SetFixedRows(0);
    g->SetFixedCols(0);
    g->setShowGrid(true);
    g->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    g->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    g->setEnabled(false);
    // On paper the disabled grid reads like any other text, with no cell picked out.
    g->setSelectionMode(QAbstractItemView::NoSelection);
    g->clearSelection();
    QPalette pal = g->palette();
    for (auto role : {QPalette::Text, QPalette::WindowText, QPalette::Base, QPalette::Window})
        pal.setColor(QPalette::Disabled, role, pal.color(QPalette::Active, role));
    pal.setColor(QPalette::Disabled, QPalette::Highlight, pal.color(QPalette::Active, QPalette::Base));
    pal.setColor(QPalette::Disabled, QPalette::HighlightedText, pal.color(QPalette::Active, QPalette::Text));
    g->setPalette(pal);
    g->move(x, y);
    g->resize(0, 0);
    growToCols(g);
    growToRows(g);
    return g;
}

void fillColumn(TUxStringGrid* g, int col, const std::vector<std::string>& items) {
    auto* column = g->GetCols(col);
    for (const auto& s : items) column->Add(QString::fromStdString(s));
}

void fillColumn(TUxStringGrid* g, int col, const QStringList& items) {
    auto* column = g->GetCols(col);
    for (const auto& s : items) column->Add(s);
}

// The size is worked out from the cells rather than by growing and looking, since a grid
// that was never shown has no viewport geometry to look at.
int growToRows(TUxStringGrid* g) {
    int need = 2 * g->frameWidth();
    for (int r = 0; r < g->rowCount(); ++r) need += g->rowHeight(r);
    const int added = std::max(0, need - g->height());
    g->resize(g->width(), g->height() + added);
    return added;
}

void fitColumn(TUxStringGrid* g, int col) {
    const QString text = g->GetCells(col, 0);
    const int need = g->fontMetrics().horizontalAdvance(text) + 12;
    if (g->columnWidth(col) < need) g->setColumnWidth(col, need);
}

void growToCols(TUxStringGrid* g) {
    int need = 2 * g->frameWidth();
    for (int c = 0; c < g->columnCount(); ++c) need += g->columnWidth(c);
    if (need > g->width()) g->resize(need, g->height());
}

QString printDate() {
    const LocalTime t = appClock().localNow();
    return QLocale::system().toString(QDate(t.year, t.month, t.day), QLocale::ShortFormat);
}

QString userName() {
    return QString::fromStdString(SystemInfo::userName());
}

bool confirmAndPrint(TUxForm* form, const QString& question) {
    if (messageBox(question, _("Warning"), MsgButtons::YesNo, mrNo, MsgIcon::Warning) != mrYes) return false;
    form->ensurePolished();
    return printer::printWidget(form, form->parentWidget());
}

bool printOrReport(const std::function<bool()>& print) {
    try {
        return print();
    } catch (const EPrinterError& e) {
        messageBox(QString::fromStdString(e.what()), _("Error!"), MsgButtons::OK, mrOk, MsgIcon::Error);
        return false;
    }
}

}  // namespace report
