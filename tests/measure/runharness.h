#pragma once

// A window stand-in for the START run and a bundle of fakes to run it against.

#include <QString>
#include <QStringList>
#include <array>
#include <functional>

#include "fakes/fakedesktop.h"
#include "fakes/fakefiles.h"
#include "measure/inlinephaserunner.h"
#include "measure/runview.h"
#include "measure/speedtest.h"

namespace measuretest {

class FakeRunView : public measure::RunView {
public:
    QString sizeText() override { return size; }
    QString driveSpec() override {
        ++driveReads;
        return drive;
    }
    void clearResults() override {
        ++clears;
        boxes.fill(QString());
    }
    void setTimeText(int box, const QString& text) override { boxes.at(box) = text; }
    QString timeText(int box) override { return boxes.at(box); }
    void setStartEnabled(bool enabled) override {
        startEnabled = enabled;
        startHistory.append(enabled);
    }
    void pause(double seconds) override {
        ++waits;
        pauseLengths.append(seconds);
        if (onPause) onPause(waits);
    }
    bool programEnded() override { return ended; }

    QString size = QStringLiteral("10");
    QString drive = QStringLiteral("/media/stick");
    std::array<QString, 4> boxes{};  // [1] .. [3] are Text1 .. Text3
    bool startEnabled = true;
    QList<bool> startHistory;
    int clears = 0;
    int waits = 0;
    int driveReads = 0;
    QList<double> pauseLengths;
    bool ended = false;
    // Runs inside the n-th wait (1 to 4), as an event handled there would.
    std::function<void(int wait)> onPause;
};

// Every collaborator of one SpeedTest, all fakes unless the test swaps the runner.
struct RunHarness {
    explicit RunHarness(measure::PhaseRunner* runner = nullptr)
        : speedTest(view, measure::RunServices{clock, files, process, clipboard, pointer, messages,
                                               runner ? *runner : inlineRunner}) {
        process.folder = QStringLiteral("/opt/dov");
    }

    QString localPath() const { return process.folder + QStringLiteral("/TEST.TXT"); }
    QString targetPath() const { return view.drive + QStringLiteral("/TEST.TXT"); }
    QString clipboardLine() const { return clipboard.text; }

    FakeRunView view;
    fakes::FakeClock clock;
    fakes::FakeFiles files;
    fakes::FakeProcess process;
    fakes::FakeClipboard clipboard;
    fakes::FakePointer pointer;
    fakes::FakeMessageBox messages;
    measure::InlinePhaseRunner inlineRunner;
    measure::SpeedTest speedTest;
};

}  // namespace measuretest
