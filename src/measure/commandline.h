#pragma once

#include <QByteArray>
#include <QLocale>
#include <QString>
#include <QStringList>

namespace measure {

// What the program was asked to do on its command line.
struct CommandLine {
    enum class Action {
        Window,   // no arguments: open the window
        Measure,  // --drive and --size: one run without a window
        Help,
        Version,
        Error,  // a bad command line: error says why
    };
    Action action = Action::Window;
    QString drive;     // any folder on the drive to measure
    QString sizeText;  // megabytes, as the window's size box takes them
    bool human = false;
    QString error;
};

// The arguments after the program name -> what to do. Reads them left to right; the first of
// --help, --version or a mistake decides. The size is checked by the window's size rule in the
// given locale, so a size the window would refuse is a mistake here too.
CommandLine parseCommandLine(const QStringList& arguments, const QLocale& locale = QLocale());

// The usage text, ending in a line end.
QString usageText();
// "dov-uruvivuz <version>" and a line end.
QString versionText();

// Exit statuses of the program run from a command line.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
// A run ended by a signal exits with 128 plus its number, as a shell reports it: 130 for SIGINT.
inline constexpr int kExitSignalBase = 128;

// The Qt platform the window should ask for, given the environment's QT_QPA_PLATFORM, DISPLAY
// and WAYLAND_DISPLAY; empty to leave Qt's own choice. Stay-on-top and centring only work on
// X11, so an X11 display (XWayland included) is preferred unless the user chose a platform.
QByteArray windowPlatform(const QByteArray& qtPlatform, const QByteArray& x11Display,
                          const QByteArray& waylandDisplay);

}  // namespace measure
