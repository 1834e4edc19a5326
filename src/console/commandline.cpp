#include "console/commandline.h"

#include <exception>

#include "measure/sizerule.h"
#include "platform/failure.h"
#include "platform/paths.h"
#include "platform/version.h"

namespace console {

namespace {

CommandLine mistake(const QString& why) {
    CommandLine result;
    result.action = CommandLine::Action::Error;
    result.error = why;
    return result;
}

}  // namespace

CommandLine parseCommandLine(const QStringList& arguments, const QLocale& locale) {
    CommandLine result;
    bool driveGiven = false;
    bool sizeGiven = false;
    bool humanGiven = false;

    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        const qsizetype equals = argument.indexOf(QLatin1Char('='));
        const bool attached = argument.startsWith(QLatin1String("--")) && equals > 2;
        const QString name = attached ? argument.left(equals) : argument;

        if (name == QLatin1String("--help") || name == QLatin1String("--version") ||
            name == QLatin1String("--human")) {
            if (attached) return mistake(QStringLiteral("%1 takes no value").arg(name));
            if (name == QLatin1String("--help")) {
                result.action = CommandLine::Action::Help;
                return result;
            }
            if (name == QLatin1String("--version")) {
                result.action = CommandLine::Action::Version;
                return result;
            }
            if (humanGiven) return mistake(QStringLiteral("--human is given twice"));
            humanGiven = true;
            result.human = true;
            continue;
        }

        if (name == QLatin1String("--drive") || name == QLatin1String("--size")) {
            bool& given = name == QLatin1String("--drive") ? driveGiven : sizeGiven;
            if (given) return mistake(QStringLiteral("%1 is given twice").arg(name));
            given = true;
            QString value;
            if (attached) {
                value = argument.mid(equals + 1);
            } else if (i + 1 < arguments.size() &&
                       !arguments[i + 1].startsWith(QLatin1String("--"))) {
                // An option in the value's place means the value was left out; a folder whose
                // name starts with "--" can still be given as --drive=--name or ./--name.
                value = arguments[++i];
            } else {
                return mistake(QStringLiteral("%1 needs a value").arg(name));
            }
            if (value.isEmpty()) return mistake(QStringLiteral("%1 needs a value").arg(name));
            (name == QLatin1String("--drive") ? result.drive : result.sizeText) = value;
            continue;
        }

        if (argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            return mistake(QStringLiteral("unknown option '%1'").arg(name));
        }
        return mistake(QStringLiteral("unexpected argument '%1'").arg(argument));
    }

    if (!driveGiven && !sizeGiven) {
        if (humanGiven) return mistake(QStringLiteral("--human needs --drive and --size"));
        return result;
    }
    if (!driveGiven) return mistake(QStringLiteral("--size needs --drive"));
    if (!sizeGiven) return mistake(QStringLiteral("--drive needs --size"));
    try {
        measure::testLineCount(result.sizeText, locale);
    } catch (const std::exception& failure) {
        return mistake(platform::describe(failure));
    }
    result.action = CommandLine::Action::Measure;
    return result;
}

QString usageText() {
    return QStringLiteral(
        "Usage: dov-uruvivuz\n"
        "       dov-uruvivuz --drive DIR --size MB [--human]\n"
        "       dov-uruvivuz --help | --version\n"
        "\n"
        "Times how fast a drive writes and reads a file. Without options it opens its window.\n"
        "With --drive and --size it runs once without a window: it creates a test file,\n"
        "copies it to the root of the drive and back, and prints the create, write and read\n"
        "times in seconds on one line, separated by tabs.\n"
        "\n"
        "  --drive DIR  measure the drive that holds the folder DIR\n"
        "  --size MB    size of the test file in megabytes of 1,000,000 bytes, in the\n"
        "               locale's notation (10, 0.5)\n"
        "  --human      also print a readable summary with the rates in MB/s\n"
        "  --help       print this usage and exit\n"
        "  --version    print the version and exit\n"
        "\n"
        "Exit status: 0 done, 1 the run failed (the reason is on standard error),\n"
        "2 a bad command line, 130 interrupted (Ctrl+C).\n");
}

QString versionText() {
    return QStringLiteral("dov-uruvivuz %1\n")
        .arg(QLatin1String(platform::version::kApplicationVersion));
}

QStringList argumentsAfterProgram(int argc, char* argv[]) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) arguments << platform::pathFromBytes(argv[i]);
    return arguments;
}

}  // namespace console
