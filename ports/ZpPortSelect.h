// Finding a usable serial port: whether a port number (or device path) exists here, and
// the modal "Select Port" dialog that lists the ports that do.
#pragma once
#include <QComboBox>
#include <QString>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "unicode/UxForms.h"

// True when the port exists; a port held by another program counts as present.
bool IsPortAvailable(unsigned portNumber);
bool IsPortAvailable(const std::string& deviceName);
// "\\.\COMn".
std::string ComNameOfNumber(unsigned portNumber);

// The number of an entry does not convert (OK with nothing selected).
class EConvertError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class TComSelectForm : public TUxForm {
  public:
    explicit TComSelectForm(QWidget* owner = nullptr);
    // The entry's text ("COM3"), "" with nothing selected.
    QString SelectedCom() const;
    // The number of the selected entry, read from its fourth character on; EConvertError when
    // that is no number (nothing selected).
    uint16_t SelectedComNum() const;
    // Modal; returns mrOk or mrCancel.
    int ShowModal();
    QComboBox* PortsComboBox = nullptr;

    // Tests: answers ShowModal instead of a person (the form is filled already).
    static std::function<int(TComSelectForm&)> modalHook;
};
