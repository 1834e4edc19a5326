#pragma once

#include <functional>

class QEvent;
class QObject;

namespace measure {

// Runs one step of a run to completion, a timed phase or untimed work on a drive, and rethrows
// its failure. The threaded implementation keeps the window thread's event loop turning
// meanwhile (repaint, desktop pings) but holds back user input and anything else that would run
// a window handler until the next wait.
class StepRunner {
public:
    virtual ~StepRunner() = default;

    void run(const std::function<void()>& work) {
        ++depth_;
        struct Leave {
            int& depth;
            ~Leave() { --depth; }
        } leave{depth_};
        runStep(work);
    }

    // True while a step runs; the window defers its own refreshes meanwhile. Read and written
    // on the window thread only.
    bool busy() const { return depth_ > 0; }

    // Input for which passes(receiver, event) holds is handled during a phase instead of at
    // the next wait: the window lets QUIT and its close request through, which end the program.
    void setInputThatPasses(std::function<bool(QObject*, QEvent*)> passes) {
        passes_ = std::move(passes);
    }

protected:
    // True inside a phase started from within another phase.
    bool nested() const { return depth_ > 1; }
    virtual void runStep(const std::function<void()>& work) = 0;
    bool inputPasses(QObject* receiver, QEvent* event) const {
        return passes_ && passes_(receiver, event);
    }

private:
    std::function<bool(QObject*, QEvent*)> passes_;
    int depth_ = 0;
};

}  // namespace measure
