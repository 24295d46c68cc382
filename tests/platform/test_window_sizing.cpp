// Window placement leaves a window's size to its contents: one sized by its layout, centred
// before it first appears, takes the size its contents ask for, and still does when shown again.
#include <gtest/gtest.h>

#include <QtWidgets>

#include "platform/Dialogs.h"

TEST(WindowSizing, AWindowSizedByItsLayoutKeepsTheSizeOfItsContentsWhenCentredAndShownAgain) {
    const struct Row {
        bool centredFirst;  // by the program, before it first appears
        bool mainWindow;    // a main window to centre on
    } rows[] = {{true, false}, {true, true}, {false, true}, {false, false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.centredFirst << r.mainWindow);
        QWidget main;
        if (r.mainWindow) {
            main.resize(500, 400);
            setMainWindow(&main);
            main.show();
        }
        QWidget w;
        auto* layout = new QVBoxLayout(&w);
        auto* label = new QLabel(QStringLiteral("A line of text that sets the window's width"), &w);
        layout->addWidget(label);
        layout->addWidget(new QPushButton(QStringLiteral("OK"), &w));
        if (r.centredFirst) centreWindow(&w, r.mainWindow ? &main : nullptr);
        w.show();
        QCoreApplication::processEvents();
        EXPECT_EQ(w.size(), w.sizeHint());
        // Shown again: still the size of its contents.
        w.hide();
        if (r.centredFirst) centreWindow(&w, r.mainWindow ? &main : nullptr);
        w.show();
        QCoreApplication::processEvents();
        EXPECT_EQ(w.size(), w.sizeHint());
        // And with more to show, it grows with its contents.
        w.hide();
        label->setText(label->text() + QStringLiteral(", and a good deal more of it than before"));
        if (r.centredFirst) centreWindow(&w, r.mainWindow ? &main : nullptr);
        w.show();
        QCoreApplication::processEvents();
        EXPECT_GE(w.width(), w.minimumSizeHint().width());
        EXPECT_GE(w.height(), w.minimumSizeHint().height());
        setMainWindow(nullptr);
    }
}
