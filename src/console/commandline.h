#pragma once

#include <QLocale>
#include <QString>
#include <QStringList>

namespace console {

// What the program was asked to do on its command line.
struct CommandLine {
    enum class Action {
        Window,   // no arguments: open the window
        Measure,  // --drive and --size: runs without a window
        Help,
        Version,
        Error,  // a bad command line: error says why
    };
    Action action = Action::Window;
    QString drive;      // any folder on the drive to measure
    int testLines = 0;  // --size in megabytes, read by the window's size rule into test lines
    bool human = false;
    int repeat = 1;  // --repeat: runs one after another on the drive, 1 to 100
    bool json = false;
    QString logPath;  // --log: the CSV file each completed run is appended to
    // The toolkit's own options (-style Fusion, -platform xcb ...), as given; Qt takes them out
    // of the arguments itself.
    QStringList toolkitOptions;
    QString error;
};

// The arguments after the program name -> what to do. Reads them left to right; the first of
// --help, --version or a mistake decides. Written by hand rather than with QCommandLineParser:
// Qt's own options (-platform xcb, -style Fusion) must pass through to the window with their
// values, which that parser cannot tell from stray words, and it takes "--drive --size" as a
// folder named "--size" where this one says the value is missing. The size is checked by the
// window's size rule in the given locale, so a size the window would refuse is a mistake here too,
// and so is a size that gives no test line (zero or less).
CommandLine parseCommandLine(const QStringList& arguments, const QLocale& locale = QLocale());

// The usage text, ending in a line end.
QString usageText();
// "DOV Uruvivuz <release> (Ver.<title's number>, package <version>)" and a line end.
QString versionText();
// The arguments after the program's name; a folder's name is bytes, read losslessly.
QStringList argumentsAfterProgram(int argc, char* argv[]);

// Exit statuses of the program run from a command line.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kMaxRepeat = 100;
// A run ended by a signal exits with 128 plus its number, as a shell reports it: 130 for SIGINT.
inline constexpr int kExitSignalBase = 128;

}  // namespace console
