#include "ui/Wedge.h"

#include <QPainter>
#include <QPolygon>
#include <QWidget>

void LcdGraphic::SetHost(QWidget* host) {
    if (host_ == host) return;
    Invalidate();
    host_ = host;
    Invalidate();
}

void LcdGraphic::SetBounds(int left, int top, int width, int height) {
    const QRect r(left, top, width, height);
    if (r == bounds_) return;
    Invalidate();
    bounds_ = r;
    Invalidate();
}

void LcdGraphic::SetVisible(bool v) {
    if (v == visible_) return;
    visible_ = v;
    Invalidate();
}

void LcdGraphic::Invalidate() const {
    if (host_ != nullptr && !bounds_.isEmpty()) host_->update(bounds_);
}

void LcdGraphic::PaintOn(QPainter& canvas) const {
    if (!visible_ || bounds_.isEmpty()) return;
    canvas.save();
    canvas.translate(bounds_.topLeft());
    canvas.setClipRect(QRect(0, 0, bounds_.width(), bounds_.height()), Qt::IntersectClip);
    Paint(canvas);
    canvas.restore();
}

TWedge::TWedge() : pen_(Qt::black, 1), brush_(Qt::white) {
    SetBounds(0, 0, 65, 65);
}

void TWedge::SetPen(const QPen& pen) {
    if (pen == pen_) return;
    pen_ = pen;
    StyleChanged();
}

void TWedge::SetBrush(const QBrush& brush) {
    if (brush == brush_) return;
    brush_ = brush;
    StyleChanged();
}

void TWedge::SetWedge(TWedgeType type) {
    if (type == wedge_) return;
    wedge_ = type;
    Invalidate();
}

void TWedge::Paint(QPainter& canvas) const {
    canvas.setPen(pen_);
    canvas.setBrush(brush_);
    const int w = pen_.style() == Qt::NoPen ? 0 : pen_.width();
    const int x = w / 2;
    const int y = x;
    int W = Width() - w + 1;
    int H = Height() - w + 1;
    if (w == 0) {
        --W;
        --H;
    }
    W -= 2;
    QPolygon points;
    if (wedge_ == wtLeft)
        points << QPoint(x, y) << QPoint(x, y + H) << QPoint(x + W, y + H / 2);
    else
        points << QPoint(x + W, y) << QPoint(x + W, y + H) << QPoint(x, y + H / 2);
    canvas.drawPolygon(points);
}
