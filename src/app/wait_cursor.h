// Shows the wait cursor for the life of the object and restores the previous one on every path,
// including an edit that fails or throws.
#pragma once

#include <QGuiApplication>

namespace brindle {

class WaitCursor {
public:
    WaitCursor()
    {
        ++shownCount_;
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    }
    ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

    // How many times a wait cursor was shown in this process: lets a test tell that a command which
    // had nothing to do did not even show one.
    static int ShownCount() { return shownCount_; }

private:
    static inline int shownCount_ = 0;
};

}  // namespace brindle
