// The USB converter wrapper and the converter library under it: device listing from a made-up
// sysfs tree, open by description (mapped to pseudo-terminals), line set-up failures, reads
// and writes.
#include <gtest/gtest.h>
#include <termios.h>

#include <QTemporaryDir>
#include <filesystem>
#include <fstream>

#include "link/FTDI.h"
#include "link/pty_pair.h"
#include "platform/D2xx.h"

namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text << "\n";
}

// One converter in the made-up tree: class/tty/ttyUSBn/device -> devices/.../port/ttyUSBn.
void addConverter(const fs::path& root, int n, const std::string& vid, const std::string& pid,
                  const std::string& product, const std::string& serial = "S") {
    fs::path usb = root / "devices" / "pci0000:00" / "usb1" / ("1-" + std::to_string(n));
    fs::path port = usb / ("1-" + std::to_string(n) + ":1.0") / ("ttyUSB" + std::to_string(n));
    fs::create_directories(port);
    writeFile(usb / "idVendor", vid);
    writeFile(usb / "idProduct", pid);
    writeFile(usb / "product", product);
    writeFile(usb / "serial", serial);
    writeFile(usb / "busnum", "1");
    writeFile(usb / "devnum", std::to_string(n + 1));
    fs::path tty = root / "class" / "tty" / ("ttyUSB" + std::to_string(n));
    fs::create_directories(tty);
    fs::create_symlink(fs::relative(port, tty), tty / "device");
}

class FTDITest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        D2xx::setDeviceMap({});
        D2xx::setSysfsRoot(tmp.filePath("sys").toStdString());
        D2xx::setFailingCalls({});
    }
    void TearDown() override {
        ftdi.Close();
        D2xx::setFailingCalls({});
        D2xx::setSysfsRoot("");
        D2xx::resetDeviceMap();
    }
    fs::path sys() const { return tmp.filePath("sys").toStdString(); }
    QTemporaryDir tmp;
    TFTDI ftdi;
};

TEST_F(FTDITest, FindDeviceWalksMatchingConvertersInIndexOrder) {
    addConverter(sys(), 10, "0403", "6001", "Second KVZ");
    addConverter(sys(), 2, "0403", "6001", "First KVZ");
    addConverter(sys(), 5, "0403", "6014", "Other converter");
    addConverter(sys(), 7, "1a86", "7523", "Other vendor");
    fs::create_directories(sys() / "class" / "tty" / "ttyS0");
    EXPECT_EQ(ftdi.CreateDeviceList(), 3u);  // the other vendor is not ours at all
    EXPECT_EQ(ftdi.FindDevice(), "First KVZ");
    EXPECT_EQ(ftdi.FindDevice(), "Second KVZ");
    EXPECT_EQ(ftdi.FindDevice(), "No Device Found");
    EXPECT_EQ(ftdi.FindDevice(), "No Device Found");
    // A new list starts over; mapped devices come after the real ones.
    D2xx::setDeviceMap({{"Mapped", "/dev/null"}});
    EXPECT_EQ(ftdi.CreateDeviceList(), 4u);
    EXPECT_EQ(ftdi.FindDevice(), "First KVZ");
    EXPECT_EQ(ftdi.FindDevice(), "Second KVZ");
    EXPECT_EQ(ftdi.FindDevice(), "Mapped");
    EXPECT_EQ(ftdi.FindDevice(), "No Device Found");
}

TEST_F(FTDITest, ListFailuresAreCounted) {
    addConverter(sys(), 0, "0403", "6001", "KVZ");
    D2xx::setFailingCalls({"createDeviceInfoList"});
    int32_t before = TFTDI::ListFailures;
    EXPECT_EQ(ftdi.CreateDeviceList(), 0u);
    EXPECT_EQ(TFTDI::ListFailures, before + 1);
    EXPECT_EQ(ftdi.FindDevice(), "No Device Found");
    D2xx::setFailingCalls({});
    ASSERT_EQ(ftdi.CreateDeviceList(), 1u);
    D2xx::setFailingCalls({"getDeviceInfoDetail"});
    EXPECT_EQ(ftdi.FindDevice(), "No Device Found");
    EXPECT_EQ(ftdi.DetailFailures, 1);
}

