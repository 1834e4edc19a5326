#include "console/commandline.h"

#include <QHash>
#include <exception>

#include "measure/sizerule.h"
#include "platform/failure.h"
#include "platform/paths.h"
#include "platform/version.h"

namespace console {

namespace {

// A mistake on the command line, or the end of reading it at --help or --version.
CommandLine mistake(const QString& why, CommandLine::Action action = CommandLine::Action::Error) {
    CommandLine result;
    result.action = action;
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

// What was read of our own options: the values given, and the flags.
struct Given {
    QHash<QString, QString> values;
    QStringList flags;
    bool has(const char* name) const {
        return values.contains(QLatin1String(name)) || flags.contains(QLatin1String(name));
    }
};

const QStringList kValueOptions = {QStringLiteral("--drive"), QStringLiteral("--size"),
                                   QStringLiteral("--repeat"), QStringLiteral("--log")};
const QStringList kFlags = {QStringLiteral("--human"), QStringLiteral("--json")};

// Once all arguments are read: what a run needs, and a size and a count it can run.
CommandLine checked(const Given& given, const QLocale& locale) {
    CommandLine result;
    if (!given.has("--drive") && !given.has("--size")) {
        for (const char* option : {"--human", "--json", "--repeat", "--log"}) {
            if (given.has(option))
                return mistake(QStringLiteral("%1 needs --drive and --size").arg(option));
        }
        return result;
    }
    if (!given.has("--drive")) return mistake(QStringLiteral("--size needs --drive"));
    if (!given.has("--size")) return mistake(QStringLiteral("--drive needs --size"));
    if (given.has("--json") && given.has("--human"))
        return mistake(QStringLiteral("--json and --human do not go together"));
    result.drive = given.values.value(QStringLiteral("--drive"));
    result.human = given.has("--human");
    result.json = given.has("--json");
    result.logPath = given.values.value(QStringLiteral("--log"));
    const QString size = given.values.value(QStringLiteral("--size"));
    if (given.has("--repeat")) {
        const QString count = given.values.value(QStringLiteral("--repeat"));
        bool isNumber = false;
        result.repeat = count.toInt(&isNumber);
        if (!isNumber || result.repeat < 1 || result.repeat > kMaxRepeat) {
            return mistake(QStringLiteral("--repeat takes a whole number of runs from 1 to %1, "
                                          "not '%2'")
                               .arg(kMaxRepeat)
                               .arg(count));
        }
    }
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
    Given given;
    QStringList toolkitOptions;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        const qsizetype equals = argument.indexOf(QLatin1Char('='));
        const bool attached = argument.startsWith(QLatin1String("--")) && equals > 2;
        const QString name = attached ? argument.left(equals) : argument;

        const bool help = name == QLatin1String("--help");
        const bool flag = kFlags.contains(name);
        if (help || flag || name == QLatin1String("--version")) {
            if (attached) return mistake(QStringLiteral("%1 takes no value").arg(name));
            if (!flag)
                return mistake({}, help ? CommandLine::Action::Help : CommandLine::Action::Version);
            if (given.flags.contains(name))
                return mistake(QStringLiteral("%1 is given twice").arg(name));
            given.flags << name;
            continue;
        }
        if (kValueOptions.contains(name)) {
            if (given.values.contains(name))
                return mistake(QStringLiteral("%1 is given twice").arg(name));
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
            given.values.insert(name, value);
            continue;
        }

        // The toolkit's own options reach it; the window reads -platform and -display too.
        if (const int length = toolkitOptionLength(arguments, i); length != 0) {
            if (length < 0) return mistake(QStringLiteral("%1 needs a value").arg(argument));
            toolkitOptions += arguments.mid(i, length);
            i += length - 1;
            continue;
        }
        if (argument.startsWith(QLatin1Char('-')) && argument.size() > 1)
            return mistake(QStringLiteral("unknown option '%1'").arg(name));
        return mistake(QStringLiteral("unexpected argument '%1'").arg(argument));
    }
    CommandLine result = checked(given, locale);
    result.toolkitOptions = toolkitOptions;
    return result;
}

QString usageText() {
    return QStringLiteral(
        "Usage: dov-uruvivuz [Qt options such as -style Fusion or -platform xcb]\n"
        "       dov-uruvivuz --drive DIR --size MB [--repeat N] [--human | --json]\n"
        "                    [--log FILE]\n"
        "       dov-uruvivuz --help | --version\n"
        "\n"
        "Times how fast a drive writes and reads a file. Without options it opens its\n"
        "window. With --drive and --size it runs without a window: it creates a test\n"
        "file, copies it to the root of the drive and back, and prints the create,\n"
        "write and read times in seconds on one line per run, separated by tabs.\n"
        "\n"
        "  --drive DIR  measure the drive (mounted volume) that holds the folder DIR;\n"
        "               a read-only volume or a file system of the kernel's (/proc,\n"
        "               /sys, /dev) is refused, saying why\n"
        "  --size MB    size of the test file in megabytes of 1,000,000 bytes, in the\n"
        "               locale's notation (10, 0.5)\n"
        "  --repeat N   N runs one after another (1 to 100, default 1), each line\n"
        "               printed as its run ends; a failed run ends the series\n"
        "  --human      also print a readable summary with the rates in MB/s, and the\n"
        "               median, lowest and highest time of each phase over the runs\n"
        "  --json       print one JSON document instead: the drive, each run's times,\n"
        "               rates and notices, and the summary\n"
        "  --log FILE   append each completed run as a CSV row to FILE, made with a\n"
        "               header when new; any other existing file is refused\n"
        "  --help       print this usage and exit\n"
        "  --version    print the version and exit\n"
        "\n"
        "Examples:\n"
        "  dov-uruvivuz --drive /media/stick --size 100 --repeat 5 --human\n"
        "  dov-uruvivuz --drive /media/stick --size 100 --json | jq .summary\n"
        "  dov-uruvivuz --drive /media/stick --size 100 --log ~/sticks.csv\n"
        "\n"
        "Exit status:\n"
        "  0            done\n"
        "  1            a run failed (the reason is on standard error), its times\n"
        "               could not be written out or logged, or the window found no\n"
        "               display\n"
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
