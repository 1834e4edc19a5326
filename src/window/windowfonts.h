#pragma once

#include <QFont>
#include <QStringList>

namespace window {

// MS PGothic by its Japanese face name, then the Japanese Gothic faces Debian ships, so the
// Japanese tool-tips and the full-width colons render.
QStringList gothicFamilies();
// Arial, then its metric-compatible stand-in.
QStringList arialFamilies();

QFont gothicFont(qreal pointSize, bool bold = false);
QFont arialFont(qreal pointSize);
// The window's own font, used by every label that names none: a Japanese Gothic at 9 pt.
QFont defaultWindowFont();
// The drive panel's boxes and the time boxes, in their designed sizes.
QFont panelBoxFont();
QFont timeBoxFont();

}  // namespace window
