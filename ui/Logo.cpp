#include "ui/Logo.h"

#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>

namespace {
const QColor kNavy(0, 0, 0x80);
}

QPixmap ZentrovaLogo(const QSize& size, qreal devicePixelRatio) {
    QPixmap pm(size * devicePixelRatio);
    pm.setDevicePixelRatio(devicePixelRatio);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    // The disc fills the height at the left; the letters take what is left beside it.
    const qreal d = std::min<qreal>(size.height(), size.width()) - 2;
    const QRectF disc(1, (size.height() - d) / 2, d, d);
    p.setPen(Qt::NoPen);
    p.setBrush(kNavy);
    p.drawEllipse(disc);
    const qreal m = d * 0.28;
    QPainterPath z;
    z.moveTo(disc.left() + m, disc.top() + m);
    z.lineTo(disc.right() - m, disc.top() + m);
    z.lineTo(disc.left() + m, disc.bottom() - m);
    z.lineTo(disc.right() - m, disc.bottom() - m);
    p.setPen(QPen(Qt::white, std::max<qreal>(2.0, d / 9), Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(z);
    const QRectF text(disc.right() + 2, 0, size.width() - disc.right() - 2, size.height());
    if (text.width() > 4) {
        QFont f(QStringLiteral("Arial"));
        f.setBold(true);
        f.setPixelSize(std::max(6, int(text.height() * 0.3)));
        // The letters shrink until they fit beside the disc.
        while (f.pixelSize() > 6 && QFontMetricsF(f).horizontalAdvance(QStringLiteral("KVZ")) > text.width())
            f.setPixelSize(f.pixelSize() - 1);
        p.setFont(f);
        p.setPen(kNavy);
        p.drawText(text, Qt::AlignCenter, QStringLiteral("KVZ"));
    }
    return pm;
}
