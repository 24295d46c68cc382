// The set-point pointer of the LCD panel: a small filled triangle. Like the panel's bar
// segments it is a graphic element painted by its host widget, not a widget of its own,
// so the panel's many pointers cost nothing while they do not change.
#pragma once
#include <QBrush>
#include <QPen>
#include <QRect>

class QPainter;
class QWidget;

// A shape that its host widget paints in the host's coordinates. A change of bounds,
// visibility or style repaints only the element's own rectangle of the host.
class LcdGraphic {
  public:
    LcdGraphic() = default;
    LcdGraphic(const LcdGraphic&) = delete;
    LcdGraphic& operator=(const LcdGraphic&) = delete;
    virtual ~LcdGraphic() = default;

    void SetHost(QWidget* host);
    QWidget* Host() const { return host_; }
    void SetBounds(int left, int top, int width, int height);
    const QRect& BoundsRect() const { return bounds_; }
    int Left() const { return bounds_.left(); }
    int Top() const { return bounds_.top(); }
    int Width() const { return bounds_.width(); }
    int Height() const { return bounds_.height(); }
    bool Visible() const { return visible_; }
    void SetVisible(bool v);
    // Asks the host to repaint the element's rectangle.
    void Invalidate() const;
    // Paints the element at its bounds when it is visible (called by the host's paint).
    void PaintOn(QPainter& canvas) const;

  protected:
    // Paints in the element's own coordinates: (0, 0) is its top-left corner.
    virtual void Paint(QPainter& canvas) const = 0;

  private:
    QWidget* host_ = nullptr;
    QRect bounds_;
    bool visible_ = true;
};

enum TWedgeType { wtLeft, wtRight };

class TWedge : public LcdGraphic {
  public:
    TWedge();  // 65 x 65, black pen, white brush, wtLeft

    const QPen& Pen() const { return pen_; }
    const QBrush& Brush() const { return brush_; }
    TWedgeType Wedge() const { return wedge_; }
    // Each copies the given object and repaints when it differs.
    void SetPen(const QPen& pen);
    void SetBrush(const QBrush& brush);
    void SetWedge(TWedgeType type);

  protected:
    void Paint(QPainter& canvas) const override;

  private:
    void StyleChanged() const { Invalidate(); }

    QPen pen_;
    QBrush brush_;
    TWedgeType wedge_ = wtLeft;
};
