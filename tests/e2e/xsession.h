#pragma once

// What an end-to-end test needs to drive the real program as a person would: a private virtual
// X server, a private copy of the program in a writable folder of its own, the program's
// process, and the X tools (xdotool, xclip, xprop, xwininfo) aimed at that server. Every piece
// undoes what it set up in its destructor, so a failing test leaves no server, process or
// folder behind. Pieces that cannot be set up say why, ready for QSKIP.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <sys/inotify.h>
#include <unistd.h>

#include <functional>

namespace e2e {

// Client-area places of the controls the tests click, from the window's fixed layout (twips / 15).
struct Place {
    int x;
    int y;
};
inline constexpr Place combo1Centre{104 + 73 / 2, 80 + 30 / 2};
inline constexpr Place command1Centre{232 + 105 / 2, 112 + 49 / 2};  // START
inline constexpr Place command2Centre{232 + 105 / 2, 176 + 49 / 2};  // QUIT

inline const QString windowTitle = QStringLiteral("DOV Uruvivuz Ver.1.1   by Zelvik");

// Polls until check() holds or the time is up; true when it held.
inline bool waitUntil(const std::function<bool()>& check, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (true) {
        if (check()) return true;
        if (deadline.hasExpired()) return false;
        QThread::msleep(50);
    }
}

inline QString whyNotTools(const QStringList& tools) {
    QStringList missing;
    for (const QString& tool : tools) {
        if (QStandardPaths::findExecutable(tool).isEmpty()) missing << tool;
    }
    return missing.isEmpty()
               ? QString()
               : QStringLiteral("not installed: %1").arg(missing.join(QStringLiteral(", ")));
}

// Xvfb on a display number the server picks itself, so parallel tests never collide.
class VirtualDisplay {
public:
    VirtualDisplay() {
        why_ = whyNotTools({QStringLiteral("Xvfb")});
        if (!why_.isEmpty()) return;
        server_.setProcessChannelMode(QProcess::SeparateChannels);
        server_.setStandardErrorFile(QProcess::nullDevice());
        server_.start(
            QStringLiteral("Xvfb"),
            {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
             QStringLiteral("0"), QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
             QStringLiteral("tcp"), QStringLiteral("-noreset")});
        if (!server_.waitForStarted(10000)) {
            why_ = QStringLiteral("cannot start Xvfb: ") + server_.errorString();
            return;
        }
        // Xvfb writes the display number once it accepts clients.
        QByteArray number;
        const bool announced = waitUntil(
            [&] {
                server_.waitForReadyRead(100);
                number += server_.readAllStandardOutput();
                return number.contains('\n') || server_.state() != QProcess::Running;
            },
            15000);
        if (!announced || server_.state() != QProcess::Running || number.trimmed().isEmpty()) {
            why_ = QStringLiteral("Xvfb did not come up");
            return;
        }
        display_ = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
    }
    ~VirtualDisplay() {
        if (server_.state() == QProcess::NotRunning) return;
        server_.terminate();
        if (!server_.waitForFinished(5000)) {
            server_.kill();
            server_.waitForFinished(5000);
        }
    }
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    bool isReady() const { return !display_.isEmpty(); }
    const QString& whyNot() const { return why_; }
    const QString& display() const { return display_; }  // ":N"

private:
    QProcess server_;
    QString display_;
    QString why_;
};

struct ToolRun {
    int exitCode = -1;  // -1: did not start, crashed or timed out
    QByteArray output;  // stdout, untouched
    QString errors;
    bool ok() const { return exitCode == 0; }
};

// The X tools, each run against one display.
class XTools {
public:
    explicit XTools(const QString& display) : display_(display) {}

    static QString whyNot() {
        return whyNotTools({QStringLiteral("xdotool"), QStringLiteral("xclip"),
                            QStringLiteral("xprop"), QStringLiteral("xwininfo")});
    }

