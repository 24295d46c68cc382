// The printer and the print dialog: a window's image printed on one page through QPrinter.
// Tests and batch runs point the output at a PDF file (setPdfOutput, or the environment
// variable ZENTROVA_PRINT_TO_PDF) and no dialog is shown.
#pragma once
#include <QImage>
#include <functional>
#include <stdexcept>
#include <string>

class QPrinter;
class QWidget;

class EPrinterError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

namespace printer {
// The PDF file that receives every printout without a dialog; "" for the real dialog and
// printer. Set here, it overrides $ZENTROVA_PRINT_TO_PDF.
void setPdfOutput(const std::string& path);
std::string pdfOutput();

// Tests: answers the print dialog instead of showing it (false: cancelled). Empty: the
// real dialog (or the PDF output when one is set).
using DialogHandler = std::function<bool(QPrinter& printer)>;
void setDialogHandler(DialogHandler h);

// Shows the print dialog (one copy, page 1 to 1, printing to a file and page numbers
// offered). False when the operator cancels it. With a PDF output set, the printer is
// pointed at that file and no dialog is shown.
bool choosePrinter(QPrinter& printer, QWidget* parent);

// Prints the image on one page at its on-screen size (what does not fit is cut at the
// page's end). Raises EPrinterError when the printer cannot be started.
void printImage(QPrinter& printer, const QImage& image);

// The print dialog, then the widget's image on one page. False when cancelled.
bool printWidget(QWidget* w, QWidget* dialogParent = nullptr);

// The last image handed to printImage in this process (tests look at what was printed).
QImage lastPrintedImage();
}  // namespace printer
