#pragma once

#include <QString>
#include <string_view>

#include "ownership/retry.h"

namespace platform {
class FileService;
}

namespace ownership {

class Journal;

// Where a test file is about to be made.
struct TestFilePlace {
    int folder = 0;      // the file service's handle
    QString folderPath;  // as the service opened it
    QString name;
    // The folder the program made (TestFolder::privateFolder); it counts only while the folder
    // opened has the identity recorded when it was made.
    bool privateFolder = false;
};

// Makes way for a new test file: returns when nothing is at the name or a leftover of the
// program's own was taken back (by its identity, locked, with one link); throws
// platform::Failure saying what the file is and what to do otherwise, ending with the way to try
// again that retry names. The journal's records decide which leftover is the program's own and
// lose those whose file is gone.
void makeWayForTestFile(platform::FileService& files, const TestFilePlace& place, Journal& journal,
                        std::string_view line, Retry retry);

}  // namespace ownership
