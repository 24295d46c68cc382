// What the main window puts on the screen after real ticks of its own timer: the progress
// panel of the status bar during a flush, read back from the window's backing store (what was
// painted, not a fresh rendering), and where the main window and the windows centred on it sit.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QWindow>
#include <functional>

#include "support/EventWait.h"
#include "ui/MainFormHarness.h"
#include "unicode/UxMenus.h"

namespace {

class MainFormScreen : public MainFormHarness {
  protected:
    void TearDown() override {
        form->Timer1->stop();
        MainFormHarness::TearDown();
    }
    // Runs the main timer (at a short period) until done() holds.
    bool tickUntil(const std::function<bool()>& done) {
        form->Timer1->setInterval(10);
        form->Timer1->start();
        const bool ok = waitFor(done, 10000);
        form->Timer1->stop();
        QCoreApplication::processEvents();
        return ok;
    }
    // What the screen shows of the main window.
    QImage onScreen() const { return form->screen()->grabWindow(form->winId()).toImage(); }
    // Width of the navy bar drawn in status panel 1.
    int barWidth(const QImage& shot) const {
        const QRect r =
            form->StatusBar1->PanelRect(1).translated(form->StatusBar1->mapTo(form.get(), QPoint()));
        int w = 0;
        for (int x = r.left(); x <= r.right(); ++x)
            if (shot.pixelColor(x, r.center().y()) == QColor(0, 0, 0x80)) ++w;
        return w;
    }
};

TEST_F(MainFormScreen, ProgressPanelFollowsPercentDoneOnEveryTick) {
    form->show();
    ASSERT_TRUE(waitFor([&] { return form->windowHandle() && form->windowHandle()->isExposed(); }));
    link->DataReceived = true;  // alive; the fake clock stands still
    form->StartFlushBoth();
    const int full = form->StatusBar1->PanelRect(1).width();
    for (int percent : {25, 60}) {
        ASSERT_TRUE(tickUntil([&] { return instrument->PercentDone >= percent; }));
        const QImage shot = onScreen();
        EXPECT_EQ(barWidth(shot), full * instrument->PercentDone / 100) << percent;
        if (percent == 25) {
            const QString dir = ZENTROVA_BINARY_DIR "/tests/ui/artefacts";
            QDir().mkpath(dir);
            shot.save(dir + "/mainwindow-flush.png");
        }
    }
    EXPECT_EQ(form->iMode, 11);
}

TEST_F(MainFormScreen, MainWindowStartsCentredAndWindowsCentredOnItStayOnTheScreen) {
    const QRect screen = form->screen()->availableGeometry();
    form->show();
    EXPECT_LE((form->frameGeometry().center() - screen.center()).manhattanLength(), 2);

    form->move(screen.topLeft());
    TUxForm editor;
    editor.resize(screen.size() - QSize(60, 60));  // larger than the main window
    editor.show();
    editor.CentreOn(form.get());
    const QRect g = editor.frameGeometry();
    EXPECT_TRUE(screen.contains(g)) << g.x() << "," << g.y() << " " << g.width() << "x" << g.height()
                                    << " in " << screen.width() << "x" << screen.height();
    // Where there is room, it sits centred.
    form->move(screen.center() - form->rect().center());
    editor.CentreOn(form.get());
    EXPECT_LE((editor.frameGeometry().center() - form->frameGeometry().center()).manhattanLength(), 2);
}

}  // namespace
