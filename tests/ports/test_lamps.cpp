// Status lamps as a form shows them (the two halves of a glyph, the transparent colour, the raised
// frame), the controller's hold on lamps and ports that go away before it and on a port it is moved
// to, and the "Select Port" list: which numbers it offers and what OK on an empty list does.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QImage>
#include <QPainter>
#include <QWidget>
#include <filesystem>
#include <memory>

#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/Registry.h"
#include "ports/FakeSerial.h"
#include "ports/ZpComPort.h"
#include "ports/ZpPortSelect.h"
#include "ports/ZpStatusLight.h"
#include "support/TempEnv.h"

namespace {

// Ports on one form, each opened over a dispatcher without threads on its own fake device; the
// form's own handler leaves received bytes in the buffer.
struct Form {
    DialogScript boxes;
    FakeClockGuard clock;
    QWidget form;
    std::vector<std::shared_ptr<FakeSerialState>> devs;
    TZpComPort* addPort() {
        auto dev = std::make_shared<FakeSerialState>();
        devs.push_back(dev);
        auto* p = new TZpComPort(&form);
        p->SetComNumber(static_cast<uint16_t>(devs.size()));
        p->SetActivateHook(
            [dev](TZpCustomComPort* cp) -> TZpBaseDispatcher* { return new ManualDispatcher(dev, cp); });
        return p;
    }
    static void round(TZpComPort* p) { static_cast<ManualDispatcher*>(p->Dispatcher())->DispatchRound(); }
    void ticks(int n) { clock.fake.advanceMs(int64_t(n) * TickMs); }
    ~Form() {
        for (auto& b : boxes.shown) ADD_FAILURE() << "box shown: " << b.text.toStdString();
    }
};

// The colour a form shows at a point of a lamp on it.
QColor shown(QWidget& form, const QWidget& lamp, int x, int y) {
    return form.grab().toImage().pixelColor(lamp.pos() + QPoint(x, y));
}

}  // namespace

// A glyph's left half is the lit picture and its right half the unlit one; its top-left pixel's
// colour lets the form show through. Without a glyph the lamp is its colour in a raised frame.
TEST(LampPainting, HalvesTransparentColourAndFrame) {
    const QColor key(255, 0, 255), litPart(0, 200, 0), unlitPart(0, 0, 200), formColour(250, 250, 0);
    QPixmap glyph(20, 10);
    {
        glyph.fill(key);
        QPainter g(&glyph);
        g.fillRect(1, 1, 8, 8, litPart);
        g.fillRect(11, 1, 8, 8, unlitPart);
        g.fillRect(4, 4, 2, 2, key);  // a hole in each picture
        g.fillRect(14, 4, 2, 2, key);
    }
    const struct Row {
        bool withGlyph, lit;
        int x, y;
        QColor colour;
    } rows[] = {
        {true, true, 2, 2, litPart},
        {true, false, 2, 2, unlitPart},
        {true, true, 4, 4, formColour},
        {true, false, 4, 4, formColour},
        {true, true, 0, 0, formColour},
        {false, true, 6, 6, QColor(255, 0, 0)},
        {false, false, 6, 6, QColor(0, 128, 0)},
        {false, true, 6, 0, Qt::white},
        {false, true, 0, 6, Qt::white},
        {false, false, 12, 6, QColor(128, 128, 128)},
        {false, false, 6, 12, QColor(128, 128, 128)},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        QWidget form;
        form.resize(40, 40);
        QPalette pal = form.palette();
        pal.setColor(QPalette::Window, formColour);
        form.setPalette(pal);
        form.setAutoFillBackground(true);
        TZpStatusLight lamp(&form);
        lamp.move(5, 5);
        if (r.withGlyph) lamp.SetGlyph(glyph);
        lamp.SetLit(r.lit);
        EXPECT_EQ(lamp.size(), r.withGlyph ? QSize(10, 10) : QSize(13, 13));
        EXPECT_EQ(shown(form, lamp, r.x, r.y), r.colour) << "at " << r.x << "," << r.y;
    }
}

// The receive and send lamps stay lit while their buffer holds bytes, and go out one period
// after it was emptied.
TEST(LampController, ActivityLampsStayLitWhileTheBufferHoldsBytes) {
    const struct Row { bool receive; } rows[] = {{true}, {false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.receive ? "receive" : "send");
        Form f;
        TZpComPort* port = f.addPort();
        TZpStatusLight lamp(&f.form);
        TZpSLController ctl(&f.form);
        if (r.receive)
            ctl.Lights().RXDLight = &lamp;
        else
            ctl.Lights().TXDLight = &lamp;
        port->SetOnTriggerAvail([](TZpCustomComPort*, uint16_t) {});
        port->SetOpen(true);
        ctl.SetMonitoring(true);
        auto* d = static_cast<ManualDispatcher*>(port->Dispatcher());
        if (r.receive)
            f.devs[0]->push("held");
        else
            port->PutString("queued");
        Form::round(port);
        ASSERT_TRUE(lamp.GetLit());
        for (int i = 0; i < 20; ++i) {
            f.ticks(2);
            Form::round(port);
        }
        EXPECT_TRUE(lamp.GetLit()) << "out while bytes wait";
        if (r.receive)
            port->FlushInBuffer();
        else
            d->Drain();
        Form::round(port);
        EXPECT_TRUE(lamp.GetLit());
        f.ticks(2);
        Form::round(port);
        EXPECT_FALSE(lamp.GetLit());
    }
}

