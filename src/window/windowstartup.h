#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "measure/coreservices.h"

namespace window {

// The Qt platform the window should ask for, given the environment's QT_QPA_PLATFORM, DISPLAY
// and WAYLAND_DISPLAY; empty to leave Qt's own choice. Stay-on-top and centring only work on
// X11, so an X11 display (XWayland included) is preferred unless the user chose a platform.
QByteArray windowPlatform(const QByteArray& qtPlatform, const QByteArray& x11Display,
                          const QByteArray& waylandDisplay);

// Throws platform::Failure saying why the window cannot open here, before Qt would abort on it.
// Only what is cheap to know: no display at all, or a local X11 display nobody serves. A
// platform the user chose (-platform, or QT_QPA_PLATFORM other than xcb) is left to Qt.
void checkDisplay(const QStringList& toolkitOptions, const QByteArray& qtPlatform,
                  const QByteArray& x11Display, const QByteArray& waylandDisplay);

// Opens the window on the services main() built, runs it until QUIT and ends the process with
// its status; without a display, says so and ends with status 1. The process service must end
// the program through the event loop. toolkitOptions are those Qt takes from argv itself.
[[noreturn]] void runWindow(int argc, char* argv[], const QStringList& toolkitOptions,
                            measure::CoreServices services);

}  // namespace window
