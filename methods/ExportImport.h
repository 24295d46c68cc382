// The export/import window: copies every method and sequence of the running instance into
// one INI file, and reads such a file back into the stores. One global window, shown
// without blocking the main window.
#pragma once
#include <QString>
#include <functional>
#include <string>

#include "unicode/UxForms.h"

class TUxButton;
class TUxLabel;

class TExportImport1 : public TUxForm {
    Q_OBJECT
  public:
    explicit TExportImport1(QWidget* owner = nullptr);
    ~TExportImport1() override;

    // Ask for a file (the last one chosen, at first "ZentrovaSequencesMethods.sav") and
    // export into it or import from it.
    void ExportBtnClick();
    void ImportBtnClick();
    void DoneBtnClick();

    // Writes every stored method and sequence into the file, replacing it whole. False
    // (after a message) when the store or the file fails; the old file then stays as it was.
    bool ExportAll(const std::string& path);
    // Reads the file into the stores, asking before it replaces stored methods or sequences.
    // False (after a message) when the file cannot be read, holds nothing to import, the
    // operator cancels or the store fails; the stores then stay as they were.
    bool ImportAll(const std::string& path);

    TUxButton* ExportBtn = nullptr;
    TUxButton* ImportBtn = nullptr;
    TUxButton* DoneBtn = nullptr;
    TUxLabel* ExportLbl = nullptr;
    TUxLabel* ImportLbl = nullptr;
    TUxLabel* DoneLbl = nullptr;

    // The file names the save and open dialogs last chose.
    QString SaveFileName;
    QString OpenFileName;
};

extern TExportImport1* ExportImport1;

// The default file name the file dialogs offer.
inline constexpr const char* kExportFileName = "ZentrovaSequencesMethods.sav";

// Tests: answers the file dialogs instead of showing them. save tells the save dialog from
// the open dialog; fileName holds the proposed name and receives the chosen one; false is
// a cancelled dialog. Empty: the real dialogs.
extern std::function<bool(bool save, QString& fileName)> ExportImportFileDialog;

// Told after an import stored the loaded sequence or a method it uses.
extern std::function<void()> OnLoadedSequenceStored;