// A lamp or port destroyed before the controller is forgotten: nothing reaches it afterwards,
// and a monitoring wish made for a port that is gone is gone with it.
TEST(LampController, ALampOrPortDestroyedFirstIsForgotten) {
    enum Gone { RxLamp, TxLamp, Port };
    const struct Row { Gone gone; } rows[] = {{RxLamp}, {TxLamp}, {Port}};
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        Form f;
        TZpComPort* port = f.addPort();
        TZpComPort* next = f.addPort();
        auto* rx = new TZpStatusLight(&f.form);
        auto* tx = new TZpStatusLight(&f.form);
        TZpSLController ctl(&f.form);
        ASSERT_EQ(ctl.GetComPort(), port);
        ctl.Lights().RXDLight = rx;
        ctl.Lights().TXDLight = tx;
        port->SetOpen(true);
        ctl.SetMonitoring(true);
        if (r.gone == RxLamp) delete rx;
        if (r.gone == TxLamp) delete tx;
        if (r.gone == Port) {
            delete port;
            EXPECT_EQ(ctl.GetComPort(), nullptr);
            EXPECT_FALSE(ctl.GetMonitoring());
            // Moved to a port that opens later: nothing asked for monitoring there.
            ctl.SetComPort(next);
            next->SetOpen(true);
            EXPECT_FALSE(ctl.GetMonitoring());
            continue;
        }
        EXPECT_EQ(ctl.HaveRXDLight(), r.gone != RxLamp);
        EXPECT_EQ(ctl.HaveTXDLight(), r.gone != TxLamp);
        // Both kinds of traffic and their timers reach the controller: only the lamp left lights.
        f.devs[0]->push("in");
        port->PutString("out");
        Form::round(port);
        TZpStatusLight* left = r.gone == RxLamp ? tx : rx;
        EXPECT_TRUE(left->GetLit());
        static_cast<ManualDispatcher*>(port->Dispatcher())->Drain();
        port->FlushInBuffer();
        for (int i = 0; i < 3; ++i) {
            f.ticks(2);
            Form::round(port);
        }
        EXPECT_FALSE(left->GetLit());
        ctl.SetMonitoring(false);
        port->SetOpen(false);
        delete left;
    }
}

// Moving the controller to another port takes running monitoring along; a wish made while the
// old port was closed stays a wish and is granted when a port opens.
TEST(LampController, AnotherPortTakesRunningMonitoringAndKeepsAWish) {
    enum Start { Monitoring, Wanted, Off };
    const struct Row {
        Start start;
        bool nextOpen;
        bool monitoringAfterMove, monitoringAfterNextOpens;
    } rows[] = {
        {Monitoring, true, true, true}, {Monitoring, false, false, true}, {Wanted, true, false, false},
        {Wanted, false, false, true},   {Off, true, false, false},        {Off, false, false, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        Form f;
        TZpComPort* first = f.addPort();
        TZpComPort* next = f.addPort();
        TZpStatusLight rx(&f.form);
        TZpSLController ctl(&f.form);
        ctl.Lights().RXDLight = &rx;
        if (r.start == Monitoring) first->SetOpen(true);
        if (r.start != Off) ctl.SetMonitoring(true);
        if (r.nextOpen) next->SetOpen(true);
        ctl.SetComPort(next);
        EXPECT_EQ(ctl.GetMonitoring(), r.monitoringAfterMove);
        if (!r.nextOpen) next->SetOpen(true);
        EXPECT_EQ(ctl.GetMonitoring(), r.monitoringAfterNextOpens);
        // The old port is no longer watched; the new one is when monitoring runs.
        first->SetOpen(true);
        f.devs[0]->push("a");
        Form::round(first);
        EXPECT_FALSE(rx.GetLit());
        f.devs[1]->push("b");
        Form::round(next);
        EXPECT_EQ(rx.GetLit(), r.monitoringAfterNextOpens);
    }
}

// Monitoring asked for without a port is refused, and so is taking the port away from running
// monitoring (which is then off).
TEST(LampController, MonitoringWithoutAPortIsRefused) {
    enum Case { NeverHadPort, PortGone, PortTakenAway };
    const struct Row { Case c; } rows[] = {{NeverHadPort}, {PortGone}, {PortTakenAway}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.c);
        Form f;
        QWidget elsewhere;
        TZpSLController ctl(&elsewhere);
        TZpStatusLight rx(&f.form);
        ctl.Lights().RXDLight = &rx;
        TZpComPort* port = r.c == NeverHadPort ? nullptr : f.addPort();
        if (port) ctl.SetComPort(port);
        if (r.c == PortGone) delete port;
        if (r.c == PortTakenAway) {
            port->SetOpen(true);
            ctl.SetMonitoring(true);
            ASSERT_TRUE(ctl.GetMonitoring());
        }
        try {
            if (r.c == PortTakenAway)
                ctl.SetComPort(nullptr);
            else
                ctl.SetMonitoring(true);
            ADD_FAILURE() << "no exception";
        } catch (const EPortNotAssigned& e) {
            EXPECT_EQ(e.ErrorCode, -1005);
            EXPECT_STREQ(e.what(), "ComPort component not assigned");
        }
        EXPECT_FALSE(ctl.GetMonitoring());
        EXPECT_EQ(ctl.GetComPort(), nullptr);
        if (r.c != PortTakenAway) continue;
        // The port is no longer watched.
        f.devs[0]->push("a");
        Form::round(port);
        EXPECT_FALSE(rx.GetLit());
    }
}

