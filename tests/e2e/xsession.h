#pragma once

// What an end-to-end test needs to drive the real program as a person would: a private virtual
// X server, the X tools (xdotool, xclip, xprop, xwininfo) aimed at it, and private copies of the
// program started in it. Every piece undoes what it set up in its destructor, so a failing test
// leaves no server, process or folder behind. A session that cannot be set up says why, ready
// for QSKIP.

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/inotify.h>
#include <unistd.h>

#include <memory>

#include "support/harness.h"
#include "support/scratchmounts.h"

namespace e2e {

using testsupport::waitUntil;

// Client-area places of the controls the tests click, from the window's fixed layout (twips / 15).
struct Place {
    int x;
    int y;
};
inline constexpr Place combo1Centre{104 + 73 / 2, 80 + 30 / 2};
inline constexpr Place command1Centre{232 + 105 / 2, 112 + 49 / 2};  // START
inline constexpr Place command2Centre{232 + 105 / 2, 176 + 49 / 2};  // QUIT

inline const QString windowTitle = QStringLiteral("DOV Uruvivuz Ver.1.1   by Zelvik");

// A child process that is asked to end, and then killed, when its owner goes; Xvfb killed
// outright would leave its socket and lock file behind.
class OwnedProcess : public QProcess {
public:
    ~OwnedProcess() override {
        if (state() == NotRunning) return;
        terminate();
        if (!waitForFinished(5000)) {
            kill();
            waitForFinished(5000);
        }
    }
    bool isRunning() {
        // Without an event loop the end of the process is noticed only when asked for.
        if (state() == Running) waitForFinished(0);
        return state() == Running;
    }
};

// The X tools, each run against one display.
class XTools {
public:
    XTools() = default;
    explicit XTools(const QString& display)
        : environment_(QProcessEnvironment::systemEnvironment()) {
        environment_.insert(QStringLiteral("DISPLAY"), display);
    }

    testsupport::ChildRun run(const QString& tool, const QStringList& arguments) const {
        return testsupport::runChild(tool, arguments, 15000, environment_);
    }

    // Ids of the windows whose whole name matches exactly.
    QStringList windowsNamed(const QString& name, bool onlyVisible = false) const {
        QStringList arguments{
            QStringLiteral("search"), QStringLiteral("--name"),
            QLatin1Char('^') + QRegularExpression::escape(name) + QLatin1Char('$')};
        if (onlyVisible) arguments.insert(1, QStringLiteral("--onlyvisible"));
        const QByteArray ids = run(QStringLiteral("xdotool"), arguments).output;
        return QString::fromLatin1(ids).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    // The one visible window with that name; empty after the timeout or once giveUp() holds.
    template <typename GiveUp>
    QString waitForWindow(const QString& name, int timeoutMs, GiveUp giveUp) const {
        QString id;
        waitUntil(
            [&] {
                const QStringList ids = windowsNamed(name, true);
                if (ids.size() == 1) id = ids.first();
                return !id.isEmpty() || giveUp();
            },
            timeoutMs);
        return id;
    }

    // "NAME(TYPE) = value" of xprop, reduced to the value.
    QString property(const QString& window, const QString& name) const {
        const QByteArray shown =
            run(QStringLiteral("xprop"), {QStringLiteral("-id"), window, name}).output;
        const QString line = QString::fromUtf8(shown).trimmed();
        const int equals = line.indexOf(QStringLiteral(" = "));
        return equals < 0 ? QString() : line.mid(equals + 3);
    }

    QSize clientSize(const QString& window) const {
        const QString text = QString::fromLatin1(
            run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), window}).output);
        const auto width = QRegularExpression(QStringLiteral("Width: (\\d+)")).match(text);
        const auto height = QRegularExpression(QStringLiteral("Height: (\\d+)")).match(text);
        if (!width.hasMatch() || !height.hasMatch()) return {};
        return {width.captured(1).toInt(), height.captured(1).toInt()};
    }

    bool click(const QString& window, Place place) const {
        return run(QStringLiteral("xdotool"),
                   {QStringLiteral("mousemove"), QStringLiteral("--window"), window,
                    QString::number(place.x), QString::number(place.y), QStringLiteral("click"),
                    QStringLiteral("1")})
            .ok();
    }
    // Keys go to the focused window, as from a keyboard.
    bool key(const QString& keys) const {
        return run(QStringLiteral("xdotool"), {QStringLiteral("key"), keys}).ok();
    }
    // Clicks into the box, selects what it shows and types over it.
    bool typeInto(const QString& window, Place place, const QString& text) const {
        return click(window, place) && key(QStringLiteral("ctrl+a")) &&
               (text.isEmpty() ? key(QStringLiteral("BackSpace"))
                               : run(QStringLiteral("xdotool"),
                                     {QStringLiteral("type"), QStringLiteral("--delay"),
                                      QStringLiteral("30"), text})
                                     .ok());
    }

    // The clipboard's text as another program would paste it; empty when nobody holds one.
    QByteArray clipboard() const {
        const testsupport::ChildRun pasted =
            run(QStringLiteral("xclip"),
                {QStringLiteral("-selection"), QStringLiteral("clipboard"), QStringLiteral("-o")});
        return pasted.ok() ? pasted.output : QByteArray();
    }

