#pragma once

#include <QByteArray>

#include "measure/coreservices.h"

namespace window {

// The Qt platform the window should ask for, given the environment's QT_QPA_PLATFORM, DISPLAY
// and WAYLAND_DISPLAY; empty to leave Qt's own choice. Stay-on-top and centring only work on
// X11, so an X11 display (XWayland included) is preferred unless the user chose a platform.
QByteArray windowPlatform(const QByteArray& qtPlatform, const QByteArray& x11Display,
                          const QByteArray& waylandDisplay);

// Opens the window on the services main() built, runs it until QUIT and ends the process with
// its status. The process service must end the program through the event loop.
[[noreturn]] void runWindow(int argc, char* argv[], measure::CoreServices services);

}  // namespace window