TEST_F(FTDITest, OpensByDescriptionAndCarriesBytesBothWays) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    D2xx::setDeviceMap({{"KVZ 1", pty.slavePath()}});
    EXPECT_FALSE(ftdi.Open("KVZ 2"));
    EXPECT_FALSE(ftdi.IsOpen());
    // A description read from a text field ends in CR LF.
    ASSERT_TRUE(ftdi.Open("KVZ 1\r\n"));
    EXPECT_TRUE(ftdi.IsOpen());

    // The line is raw 115200 8N1 without flow control.
    termios t{};
    int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    ::close(fd);
    EXPECT_EQ(cfgetospeed(&t), B115200);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (CSTOPB | PARENB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);

    ASSERT_TRUE(ftdi.Write(std::string("? 0123\r")));
    EXPECT_EQ(pty.readAtLeast(7), "? 0123\r");

    uint64_t reads = D2xx::readCallCount();
    uint8_t b = 'x';
    EXPECT_FALSE(ftdi.ReadByte(b));
    EXPECT_EQ(b, 'x');
    EXPECT_EQ(D2xx::readCallCount(), reads) << "nothing waiting: no read call";

    ASSERT_TRUE(pty.write(std::string("?3\n\0\xff", 6)));
    std::string got;
    for (int i = 0; i < 2000 && got.size() < 6; ++i) {
        if (ftdi.ReadByte(b))
            got.push_back(static_cast<char>(b));
        else
            pty.readAtLeast(1, 1);  // give the kernel a moment to pass the bytes on
    }
    EXPECT_EQ(got, std::string("?3\n\0\xff", 6));

    ftdi.Close();
    EXPECT_FALSE(ftdi.IsOpen());
    ftdi.Close();  // closing twice does nothing
    EXPECT_FALSE(ftdi.ReadByte(b));
    EXPECT_FALSE(ftdi.Write(std::string("x")));
}

TEST_F(FTDITest, OpenWhileOpenClosesAndFails) {
    PtyPair a, b;
    ASSERT_TRUE(a.ok() && b.ok());
    D2xx::setDeviceMap({{"A", a.slavePath()}, {"B", b.slavePath()}});
    ASSERT_TRUE(ftdi.Open("A"));
    EXPECT_FALSE(ftdi.Open("B"));
    EXPECT_FALSE(ftdi.IsOpen());
    // The device is free again for the next open.
    EXPECT_TRUE(ftdi.Open("A"));
}

TEST_F(FTDITest, RejectedLineSettingClosesTheDevice) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    D2xx::setDeviceMap({{"KVZ", pty.slavePath()}});
    for (const char* call :
         {"setBaudRate", "setDataCharacteristics", "setFlowControl", "purge", "setTimeouts"}) {
        D2xx::setFailingCalls({call});
        EXPECT_FALSE(ftdi.Open("KVZ")) << call;
        EXPECT_FALSE(ftdi.IsOpen()) << call;
        EXPECT_NE(ftdi.LastStatus, D2xx::OK) << call;
    }
    D2xx::setFailingCalls({});
    EXPECT_TRUE(ftdi.Open("KVZ"));
}

TEST_F(FTDITest, FailedWritesAreReported) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    D2xx::setDeviceMap({{"KVZ", pty.slavePath()}});
    ASSERT_TRUE(ftdi.Open("KVZ"));
    D2xx::setFailingCalls({"write"});
    EXPECT_FALSE(ftdi.Write(std::string("OFF 0\r")));
    D2xx::setFailingCalls({});
    EXPECT_TRUE(ftdi.Write(std::string("OFF 0\r")));
    // The other end goes away: the write fails for real.
    pty.closeMaster();
    EXPECT_FALSE(ftdi.Write(std::string("OFF 0\r")));
    uint8_t b;
    EXPECT_FALSE(ftdi.ReadByte(b));
}

TEST_F(FTDITest, FullDeviceTakesPartOfAWriteAndThatIsAFailure) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    D2xx::setDeviceMap({{"KVZ", pty.slavePath()}});
    ASSERT_TRUE(ftdi.Open("KVZ"));
    // Nobody reads the other end: sooner or later the device refuses more.
    std::string block(4096, 'x');
    bool refused = false;
    for (int i = 0; i < 1024 && !refused; ++i) refused = !ftdi.Write(block);
    EXPECT_TRUE(refused);
}

}  // namespace
