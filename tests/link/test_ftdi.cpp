// The USB converter wrapper and the converter library under it: device listing from a made-up
// sysfs tree, open by description (mapped to pseudo-terminals), line set-up, reads and writes,
// and their failures.
#include <gtest/gtest.h>
#include <termios.h>

#include <filesystem>
#include <fstream>

#include "link/FTDI.h"
#include "link/pty_pair.h"
#include "platform/D2xx.h"
#include "support/TempEnv.h"

namespace fs = std::filesystem;

namespace {

class FTDITest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        D2xx::setDeviceMap({{"KVZ", pty.slavePath()}});
        D2xx::setSysfsRoot(env.path("sys"));
    }
    void TearDown() override {
        ftdi.Close();
        D2xx::setFailingCalls({});
        D2xx::setSysfsRoot("");
        D2xx::resetDeviceMap();
    }
    // One converter: class/tty/ttyUSBn/device -> devices/.../port/ttyUSBn.
    void addConverter(int n, const std::string& vid, const std::string& pid, const std::string& product) {
        const fs::path sys = env.path("sys"),
                       usb = sys / "devices/pci0000:00/usb1" / ("1-" + std::to_string(n));
        const fs::path port = usb / ("1-" + std::to_string(n) + ":1.0") / ("ttyUSB" + std::to_string(n));
        const fs::path tty = sys / "class/tty" / ("ttyUSB" + std::to_string(n));
        fs::create_directories(port);
        fs::create_directories(tty);
        for (const auto& [name, value] : {std::pair<std::string, std::string>{"idVendor", vid},
                                          {"idProduct", pid},
                                          {"product", product},
                                          {"serial", "S"},
                                          {"busnum", "1"},
                                          {"devnum", std::to_string(n + 1)}})
            std::ofstream(usb / name) << value << "\n";
        fs::create_symlink(fs::relative(port, tty), tty / "device");
    }

    TempEnv env;
    PtyPair pty;
    TFTDI ftdi;
};

TEST_F(FTDITest, FindDeviceWalksMatchingConvertersInIndexOrder) {
    addConverter(10, "0403", "6001", "Second KVZ");
    addConverter(2, "0403", "6001", "First KVZ");
    addConverter(5, "0403", "6014", "Other converter");
    addConverter(7, "1a86", "7523", "Other vendor");
    fs::create_directories(env.path("sys/class/tty/ttyS0"));
    EXPECT_EQ(ftdi.CreateDeviceList(), 4u);  // the other vendor is not ours; the mapped one comes last
    for (const char* name : {"First KVZ", "Second KVZ", "KVZ", "No Device Found", "No Device Found"})
        EXPECT_EQ(ftdi.FindDevice(), name);
    // A new list starts over; failures are counted.
    D2xx::setFailingCalls({"getDeviceInfoDetail"});
    EXPECT_EQ(ftdi.CreateDeviceList(), 4u);
    EXPECT_EQ(ftdi.FindDevice(), "No Device Found");
    EXPECT_EQ(ftdi.DetailFailures, 4) << "one for each device tried";
    D2xx::setFailingCalls({"createDeviceInfoList"});
    const int32_t before = TFTDI::ListFailures;
    EXPECT_EQ(ftdi.CreateDeviceList(), 0u);
    EXPECT_EQ(TFTDI::ListFailures, before + 1);
    EXPECT_EQ(ftdi.FindDevice(), "No Device Found");
}

TEST_F(FTDITest, OpensByDescriptionAndCarriesBytesBothWays) {
    EXPECT_FALSE(ftdi.Open("KVZ 2"));
    ASSERT_TRUE(ftdi.Open("KVZ\r\n")) << "a description read from a text field ends in CR LF";
    // The line is raw 115200 8N1 without flow control.
    termios t{};
    const int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    ::close(fd);
    EXPECT_EQ(cfgetospeed(&t), B115200);
    EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | PARENB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);

    ASSERT_TRUE(ftdi.Write(std::string("? 0123\r")));
    EXPECT_EQ(pty.readAtLeast(7), "? 0123\r");
    const uint64_t reads = D2xx::readCallCount();
    uint8_t b = 'x';
    EXPECT_FALSE(ftdi.ReadByte(b));
    EXPECT_EQ(D2xx::readCallCount(), reads) << "nothing waiting: no read call";
    const std::string in("?3\n\0\xff", 6);
    ASSERT_TRUE(pty.write(in));
    std::string got;
    for (int i = 0; i < 2000 && got.size() < 6; ++i) {
        if (ftdi.ReadByte(b))
            got.push_back(static_cast<char>(b));
        else
            pty.readAtLeast(1, 1);  // give the kernel a moment to pass the bytes on
    }
    EXPECT_EQ(got, in);
    ftdi.Close();
    ftdi.Close();  // closing twice does nothing
    EXPECT_FALSE(ftdi.ReadByte(b) || ftdi.Write(std::string("x")));
}

TEST_F(FTDITest, FailedOpenLeavesTheDeviceClosedAndFree) {
    PtyPair other;
    D2xx::setDeviceMap({{"KVZ", pty.slavePath()}, {"B", other.slavePath()}});
    ASSERT_TRUE(ftdi.Open("KVZ"));
    EXPECT_FALSE(ftdi.Open("B")) << "open while open closes and fails";
    EXPECT_FALSE(ftdi.IsOpen());
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

TEST_F(FTDITest, FailedAndPartWritesAreReported) {
    ASSERT_TRUE(ftdi.Open("KVZ"));
    D2xx::setFailingCalls({"write"});
    EXPECT_FALSE(ftdi.Write(std::string("OFF 0\r")));
    D2xx::setFailingCalls({});
    // Nobody reads the other end: sooner or later the device takes only part of a write.
    const std::string block(4096, 'x');
    bool refused = false;
    for (int i = 0; i < 1024 && !refused; ++i) refused = !ftdi.Write(block);
    EXPECT_TRUE(refused);
    // The other end goes away: writes and reads fail for real.
    pty.closeMaster();
    uint8_t b;
    EXPECT_FALSE(ftdi.Write(std::string("OFF 0\r")) || ftdi.ReadByte(b));
}

}  // namespace