private:
    QProcessEnvironment environment_;
};

// Xvfb on a display number the server picks itself, so parallel tests never collide; the X
// tools aimed at it; and a copy of the built program in a folder of its own, so the program
// folder where START writes its local file is writable and seen by this test alone.
struct Session {
    explicit Session(const QString& builtProgram = QStringLiteral(DOV_PROGRAM_PATH))
        : program(folder.filePath(QFileInfo(builtProgram).fileName())) {
        whyNot = testsupport::whyNotTools({QStringLiteral("Xvfb"), QStringLiteral("xdotool"),
                                           QStringLiteral("xclip"), QStringLiteral("xprop"),
                                           QStringLiteral("xwininfo")});
        if (!whyNot.isEmpty()) return;
        if (!folder.isValid() || !runtime.isValid() || !QFile::copy(builtProgram, program)) {
            whyNot = QStringLiteral("cannot copy %1 to a scratch folder").arg(builtProgram);
            return;
        }
        server.setStandardErrorFile(QProcess::nullDevice());
        server.start(
            QStringLiteral("Xvfb"),
            {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
             QStringLiteral("0"), QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
             QStringLiteral("tcp"), QStringLiteral("-noreset")});
        // Xvfb writes the display number once it accepts clients.
        QByteArray number;
        while (!number.contains('\n') && server.waitForReadyRead(15000)) {
            number += server.readAllStandardOutput();
        }
        if (number.trimmed().isEmpty() || !server.isRunning()) {
            whyNot = QStringLiteral("Xvfb did not come up: ") + server.errorString();
            return;
        }
        display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());
        x = XTools(display);
    }

    // One copy of the program on this display, started in workingDirectory (which makes that
    // folder's volume the one Drive1 shows first); a private runtime folder keeps its
    // single-instance lock to this session.
    std::unique_ptr<OwnedProcess> start(const QString& workingDirectory) const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), display);
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        auto process = std::make_unique<OwnedProcess>();
        process->setProcessEnvironment(environment);
        process->setWorkingDirectory(workingDirectory);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->setStandardOutputFile(QProcess::nullDevice());
        process->start(program, {});
        process->waitForStarted(10000);
        return process;
    }
    // The program's main window, given up early when the program has ended.
    QString waitForWindowOf(OwnedProcess& process) const {
        return x.waitForWindow(windowTitle, 20000, [&] { return !process.isRunning(); });
    }

    QTemporaryDir folder;
    QTemporaryDir runtime;  // created 0700, as a runtime folder must be
    // A folder for the window to start in, on a drive it lists wherever the checkout lies.
    const testsupport::StartFolder startFolder;
    QString program;
    OwnedProcess server;
    QString display;  // ":N"
    XTools x;
    QString whyNot;  // empty when the session is usable
};

// Records which files were created and deleted in one folder (not below it), through inotify,
// so a test can tell that a file existed for a moment even when it was gone before anyone
// could look.
class FolderLog {
public:
    explicit FolderLog(const QString& folder)
        : descriptor_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (descriptor_ >= 0 &&
            inotify_add_watch(descriptor_, QFile::encodeName(folder).constData(),
                              IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO) < 0) {
            ::close(descriptor_);
            descriptor_ = -1;
        }
    }
    ~FolderLog() {
        if (descriptor_ >= 0) ::close(descriptor_);
    }
    FolderLog(const FolderLog&) = delete;
    FolderLog& operator=(const FolderLog&) = delete;

    bool isReady() const { return descriptor_ >= 0; }

    // Events so far, as "+NAME" for a file that appeared and "-NAME" for one that went.
    QStringList events() {
        alignas(inotify_event) char buffer[4096];
        ssize_t length;
        while (descriptor_ >= 0 && (length = ::read(descriptor_, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len > 0) {
                    const bool appeared = event->mask & (IN_CREATE | IN_MOVED_TO);
                    events_ << QLatin1Char(appeared ? '+' : '-') + QFile::decodeName(event->name);
                }
                at += static_cast<ssize_t>(sizeof(inotify_event)) + event->len;
            }
        }
        return events_;
    }

private:
    int descriptor_;
    QStringList events_;
};

}  // namespace e2e
