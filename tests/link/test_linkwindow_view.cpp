// What the operator sees of the link window: the Rx and Tx lamps on the rendered window, the
// terminal following new lines, and the USB command log one line per command.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTimer>

#include "link/FTDI.h"
#include "link/FZentrova.h"
#include "link/pty_pair.h"
#include "platform/Clock.h"
#include "platform/D2xx.h"
#include "ports/ZpStatusLight.h"
#include "support/TempEnv.h"

namespace {

class LinkWindowView : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        D2xx::setDeviceMap({{"KVZ Test", pty.slavePath()}});
        link = std::make_unique<TFZentrova>();
        link->Timer1->stop();
        link->show();
        link->ConnectionType = TFZentrova::ctUSB;
        link->USBDeviceName = "KVZ Test";
        link->ConnectUSBClick();
        ASSERT_TRUE(link->IsConnected());
        link->TimerCommand->stop();
        link->PendingAcks = link->PendingStatus = 0;
    }
    void TearDown() override {
        link.reset();
        FTDI.Close();
        D2xx::resetDeviceMap();
    }
    // The lamp's colour in the picture of the whole window.
    QColor lampColour(const TZpStatusLight* lamp) {
        QApplication::processEvents();
        const QImage img = link->grab().toImage();
        return img.pixelColor(lamp->mapTo(link.get(), lamp->rect().center()));
    }

    FakeClockGuard clock;
    TempEnv env;
    PtyPair pty;
    std::unique_ptr<TFZentrova> link;
};

TEST_F(LinkWindowView, LampsShowOnTheWindowAndLightWithTraffic) {
    for (const TZpStatusLight* lamp : {link->RxLED, link->TxLED}) {
        EXPECT_GE(lamp->width(), 13);
        EXPECT_GE(lamp->height(), 13);
        EXPECT_EQ(lampColour(lamp).name(), "#008000") << "dark green while out";
    }
    link->QueueCommand("OFF 0");
    ASSERT_EQ(pty.readAtLeast(6), "OFF 0\r");
    EXPECT_EQ(lampColour(link->TxLED).name(), "#ff0000");
    ASSERT_TRUE(pty.write(">\r\n"));
    for (int i = 0; i < 200 && !link->RxLit(); ++i) {
        link->TimerCommandTimer();
        if (!link->RxLit()) pty.readAtLeast(1, 1);
    }
    EXPECT_EQ(lampColour(link->RxLED).name(), "#ff0000");
}

TEST_F(LinkWindowView, TerminalFollowsNewLinesUnlessScrolledBack) {
    QScrollBar* bar = link->Memo->verticalScrollBar();
    for (int i = 0; i < 300; ++i) link->ReceiveBytes("?3,1,2,3,4,5,6," + std::to_string(i) + "\n", true);
    QApplication::processEvents();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());
    bar->setValue(10);
    link->ReceiveBytes("?3,1,2,3,4,5,6,7\n", true);
    EXPECT_EQ(bar->value(), 10) << "the operator reads back undisturbed";
}

TEST_F(LinkWindowView, UsbCommandLogHasOneLinePerCommand) {
    link->QueueCommand("OFF 0");
    link->PendingAcks = 0;
    link->QueueCommand("OFF 2");
    EXPECT_EQ(link->ThreadLog->toPlainText(), "OFF 0\nOFF 2");
}

}  // namespace
