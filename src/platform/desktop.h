#pragma once

#include <QString>

namespace platform {

// Modal box with the program's title, the warning icon and one OK button.
class MessageBoxService {
public:
    virtual ~MessageBoxService() = default;
    virtual void showMessage(const QString& text) = 0;
};

// The application-wide mouse pointer: wait cursor or default.
class PointerService {
public:
    virtual ~PointerService() = default;
    virtual void setBusy(bool busy) = 0;
};

class ClipboardService {
public:
    virtual ~ClipboardService() = default;
    virtual void clear() = 0;
    virtual void setText(const QString& text) = 0;
};

}  // namespace platform
