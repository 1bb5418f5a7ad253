#include "tests/gui/gui_test_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <optional>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/image.h>
#include <wx/init.h>
#include <wx/uiaction.h>

#include "tests/support/scoped_env.h"

namespace dravel::guitest {

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    wxEventLoopBase* loop = wxEventLoopBase::GetActive();
    std::unique_ptr<wxGUIEventLoop> own;
    std::optional<wxEventLoopActivator> activator;
    if (loop == nullptr) {
        own = std::make_unique<wxGUIEventLoop>();
        activator.emplace(own.get());
        loop = own.get();
    }
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        loop->DispatchTimeout(10);
        wxTheApp->ProcessPendingEvents();
        wxTheApp->ProcessIdle();
    }
    return true;
}

void PumpFor(std::chrono::milliseconds duration) {
    const auto until = std::chrono::steady_clock::now() + duration;
    PumpUntil([until] { return std::chrono::steady_clock::now() >= until; }, duration + 1s);
}

void Click(wxWindow* window) {
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PumpUntil([window] { return window->IsShownOnScreen(); }));
    PumpFor(50ms);
    const wxSize size = window->GetSize();
    wxUIActionSimulator simulator;
    simulator.MouseMove(window->ClientToScreen(wxPoint(size.x / 2, size.y / 2)));
    PumpFor(30ms);
    simulator.MouseClick();
    PumpFor(60ms);
}

void WhenIdle(std::function<void()> fn) { wxTheApp->CallAfter(std::move(fn)); }

void SendCharHook(wxWindow* window, int keyCode) {
    wxKeyEvent event(wxEVT_CHAR_HOOK);
    event.m_keyCode = keyCode;
    event.SetEventObject(window);
    window->GetEventHandler()->ProcessEvent(event);
}

}  // namespace dravel::guitest

namespace {

class GuiTestApp final : public wxApp {
public:
    bool OnInit() override { return true; }  // no command line of its own
};

// A failed toolkit assertion is a failed test, never a dialog nobody closes.
void FailOnAssert(const wxString& file, int line, const wxString& func, const wxString& cond, const wxString& msg) {
    ADD_FAILURE() << "wx assertion in " << func.utf8_string() << " (" << file.utf8_string() << ":" << line
                  << "): " << cond.utf8_string() << " " << msg.utf8_string();
}

}  // namespace

int main(int argc, char** argv) {
    // Windows of a test go on a private virtual display, never on a desktop
    // someone is using: the program runs itself again through the launcher,
    // which marks the environment so this happens once. (Under Wine the
    // test's command line brings a display of its own.)
#ifndef _WIN32
    if (std::getenv("DRAVEL_ON_VIRTUAL_DISPLAY") == nullptr) {
        bool listing = false;
        for (int i = 1; i < argc; ++i) listing = listing || std::string(argv[i]) == "--gtest_list_tests";
        if (!listing) {
            std::vector<char*> args;
            std::string shell = "/bin/bash";
            std::string launcher = DRAVEL_SOURCE_DIR "/tests/gui/run_on_virtual_display.sh";
            args.push_back(shell.data());
            args.push_back(launcher.data());
            for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
            args.push_back(nullptr);
            ::execv(shell.c_str(), args.data());
            std::perror("cannot run the virtual display launcher");
            return 2;
        }
    }
#endif
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();  // listing needs no display

    // The port dialog's OK keeps the ports' devices in the user's settings:
    // a test's go to a scratch folder, never into the real home.
    std::random_device entropy;
    const std::filesystem::path settings =
        std::filesystem::temp_directory_path() / ("dravel-gui-settings-" + std::to_string(entropy()));
    std::filesystem::create_directories(settings);
    const dravel::testing::ScopedEnv xdg("XDG_CONFIG_HOME", settings.string());
    const dravel::testing::ScopedEnv appData("APPDATA", settings.string());

    wxApp::SetInstance(new GuiTestApp);
    int wxArgc = 1;
    char* wxArgv[] = {argv[0], nullptr};
    if (!wxEntryStart(wxArgc, wxArgv)) {
        std::fprintf(stderr, "cannot start the toolkit (is there a display?)\n");
        return 2;
    }
    wxTheApp->CallOnInit();
    wxSetAssertHandler(FailOnAssert);
    wxInitAllImageHandlers();
    const int result = RUN_ALL_TESTS();
    wxTheApp->OnExit();
    wxEntryCleanup();
    std::error_code ignored;
    std::filesystem::remove_all(settings, ignored);
    return result;
}
