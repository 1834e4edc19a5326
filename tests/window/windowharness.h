#pragma once

// A Form1 wired to recording fakes, plus fakes of the drive catalogue and drive service.

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMap>
#include <QPushButton>
#include <functional>
#include <memory>

#include "driveinfo/drivecatalogue.h"
#include "fakes/fakedesktop.h"
#include "fakes/fakefiles.h"
#include "measure/phaserunner.h"
#include "platform/drives.h"
#include "platform/failure.h"
#include "window/form1.h"

namespace windowtest {

class FakeCatalogue : public driveinfo::DriveCatalogue {
public:
    QList<driveinfo::DriveEntry> drives() override { return entries; }
    QString driveHolding(const QString&) override { return holding; }

    void remove(const QString& root) {
        entries.removeIf([&](const driveinfo::DriveEntry& e) { return e.mountRoot == root; });
    }

    QList<driveinfo::DriveEntry> entries;
    QString holding;
};

class FakeDrive : public platform::Drive {
public:
    explicit FakeDrive(QString name) : name_(std::move(name)) {}
    int driveType() override { return 2; }
    QString volumeName() override { return name_; }
    double totalSize() override { return 8e9; }
    double freeSpace() override { return 4e9; }

private:
    QString name_;
};

// Every query is counted, so a test can tell whether Drive1_Change ran.
class FakeDriveService : public platform::DriveService {
public:
    std::unique_ptr<platform::Drive> getDrive(const QString& spec) override {
        queried.append(spec);
        if (!mounted.contains(spec))
            throw platform::Failure(QStringLiteral("Drive %1 is not ready").arg(spec));
        return std::make_unique<FakeDrive>(mounted.value(spec));
    }
    QMap<QString, QString> mounted;  // mount root -> volume name
    QStringList queried;
};

// Runs each phase inline; a test may hook in before the work.
class HookedPhaseRunner : public measure::PhaseRunner {
public:
    void run(const std::function<void()>& work) override {
        ++phases;
        if (beforeWork) beforeWork();
        work();
    }
    std::function<void()> beforeWork;
    int phases = 0;
};

struct Harness {
    Harness() {
        catalogue.entries = {{QStringLiteral("/"), QString()},
                             {QStringLiteral("/home"), QStringLiteral("HOME")},
                             {QStringLiteral("/media/stick"), QStringLiteral("STICK")}};
        catalogue.holding = QStringLiteral("/home");
        for (const auto& entry : catalogue.entries)
            drives.mounted.insert(entry.mountRoot, entry.volumeName);
        process.folder = QStringLiteral("/prog");
        // Each reading moves the clock on, so every wait ends after a few passes.
        clock.stepPerReading = 0.01;
        rebuildForm();
    }

    // A fresh window over the same fakes, e.g. after the catalogue was changed.
    void rebuildForm() {
        form.reset();
        form = std::make_unique<window::Form1>(
            window::WindowServices{clock, pump, files, process, clipboard, pointer, messages,
                                   drives, catalogue, phases, &watcher});
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

    fakes::FakeClock clock;
    fakes::FakeEventPump pump;
    fakes::FakeFiles files;
    fakes::FakeProcess process;
    fakes::FakeClipboard clipboard;
    fakes::FakePointer pointer;
    fakes::FakeMessageBox messages;
    FakeDriveService drives;
    FakeCatalogue catalogue;
    HookedPhaseRunner phases;
    driveinfo::MountWatcher watcher;
    std::unique_ptr<window::Form1> form;
};

}  // namespace windowtest
