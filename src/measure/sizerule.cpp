#include "measure/sizerule.h"

#include <QList>

#include <cfenv>
#include <cmath>
#include <limits>

#include "platform/failure.h"

namespace measure {

namespace {

[[noreturn]] void refuse(const QString& shownText, const char* reason) {
    throw platform::Failure(
        QStringLiteral("Data size '%1' %2").arg(shownText, QLatin1String(reason)));
}

// The text in C notation: ASCII or the locale's own digits, the locale's decimal separator
// (and '.' where the locale's is not ASCII and '.' groups nothing there, as keyboards give it),
// the locale's signs and exponent. Any other separator is left as a character C refuses, so a
// group separator never passes.
QString inCNotation(const QString& text, const QLocale& locale) {
    struct Token {
        QString local;
        QString c;
    };
    QList<Token> tokens;
    for (int digit = 0; digit <= 9; ++digit) {
        const QString own = locale.toString(digit);
        if (own != QString::number(digit)) tokens.append({own, QString::number(digit)});
    }
    const QString point = locale.decimalPoint();
    tokens.append({point, QStringLiteral(".")});
    const bool pointIsAscii = point.size() == 1 && point.front().unicode() < 0x80;
    if (!pointIsAscii && locale.groupSeparator() != QLatin1String(".")) {
        tokens.append({QStringLiteral("."), QStringLiteral(".")});
    }
    tokens.append({locale.negativeSign(), QStringLiteral("-")});
    tokens.append({locale.positiveSign(), QStringLiteral("+")});
    tokens.append({locale.exponential(), QStringLiteral("e")});
    // Right-to-left marks that come with Arabic signs when typed or pasted.
    for (const char16_t mark : {u'\u200e', u'\u200f', u'\u061c'})
        tokens.append({QString(QChar(mark)), {}});

    QString converted;
    for (qsizetype at = 0; at < text.size();) {
        const Token* match = nullptr;
        for (const Token& token : tokens) {
            if (!token.local.isEmpty() && text.mid(at).startsWith(token.local) &&
                (!match || token.local.size() > match->local.size())) {
                match = &token;
            }
        }
        if (match) {
            converted += match->c;
            at += match->local.size();
            continue;
        }
        const QChar character = text.at(at++);
        // '.' and ',' that are not this locale's decimal separator are its group separators,
        // or mean nothing here: never read as C's decimal point.
        converted += character == QLatin1Char('.') ? QLatin1Char(',') : character;
    }
    return converted;
}

}  // namespace

int testLineCount(const QString& sizeText, const QLocale& locale) {
    const QString text = sizeText.trimmed();
    QLocale reader = QLocale::c();
    reader.setNumberOptions(QLocale::RejectGroupSeparator);
    bool converted = false;
    const double megabytes = reader.toDouble(inCNotation(text, locale), &converted);
    if (!converted) {
        // A number too big for a double still reads as one, only out of range.
        if (std::isinf(megabytes)) refuse(text, megabytes > 0 ? "is too large" : "is too small");
        refuse(text, "is not a number");
    }
    if (std::isnan(megabytes)) refuse(text, "is not a number");
    if (std::isinf(megabytes)) refuse(text, megabytes > 0 ? "is too large" : "is too small");

    const double lines = megabytes * kLinesPerMegabyte;
    if (std::isinf(lines)) refuse(text, lines > 0 ? "is too large" : "is too small");

    // Halves go to the even neighbour; nearbyint follows the rounding mode, which is
    // round-to-nearest-even unless something changed it, so make sure of it.
    const int savedMode = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double whole = std::nearbyint(lines);
    std::fesetround(savedMode);

    if (whole > static_cast<double>(std::numeric_limits<int>::max())) refuse(text, "is too large");
    if (whole < static_cast<double>(std::numeric_limits<int>::min())) refuse(text, "is too small");
    return static_cast<int>(whole);
}

}  // namespace measure
