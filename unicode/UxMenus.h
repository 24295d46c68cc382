// Menus and the status bar of the program's windows, with Unicode captions and texts.
#pragma once
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QPainter;

// A menu item: a command, or (once it has items) a submenu. A caption of "-" makes a
// separator. Owned by its parent item or menu (Qt parent).
class TUxMenuItem : public QObject {
    Q_OBJECT
  public:
    explicit TUxMenuItem(const QString& caption = QString(), QObject* parent = nullptr);
    ~TUxMenuItem() override;

    // Stores the caption and keeps the UTF-8 caption in step.
    void SetCaption(const QString& caption);
    QString GetCaption() const { return caption_; }
    std::string GetCaption8() const { return caption8_; }
    bool GetEnabled() const;
    void SetEnabled(bool on);
    bool GetVisible() const;
    void SetVisible(bool on);
    bool GetChecked() const;
    void SetChecked(bool on);  // checking makes the item checkable
    void SetShortCut(const QKeySequence& keys);
    void SetHint(const QString& hint);

    // Children (making this item a submenu).
    TUxMenuItem* Add(const QString& caption);
    void Add(TUxMenuItem* item);
    void Insert(int index, TUxMenuItem* item);
    void Remove(TUxMenuItem* item);  // the item is not deleted
    int GetCount() const { return static_cast<int>(items_.size()); }
    TUxMenuItem* GetItem(int index) const;
    TUxMenuItem* GetParentItem() const { return parentItem_; }
    // The item's submenu (nullptr while it has no children).
    QMenu* GetMenu() const { return menu_; }

    // Runs OnClick as choosing the item does (nothing when disabled).
    void Click();
    QAction* action() const { return action_; }

    std::function<void()> OnClick;

  private:
    friend class TUxMainMenu;
    friend class TUxPopupMenu;
    QMenu* ensureMenu();
    QString caption_;
    std::string caption8_;
    QAction* action_;
    QMenu* menu_ = nullptr;
    TUxMenuItem* parentItem_ = nullptr;
    std::vector<TUxMenuItem*> items_;
};

// The menu bar of a window; its top-level items are menus.
class TUxMainMenu : public QMenuBar {
    Q_OBJECT
  public:
    explicit TUxMainMenu(QWidget* parent = nullptr);
    TUxMenuItem* Add(const QString& caption);
    void Add(TUxMenuItem* item);
    int GetCount() const { return static_cast<int>(items_.size()); }
    TUxMenuItem* GetItem(int index) const;

  private:
    std::vector<TUxMenuItem*> items_;
};

class TUxPopupMenu : public QMenu {
    Q_OBJECT
  public:
    explicit TUxPopupMenu(QWidget* parent = nullptr);
    TUxMenuItem* Add(const QString& caption);
    void Add(TUxMenuItem* item);
    int GetCount() const { return static_cast<int>(items_.size()); }
    TUxMenuItem* GetItem(int index) const;
    // Shows the menu at a global position (does not wait for a choice).
    void Popup(const QPoint& globalPos) { popup(globalPos); }

  private:
    std::vector<TUxMenuItem*> items_;
};

enum TStatusPanelStyle { psText, psOwnerDraw };

class TUxCustomStatusBar;

class TUxStatusPanel {
  public:
    explicit TUxStatusPanel(TUxCustomStatusBar* bar) : bar_(bar) {}
    // Stores the text (and its UTF-8 copy) and repaints the bar.
    void SetText(const QString& s);
    QString GetText() const { return text_; }
    std::string GetText8() const { return text_.toStdString(); }
    int GetWidth() const { return width_; }
    void SetWidth(int w);
    TStatusPanelStyle GetStyle() const { return style_; }
    void SetStyle(TStatusPanelStyle s);

  private:
    TUxCustomStatusBar* bar_;
    QString text_;
    int width_ = 50;
    TStatusPanelStyle style_ = psText;
};

class TUxStatusPanels {
  public:
    explicit TUxStatusPanels(TUxCustomStatusBar* bar) : bar_(bar) {}
    TUxStatusPanel* Add();
    TUxStatusPanel* GetItem(int index) const;  // nullptr outside the collection
    int GetCount() const { return static_cast<int>(panels_.size()); }
    void Clear();

  private:
    TUxCustomStatusBar* bar_;
    std::vector<std::unique_ptr<TUxStatusPanel>> panels_;
};

// Status bar of panels side by side from the left; the last panel takes the rest of the
// width. A panel is drawn as text or by OnDrawPanel (owner-drawn).
class TUxCustomStatusBar : public QWidget {
    Q_OBJECT
  public:
    explicit TUxCustomStatusBar(QWidget* parent = nullptr);
    ~TUxCustomStatusBar() override;
    TUxStatusPanels* GetPanels() { return &panels_; }
    // The panel's rectangle in the bar's coordinates.
    QRect PanelRect(int index) const;
    // The panel's whole text when the panel cuts it (then shown as its tooltip), else "".
    QString PanelTip(int index) const;
    // Makes a text panel at least as wide as the widest of texts (the texts it may show).
    void FitPanel(int index, const QStringList& texts);
    // Draws an owner-drawn panel: the painter, the panel's index and its rectangle.
    std::function<void(QPainter& canvas, int panelIndex, const QRect& rect)> OnDrawPanel;
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* e) override;
    bool event(QEvent* e) override;

  private:
    QRect textRect(int index) const;
    TUxStatusPanels panels_;
};

class TUxStatusBar : public TUxCustomStatusBar {
    Q_OBJECT
  public:
    using TUxCustomStatusBar::TUxCustomStatusBar;
};
