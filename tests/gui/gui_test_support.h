// Test support for the desktop program: a wx application that the test
// program starts itself, event pumping with a deadline, clicks that go
// through the X server like a person's, and finding the windows on screen.
//
// Threads: everything here runs on the user-interface thread (the test's
// main thread). Every wait is bounded.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <wx/toplevel.h>
#include <wx/window.h>

namespace dravel::guitest {

using namespace std::chrono_literals;

// Dispatches events (also inside a modal dialog's loop) until done() holds
// or the timeout has run out; returns done().
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s);
void PumpFor(std::chrono::milliseconds duration);

// Moves the pointer to the middle of the window and clicks, through the X
// server, then lets the toolkit see the result.
void Click(wxWindow* window);

// Runs fn on the user-interface thread once the current (modal) event loop
// is running: the way a test acts inside a dialog's ShowModal.
void WhenIdle(std::function<void()> fn);

// The shown top-level window of type T, or nullptr.
template <class T>
T* FindShown() {
    for (wxWindow* window : wxTopLevelWindows) {
        if (auto* found = dynamic_cast<T*>(window); found && found->IsShown()) return found;
    }
    return nullptr;
}

// Sends a key to a window as the toolkit's char hook sees it.
void SendCharHook(wxWindow* window, int keyCode);

}  // namespace dravel::guitest
