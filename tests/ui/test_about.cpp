// The About box: its texts, the program's version, and a click anywhere closing it.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QMouseEvent>
#include <QTimer>

#include "platform/Dialogs.h"
#include "platform/SystemInfo.h"
#include "ui/About.h"

namespace {
void leftClick(QWidget* w) {
    const QPointF at(w->width() / 2.0, w->height() / 2.0);
    const QPointF global = w->mapToGlobal(at);
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &release);
}
}  // namespace

TEST(About, ShowsTheProgramVersionAndTheMaker) {
    ASSERT_FALSE(SystemInfo::programVersion().empty());
    TAboutForm f;
    EXPECT_EQ(f.GetCaption(), "About");
    EXPECT_FALSE(f.Label1->GetCaption().isEmpty());
    EXPECT_FALSE(f.Label2->GetCaption().isEmpty());
    EXPECT_FALSE(f.Image1->pixmap().isNull());
    f.show();
    EXPECT_EQ(f.VersionLbl->GetCaption(), "Version " + QString::fromStdString(SystemInfo::programVersion()));
}

TEST(About, AClickOnAnyPartClosesIt) {
    DialogScript boxes;
    TAboutForm f;
    for (QWidget* part : std::initializer_list<QWidget*>{&f, f.Image1, f.Label1, f.Label2, f.VersionLbl}) {
        f.show();
        ASSERT_TRUE(f.isVisible());
        leftClick(part);
        EXPECT_FALSE(f.isVisible()) << part->objectName().toStdString();
    }
    f.show();
    QMouseEvent right(QEvent::MouseButtonRelease, QPointF(5, 5), f.mapToGlobal(QPointF(5, 5)),
                      Qt::RightButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&f, &right);
    EXPECT_TRUE(f.isVisible());

    // Shown modally from the Help menu, a click ends it.
    f.hide();
    QTimer::singleShot(0, &f, [&] { leftClick(f.VersionLbl); });
    EXPECT_EQ(f.ShowModal(), mrCancel);
    EXPECT_FALSE(f.isVisible());
    EXPECT_TRUE(boxes.shown.empty());
}
