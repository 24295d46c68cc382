// COM numbers and devices: the map in the settings store, filled from the system's tty list;
// whether a port exists; the "Select Port" dialog.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "platform/Dialogs.h"
#include "platform/Registry.h"
#include "platform/Serial.h"
#include "ports/FakeSerial.h"
#include "ports/ZpComPort.h"
#include "ports/ZpPortSelect.h"

namespace {
struct Env {
    QTemporaryDir dir;
    Env() {
        setenv("ZENTROVA_REGISTRY", (dir.path() + "/reg.db").toUtf8().constData(), 1);
        setenv("XDG_CONFIG_HOME", dir.path().toUtf8().constData(), 1);
        // The machine's own serial ports stay out of the tests.
        QDir(dir.path()).mkpath("sys");
        setenv("ZENTROVA_SYS_TTY", (dir.path() + "/sys").toUtf8().constData(), 1);
    }
    // A fake /sys/class/tty: name -> has a device link, uart type ("" for none).
    void tty(const QString& name, bool device, const QString& type = QString()) {
        QDir(dir.path()).mkpath("sys/" + name);
        if (device) QDir(dir.path()).mkpath("sys/" + name + "/device");
        if (!type.isEmpty()) {
            QFile f(dir.path() + "/sys/" + name + "/type");
            f.open(QIODevice::WriteOnly);
            f.write(type.toUtf8() + "\n");
        }
    }
    std::string sys() const { return (dir.path() + "/sys").toStdString(); }
};
}  // namespace

TEST(SerialComMap, NumbersFollowTheSystemListAndStayPut) {
    Env env;
    env.tty("tty0", false);       // a console: no device
    env.tty("ttyS0", true, "4");  // a UART
    env.tty("ttyS1", true, "0");  // no UART behind it
    env.tty("ttyUSB10", true);
    env.tty("ttyUSB2", true);
    env.tty("ttyACM0", true);
    auto map = refreshSerialComMap(env.sys());
    ASSERT_EQ(map.size(), 4u);
    EXPECT_EQ(serialDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(serialDevicePath("COM2"), "/dev/ttyUSB2");
    EXPECT_EQ(serialDevicePath("\\\\.\\COM3"), "/dev/ttyUSB10");
    EXPECT_EQ(serialDevicePath("COM4"), "/dev/ttyACM0");
    // A new adapter gets the lowest free number; the others keep theirs.
    Registry reg(RegRoot::LocalMachine);
    ASSERT_TRUE(reg.openKey("\\HARDWARE\\DEVICEMAP\\SERIALCOMM", false));
    reg.deleteValue("/dev/ttyUSB2");
    env.tty("ttyUSB0", true);
    refreshSerialComMap(env.sys());
    EXPECT_EQ(serialDevicePath("COM2"), "/dev/ttyUSB0");
    EXPECT_EQ(serialDevicePath("COM3"), "/dev/ttyUSB10");
    EXPECT_EQ(serialDevicePath("COM5"), "/dev/ttyUSB2");
    // A path is used as it is; names are read as port numbers.
    EXPECT_EQ(serialDevicePath("/dev/pts/7"), "/dev/pts/7");
    EXPECT_EQ(serialPortNumber("COM12"), 12);
    EXPECT_EQ(serialPortNumber("com3"), 3);
    EXPECT_EQ(serialPortNumber("COMx"), 0);
}

TEST(SerialComMap, PortAvailability) {
    Env env;
    EXPECT_FALSE(IsPortAvailable(0u));
    int m, s;
    char name[256];
    ASSERT_EQ(openpty(&m, &s, name, nullptr, nullptr), 0);
    Registry reg(RegRoot::LocalMachine);
    ASSERT_TRUE(reg.openKey("\\HARDWARE\\DEVICEMAP\\SERIALCOMM", true));
    reg.writeString(name, "COM60");
    EXPECT_TRUE(IsPortAvailable(60u));
    EXPECT_TRUE(IsPortAvailable(std::string(name)));
    EXPECT_FALSE(IsPortAvailable(61u));
    EXPECT_FALSE(IsPortAvailable(std::string("/nonexistent/tty")));
    {
        // Held by the program itself (or another): still present.
        TZpComPort port;
        port.SetComNumber(60);
        port.SetOpen(true);
        EXPECT_TRUE(IsPortAvailable(60u));
        port.SetOpen(false);
    }
    EXPECT_EQ(ComNameOfNumber(12), "\\\\.\\COM12");
    ::close(s);
    ::close(m);
}

TEST(SerialComMap, SelectFormListsPortsAndOkOnNothingIsCancel) {
    Env env;
    {
        TComSelectForm empty;
        EXPECT_EQ(empty.PortsComboBox->count(), 0);
        TComSelectForm::modalHook = [](TComSelectForm&) { return int(mrOk); };
        EXPECT_EQ(empty.ShowModal(), mrCancel);
        EXPECT_EQ(empty.SelectedComNum(), 0);
    }
    int m, s;
    char name[256];
    ASSERT_EQ(openpty(&m, &s, name, nullptr, nullptr), 0);
    Registry reg(RegRoot::LocalMachine);
    ASSERT_TRUE(reg.openKey("\\HARDWARE\\DEVICEMAP\\SERIALCOMM", true));
    reg.writeString(name, "COM12");
    reg.writeString("/dev/not-there", "COM13");
    reg.writeString(name + std::string("-alias-above-50"), "COM51");
    TComSelectForm form;
    ASSERT_EQ(form.PortsComboBox->count(), 1);
    EXPECT_EQ(form.SelectedCom(), "COM12");
    EXPECT_EQ(form.SelectedComNum(), 12);
    EXPECT_EQ(form.ShowModal(), mrOk);

    // A port opened without a number asks; Cancel leaves it closed with -2011.
    TZpComPort port;
    TComSelectForm::modalHook = [](TComSelectForm&) { return int(mrCancel); };
    EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
    TComSelectForm::modalHook = [](TComSelectForm&) { return int(mrOk); };
    port.SetOpen(true);
    EXPECT_TRUE(port.GetOpen());
    EXPECT_EQ(port.GetComNumber(), 12);
    port.SetOpen(false);
    TComSelectForm::modalHook = nullptr;
    ::close(s);
    ::close(m);
}
