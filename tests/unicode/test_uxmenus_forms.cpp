// Menus, the status bar, the form class and the input queries.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QTimer>
#include <stdexcept>

#include "platform/Dialogs.h"
#include "unicode/UxControls.h"
#include "unicode/UxDialogs.h"
#include "unicode/UxForms.h"
#include "unicode/UxMenus.h"

TEST(TUxMenuItem, HandlerExceptionsAreShown) {
    DialogScript script;
    TUxPopupMenu popup;
    TUxMenuItem* item = popup.Add("Edit Method");
    item->OnClick = [] { throw std::runtime_error("cannot edit"); };
    EXPECT_NO_THROW(item->action()->trigger());
    ASSERT_EQ(script.shown.size(), 1u);
    EXPECT_EQ(script.shown[0].text, "cannot edit");
    EXPECT_EQ(popup.GetItem(0), item);
}

TEST(TUxStatusBar, PanelsTextAndOwnerDraw) {
    TUxStatusBar bar;
    bar.resize(600, 24);
    TUxStatusPanels* panels = bar.GetPanels();
    const int widths[] = {120, 100, 150, 150};
    for (int w : widths) panels->Add()->SetWidth(w);
    panels->GetItem(0)->SetText("INITIALIZING");
    panels->GetItem(2)->SetText("Method: NOT LOADED");
    EXPECT_EQ(panels->GetCount(), 4);
    EXPECT_EQ(panels->GetItem(0)->GetText(), "INITIALIZING");
    EXPECT_EQ(panels->GetItem(4), nullptr);
    EXPECT_EQ(bar.PanelRect(1).left(), 121);
    EXPECT_EQ(bar.PanelRect(3).right(), 598);  // the last panel takes the rest

    std::vector<std::pair<int, QRect>> drawn;
    bar.OnDrawPanel = [&](QPainter& p, int index, const QRect& r) {
        drawn.emplace_back(index, r);
        p.fillRect(r.left(), r.top(), r.width() / 2, r.height(), QColor(0, 0, 0x80));
    };
    QImage img(600, 24, QImage::Format_RGB32);
    bar.render(&img);
    EXPECT_TRUE(drawn.empty());  // no owner-drawn panel yet
    panels->GetItem(1)->SetStyle(psOwnerDraw);
    bar.render(&img);
    ASSERT_EQ(drawn.size(), 1u);
    EXPECT_EQ(drawn[0].first, 1);
    EXPECT_EQ(drawn[0].second, bar.PanelRect(1));
    EXPECT_EQ(img.pixelColor(bar.PanelRect(1).left() + 2, 10), QColor(0, 0, 0x80));
}

TEST(TUxForm, ShowModalReturnsTheModalResult) {
    TUxForm form;
    form.SetCaption("Load Method");
    auto* ok = new TUxButton("OK", &form);
    ok->OnClick = [&] { form.SetModalResult(mrOk); };
    QTimer::singleShot(0, ok, [ok] { ok->Click(); });
    EXPECT_EQ(form.ShowModal(), mrOk);
    EXPECT_FALSE(form.isVisible());

    QTimer::singleShot(0, &form, [&] { form.Close(); });
    EXPECT_EQ(form.ShowModal(), mrCancel);
}

TEST(TUxForm, CloseQueryCanKeepTheFormOpen) {
    TUxForm form;
    int asked = 0, closed = 0;
    form.OnCloseQuery = [&](bool& can) { can = ++asked > 1; };
    form.OnClose = [&] { ++closed; };
    QTimer::singleShot(0, &form, [&] {
        form.Close();
        EXPECT_TRUE(form.isVisible());
        form.SetModalResult(mrYes);
    });
    EXPECT_EQ(form.ShowModal(), mrYes);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(closed, 1);
}

TEST(TUxForm, KeyPreviewSeesTheControlsKeysFirst) {
    TUxForm form;
    auto* edit = new TUxEdit(&form);
    form.SetKeyPreview(true);
    std::vector<int> keys;
    form.OnKeyDown = [&](int& key, Qt::KeyboardModifiers shift) {
        keys.push_back(key);
        if (key == Qt::Key_L && shift == (Qt::ControlModifier | Qt::AltModifier)) key = 0;
    };
    QKeyEvent l(QEvent::KeyPress, Qt::Key_L, Qt::ControlModifier | Qt::AltModifier, "l");
    QApplication::sendEvent(edit, &l);
    EXPECT_EQ(edit->GetText(), "");  // consumed by the form
    QKeyEvent a(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
    QApplication::sendEvent(edit, &a);
    EXPECT_EQ(edit->GetText(), "a");
    EXPECT_EQ(keys, (std::vector<int>{Qt::Key_L, Qt::Key_A}));
}

TEST(WideInputQuery, GoesThroughTheDialogService) {
    DialogScript script;
    script.answerInput(true, "Sequence 7");
    QString name;
    EXPECT_TRUE(WideInputQueryCust("Create Sequence", "Sequence Name:", "Abbrechen", name));
    EXPECT_EQ(name, "Sequence 7");
    EXPECT_FALSE(WideInputQuery("Save As Method", "New Method Name:", name));
    EXPECT_EQ(name, "Sequence 7");
    ASSERT_EQ(script.queried.size(), 2u);
    EXPECT_EQ(script.queried[0].cancelCaption, "Abbrechen");
    EXPECT_EQ(script.queried[1].value, "Sequence 7");
}
