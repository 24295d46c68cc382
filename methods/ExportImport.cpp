#include "methods/ExportImport.h"

TExportImport1* ExportImport1 = nullptr;

TExportImport1::TExportImport1(QWidget* owner) : TUxForm(owner) {}
TExportImport1::~TExportImport1() = default;
void TExportImport1::ExportBtnClick() {}
void TExportImport1::ImportBtnClick() {}
void TExportImport1::DoneBtnClick() {
    Close();
}
bool TExportImport1::ExportAll(const std::string&) {
    return false;
}
bool TExportImport1::ImportAll(const std::string&) {
    return false;
}
