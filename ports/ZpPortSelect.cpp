#include "ports/ZpPortSelect.h"

#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include "platform/Dialogs.h"
#include "platform/Serial.h"
#include "platform/i18n.h"

std::function<int(TComSelectForm&)> TComSelectForm::modalHook;

std::string ComNameOfNumber(unsigned portNumber) {
    return "\\\\.\\COM" + std::to_string(portNumber);
}

// The port is only looked at, never opened through a dispatcher: that open claims the tty and
// sets it raw at 19200 8N1, so a port that another program uses without claiming it would have
// its line changed under it and its traffic corrupted. The two process-wide switches that
// choose how to look are not kept, as nothing ever changes them: the look is always this probe,
// and a port another program holds always counts as present (refused access means it exists).
bool IsPortAvailable(const std::string& deviceName) {
    if (deviceName.empty()) return false;
    const int err = probeSerialDevice(deviceName);
    // Held by another program: the port exists.
    return err == 0 || err == SERIAL_ERROR_ACCESS_DENIED;
}

bool IsPortAvailable(unsigned portNumber) {
    if (portNumber == 0) return false;
    return IsPortAvailable(ComNameOfNumber(portNumber));
}

TComSelectForm::TComSelectForm(QWidget* owner) : TUxForm(owner) {
    setWindowTitle(_("Select Port"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowCloseButtonHint);
    setFixedSize(220, 131);
    QFont f("MS Sans Serif");
    f.setPixelSize(11);
    setFont(f);
    CentreOn(nullptr);
    auto* frame = new QFrame(this);
    frame->setObjectName("Bevel1");
    frame->setFrameShape(QFrame::Box);
    frame->setGeometry(8, 8, 204, 44);
    auto* l1 = new QLabel(_("The configured serial port is not valid."), frame);
    l1->setObjectName("Label1");
    l1->setGeometry(4, 4, 196, 16);
    auto* l2 = new QLabel(_("Please choose another port."), frame);
    l2->setObjectName("Label2");
    l2->setGeometry(4, 22, 196, 16);
    PortsComboBox = new QComboBox(this);
    PortsComboBox->setObjectName("PortsComboBox");
    PortsComboBox->setEditable(false);
    PortsComboBox->setGeometry(8, 60, 204, 24);
    auto* ok = new QPushButton(_("OK"), this);
    ok->setObjectName("OkBtn");
    ok->setDefault(true);
    ok->setGeometry(30, 96, 75, 25);
    auto* cancel = new QPushButton(_("Cancel"), this);
    cancel->setObjectName("AbortBtn");
    cancel->setGeometry(115, 96, 75, 25);
    QObject::connect(ok, &QPushButton::clicked, this, [this] { SetModalResult(mrOk); });
    QObject::connect(cancel, &QPushButton::clicked, this, [this] { SetModalResult(mrCancel); });
    // FormCreate: every existing port from 1 to 50.
    for (unsigned n = 1; n <= 50; ++n)
        if (IsPortAvailable(n)) PortsComboBox->addItem(QString("COM%1").arg(n));
    if (PortsComboBox->count() > 0) PortsComboBox->setCurrentIndex(0);
}

QString TComSelectForm::SelectedCom() const {
    return PortsComboBox->currentIndex() < 0 ? QString() : PortsComboBox->currentText();
}

uint16_t TComSelectForm::SelectedComNum() const {
    const QString text = SelectedCom().mid(3);
    bool ok = false;
    const int n = text.toInt(&ok);
    if (!ok || n < 0 || n > 65535)
        throw EConvertError("'" + text.toStdString() + "' is not a valid integer value");
    return static_cast<uint16_t>(n);
}

int TComSelectForm::ShowModal() {
    if (modalHook) return modalHook(*this);
    return TUxForm::ShowModal();
}
