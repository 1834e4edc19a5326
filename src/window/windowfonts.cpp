#include "window/windowfonts.h"

namespace window {

QStringList gothicFamilies() {
    return {QStringLiteral(u"ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"),
            QStringLiteral("IPAGothic"), QStringLiteral("Noto Sans CJK JP")};
}

QStringList arialFamilies() {
    return {QStringLiteral("Arial"), QStringLiteral("Liberation Sans")};
}

namespace {

QFont fontOf(const QStringList& families, qreal pointSize, bool bold) {
    QFont font;
    font.setFamilies(families);
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    font.setItalic(false);
    return font;
}

}  // namespace

QFont gothicFont(qreal pointSize, bool bold) {
    return fontOf(gothicFamilies(), pointSize, bold);
}

QFont arialFont(qreal pointSize) {
    return fontOf(arialFamilies(), pointSize, false);
}

QFont defaultWindowFont() {
    return gothicFont(9.0);
}

QFont panelBoxFont() {
    return gothicFont(9.75);
}
QFont timeBoxFont() {
    return arialFont(14.25);
}

}  // namespace window
