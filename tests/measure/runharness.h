#pragma once

// A window stand-in for the START run, and the run wired to it and to a set of services.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <array>
#include <functional>

#include "driveinfo/driveanswers.h"
#include "fakes/fakedrives.h"
#include "fakes/fakeservices.h"
#include "measure/inlinesteprunner.h"
#include "measure/resulttext.h"
#include "measure/runview.h"
#include "measure/speedtest.h"
#include "platform/drives.h"
#include "platform/failure.h"

namespace measuretest {

// One line of the test file as it must lie on disk, written out here rather than taken from
// the program so that a wrong line in the program shows.
inline const QByteArray kTestLine =
    QByteArrayLiteral("123456789012345678901234567890123456789012345678\r\n");

// What the run says of a TEST.TXT at path that it did not write, by what it is: "lines" (not
// made of test lines), "empty", "short", "links", "not a file", or "user NAME".
inline QString notOursMessage(const QString& path, const QString& what = QStringLiteral("lines")) {
    const QString moveOrDelete = QStringLiteral(
        "If it is yours, move it elsewhere; if an interrupted run left it, delete it and press "
        "START again.");
    QString text = QStringLiteral(
        "%1 already exists and is not made of this program's test lines; it was left untouched. "
        "If it is yours, move it elsewhere and press START again.");
    if (what == QLatin1String("empty"))
        text = QStringLiteral(
            "%1 already exists and is empty; it was left untouched. If an "
            "interrupted run left it, delete it and press START again.");
    if (what == QLatin1String("short"))
        text = QStringLiteral(
                   "%1 already exists and holds less than one whole test line of this "
                   "program; it was left untouched. ") +
               moveOrDelete;
    if (what == QLatin1String("links"))
        text = QStringLiteral(
                   "%1 already exists and has other names (hard links); it was left "
                   "untouched. ") +
               moveOrDelete;
    if (what == QLatin1String("not a file"))
        text = QStringLiteral(
            "%1 already exists and is not a file (a folder, a link or a device); "
            "it was left untouched. Move it elsewhere and press START again.");
    if (what.startsWith(QLatin1String("user ")))
        text = QStringLiteral(
                   "%1 already exists and belongs to user %2; it was left untouched. Ask "
                   "%2 to delete it, or use another folder.")
                   .arg(QStringLiteral("%1"), what.mid(5));
    return text.arg(path);
}

// The window as the run sees it, and the drive panel's liveness check.
class FakeRunView : public measure::RunView, public driveinfo::DriveLiveness {
public:
    measure::SizeAsked sizeAsked() override { return {std::nullopt, size}; }
    QString driveChosen() override {
        ++driveReads;
        return drive;
    }
    void checkAnswers(const QString& mountRoot) override {
        answerChecks.append(mountRoot);
        if (!answering)
            throw platform::Failure(QStringLiteral("Drive %1 does not answer").arg(mountRoot));
    }
    void runStarted() override { setStartEnabled(false); }
    void resultChanged(const measure::RunResult& result, measure::Phase) override { show(result); }
    void runEnded(const measure::RunResult& result) override {
        show(result);
        setStartEnabled(true);
    }
    void show(const measure::RunResult& result) {
        const std::array<QString, 3> texts = measure::formatTimes(result);
        std::copy(texts.begin(), texts.end(), boxes.begin() + 1);
    }
    void setStartEnabled(bool enabled) {
        startEnabled = enabled;
        startHistory.append(enabled);
    }
    void waitBetweenSteps(double seconds) override {
        ++waits;
        pauseLengths.append(seconds);
        if (onPause) onPause(waits);
    }

    QString size = QStringLiteral("10");
    QString drive = QStringLiteral("/media/stick");
    std::array<QString, 4> boxes{};  // [1] .. [3] are Text1 .. Text3
    bool startEnabled = true;
    QList<bool> startHistory;
    int waits = 0;
    int driveReads = 0;
    QStringList answerChecks;
    bool answering = true;
    QList<double> pauseLengths;
    // Runs inside the n-th wait (1 to 4), as an event handled there would.
    std::function<void(int wait)> onPause;
};

// What the failure path adds to a failure's message while the drive's copy stays.
inline QString driveCopyNote(const QString& target) {
    return QStringLiteral(
               "\nWhere the drive still holds it, the run's copy of the test file stays at %1; "
               "the next run on that drive removes it.")
        .arg(target);
}

// One SpeedTest over the members of Services (clock, files, process, clipboard, pointer,
// messages, volumes); phases run inline unless the test gives a runner.
template <class Services>
struct BasicRunHarness : Services {
    explicit BasicRunHarness(measure::StepRunner* runner = nullptr)
        : speedTest(view,
                    measure::RunServices{this->clock, this->files, this->process, &this->clipboard,
                                         this->pointer, this->messages,
                                         runner ? *runner : inlineRunner, view, &this->volumes}) {
        // Over fake files the local test file lies in the fake program folder.
        speedTest.setTestFolderFinder([this] {
            return ownership::TestFolder{this->process.folder, false};
        });
    }

    QString localPath() { return this->process.programFolder() + QStringLiteral("/TEST.TXT"); }
    QString targetPath() const { return view.drive + QStringLiteral("/TEST.TXT"); }

    FakeRunView view;
    measure::InlineStepRunner inlineRunner;
    measure::SpeedTest speedTest;
};

struct FakeRunServices : fakes::FakeServices {
    fakes::FakeVolumeQueries volumes;  // no figures for any volume unless a test gives some
};

// The run over recording fakes only, with the program in /opt/dov.
struct RunHarness : BasicRunHarness<FakeRunServices> {
    explicit RunHarness(measure::StepRunner* runner = nullptr) : BasicRunHarness(runner) {
        process.folder = QStringLiteral("/opt/dov");
        files.failCallsOnWindowThread();
        volumes.checkThread = true;
    }
};

}  // namespace measuretest
