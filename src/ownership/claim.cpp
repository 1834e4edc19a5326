#include "ownership/claim.h"

#include "ownership/folders.h"
#include "ownership/journal.h"
#include "ownership/leftoverrule.h"
#include "platform/failure.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/userfolders.h"

namespace ownership {

namespace {

QString refusal(Verdict verdict, const QString& shown, uint owner, Retry retry) {
    const QString again = retryPhrase(retry);
    const QString deleteAndRetry =
        QStringLiteral("If an interrupted run left it, delete it and %1.").arg(again);
    const QString moveAway = QStringLiteral(
                                 "If it is yours, move it elsewhere; if an interrupted run left "
                                 "it, delete it and %1.")
                                 .arg(again);
    switch (verdict) {
        case Verdict::InUse:
            return QStringLiteral(
                       "%1 is in use by another run of this program; it was left "
                       "untouched.")
                .arg(shown);
        case Verdict::NotAFile:
            return QStringLiteral(
                       "%1 already exists and is not a file (a folder, a link or a "
                       "device); it was left untouched. Move it elsewhere and %2.")
                .arg(shown, again);
        case Verdict::Shared:
            return QStringLiteral(
                       "%1 already exists and has other names (hard links); it was "
                       "left untouched. %2")
                .arg(shown, moveAway);
        case Verdict::OtherUser:
            return QStringLiteral(
                       "%1 already exists and belongs to user %2; it was left "
                       "untouched. Ask %2 to delete it, or use another folder.")
                .arg(shown, userName(owner));
        case Verdict::Empty:
            return QStringLiteral("%1 already exists and is empty; it was left untouched. %2")
                .arg(shown, deleteAndRetry);
        case Verdict::TooShort:
            return QStringLiteral(
                       "%1 already exists and holds less than one whole test line of "
                       "this program; it was left untouched. %2")
                .arg(shown, moveAway);
        case Verdict::NotTestLines:
        case Verdict::Ours:
            break;
    }
    return QStringLiteral(
               "%1 already exists and is not made of this program's test lines; it "
               "was left untouched. If it is yours, move it elsewhere and %2.")
        .arg(shown, again);
}

}  // namespace

void makeWayForTestFile(platform::FileService& files, const TestFilePlace& place, Journal& journal,
                        std::string_view line, Retry retry) {
    Verdict verdict = Verdict::Ours;
    const Standing standing{false, place.privateFolder, platform::effectiveUser()};
    const platform::LeftoverLook look = files.takeLeftover(
        place.folder, place.name,
        [&](const platform::FoundFile& file, const platform::ByteReader& read) {
            Standing known = standing;
            known.recorded = journal.vouchesFor(place.folderPath, place.name, file.identity);
            // The folder opened is the one the program made, by the kernel's key, not by path.
            known.privateFolder = place.privateFolder && isMadeFolder(file.folder);
            verdict = judgeLeftover(file, known, read, line);
            return verdict == Verdict::Ours;
        });
    // A record whose file is gone, or is another file by now, vouches for nothing any more.
    if (!look.present || look.removed ||
        !journal.vouchesFor(place.folderPath, place.name, look.file.identity))
        journal.forget(place.folderPath, place.name);
    if (!look.present || look.removed) return;
    if (!look.file.regular) verdict = Verdict::NotAFile;  // never opened, nor judged
    // Judged ours, but it gained a name or changed before it could be deleted.
    else if (verdict == Verdict::Ours)
        verdict = Verdict::Shared;
    const QString shown = platform::displayPath(platform::joinPath(place.folderPath, place.name));
    throw platform::Failure(refusal(verdict, shown, look.file.owner, retry));
}

}  // namespace ownership