    ToolRun run(const QString& tool, const QStringList& arguments, int timeoutMs = 15000) const {
        ToolRun result;
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), display_);
        process.setProcessEnvironment(environment);
        process.start(tool, arguments);
        if (!process.waitForStarted(timeoutMs)) return result;
        if (!process.waitForFinished(timeoutMs)) {
            process.kill();
            process.waitForFinished(5000);
            return result;
        }
        result.output = process.readAllStandardOutput();
        result.errors = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
        if (process.exitStatus() == QProcess::NormalExit) result.exitCode = process.exitCode();
        return result;
    }

    // Ids of the windows whose whole name matches exactly.
    QStringList windowsNamed(const QString& name) const {
        const ToolRun found =
            run(QStringLiteral("xdotool"),
                {QStringLiteral("search"), QStringLiteral("--name"),
                 QLatin1Char('^') + QRegularExpression::escape(name) + QLatin1Char('$')});
        return QString::fromLatin1(found.output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    QStringList visibleWindowsNamed(const QString& name) const {
        const ToolRun found = run(
            QStringLiteral("xdotool"),
            {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
             QLatin1Char('^') + QRegularExpression::escape(name) + QLatin1Char('$')});
        return QString::fromLatin1(found.output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    // The one visible window with that name; empty after the timeout or once giveUp() holds.
    QString waitForWindow(const QString& name, int timeoutMs = 20000,
                          const std::function<bool()>& giveUp = {}) const {
        QString id;
        waitUntil(
            [&] {
                const QStringList ids = visibleWindowsNamed(name);
                if (ids.size() == 1) id = ids.first();
                return !id.isEmpty() || (giveUp && giveUp());
            },
            timeoutMs);
        return id;
    }

    // "NAME(TYPE) = value" of xprop, reduced to the value.
    QString property(const QString& window, const QString& name) const {
        const ToolRun shown = run(QStringLiteral("xprop"), {QStringLiteral("-id"), window, name});
        const QString line = QString::fromUtf8(shown.output).trimmed();
        const int equals = line.indexOf(QStringLiteral(" = "));
        return equals < 0 ? QString() : line.mid(equals + 3);
    }

    QSize clientSize(const QString& window) const {
        const ToolRun info = run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), window});
        const QString text = QString::fromLatin1(info.output);
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
    bool type(const QString& text) const {
        return run(QStringLiteral("xdotool"),
                   {QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("30"), text})
            .ok();
    }
    // Clicks into the box, selects what it shows and types over it.
    bool typeInto(const QString& window, Place place, const QString& text) const {
        return click(window, place) && key(QStringLiteral("ctrl+a")) &&
               (text.isEmpty() ? key(QStringLiteral("BackSpace")) : type(text));
    }

    // The clipboard's text as another program would paste it; null when nobody holds one.
    QByteArray clipboard() const {
        const ToolRun pasted =
            run(QStringLiteral("xclip"),
                {QStringLiteral("-selection"), QStringLiteral("clipboard"), QStringLiteral("-o")});
        return pasted.ok() ? pasted.output : QByteArray();
    }

private:
    QString display_;
};

// A copy of the built program in a fresh folder, so the program folder where START writes its
// local file is writable and seen by this test alone.
class ProgramCopy {
public:
    explicit ProgramCopy(const QString& builtProgram) {
        if (!folder_.isValid()) {
            why_ = QStringLiteral("cannot create a scratch folder: ") + folder_.errorString();
            return;
        }
        path_ = folder_.filePath(QFileInfo(builtProgram).fileName());
        if (!QFile::copy(builtProgram, path_)) {
            why_ = QStringLiteral("cannot copy %1 to %2").arg(builtProgram, path_);
            path_.clear();
        }
    }
    bool isReady() const { return !path_.isEmpty(); }
    const QString& whyNot() const { return why_; }
    const QString& program() const { return path_; }
    QString folder() const { return folder_.path(); }

private:
    QTemporaryDir folder_;
    QString path_;
    QString why_;
};

// The program's own X, session and locale settings: only the given display, a private runtime
// folder (so its single-instance lock is this test's alone) and the real X platform plugin.
class ProgramEnvironment {
public:
    explicit ProgramEnvironment(const QString& display)
        : environment_(QProcessEnvironment::systemEnvironment()) {
        QFile::setPermissions(runtime_.path(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        environment_.insert(QStringLiteral("DISPLAY"), display);
        environment_.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime_.path());
        environment_.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment_.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment_.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    }
    bool isReady() const { return runtime_.isValid(); }
    const QProcessEnvironment& environment() const { return environment_; }

private:
    QTemporaryDir runtime_;
    QProcessEnvironment environment_;
};

// One run of the program; killed on destruction if it is still running.
class ProgramProcess {
public:
    ProgramProcess(const QString& program, const QProcessEnvironment& environment,
                   const QString& workingDirectory) {
        process_.setProcessEnvironment(environment);
        process_.setWorkingDirectory(workingDirectory);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.setStandardOutputFile(QProcess::nullDevice());
        process_.start(program, {});
        process_.waitForStarted(10000);
    }
    ~ProgramProcess() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.kill();
        process_.waitForFinished(5000);
    }
    ProgramProcess(const ProgramProcess&) = delete;
    ProgramProcess& operator=(const ProgramProcess&) = delete;

    bool isRunning() const {
        // Without an event loop the end of the process is noticed only when asked for.
        if (process_.state() == QProcess::Running) process_.waitForFinished(0);
        return process_.state() == QProcess::Running;
    }
    qint64 pid() const { return process_.processId(); }
    // True when the process ended by itself within the time.
    bool waitForExit(int timeoutMs) { return process_.waitForFinished(timeoutMs); }
    bool exitedNormally() const { return process_.exitStatus() == QProcess::NormalExit; }
    int exitCode() const { return process_.exitCode(); }

private:
    mutable QProcess process_;
};

// Records which files were created and deleted in one folder (not below it), through inotify,
// so a test can tell that a file existed for a moment even when it was gone before anyone
// could look.
class FolderLog {
public:
    explicit FolderLog(const QString& folder) {
        descriptor_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
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
        while (descriptor_ >= 0) {
            const ssize_t length = ::read(descriptor_, buffer, sizeof buffer);
            if (length <= 0) break;
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len > 0) {
                    const QString name = QFile::decodeName(event->name);
                    const bool appeared = event->mask & (IN_CREATE | IN_MOVED_TO);
                    events_ << (appeared ? QLatin1Char('+') : QLatin1Char('-')) + name;
                }
                at += static_cast<ssize_t>(sizeof(inotify_event)) + event->len;
            }
        }
        return events_;
    }

private:
    int descriptor_ = -1;
    QStringList events_;
};

}  // namespace e2e
