#include "measure/sizerule.h"

#include <QList>

#include <cfenv>
#include <cmath>
#include <limits>

#include "platform/failure.h"

namespace measure {

namespace {

// A size pasted by mistake can be a whole page: it is shown cut to a readable length.
constexpr qsizetype kShownCharacters = 40;

[[noreturn]] void refuse(const QString& shownText, const char* reason) {
    throw platform::Failure(
        QStringLiteral("Data size '%1' %2").arg(shownSizeText(shownText), QLatin1String(reason)));
}

// Full-width forms (U+FF01 to U+FF5E, as a Japanese input method types digits, signs and the
// full stop) read as the ASCII characters they stand for.
QString halfWidth(const QString& text) {
    QString result = text;
    for (QChar& character : result) {
        const char16_t code = character.unicode();
        if (code >= 0xFF01 && code <= 0xFF5E) character = QChar(char16_t(code - 0xFEE0));
    }
    return result;
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
    converted.reserve(text.size());
    for (qsizetype at = 0; at < text.size();) {
        const Token* match = nullptr;
        // A view, not a copy of the rest: the reading stays linear in the text's length.
        const QStringView rest = QStringView(text).mid(at);
        for (const Token& token : tokens) {
            if (!token.local.isEmpty() && rest.startsWith(token.local) &&
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

QString shownSizeText(const QString& sizeText) {
    if (sizeText.size() <= kShownCharacters) return sizeText;
    return sizeText.left(kShownCharacters) +
           QStringLiteral("... (%1 characters)").arg(sizeText.size());
}

int testLineCount(const QString& sizeText, const QLocale& locale) {
    const QString text = halfWidth(sizeText).trimmed();
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
