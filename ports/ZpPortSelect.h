// Finding a usable serial port: whether a port number (or device path) exists here, and
// the modal "Select Port" dialog that lists the ports that do.
#pragma once
#include <QComboBox>
#include <QString>
#include <cstdint>
#include <functional>
#include <string>

#include "unicode/UxForms.h"

// True when the port exists; a port held by another program counts as present.
bool IsPortAvailable(unsigned portNumber);
bool IsPortAvailable(const std::string& deviceName);
// "\\.\COMn".
std::string ComNameOfNumber(unsigned portNumber);

class TComSelectForm : public TUxForm {
  public:
    explicit TComSelectForm(QWidget* owner = nullptr);
    // The entry's text ("COM3"), "" with nothing selected.
    QString SelectedCom() const;
    // The number of the selected entry; 0 with nothing selected (OK on an empty list is Cancel).
    uint16_t SelectedComNum() const;
    // Modal; returns mrOk or mrCancel. OK with no entry selected returns mrCancel.
    int ShowModal();
    QComboBox* PortsComboBox = nullptr;

    // Tests: answers ShowModal instead of a person (the form is filled already).
    static std::function<int(TComSelectForm&)> modalHook;
};
