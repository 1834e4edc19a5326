#pragma once

// Where the program keeps its files for the user: the test file's folder, the cache folder and
// the state folder. The user's folders stay the user's: nothing is made in another user's
// home, no missing parent of the home folder is made, and the program's own folders are made
// private (0700) whatever the umask.

#include <QString>

#include "ownership/retry.h"
#include "platform/files.h"

namespace platform {
class ProcessService;
}

namespace ownership {

struct TestFolder {
    QString path;
    // A folder the program made and recorded by its identity, still private: a test file there
    // is the program's own whatever it holds. A mode, a name or a link never make it so.
    bool privateFolder = false;
};

// The program folder for a portable copy (a build folder, or a folder the program was copied
// to) the user owns and may create a file in; for an installed copy, whoever runs it, a folder
// the user may not write to, or one of another user's (a portable copy shared by users), the
// user's cache folder for the program, made on first use. Throws platform::Failure when neither
// can be had, its advice ending with the way to try again that retry names.
TestFolder testFileFolder(platform::ProcessService& process, Retry retry);

// True when the program made the folder of this identity and recorded it: a lasting identity
// (birth time or generation) found among the records in the state folder.
bool isMadeFolder(const platform::FileIdentity& identity) noexcept;

// The user's state folder for the program ($XDG_STATE_HOME/dov-uruvivuz, by default
// ~/.local/state/dov-uruvivuz), made on first use; throws platform::Failure, as testFileFolder.
QString userStateFolder(Retry retry);

// The home folder of the user running the program: HOME when it is the user's own, else the
// user database's. Empty when neither is known, or is the root folder.
QString userHome();

// The name of a user for messages: the user database's, else the number.
QString userName(uint user);

}  // namespace ownership
