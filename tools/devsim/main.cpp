// dravel-devsim: a stand-in for the device's loader on a pseudo-terminal, a
// real serial line or a terminal server of its own (RFC 2217), for tests,
// demos and soak runs of the download tool.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "board_model.h"
#include "cli/command_line.h"
#include "com_port_server.h"
#include "device_loop.h"
#include "fault_plan.h"
#include "frame_parser.h"
#include "line.h"
#include "loader.h"
#include "options.h"
#include "network/com_port_client.h"

namespace dravel::devsim {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitRunFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitTimeout = 3;
constexpr int kExitHungUp = 4;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

class Environment final : public LoaderEnvironment {
public:
    Environment(std::string imagePath, std::FILE* log) : m_imagePath(std::move(imagePath)), m_log(log) {}

    void Log(std::string_view line) override {
        if (m_log == nullptr) return;
        std::fprintf(m_log, "%.*s\n", static_cast<int>(line.size()), line.data());
        // Tests read the log while we run; a line must be whole once written.
        std::fflush(m_log);
    }

    bool StoreImage(std::span<const uint8_t> image) override {
        // Written beside OUT and renamed, so a reader never sees half an image.
        const std::string temporary = m_imagePath + ".devsim-" + std::to_string(::getpid()) + ".tmp";
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return Fail("open " + temporary, errno);
        std::size_t done = 0;
        while (done < image.size()) {
            const ssize_t put = ::write(fd, image.data() + done, image.size() - done);
            if (put < 0 && errno == EINTR) continue;
            if (put < 0) {
                const int code = errno;
                ::close(fd);
                ::unlink(temporary.c_str());
                return Fail("write " + temporary, code);
            }
            done += static_cast<std::size_t>(put);
        }
        if (::fsync(fd) != 0 || ::close(fd) != 0) {
            const int code = errno;
            ::unlink(temporary.c_str());
            return Fail("write " + temporary, code);
        }
        if (::rename(temporary.c_str(), m_imagePath.c_str()) != 0) {
            const int code = errno;
            ::unlink(temporary.c_str());
            return Fail("rename " + temporary + " to " + m_imagePath, code);
        }
        return true;
    }

private:
    bool Fail(const std::string& what, int code) {
        std::fprintf(stderr, "devsim: cannot store the image: %s: %s\n", what.c_str(), std::strerror(code));
        return false;
    }

    std::string m_imagePath;
    std::FILE* m_log;
};

// The terminal server's client, as the board sees it: its DTR and RTS reset
// the board, and every SET-CONTROL goes to the control log.
class BoardWiring final : public ModemObserver {
public:
    BoardWiring(BoardModel& board, Loader& loader, FrameParser& parser, LoaderEnvironment& environment,
                std::FILE* controlLog)
        : m_board(board), m_loader(loader), m_parser(parser), m_environment(environment), m_controlLog(controlLog) {}

    void OnConnected(Clock::time_point now, const std::string& peer) override {
        m_board.OnConnected(now);
        m_environment.Log("client " + peer + " connected");
    }

    void OnRequest(const ComPortRequest& request, Clock::time_point now) override {
        if (request.command == rfc2217::PURGE_DATA) {
            // The server's transmit buffer: what the client sent that has
            // not yet reached the board.
            if ((request.value & 2) != 0) m_parser.Reset();
            return;
        }
        if (m_controlLog != nullptr) {
            const double ms = std::chrono::duration<double, std::milli>(now.time_since_epoch()).count();
            std::fprintf(m_controlLog, "%.3f %u %s\n", ms, unsigned{request.value}, ControlName(request.value).c_str());
            std::fflush(m_controlLog);
        }
        const BoardModel::Reset reset = m_board.OnControl(request.value, now);
        if (reset == BoardModel::Reset::None) return;
        m_loader.Restart();
        m_parser.Reset();
        const bool intoLoader = reset == BoardModel::Reset::IntoLoader;
        m_environment.Log(std::string(intoLoader ? "reset into the loader" : "reset into the application") +
                          " (DTR off " + std::to_string(m_board.LastPulse().count()) + " ms, RTS " +
                          (intoLoader ? "on" : "off") + ")");
    }

