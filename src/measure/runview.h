#pragma once

#include <QString>
#include <optional>

namespace measure {

// What the START run needs from the window. The window implements it; tests use a fake.
class RunView {
public:
    virtual ~RunView() = default;
    virtual QString sizeText() = 0;  // Combo1's text
    // The size as test lines where the front end has read it once already (the command line,
    // which refuses a bad size before anything starts); none: the run reads sizeText() by the
    // size rule, after the first wait, as the box may change until then.
    virtual std::optional<int> sizeLines() { return std::nullopt; }
    // Mount root of Drive1's current entry; only reads the selection.
    virtual QString selectedMountRoot() = 0;
    // The run's step before it opens the drive: throws when the drive at mountRoot does not
    // answer within a few seconds, so that a hung drive fails the run instead of holding it.
    virtual void checkDriveAnswers(const QString& mountRoot) = 0;
    virtual void clearResults() = 0;
    // box is 1, 2 or 3 (Text1 ... Text3)
    virtual void setTimeText(int box, const QString& text) = 0;
    virtual QString timeText(int box) = 0;
    virtual void setStartEnabled(bool enabled) = 0;
    // Form1's Pause: waits while the window's pending events are handled.
    virtual void pause(double seconds) = 0;
    // True once QUIT (or the close box) ran inside a wait; the run then does nothing more.
    virtual bool programEnded() = 0;
};

}  // namespace measure
