// The export/import window: copies every method and sequence of the running instance into
// one INI file, and reads such a file back into the stores. One global window, shown
// without blocking the main window.
#pragma once
#include <QString>
#include <string>

#include "unicode/UxForms.h"

class TUxButton;
class TUxLabel;

class TExportImport1 : public TUxForm {
    Q_OBJECT
  public:
    explicit TExportImport1(QWidget* owner = nullptr);
    ~TExportImport1() override;

    void ExportBtnClick();
    void ImportBtnClick();
    void DoneBtnClick();

    // Writes every stored method and sequence into the file, replacing it whole. False
    // (after a message) when the file cannot be written; the old file then stays as it was.
    bool ExportAll(const std::string& path);
    // Reads the file into the stores. False (after a message) when the file cannot be read,
    // holds nothing to import, or the operator cancels; the stores then stay as they were.
    bool ImportAll(const std::string& path);

    TUxButton* ExportBtn = nullptr;
    TUxButton* ImportBtn = nullptr;
    TUxButton* DoneBtn = nullptr;
    TUxLabel* ExportLbl = nullptr;
    TUxLabel* ImportLbl = nullptr;
    TUxLabel* DoneLbl = nullptr;

    // The file names the two dialogs last chose ("" before the first use).
    std::string SaveFileName;
    std::string OpenFileName;
};

extern TExportImport1* ExportImport1;

// The default file name the file dialogs offer.
inline constexpr const char* kExportFileName = "ZentrovaSequencesMethods.sav";