    void OnDisconnected(Clock::time_point, const std::string& why) override {
        m_environment.Log("client gone (" + why + ")");
    }

private:
    BoardModel& m_board;
    Loader& m_loader;
    FrameParser& m_parser;
    LoaderEnvironment& m_environment;
    std::FILE* m_controlLog;
};

std::unique_ptr<Line> OpenLine(const Options& options, uint32_t baud, ModemObserver& observer, std::string& error) {
    if (!options.listen.empty()) {
        const auto address = ParseListenUrl(options.listen, error);
        if (!address) return nullptr;
        return OpenListener({address->first, address->second}, options.portFile, observer, error);
    }
    return options.link.empty() ? OpenTty(options.tty, baud, error) : OpenPtyLink(options.link, error);
}

void PrintSummary(const LoaderStats& stats, const std::string& image) {
    std::printf("devsim: frames=%llu resends=%llu crc_failures=%llu bytes_stored=%llu image=%s\n",
                static_cast<unsigned long long>(stats.frames), static_cast<unsigned long long>(stats.resends),
                static_cast<unsigned long long>(stats.badFrames),
                static_cast<unsigned long long>(stats.bytesStored), image.c_str());
    std::fflush(stdout);
}

int Run(int argc, char** argv) {
    Options options;
    CLI::App app("", "dravel-devsim");
    command_line::Prepare(app);
    DescribeOptions(app, options);
    if (const auto status = command_line::Parse(app, argc, argv)) return *status;
    if (const auto reason = CheckOptions(options)) return command_line::UsageError(app, *reason);
    std::string error;

    std::unique_ptr<std::FILE, FileCloser> log;
    if (!options.log.empty()) {
        log.reset(std::fopen(options.log.c_str(), "we"));
        if (!log) {
            std::fprintf(stderr, "dravel-devsim: cannot open log %s: %s\n", options.log.c_str(), std::strerror(errno));
            return kExitUsage;
        }
    }
    std::unique_ptr<std::FILE, FileCloser> controlLog;
    if (!options.controlLog.empty()) {
        controlLog.reset(std::fopen(options.controlLog.c_str(), "we"));
        if (!controlLog) {
            std::fprintf(stderr, "dravel-devsim: cannot open control log %s: %s\n", options.controlLog.c_str(),
                         std::strerror(errno));
            return kExitUsage;
        }
    }

    // Signals are blocked from here on, so a SIGTERM during setup still
    // ends in a clean exit that removes the link.
    const SignalGuard signals;
    const auto started = std::chrono::steady_clock::now();
    const uint32_t baud = options.baud.value_or(115200);

    // A real UART delivers a byte per character time; below a few hundred
    // baud that alone would look like an idle gap.
    const auto characterTime = std::chrono::nanoseconds(10'000'000'000LL / baud);
    const auto idleGap = std::max<std::chrono::nanoseconds>(options.idleGap, 3 * characterTime);

    Environment environment(options.image, log.get());
    Loader loader(environment, FaultPlan(options.faults), options.repeat);
    BoardModel board(options.board);
    LoaderGate gate(loader, board, environment);
    FrameParser parser(gate, idleGap);
    BoardWiring wiring(board, loader, parser, environment, controlLog.get());

    std::unique_ptr<Line> line = OpenLine(options, baud, wiring, error);
    if (!line) {
        std::fprintf(stderr, "dravel-devsim: %s\n", error.c_str());
        return kExitUsage;
    }
    std::fprintf(stderr, "devsim: ready %s\n", line->Describe().c_str());

    LoopSettings settings;
    if (options.baud && line->NeedsPacing()) settings.bytesPerSecond = std::max<uint32_t>(1, *options.baud / 10);
    if (options.timeout) settings.deadline = started + *options.timeout;

    const LoopResult result = RunDevice(*line, parser, loader, board, settings, signals, error);
    line->Close();
    PrintSummary(loader.Stats(), options.image);

    switch (result) {
    case LoopResult::Finished: return kExitOk;
    case LoopResult::HungUp: return kExitHungUp;
    case LoopResult::Timeout:
        std::fprintf(stderr, "devsim: gave up after the --timeout of %.3f s\n",
                     std::chrono::duration<double>(*options.timeout).count());
        return kExitTimeout;
    case LoopResult::Signal: return 128 + SignalGuard::Caught();
    case LoopResult::LineFailed: std::fprintf(stderr, "devsim: %s\n", error.c_str()); return kExitRunFailure;
    case LoopResult::ImageFailed: return kExitRunFailure;
    }
    return kExitRunFailure;
}

}  // namespace
}  // namespace dravel::devsim

int main(int argc, char** argv) { return dravel::devsim::Run(argc, argv); }
