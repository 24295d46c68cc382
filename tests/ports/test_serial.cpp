// Serial ports: one holder per device (a pseudo-terminal that another process holds exclusively
// opens as "device already open", over USB too, and keeps its holder's claim; the availability
// probe leaves its line alone); COM numbers
// from the system's tty list; the "Select Port" dialog.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QWidget>
#include <filesystem>
#include <fstream>

#include "platform/D2xx.h"
#include "platform/Dialogs.h"
#include "platform/Registry.h"
#include "platform/Serial.h"
#include "ports/ZpComPort.h"
#include "ports/ZpDataPacket.h"
#include "ports/ZpPortSelect.h"
#include "support/TempEnv.h"

namespace {

struct Pty {
    int master = -1, slave = -1;
    std::string name = std::string(256, '\0');
    Pty() {
        openpty(&master, &slave, name.data(), nullptr, nullptr);
        name.resize(name.find('\0'));
    }
    ~Pty() {
        ::close(slave);
        ::close(master);
    }
    termios line() const {
        termios t{};
        tcgetattr(slave, &t);
        return t;
    }
    speed_t speed() const {
        const termios t = line();
        return cfgetospeed(&t);
    }
};

// Registers device -> COM name in the settings store's serial map.
void mapPort(const std::string& device, const char* com) {
    Registry reg(RegRoot::LocalMachine);
    ASSERT_TRUE(reg.openKey("\\HARDWARE\\DEVICEMAP\\SERIALCOMM", true));
    reg.writeString(device, com);
}

// A test folder whose fake /sys/class/tty keeps the machine's own serial ports out.
struct Env : TempEnv {
    Env() {
        std::filesystem::create_directories(path("sys"));
        set("ZENTROVA_SYS_TTY", path("sys"));
    }
    // name -> has a device link, uart type ("" for none).
    void tty(const std::string& name, bool device, const char* type = "") {
        std::filesystem::create_directories(path("sys/" + name + (device ? "/device" : "")));
        if (*type) std::ofstream(path("sys/" + name + "/type")) << type << "\n";
    }
};

}  // namespace

