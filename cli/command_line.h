// How every dravel program reads its command line: CLI11, with the same
// rules everywhere - "--name value" and "--name=value", -h and --help, and
// --version from the one version number of the build; a bad command line is
// said on standard error with the usage and ends with exit status 2.
//
// Header only; any thread, but a command line is read once, in main().
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <optional>
#include <string>

#include "dravel_version.h"

namespace dravel::command_line {

inline constexpr int kExitUsage = 2;

// A program's parser with the shared conventions applied.
inline void Prepare(CLI::App& app) {
    app.set_version_flag("--version", std::string(app.get_name()) + " " + DRAVEL_VERSION);
    // A path such as /tmp/image.bin is a path on every platform, never a
    // /option (CLI11's Windows default).
    app.allow_windows_style_options(false);
    app.get_formatter()->label("Usage", "usage");
    app.get_formatter()->column_width(26);
    app.option_defaults()->always_capture_default(false);
}

// The usage line of the help, for a short reminder after a mistake.
inline std::string UsageLine(const CLI::App& app) {
    const std::string help = app.help();
    const std::size_t start = help.find("usage:");
    if (start == std::string::npos) return {};
    return help.substr(start, help.find('\n', start) - start);
}

// Says what is wrong with the command line and how it is used; the exit status.
inline int UsageError(const CLI::App& app, const std::string& error) {
    std::fprintf(stderr, "%s: %s\n%s\nRun %s --help for the options.\n", app.get_name().c_str(), error.c_str(),
                 UsageLine(app).c_str(), app.get_name().c_str());
    return kExitUsage;
}

// Parses the command line. Nothing when the program goes on; otherwise the
// exit status it ends with (0 after --help or --version, 2 after a mistake).
inline std::optional<int> Parse(CLI::App& app, int argc, const char* const* argv) {
    try {
        app.parse(argc, argv);
        return std::nullopt;
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::CallForVersion&) {
        std::printf("%s\n", app.version().c_str());
        return 0;
    } catch (const CLI::ParseError& error) {
        return UsageError(app, error.what());
    }
}

}  // namespace dravel::command_line
