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
    QString testFileFolder() override { return folder; }
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
        double reading = now;
        now += stepPerReading;
        if (now >= 86400.0) now -= 86400.0;
        return reading;
    }
    double now = 36000.0;
    double stepPerReading = 0.0;
};

class FakeEventPump : public platform::EventPump {
public:
    void processPendingEvents() override {
        ++passes;
        if (onPass) onPass();
    }
    int passes = 0;
    std::function<void()> onPass;
};

}  // namespace fakes
