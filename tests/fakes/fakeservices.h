#pragma once

// One of each recording fake that the START run and the window are built on.

#include "fakes/fakedesktop.h"
#include "fakes/fakefiles.h"

namespace fakes {

struct FakeServices {
    FakeServices() { pump.clock = &clock; }
    FakeServices(const FakeServices&) = delete;
    FakeServices& operator=(const FakeServices&) = delete;

    FakeClock clock;
    FakeEventPump pump;
    FakeFiles files;
    FakeProcess process;
    FakeClipboard clipboard;
    FakePointer pointer;
    FakeMessageBox messages;
};

}  // namespace fakes