TEST(SerialExclusive, APortHeldElsewhereIsPresentButOpensAsAlreadyOpen) {
    Env env;
    Pty pty;
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {  // another process holds the slave exclusively at 9600 baud until released
        ::close(release[1]);
        const int fd = ::open(pty.name.c_str(), O_RDWR | O_NOCTTY);
        termios t = pty.line();
        cfsetspeed(&t, B9600);
        tcsetattr(fd, TCSANOW, &t);
        const char ok = (fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0) ? 'y' : 'n';
        char c;
        if (::write(ready[1], &ok, 1) == 1 && ::read(release[0], &c, 1) >= 0) ::ioctl(fd, TIOCNXCL);
        _exit(0);
    }
    char c = 'n';
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    EXPECT_TRUE(IsPortAvailable(pty.name));
    EXPECT_EQ(pty.speed(), B9600) << "the probe changed the holder's line settings";
    TZpComPort port;
    port.SetComDevice(pty.name);
    try {
        port.SetOpen(true);
        ADD_FAILURE() << "opened a port held by another process";
    } catch (const EAlreadyOpen& e) {
        EXPECT_STREQ(e.what(), "ie_Open - device already open");
    }
    EXPECT_FALSE(port.GetOpen());
    EXPECT_EQ(pty.speed(), B9600);
    // The USB converter refuses it as well (even to root, whom the flag alone lets in) and
    // leaves the holder's claim alone.
    D2xx::setDeviceMap({{"KVZ Test", pty.name}});
    D2xx::Handle usb = 0;
    EXPECT_EQ(D2xx::openEx("KVZ Test", D2xx::OPEN_BY_DESCRIPTION, &usb), D2xx::DEVICE_NOT_OPENED);
    if (usb) D2xx::close(usb);
    int exclusive = 0;
    EXPECT_EQ(ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1) << "the holder's claim was cleared";
    for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
    ::waitpid(pid, nullptr, 0);
    // Released: ours, exclusively and with the default line, while open; free again once closed.
    port.SetOpen(true);
    ASSERT_TRUE(port.GetOpen());
    const termios t = pty.line();
    EXPECT_EQ(pty.speed(), B19200);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(t.c_lflag & ICANON);
    EXPECT_EQ(ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    EXPECT_EQ(D2xx::openEx("KVZ Test", D2xx::OPEN_BY_DESCRIPTION, &usb), D2xx::DEVICE_NOT_OPENED);
    port.SetOpen(false);
    EXPECT_EQ(ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    // Over USB: claimed while open, free again once closed.
    ASSERT_EQ(D2xx::openEx("KVZ Test", D2xx::OPEN_BY_DESCRIPTION, &usb), D2xx::OK);
    EXPECT_EQ(ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    EXPECT_EQ(D2xx::close(usb), D2xx::OK);
    EXPECT_EQ(ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    D2xx::resetDeviceMap();
}

TEST(SerialComMap, NumbersFollowTheSystemListAndStayPut) {
    Env env;
    env.tty("tty0", false);       // a console: no device
    env.tty("ttyS0", true, "4");  // a UART
    env.tty("ttyS1", true, "0");  // no UART behind it
    for (const char* usb : {"ttyUSB10", "ttyUSB2", "ttyACM0"}) env.tty(usb, true);
    EXPECT_EQ(refreshSerialComMap(env.path("sys")).size(), 4u);
    EXPECT_EQ(serialDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(serialDevicePath("COM2"), "/dev/ttyUSB2");
    EXPECT_EQ(serialDevicePath("\\\\.\\COM3"), "/dev/ttyUSB10");
    EXPECT_EQ(serialDevicePath("COM4"), "/dev/ttyACM0");
    // A new adapter gets the lowest free number; the others keep theirs.
    Registry reg(RegRoot::LocalMachine);
    ASSERT_TRUE(reg.openKey("\\HARDWARE\\DEVICEMAP\\SERIALCOMM", false));
    reg.deleteValue("/dev/ttyUSB2");
    env.tty("ttyUSB0", true);
    refreshSerialComMap(env.path("sys"));
    EXPECT_EQ(serialDevicePath("COM2"), "/dev/ttyUSB0");
    EXPECT_EQ(serialDevicePath("COM3"), "/dev/ttyUSB10");
    EXPECT_EQ(serialDevicePath("COM5"), "/dev/ttyUSB2");
    EXPECT_EQ(serialDevicePath("/dev/pts/7"), "/dev/pts/7");  // a path is used as it is
    EXPECT_EQ(serialPortNumber("com3"), 3);
    EXPECT_EQ(serialPortNumber("COMx"), 0);
}

TEST(SerialComMap, AvailabilityAndTheSelectFormWhereOkOnNothingIsAConversionError) {
    Env env;
    TComSelectForm::modalHook = [](TComSelectForm&) { return int(mrOk); };
    {
        TComSelectForm empty;
        EXPECT_EQ(empty.PortsComboBox->count(), 0);
        EXPECT_EQ(empty.ShowModal(), mrOk);
        EXPECT_THROW(empty.SelectedComNum(), EConvertError);
        // A port opened without a number fails with that error and stays closed.
        TZpComPort unnumbered;
        EXPECT_THROW(unnumbered.SetOpen(true), EConvertError);
        EXPECT_FALSE(unnumbered.GetOpen());
        EXPECT_EQ(unnumbered.PortState(), psClosed);
    }
    Pty pty;
    mapPort(pty.name, "COM12");
    mapPort("/dev/not-there", "COM13");
    mapPort(pty.name + "-alias-above-50", "COM51");
    EXPECT_TRUE(IsPortAvailable(12u));
    EXPECT_FALSE(IsPortAvailable(13u));
    EXPECT_FALSE(IsPortAvailable(std::string("/nonexistent/tty")));
    TComSelectForm form;
    ASSERT_EQ(form.PortsComboBox->count(), 1);
    for (const char* name : {"Label1", "Label2", "PortsComboBox", "OkBtn"}) {
        const auto* w = form.findChild<QWidget*>(name);
        ASSERT_NE(w, nullptr) << name;
        EXPECT_EQ(w->font().family(), "MS Sans Serif") << name;
        EXPECT_EQ(w->font().pixelSize(), 11) << name;
    }
    EXPECT_EQ(form.SelectedCom(), "COM12");
    // A port opened without a number asks; Cancel leaves it closed.
    TZpComPort port;
    TComSelectForm::modalHook = [](TComSelectForm&) { return int(mrCancel); };
    EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
    TComSelectForm::modalHook = [](TComSelectForm&) { return int(mrOk); };
    port.SetOpen(true);
    EXPECT_EQ(port.GetComNumber(), 12);
    EXPECT_TRUE(IsPortAvailable(12u));  // held by the program itself: still present
    port.SetOpen(false);
    TComSelectForm::modalHook = nullptr;
}

TEST(SerialPackets, APortGoneBeforeItsIdleManagerLeavesNothingPointingAtIt) {
    auto* port = new TZpComPort;
    auto* packet = new TZpDataPacket;
    packet->SetComPort(port);
    ASSERT_NE(TZpDataPacketManager::GetPortManager(port), nullptr);
    delete packet;  // the idle manager is freed later, from the event loop
    delete port;
    EXPECT_EQ(TZpDataPacketManager::GetPortManager(port), nullptr);
    QCoreApplication::processEvents();  // the free must not touch the port
}

TEST(SerialPackets, APacketTakesAPortInsertedWhileItHasNoneAndLetsARemovedOneGo) {
    TZpComPort first, second;
    TZpDataPacket packet;
    const struct Step {
        TZpComPort* component;
        TZpDataPacket::TOperation operation;
        TZpCustomComPort* port;  // the packet's port after the step
    } steps[] = {
        {&first, TZpDataPacket::opRemove, nullptr}, {&first, TZpDataPacket::opInsert, &first},
        {&second, TZpDataPacket::opInsert, &first}, {&second, TZpDataPacket::opRemove, &first},
        {&first, TZpDataPacket::opRemove, nullptr}, {&second, TZpDataPacket::opInsert, &second},
    };
    for (const Step& s : steps) {
        packet.Notification(s.component, s.operation);
        EXPECT_EQ(packet.GetComPort(), s.port);
    }
    QObject notAPort;
    packet.Notification(&second, TZpDataPacket::opRemove);
    packet.Notification(&notAPort, TZpDataPacket::opInsert);
    EXPECT_EQ(packet.GetComPort(), nullptr);
    QCoreApplication::processEvents();  // a manager left without packets goes from the event loop
    EXPECT_EQ(TZpDataPacketManager::GetPortManager(&first), nullptr);
    EXPECT_EQ(TZpDataPacketManager::GetPortManager(&second), nullptr);
}

// A tty whose driver has no RS-485 keying (a pseudo-terminal has none): the port keys RTS
// itself, and what it sends arrives whole once the line has been released.
TEST(SerialRs485, WithoutTheDriversKeyingThePortKeysAndStillSends) {
    Env env;
    Pty pty;
    int err = 0;
    auto dev = openSerialDevice(pty.name, err);
    ASSERT_TRUE(dev) << err;
    EXPECT_FALSE(dev->setRs485(true));
    EXPECT_FALSE(dev->setRs485(false));
    EXPECT_EQ(dev->write("abc", 3), 3);
    EXPECT_GE(dev->outQueue(), 0);
    dev.reset();
    char skip[8];
    EXPECT_EQ(::read(pty.master, skip, sizeof skip), 3);
    TZpComPort port;
    port.SetComDevice(pty.name);
    port.SetRS485Mode(true);
    port.SetOpen(true);
    ASSERT_TRUE(port.GetOpen());
    EXPECT_TRUE(port.Dispatcher()->KeysRS485());
    port.PutString("ping\r");
    std::string got;
    for (int i = 0; i < 200 && got.size() < 5; ++i) {
        pollfd p{pty.master, POLLIN, 0};
        char buf[16];
        if (::poll(&p, 1, 10) > 0) {
            const ssize_t n = ::read(pty.master, buf, sizeof buf);
            if (n > 0) got.append(buf, static_cast<size_t>(n));
        }
    }
    EXPECT_EQ(got, "ping\r");
    port.SetOpen(false);
}

// A telephony port opens over the device the line hands over: its settings are read back into
// the port, and what the port sends goes out on it. A zero handle is refused with -2007.
TEST(SerialTelephony, APortTakesTheLinesDeviceWithItsSettingsOrRefusesAZeroHandle) {
    Env env;
    {
        TZpComPort port;
        port.SetTapiMode(tmOn);
        port.SetTapiCid(0);
        int32_t code = 0;
        try {
            port.SetOpen(true);
        } catch (const EZPException& e) {
            code = e.ErrorCode;
        }
        EXPECT_EQ(code, -2007);
        EXPECT_FALSE(port.GetOpen());
    }
    Pty pty;
    termios t = pty.line();
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    t.c_cflag |= CSTOPB;  // a pseudo-terminal keeps 8 data bits without parity whatever it is told
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &t), 0);
    const int handed = ::dup(pty.slave);  // the line's device, handed over and closed with the port
    TZpComPort port;
    port.SetTapiMode(tmOn);
    port.SetTapiCid(static_cast<uint16_t>(handed));
    port.SetOpen(true);
    ASSERT_TRUE(port.GetOpen());
    EXPECT_EQ(port.Dispatcher()->DeviceHandle(), handed);
    EXPECT_EQ(port.GetBaud(), 9600);
    EXPECT_EQ(port.GetStopBits(), 2);
    EXPECT_EQ(pty.speed(), speed_t(B9600));
    port.PutString("ATH\r");
    std::string got;
    for (int i = 0; i < 200 && got.size() < 4; ++i) {
        pollfd p{pty.master, POLLIN, 0};
        char buf[16];
        if (::poll(&p, 1, 10) > 0) {
            const ssize_t n = ::read(pty.master, buf, sizeof buf);
            if (n > 0) got.append(buf, static_cast<size_t>(n));
        }
    }
    EXPECT_EQ(got, "ATH\r");
    port.SetOpen(false);
    EXPECT_EQ(::fcntl(handed, F_GETFD), -1);  // closed with the port
}
