#pragma once

#include <QString>
#include <optional>

#include "measure/runresult.h"

namespace measure {

// The size a front end asks the run for.
struct SizeAsked {
    // The test lines, where the front end has read the size once already (the command line,
    // which refuses a bad size before anything starts).
    std::optional<int> lines;
    // Else the size as given, read by the size rule after the first wait, as it may change
    // until then; empty is no size at all.
    QString text;
};

// What a front end hears from the START run and what the run asks of it. The window and the
// command line implement it; tests use a fake.
class RunView {
public:
    virtual ~RunView() = default;
    virtual SizeAsked sizeAsked() = 0;
    // The root of the drive chosen now, empty when none is; throws platform::Failure when the
    // chosen drive is gone.
    virtual QString driveChosen() = 0;
    // The run began: START is taken until runEnded.
    virtual void runStarted() = 0;
    // The result as it stands: finished is the timed phase whose time was just added, None when
    // the result was emptied (at START, and when its times turned out not valid).
    virtual void resultChanged(const RunResult& result, Phase finished) = 0;
    // The wait between the steps, while the front end's events are handled; a stop during it
    // ends the run through SpeedTest::stop().
    virtual void waitBetweenSteps(double seconds) = 0;
    // The run is over and the program goes on; not told when the program is ending.
    virtual void runEnded(const RunResult& result) = 0;
};

}  // namespace measure
