#include "platform/Printer.h"

#include <QGuiApplication>
#include <QPageLayout>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QScreen>
#include <QWidget>
#include <cstdlib>

#include "platform/i18n.h"

namespace printer {
namespace {
std::string pdfPath;
bool pdfPathSet = false;
DialogHandler dialogHandler;
QImage lastImage;

// Logical dots per inch of the screen the images come from.
double screenDpi() {
    if (const QScreen* s = QGuiApplication::primaryScreen()) {
        const double dpi = s->logicalDotsPerInch();
        if (dpi > 0) return dpi;
    }
    return 96.0;
}
}  // namespace

void setPdfOutput(const std::string& path) {
    pdfPath = path;
    pdfPathSet = true;
}

std::string pdfOutput() {
    if (pdfPathSet) return pdfPath;
    const char* env = std::getenv("ZENTROVA_PRINT_TO_PDF");
    return env ? std::string(env) : std::string();
}

void setDialogHandler(DialogHandler h) {
    dialogHandler = std::move(h);
}

bool choosePrinter(QPrinter& printer, QWidget* parent) {
    printer.setCopyCount(1);
    printer.setFromTo(1, 1);
    const std::string pdf = pdfOutput();
    if (!pdf.empty()) {
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(QString::fromStdString(pdf));
    }
    if (dialogHandler) return dialogHandler(printer);
    if (!pdf.empty()) return true;
    QPrintDialog dialog(&printer, parent);
    dialog.setMinMax(1, 1);
    dialog.setOptions(QAbstractPrintDialog::PrintToFile | QAbstractPrintDialog::PrintPageRange);
    return dialog.exec() == QDialog::Accepted;
}

void printImage(QPrinter& printer, const QImage& image) {
    lastImage = image;
    QPainter painter;
    if (!painter.begin(&printer)) {
        const QString target =
            printer.outputFileName().isEmpty() ? printer.printerName() : printer.outputFileName();
        throw EPrinterError(fillFirst(_("Printing failed: %s cannot be used."), target).toStdString());
    }
    // On paper the image keeps the size it has on screen; one page only, cut at its end.
    const double scale = printer.resolution() / screenDpi();
    const QRect page = printer.pageLayout().paintRectPixels(printer.resolution());
    painter.setClipRect(QRect(QPoint(0, 0), page.size()));
    const QSizeF size = image.deviceIndependentSize();
    painter.drawImage(QRectF(0, 0, size.width() * scale, size.height() * scale), image);
    if (!painter.end()) throw EPrinterError(_8("Printing failed: the page could not be finished."));
}

bool printWidget(QWidget* w, QWidget* dialogParent) {
    if (!w) return false;
    QPrinter printer(QPrinter::HighResolution);
    if (!choosePrinter(printer, dialogParent)) return false;
    printImage(printer, w->grab().toImage());
    return true;
}

QImage lastPrintedImage() {
    return lastImage;
}
}  // namespace printer
