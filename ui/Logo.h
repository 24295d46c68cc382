// The program's own mark for the front panel: a navy disc with a white "Z" and the letters
// "KVZ" beside it, drawn to any size.
#pragma once
#include <QPixmap>
#include <QSize>

// A transparent pixmap of the given logical size for a screen of that pixel ratio.
QPixmap ZentrovaLogo(const QSize& size, qreal devicePixelRatio = 1.0);