// A removed port is let go: monitoring stops, the form's own handler is back, and the port's next
// open starts nothing; a removed lamp is forgotten while the others go on.
TEST(LampController, ARemovedPortOrLampIsLetGo) {
    Form f;
    TZpComPort* port = f.addPort();
    TZpStatusLight rx(&f.form), tx(&f.form);
    TZpSLController ctl(&f.form);
    ctl.Lights().RXDLight = &rx;
    ctl.Lights().TXDLight = &tx;
    int formHeard = 0;
    port->SetOnTriggerAvail([&](TZpCustomComPort*, uint16_t) { ++formHeard; });
    port->SetOpen(true);
    ctl.SetMonitoring(true);
    ctl.Notification(&rx);
    EXPECT_FALSE(ctl.HaveRXDLight());
    EXPECT_TRUE(ctl.HaveTXDLight());
    EXPECT_TRUE(ctl.GetMonitoring());
    port->PutString("x");
    Form::round(port);
    EXPECT_TRUE(tx.GetLit());
    EXPECT_FALSE(rx.GetLit());
    ctl.Notification(port);
    EXPECT_EQ(ctl.GetComPort(), nullptr);
    EXPECT_FALSE(ctl.GetMonitoring());
    f.devs[0]->push("a");
    Form::round(port);
    EXPECT_EQ(formHeard, 1);  // the form's own handler, and only it
    port->SetOpen(false);
    port->SetOpen(true);
    EXPECT_FALSE(ctl.GetMonitoring());
    f.devs[0]->push("b");
    port->PutString("y");
    Form::round(port);
    EXPECT_EQ(formHeard, 2);
    EXPECT_FALSE(tx.GetLit());
}

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
};

// A store whose serial map names the given ports only (no system ports).
struct PortMap : TempEnv {
    PortMap() {
        std::filesystem::create_directories(path("sys"));
        set("ZENTROVA_SYS_TTY", path("sys"));
    }
    void map(const std::string& device, const char* com) {
        Registry reg(RegRoot::LocalMachine);
        ASSERT_TRUE(reg.openKey("\\HARDWARE\\DEVICEMAP\\SERIALCOMM", true));
        reg.writeString(device, com);
    }
};

}  // namespace

// Port 0 is never present, whatever the map says; ports above 50 exist but are never offered.
TEST(PortSelection, OnlyPortsOneToFiftyAreOffered) {
    PortMap env;
    Pty p0, p7, p50, p51;
    env.map(p0.name, "COM0");
    env.map(p7.name, "COM7");
    env.map(p50.name, "COM50");
    env.map(p51.name, "COM51");
    const struct Row {
        unsigned number;
        bool available;
    } rows[] = {{0, false}, {7, true}, {50, true}, {51, true}, {52, false}};
    for (const Row& r : rows) EXPECT_EQ(IsPortAvailable(r.number), r.available) << r.number;
    TComSelectForm form;
    QStringList offered;
    for (int i = 0; i < form.PortsComboBox->count(); ++i) offered << form.PortsComboBox->itemText(i);
    EXPECT_EQ(offered, (QStringList{"COM7", "COM50"}));
    EXPECT_EQ(form.SelectedComNum(), 7);
}

// OK on an empty list ends the open with the conversion error of the empty number; Cancel ends it
// with the port-number message.
TEST(PortSelection, OkWithNothingToChooseEndsTheOpenWithAConversionError) {
    PortMap env;
    const struct Row { int answer; } rows[] = {{mrOk}, {mrCancel}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.answer);
        TComSelectForm::modalHook = [&r](TComSelectForm& form) {
            EXPECT_EQ(form.PortsComboBox->count(), 0);
            return r.answer;
        };
        TZpComPort port;
        try {
            port.SetOpen(true);
            ADD_FAILURE() << "opened";
        } catch (const ENoPortSelected& e) {
            EXPECT_EQ(r.answer, mrCancel);
            EXPECT_EQ(e.ErrorCode, -2011);
            EXPECT_STREQ(e.what(), "The ComNumber property of the TZpComPort has not been set");
        } catch (const EConvertError& e) {
            EXPECT_EQ(r.answer, mrOk);
            EXPECT_STREQ(e.what(), "'' is not a valid integer value");
        }
        EXPECT_FALSE(port.GetOpen());
        EXPECT_EQ(port.GetComNumber(), 0);
    }
    TComSelectForm::modalHook = nullptr;
}
