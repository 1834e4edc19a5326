#pragma once

// A Form1 wired to recording fakes, plus a fake drive catalogue.

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <exception>
#include <functional>
#include <memory>
#include <thread>

#include "driveinfo/drivecatalogue.h"
#include "driveinfo/mounttablewatcher.h"
#include "fakes/fakedrives.h"
#include "fakes/fakeservices.h"
#include "measure/inlinesteprunner.h"
#include "platform/offthread.h"
#include "window/form1.h"

namespace windowtest {

class FakeCatalogue : public driveinfo::DriveCatalogue {
public:
    QList<driveinfo::DriveEntry> drives() override { return entries; }
    QString driveHolding(const QString&) override { return holding; }

    void remove(const QString& root) {
        entries.removeIf([&](const driveinfo::DriveEntry& e) { return e.mountRoot == root; });
    }
    // As a volume slow to answer does once its label comes.
    void answerLate(qsizetype entry, const QString& label) {
        entries[entry].volumeName = label;
        lateAnswerCame();
    }

    QList<driveinfo::DriveEntry> entries;
    QString holding;
};

// Runs each phase as InlineStepRunner does; a test may hook in before the work.
class HookedStepRunner : public measure::InlineStepRunner {
public:
    std::function<void()> beforeWork;
    int phases = 0;

protected:
    bool runStep(const std::function<void()>& work, Limit limit) override {
        ++phases;
        if (beforeWork) beforeWork();
        return InlineStepRunner::runStep(work, limit);
    }
};

// Runs each query on a thread of its own and waits for it, so that its answer comes in place as
// with platform::inPlace(), but off the window's thread.
class JoinedOffThread : public platform::OffThread {
public:
    void start(QObject*, std::function<void()> work, std::function<void(bool)> done,
               Limit) override {
        done(wait(std::move(work)));
    }
    bool wait(std::function<void()> work, Limit = kNoLimit) override {
        measure::runJoined(work);
        return true;
    }
};

// The window's services: the recording fakes, and the drive side the test chooses.
inline window::WindowServices windowServices(fakes::FakeServices& fake,
                                             std::shared_ptr<driveinfo::DriveService> drives,
                                             driveinfo::DriveCatalogue& catalogue,
                                             measure::StepRunner& phases,
                                             driveinfo::MountTableWatcher* watcher) {
    // Each reading moves the clock on, so every wait ends after a few passes.
    fake.clock.stepPerReading = 0.01;
    fake.process.folder = QStringLiteral("/prog");
    window::WindowServices services{fake.clock,     fake.pump,    fake.files,    fake.process,
                                    fake.clipboard, fake.pointer, fake.messages, drives,
                                    catalogue,      phases,       watcher};
    services.testFolder = [&fake] { return ownership::TestFolder{fake.process.folder, false}; };
    return services;
}

// A fixed disk of 8000 MB with 4000 MB free, as Drive1_Change would show it.
inline fakes::FakeDriveData fixedDisk(const QString& volumeName) {
    return {driveinfo::DriveType::Fixed, volumeName, 8e9, 4e9};
}

struct Harness : fakes::FakeServices {
    Harness() {
        catalogue.entries = {{QStringLiteral("/"), QString()},
                             {QStringLiteral("/home"), QStringLiteral("HOME")},
                             {QStringLiteral("/media/stick"), QStringLiteral("STICK")}};
        catalogue.holding = QStringLiteral("/home");
        for (const auto& entry : catalogue.entries)
            drives.drives.insert(entry.mountRoot, fixedDisk(entry.volumeName));
        files.failCallsOnWindowThread();
        drives.checkThread = true;
        rebuildForm();
    }

    // A fresh window over the same fakes, e.g. after the catalogue was changed.
    void rebuildForm() {
        form.reset();
        window::WindowServices services =
            windowServices(*this, driveService, catalogue, phases, &watcher);
        services.offThread = &queries;
        form = std::make_unique<window::Form1>(services);
    }

    // Shows the window and makes it active, as the desktop would.
    bool activate() {
        form->show();
        QApplication::setActiveWindow(form.get());
        return QTest::qWaitForWindowActive(form.get());
    }
    bool loadAndActivate() {
        form->Form_Load();
        return activate();
    }

    template <typename Control>
    Control* control(const char* name) const {
        return form->findChild<Control*>(QString::fromLatin1(name));
    }
    QComboBox* combo1() const { return control<QComboBox>("Combo1"); }
    QComboBox* drive1() const { return control<QComboBox>("Drive1"); }
    QPushButton* command1() const { return control<QPushButton>("Command1"); }
    QPushButton* command2() const { return control<QPushButton>("Command2"); }
    QLineEdit* text(int number) const {
        return control<QLineEdit>(QStringLiteral("Text%1").arg(number).toLatin1().constData());
    }
    QStringList drive1Roots() const {
        QStringList roots;
        for (int i = 0; i < drive1()->count(); ++i) roots.append(drive1()->itemData(i).toString());
        return roots;
    }

    std::shared_ptr<fakes::FakeDriveService> driveService =
        std::make_shared<fakes::FakeDriveService>();
    fakes::FakeDriveService& drives = *driveService;
    FakeCatalogue catalogue;
    HookedStepRunner phases;
    JoinedOffThread queries;
    // Watches nothing; the tests emit its signal themselves.
    driveinfo::MountTableWatcher watcher{QStringLiteral("/nonexistent-dov-root")};
    std::unique_ptr<window::Form1> form;
};

}  // namespace windowtest
