#include "platform/Printer.h"

namespace printer {
void setPdfOutput(const std::string&) {}
std::string pdfOutput() {
    return {};
}
void setDialogHandler(DialogHandler) {}
bool choosePrinter(QPrinter&, QWidget*) {
    return false;
}
void printImage(QPrinter&, const QImage&) {}
bool printWidget(QWidget*, QWidget*) {
    return false;
}
QImage lastPrintedImage() {
    return {};
}
}  // namespace printer
