#pragma once

// Small recording fakes of the desktop and process services, shared by the tests.

#include <QString>
#include <QStringList>
#include <functional>

#include "platform/clock.h"
#include "platform/desktop.h"
#include "platform/eventpump.h"
#include "platform/process.h"

namespace fakes {

class FakeMessageBox : public platform::MessageBoxService {
public:
    void showMessage(const QString& text) override { shown.append(text); }
    QStringList shown;
};

class FakePointer : public platform::PointerService {
public:
    void setBusy(bool value) override {
        busy = value;
        history.append(value);
    }
    bool busy = false;
    QList<bool> history;
};

class FakeClipboard : public platform::ClipboardService {
public:
    void clear() override {
        text.clear();
        ++clears;
    }
    void setText(const QString& value) override {
        text = value;
        ++sets;
    }
    QString text = QStringLiteral("untouched");
    int clears = 0;
    int sets = 0;
};

class FakeProcess : public platform::ProcessService {
public:
    bool previousInstanceRunning() override { return otherInstance; }
    void releaseInstance() override { ++releaseCalls; }
    QString programFolder() override { return folder; }
    void endProgram() override { ++endCalls; }
    bool otherInstance = false;
    QString folder;
    int endCalls = 0;
    int releaseCalls = 0;
};

// A clock the test moves by hand; each reading can also advance it by a fixed step so that
// busy waits terminate.
class FakeClock : public platform::Clock {
public:
    double secondsSinceLocalMidnight() override {
        const double reading = now;
        advance(stepPerReading);
        return reading;
    }
    void advance(double seconds) {
        now += seconds;
        if (now >= 86400.0) now -= 86400.0;
    }
    void beginStopWatch() override { watchStart = stops; }
    platform::Stops endStopWatch() override {
        return {stops.count - watchStart.count, stops.seconds - watchStart.seconds};
    }
    // The process is stopped for that long (Ctrl+Z, then fg): the clock runs on meanwhile.
    void stopFor(double seconds) {
        advance(seconds);
        ++stops.count;
        stops.seconds += seconds;
    }
    double now = 36000.0;
    double stepPerReading = 0.0;
    platform::Stops stops;
    platform::Stops watchStart;
};

// Each wait runs onPass, then lets the whole wait pass on the clock, as a quiet real loop would
// (onPass may move the clock itself, as an event that took time).
class FakeEventPump : public platform::EventPump {
public:
    bool waitForEvents(int maxMilliseconds) override {
        ++passes;
        waitedMilliseconds.append(maxMilliseconds);
        if (onPass) onPass();
        if (clock) clock->advance(maxMilliseconds / 1000.0);
        return !toldToEnd;
    }
    FakeClock* clock = nullptr;
    int passes = 0;
    QList<int> waitedMilliseconds;
    bool toldToEnd = false;
    std::function<void()> onPass;
};

}  // namespace fakes
