// Values made once, on first use, by code that runs Python.
#pragma once

namespace tessel {

// The value `make` makes, made on first use and kept for the life of the process.
// A function-local static would hold its guard while `make` runs Python, which
// may let another thread run; that thread, asking for the same value with the GIL
// held, would wait on the guard forever.  Under the GIL the check and the store
// below are one step, so two threads may both make the value, and the first kept
// wins.  Each call site passes a lambda of its own type, and so gets its own slot.
template <typename T, typename Make> const T &made_once(Make &&make) {
    static T *kept = nullptr;
    if (!kept) {
        T *made = new T(make());
        if (!kept)
            kept = made;
        else
            delete made;
    }
    return *kept;
}

}  // namespace tessel
