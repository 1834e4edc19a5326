#pragma once

// The two groups of figures: the run's phases against plain references, and whole runs of the
// command-line program.

#include <string>

namespace bench {

void registerPhaseFigures();
void registerWholeRunFigures();
// The load of the test files' records, which runs outside the timed phases.
void registerRecordFigures();

// Where the whole runs keep their local test file: the program decides it (next to a copy it
// may write into), so it may lie on another disk than the one measured.
struct WholeRunPlaces {
    std::string localFolder;
    bool onOtherDisk = false;
};
WholeRunPlaces wholeRunPlaces();

}  // namespace bench
