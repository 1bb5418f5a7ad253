// The exit statuses of dravel-cli, one name each, for every part of the
// command line: a single transfer, a gang of them, a watch, and the events
// and the report that repeat the status.
//
// Header only; constants.
#pragma once

namespace dravel {

inline constexpr int kExitCompleted = 0;
// What the protocol ends the process with when the port cannot be opened
// (the desktop program's own exit, kept by CMainFrame).
inline constexpr int kExitPortFatal = 1;
// A bad command line, or a report or trace file that cannot be written; the
// same status every dravel program's command line ends with
// (command_line::kExitUsage).
inline constexpr int kExitUsage = 2;
// "Transfer Error !! ", an image that does not open, or a watch in which a
// board failed.
inline constexpr int kExitFailed = 3;
// No answer to the sync probes within --sync-timeout.
inline constexpr int kExitNoAnswer = 4;
// Delivered but not confirmed: the transfer completed, and no line of the
// board's output matched --expect in time.
inline constexpr int kExitNotConfirmed = 5;
// 128 plus the signal: Ctrl+C (SIGINT) and SIGTERM, as the interrupt
// watcher reports them on every platform.
inline constexpr int kExitInterrupted = 130;
inline constexpr int kExitTerminated = 143;

constexpr bool IsInterruptedExit(int exitCode) {
    return exitCode == kExitInterrupted || exitCode == kExitTerminated;
}

}  // namespace dravel
