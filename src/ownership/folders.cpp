#include "ownership/folders.h"

#include <QList>
#include <algorithm>
#include <optional>

#include "platform/failure.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/systemfiles.h"
#include "platform/userfolders.h"

namespace ownership {

namespace {

const QString kProgramFolderName = QStringLiteral("dov-uruvivuz");

// Where the install step puts its marker, relative to the program's folder.
#ifndef DOV_INSTALLED_MARKER_RELATIVE
#define DOV_INSTALLED_MARKER_RELATIVE "../share/dov-uruvivuz/installed"
#endif

QString withoutTrailingSlashes(QString path) {
    while (path.size() > 1 && path.endsWith(QLatin1Char('/'))) path.chop(1);
    return path;
}

bool isAncestorOrSelf(const QString& folder, const QString& of) {
    return platform::pathIsWithin(of, folder);
}

// An installed copy: the install step left its marker beside the program's data, or the
// program sits in a folder on the PATH. Write permission cannot tell, as root may write anywhere.
bool isInstalledCopy(const QString& programFolder) {
    const QString marker =
        platform::joinPath(programFolder, QStringLiteral(DOV_INSTALLED_MARKER_RELATIVE));
    if (platform::followedPathFacts(marker)) return true;
    for (const QByteArray& entry : qgetenv("PATH").split(':')) {
        // An empty or relative entry names the current folder, wherever that is.
        if (entry.startsWith('/') &&
            platform::sameNode(platform::pathFromBytes(entry), programFolder))
            return true;
    }
    return false;
}

// A base folder from the environment, unless it is another user's (root keeping a user's
// environment under sudo).
QString ownBaseFromEnvironment(const char* name) {
    const QString base = withoutTrailingSlashes(platform::absolutePathFromEnvironment(name));
    if (base.isEmpty()) return {};
    const std::optional<platform::PathFacts> facts = platform::followedPathFacts(base);
    return !facts || facts->owner == platform::effectiveUser() ? base : QString();
}

// Makes the missing folders down to path, each private; never the home folder or one above it.
void makeMissingLevels(const QString& path, const QString& home) {
    if (platform::followedPathFacts(path)) return;
    if (home.isEmpty() || isAncestorOrSelf(path, home)) {
        const QString missing = path == home ? QStringLiteral("the home folder does not exist")
                                             : QStringLiteral("the home folder %1 does not exist")
                                                   .arg(platform::displayPath(home));
        throw platform::Failure(
            QStringLiteral("Cannot create %1: %2").arg(platform::displayPath(path), missing));
    }
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash > 0) makeMissingLevels(path.left(slash), home);
    platform::makeFolder(path, 0700);
}

struct OwnFolder {
    QString path;       // links followed
    bool made = false;  // made just now
    uint mode = 0;
};

// The program's folder under base, made private; one of the user's that lost its owner's bits
// is repaired, a link to a folder of the user's own is used, anything else is refused.
OwnFolder ownPrivateFolder(const QString& base, const QString& home, const QString& what,
                           Retry retry) {
    const QString folder = platform::joinPath(base, kProgramFolderName);
    makeMissingLevels(base, home);
    if (platform::makeFolder(folder, 0700)) return {folder, true, 0700};
    std::optional<platform::PathFacts> facts = platform::followedPathFacts(folder);
    const uint user = platform::effectiveUser();
    if (!facts || !facts->folder) {
        throw platform::Failure(
            QStringLiteral("Cannot use %1 as %2: it is not a folder. Remove it and %3.")
                .arg(platform::displayPath(folder), what, retryPhrase(retry)));
    }
    if (facts->owner != user) {
        throw platform::Failure(
            QStringLiteral("Cannot use %1 as %2: it belongs to user %3. Remove it, or set "
                           "%4 to a folder of your own.")
                .arg(platform::displayPath(folder), what, userName(facts->owner),
                     what == QLatin1String("the cache folder") ? QStringLiteral("XDG_CACHE_HOME")
                                                               : QStringLiteral("XDG_STATE_HOME")));
    }
    if ((facts->mode & 0700) != 0700) platform::setMode(folder, facts->mode | 0700);
    // The run opens its folder without following links: a link is used through its target.
    const std::optional<platform::PathFacts> at = platform::pathFacts(folder);
    QString used = folder;
    try {
        if (at && at->link) used = platform::systemfiles::followedPath({}, folder);
    } catch (const platform::Failure& failure) {
        platform::raiseSystemFailure(QStringLiteral("Cannot use"), folder, failure.error());
    }
    return {used, false, facts->mode};
}

// Made folders are known by their identity, recorded in the state folder as they are made.
const QString kMadeFoldersName = QStringLiteral("folders");
constexpr qsizetype kMadeFoldersKept = 16;

QByteArray identityLine(const platform::FileIdentity& identity) {
    return QByteArray::number(identity.device) + ' ' + QByteArray::number(identity.inode) + ' ' +
           QByteArray::number(identity.hasBirth ? identity.birthSeconds : -1) + ' ' +
           QByteArray::number(identity.birthNanoseconds) + ' ' +
           QByteArray::number(identity.hasGeneration ? qint64(identity.generation) : -1);
}

// The records; a file at that name that is not made of them is a file of the user's, never read
// as records nor written over.
QList<QByteArray> madeFolderLines(const QString& file) {
    QList<QByteArray> lines = platform::readRegularFile(file).value_or(QByteArray()).split('\n');
    lines.removeAll(QByteArray());
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 5 ||
            !std::all_of(fields.begin(), fields.end(), [](const QByteArray& f) {
                bool number = false;
                f.toLongLong(&number);
                if (!number) f.toULongLong(&number);
                return number;
            }))
            throw platform::Failure(QStringLiteral("%1 is not a record file of this program")
                                        .arg(platform::displayPath(file)));
    }
    return lines;
}

