// Texts that must show whole on the rendered windows: the method editor's timetable headers
// and row marker, the configuration dialog's empty USB list, a question about a long name.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QStyleOptionComboBox>
#include <QTimer>
#include <filesystem>

#include "methods/EditMethods.h"
#include "platform/D2xx.h"
#include "platform/Dialogs.h"
#include "platform/Instance.h"
#include "support/TempEnv.h"
#include "ui/Configuration.h"
#include "unicode/UxControls.h"

namespace {

TEST(ClippedTexts, TimetableColumnsHoldTheirHeadersAndTheRowMarker) {
    TempEnv env;
    setInstance("");
    TEditMethodForm form;
    form.show();
    QApplication::processEvents();
    for (TUxStringGrid* grid : {form.PumpTimetable, form.ColumnTimetable}) {
        ASSERT_FALSE(grid->GetCells(0, 1).isEmpty()) << "the marker stands on the first row";
        for (int col = 0; col < grid->columnCount(); ++col)
            for (int row : {0, 1}) {
                QStyleOptionViewItem opt;
                opt.initFrom(grid);
                const QModelIndex at = grid->model()->index(row, col);
                EXPECT_LE(grid->itemDelegate()->sizeHint(opt, at).width(), grid->columnWidth(col))
                    << grid->GetCells(col, row).toStdString();
            }
        int columns = 0;
        for (int col = 0; col < grid->columnCount(); ++col) columns += grid->columnWidth(col);
        EXPECT_LE(columns, grid->viewport()->width()) << "every column in view";
    }
}

TEST(ClippedTexts, EmptyUsbListShowsItsWholePlaceholder) {
    TempEnv env;
    setInstance("");
    std::filesystem::create_directories(env.path("sys"));
    env.set("ZENTROVA_SYS_TTY", env.path("sys"));
    D2xx::setSysfsRoot(env.path("sys"));
    D2xx::setDeviceMap({});
    DialogScript boxes;
    {
        TInstrumentConfiguration dialog;
        dialog.show();
        dialog.ListUsbDevices();
        QApplication::processEvents();
        TUxComboBox* list = dialog.InstrumentUSBPort;
        ASSERT_EQ(list->count(), 1);
        QStyleOptionComboBox opt;
        opt.initFrom(list);
        const QRect field =
            list->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, list);
        EXPECT_LE(list->fontMetrics().horizontalAdvance(list->itemText(0)), field.width())
            << list->itemText(0).toStdString();
    }
    D2xx::resetDeviceMap();
    D2xx::setSysfsRoot("");
}

TEST(ClippedTexts, QuestionAboutALongNameShowsTheWholeName) {
    const QString name = QString("Gradient_").repeated(20);
    bool seen = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_TRUE(box);
        auto* text = box->findChild<QLabel*>("qt_msgbox_label");
        ASSERT_TRUE(text);
        EXPECT_LE(text->minimumSizeHint().width(), text->width()) << "no word wider than the box";
        EXPECT_GE(text->height(), text->heightForWidth(text->width()));
        EXPECT_LE(box->width(), box->screen()->availableGeometry().width());
        seen = true;
        box->reject();
    });
    messageBox("Delete Method \"" + name + "\"?", "Please, confirm", MsgButtons::OKCancel, mrCancel);
    EXPECT_TRUE(seen);
}

}  // namespace
