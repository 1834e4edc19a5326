// Combo1's text -> number of test lines, under a point and a comma locale.

#include <QTest>

#include "measure/sizerule.h"
#include "platform/failure.h"

class SizeRule : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void sizeTextGivesLineCount_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("lines");
        QTest::addColumn<QString>("failure");  // empty when the text is accepted

        const QString notANumber = QStringLiteral("is not a number");
        const QString tooLarge = QStringLiteral("is too large");
        const QString tooSmall = QStringLiteral("is too small");
        for (const char* name : {"C", "de_DE"}) {
            const QByteArray tag = QByteArray(name) + ": ";
            const bool comma = QByteArray(name) == "de_DE";
            QTest::newRow(tag + "ten") << name << "10" << 200000 << "";
            QTest::newRow(tag + "blanks around") << name << " 10 " << 200000 << "";
            QTest::newRow(tag + "tab around") << name << "\t200\t" << 4000000 << "";
            QTest::newRow(tag + "exponent") << name << "1e3" << 20000000 << "";
            QTest::newRow(tag + "zero") << name << "0" << 0 << "";
            QTest::newRow(tag + "negative") << name << "-3" << -60000 << "";
            QTest::newRow(tag + "letters") << name << "abc" << 0 << notANumber;
            QTest::newRow(tag + "blank") << name << " " << 0 << notANumber;
            QTest::newRow(tag + "nothing") << name << "" << 0 << notANumber;
            QTest::newRow(tag + "unit attached") << name << "10MB" << 0 << notANumber;
            QTest::newRow(tag + "nan") << name << "nan" << 0 << notANumber;
            QTest::newRow(tag + "inf") << name << "inf" << 0 << tooLarge;
            QTest::newRow(tag + "-inf") << name << "-inf" << 0 << tooSmall;
            QTest::newRow(tag + "too many lines") << name << "200000" << 0 << tooLarge;
            QTest::newRow(tag + "too few lines") << name << "-200000" << 0 << tooSmall;
            QTest::newRow(tag + "overflows on multiply") << name << "1e308" << 0 << tooLarge;
            QTest::newRow(tag + "beyond double") << name << "1e400" << 0 << tooLarge;
            // 107374.18235 MB is 2147483647 lines, the largest count that fits.
            QTest::newRow(tag + "largest")
                << name << (comma ? "107374,18235" : "107374.18235") << 2147483647 << "";
            QTest::newRow(tag + "one line more")
                << name << (comma ? "107374,1824" : "107374.1824") << 0 << tooLarge;
            // 0.015625 and 0.046875 are exact in binary: 312.5 and 937.5 lines.
            QTest::newRow(tag + "half to even, down")
                << name << (comma ? "0,015625" : "0.015625") << 312 << "";
            QTest::newRow(tag + "half to even, up")
                << name << (comma ? "0,046875" : "0.046875") << 938 << "";
            QTest::newRow(tag + "negative half to even")
                << name << (comma ? "-0,015625" : "-0.015625") << -312 << "";
            // The locale's own separator gives half a megabyte; the other one is refused
            // rather than read as a group separator, which would give 5 or 5000 MB.
            QTest::newRow(tag + "0.5")
                << name << "0.5" << (comma ? 0 : 10000) << (comma ? notANumber : QString());
            QTest::newRow(tag + "0,5")
                << name << "0,5" << (comma ? 10000 : 0) << (comma ? QString() : notANumber);
            QTest::newRow(tag + "grouped thousand")
                << name << (comma ? "1.000" : "1,000") << 0 << notANumber;
        }
        // Every locale reads ASCII digits with its own decimal separator, and its own digits
        // too; group separators stay refused.
        const auto row = [](const char* tag, const char* locale, const char* text, int lines,
                            const QString& failure) {
            QTest::newRow(tag) << QString::fromLatin1(locale) << QString::fromUtf8(text) << lines
                               << failure;
        };
        row("ar_EG: ASCII digits, Arabic separator", "ar_EG", "0\u066b5", 10000, {});
        row("ar_EG: ASCII digits, point", "ar_EG", "0.5", 10000, {});
        row("ar_EG: own digits", "ar_EG", "\u0661\u0660", 200000, {});
        row("ar_EG: own digits and separator", "ar_EG", "\u0660\u066b\u0665", 10000, {});
        row("ar_EG: group separator", "ar_EG", "1\u066c000", 0, notANumber);
        row("ar_EG: comma", "ar_EG", "0,5", 0, notANumber);
        row("fa_IR: own digits", "fa_IR", "\u06f2\u06f0", 400000, {});
        row("fa_IR: ASCII digits, Persian separator", "fa_IR", "0\u066b5", 10000, {});
        row("fa_IR: group separator", "fa_IR", "1\u066c000", 0, notANumber);
        row("de_DE: ASCII digits, comma", "de_DE", "2,5", 50000, {});
        row("de_DE: point groups", "de_DE", "2.500", 0, notANumber);
        row("C: ASCII digits, point", "C", "2.5", 50000, {});
        row("C: Arabic digits", "C", "\u0662", 0, notANumber);
        // As a Japanese input method types them: the same number, in any locale.
        row("ja_JP: full-width digits", "ja_JP", "\uff11\uff10", 200000, {});
        row("ja_JP: full-width digits and point", "ja_JP", "\uff10\uff0e\uff15", 10000, {});
        row("de_DE: full-width digits, comma", "de_DE", "\uff12,5", 50000, {});
        row("C: full-width digits, ideographic blank", "C", "\u3000\uff12", 40000, {});
    }
    void sizeTextGivesLineCount() {
        QFETCH(QString, locale);
        QFETCH(QString, text);
        QFETCH(int, lines);
        QFETCH(QString, failure);
        try {
            const int counted = measure::testLineCount(text, QLocale(locale));
            QVERIFY2(failure.isEmpty(), qPrintable(QStringLiteral("accepted as %1").arg(counted)));
            QCOMPARE(counted, lines);
        } catch (const platform::Failure& refused) {
            QVERIFY2(!failure.isEmpty(), qPrintable(refused.description()));
            QCOMPARE(refused.description(),
                     QStringLiteral("Data size '%1' %2").arg(text.trimmed(), failure));
        }
    }

    // A pasted page is shown cut to a readable length (the benchmark's size_text figures show
    // that reading it takes time linear in its length).
    void longTextIsShownCut() {
        const QString text = QString(131000, QLatin1Char('7')) + QLatin1Char('x');
        try {
            measure::testLineCount(text, QLocale(QStringLiteral("ar_EG")));
            QFAIL("accepted");
        } catch (const platform::Failure& refused) {
            QCOMPARE(refused.description(),
                     QString("Data size '%1... (131001 characters)' is not a number")
                         .arg(QString(40, QLatin1Char('7'))));
        }
    }

    // Without an explicit locale the user's locale is used.
    void defaultIsTheUsersLocale() {
        const QLocale saved;
        QLocale::setDefault(QLocale(QStringLiteral("de_DE")));
        const int lines = measure::testLineCount(QStringLiteral("0,5"));
        QLocale::setDefault(saved);
        QCOMPARE(lines, 10000);
    }
};

QTEST_GUILESS_MAIN(SizeRule)
#include "tst_sizerule.moc"
