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

// The options Qt reads itself and takes out of the arguments (QGuiApplication, QApplication and
// the X11 platform), with one dash or two, as Qt reads them.
const QStringList kToolkitOptionsWithValue = {QStringLiteral("style"),
                                              QStringLiteral("stylesheet"),
                                              QStringLiteral("platform"),
                                              QStringLiteral("platformpluginpath"),
                                              QStringLiteral("platformtheme"),
                                              QStringLiteral("plugin"),
                                              QStringLiteral("qwindowgeometry"),
                                              QStringLiteral("geometry"),
                                              QStringLiteral("qwindowicon"),
                                              QStringLiteral("qwindowtitle"),
                                              QStringLiteral("session"),
                                              QStringLiteral("display"),
                                              QStringLiteral("name"),
                                              QStringLiteral("visual")};
const QStringList kToolkitFlags = {QStringLiteral("reverse"), QStringLiteral("widgetcount"),
                                   QStringLiteral("nograb"), QStringLiteral("dograb"),
                                   QStringLiteral("sync")};
// Taken only with the value attached.
const QStringList kToolkitOptionsAttached = {QStringLiteral("style"), QStringLiteral("stylesheet"),
                                             QStringLiteral("qmljsdebugger")};

// How many arguments from arguments[i] on are a toolkit option: 0 when it is none, -1 when its
// value is missing.
int toolkitOptionLength(const QStringList& arguments, qsizetype i) {
    QString name = arguments[i];
    if (!name.startsWith(QLatin1Char('-'))) return 0;
    name.remove(0, name.startsWith(QLatin1String("--")) ? 2 : 1);
    const qsizetype equals = name.indexOf(QLatin1Char('='));
    if (equals > 0) return kToolkitOptionsAttached.contains(name.left(equals)) ? 1 : 0;
    if (kToolkitFlags.contains(name)) return 1;
    if (!kToolkitOptionsWithValue.contains(name)) return 0;
    return i + 1 < arguments.size() ? 2 : -1;
}

// Once all arguments are read: what a run needs, and a size it can run.
CommandLine checked(CommandLine result, const QString& size, bool driveGiven, bool sizeGiven,
                    bool humanGiven, const QLocale& locale) {
    if (!driveGiven && !sizeGiven) {
        if (humanGiven) return mistake(QStringLiteral("--human needs --drive and --size"));
        return result;
    }
    if (!driveGiven) return mistake(QStringLiteral("--size needs --drive"));
    if (!sizeGiven) return mistake(QStringLiteral("--drive needs --size"));
    try {
        result.testLines = measure::testLineCount(size, locale);
    } catch (const std::exception& failure) {
        return mistake(platform::describe(failure));
    }
    // The window runs an empty file for such a size; a script asking for one made a mistake.
    if (result.testLines <= 0) {
        return mistake(QStringLiteral("the size must be a positive number of megabytes, not '%1'")
                           .arg(measure::shownSizeText(size)));
    }
    result.action = CommandLine::Action::Measure;
    return result;
}

}  // namespace

CommandLine parseCommandLine(const QStringList& arguments, const QLocale& locale) {
    CommandLine result;
    bool driveGiven = false;
    bool sizeGiven = false;
    bool humanGiven = false;
    QString size;

    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        const qsizetype equals = argument.indexOf(QLatin1Char('='));
        const bool attached = argument.startsWith(QLatin1String("--")) && equals > 2;
        const QString name = attached ? argument.left(equals) : argument;

        if (name == QLatin1String("--help") || name == QLatin1String("--version")) {
            if (attached) return mistake(QStringLiteral("%1 takes no value").arg(name));
            result.action = name == QLatin1String("--help") ? CommandLine::Action::Help
                                                            : CommandLine::Action::Version;
            return result;
        }
        if (name == QLatin1String("--human")) {
            if (attached) return mistake(QStringLiteral("%1 takes no value").arg(name));
            if (humanGiven) return mistake(QStringLiteral("--human is given twice"));
            humanGiven = result.human = true;
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
            }
            if (value.isEmpty()) return mistake(QStringLiteral("%1 needs a value").arg(name));
            (name == QLatin1String("--drive") ? result.drive : size) = value;
            continue;
        }

        // The toolkit's own options reach it; the window reads -platform and -display too.
        if (const int length = toolkitOptionLength(arguments, i); length != 0) {
            if (length < 0) return mistake(QStringLiteral("%1 needs a value").arg(argument));
            result.toolkitOptions += arguments.mid(i, length);
            i += length - 1;
            continue;
        }
        if (argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            return mistake(QStringLiteral("unknown option '%1'").arg(name));
        }
        return mistake(QStringLiteral("unexpected argument '%1'").arg(argument));
    }
    return checked(result, size, driveGiven, sizeGiven, humanGiven, locale);
}

QString usageText() {
    return QStringLiteral(
        "Usage: dov-uruvivuz [Qt options such as -style Fusion or -platform xcb]\n"
        "       dov-uruvivuz --drive DIR --size MB [--human]\n"
        "       dov-uruvivuz --help | --version\n"
        "\n"
        "Times how fast a drive writes and reads a file. Without options it opens its\n"
        "window. With --drive and --size it runs once without a window: it creates a\n"
        "test file, copies it to the root of the drive and back, and prints the create,\n"
        "write and read times in seconds on one line, separated by tabs.\n"
        "\n"
        "  --drive DIR  measure the drive (mounted volume) that holds the folder DIR;\n"
        "               a read-only or system volume is refused, saying why\n"
        "  --size MB    size of the test file in megabytes of 1,000,000 bytes, in the\n"
        "               locale's notation (10, 0.5)\n"
        "  --human      also print a readable summary with the rates in MB/s\n"
        "  --help       print this usage and exit\n"
        "  --version    print the version and exit\n"
        "\n"
        "Exit status:\n"
        "  0            done\n"
        "  1            the run failed (the reason is on standard error), its times\n"
        "               could not be written out, or the window found no display\n"
        "  2            a bad command line\n"
        "  130          interrupted (Ctrl+C)\n"
        "  128 + N      ended by another signal N\n"
        "After an interrupt or a signal the run's test files are removed.\n");
}

// The release name and the window title's number above the package's version, so that the
// three never look like a mistake.
QString versionText() {
    return QStringLiteral("DOV Uruvivuz %1 (Ver.%2, package %3)\n")
        .arg(QLatin1String(platform::version::kApplicationVersion),
             QLatin1String(platform::version::kVersionCaption),
             QLatin1String(platform::version::kFullVersion));
}

QStringList argumentsAfterProgram(int argc, char* argv[]) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) arguments << platform::pathFromBytes(argv[i]);
    return arguments;
}

}  // namespace console