// The file of made folders' records. A failure to reach the state folder is never shown here (a
// folder without a record is judged as any other), so the way to try again does not matter.
QString madeFoldersFile() {
    return platform::joinPath(userStateFolder(Retry::PressStart), kMadeFoldersName);
}

// Without a record (no state folder, no lasting identity) the folder is judged as any other.
void recordMadeFolder(const QString& path) noexcept {
    try {
        const std::optional<platform::FileIdentity> identity = platform::folderIdentity(path);
        if (!identity || !identity->lasting()) return;
        const QString file = madeFoldersFile();
        QList<QByteArray> lines = madeFolderLines(file);
        lines.append(identityLine(*identity));
        if (lines.size() > kMadeFoldersKept) lines = lines.mid(lines.size() - kMadeFoldersKept);
        platform::replaceFile(file, lines.join('\n') + '\n', true);
    } catch (const platform::Failure&) {
    }
}

bool madeByProgram(const QString& path) noexcept {
    try {
        const std::optional<platform::FileIdentity> identity = platform::folderIdentity(path);
        return identity && isMadeFolder(*identity);
    } catch (const platform::Failure&) {
        return false;
    }
}

}  // namespace

bool isMadeFolder(const platform::FileIdentity& identity) noexcept {
    if (!identity.lasting()) return false;
    try {
        return madeFolderLines(madeFoldersFile()).contains(identityLine(identity));
    } catch (const platform::Failure&) {
        return false;
    }
}

namespace {

TestFolder cacheTestFolder(const QString& program, bool installed, Retry retry) {
    const QString home = userHome();
    QString base = ownBaseFromEnvironment("XDG_CACHE_HOME");
    if (base.isEmpty() && !home.isEmpty())
        base = platform::joinPath(home, QStringLiteral(".cache"));
    if (base.isEmpty()) {
        throw platform::Failure(
            QStringLiteral("Cannot create the test file in %1: %2, and the home folder is unknown")
                .arg(platform::displayPath(program),
                     installed ? QStringLiteral("an installed program's folder")
                               : QStringLiteral("the folder is not yours to write in")) +
            QStringLiteral(" (HOME is unset or /): set HOME or XDG_CACHE_HOME to a folder "
                           "of your own"));
    }
    const OwnFolder own = ownPrivateFolder(base, home, QStringLiteral("the cache folder"), retry);
    if (own.made) recordMadeFolder(own.path);
    // Neither its mode nor its name makes a folder the program's own; its record does.
    return {own.path, (own.mode & 0077) == 0 && madeByProgram(own.path)};
}

}  // namespace

QString userName(uint user) {
    const QString name = platform::userEntry(user).name;
    return name.isEmpty() ? QString::number(user) : name;
}

QString userHome() {
    // A HOME that does not exist stays the home: nothing is made for it, nor elsewhere instead.
    // The root folder is no home (root's HOME in a bare container, a service's): nothing of the
    // program's is made right below it.
    const auto usable = [](const QString& home) {
        return home == QLatin1String("/") ? QString() : home;
    };
    const QString fromEnvironment = usable(ownBaseFromEnvironment("HOME"));
    if (!fromEnvironment.isEmpty()) return fromEnvironment;
    return usable(withoutTrailingSlashes(platform::userEntry(platform::effectiveUser()).home));
}

TestFolder testFileFolder(platform::ProcessService& process, Retry retry) {
    const QString program = process.programFolder();
    const bool installed = isInstalledCopy(program);
    // A portable copy or the build folder: the file stays next to the program, as always, when
    // the folder is the user's. In a folder shared by users each keeps the file in a cache of
    // his own, so that no two users meet at one name.
    const std::optional<platform::PathFacts> facts = platform::followedPathFacts(program);
    if (!installed && facts && facts->owner == platform::effectiveUser() &&
        platform::mayCreateIn(program))
        return {program, false};
    return cacheTestFolder(program, installed, retry);
}

QString userStateFolder(Retry retry) {
    const QString home = userHome();
    QString base = ownBaseFromEnvironment("XDG_STATE_HOME");
    if (base.isEmpty() && !home.isEmpty())
        base = platform::joinPath(home, QStringLiteral(".local/state"));
    if (base.isEmpty()) {
        throw platform::Failure(QStringLiteral(
            "The home folder is unknown: HOME is unset or /, and the user database names no "
            "other; set HOME or XDG_STATE_HOME to a folder of your own"));
    }
    return ownPrivateFolder(base, home, QStringLiteral("the state folder"), retry).path;
}

}  // namespace ownership
