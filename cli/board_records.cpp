#include "cli/board_records.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <stop_token>

#include "host/interrupts.h"
#include "host/local_state.h"
#include "output/console.h"
#include "output/exit_codes.h"
#include "output/transfer_output.h"

namespace dravel::cli {

namespace {

using records::Records;

constexpr const char* kRecordsUnreachable = "the records database cannot be reached";

std::string StationOf(const RecordsJob& job) { return job.station.empty() ? records::HostName() : job.station; }

// What the opening found of earlier runs, for the operator.
void SayWhatOpeningFound(const Records& opened, const std::function<void(const std::string&)>& say) {
    const Records::OpenSummary& summary = opened.Summary();
    if (summary.replayed > 0) {
        say("records: " + std::to_string(summary.replayed) + " record(s) of earlier runs committed from their journals");
    }
    if (summary.interrupted > 0) {
        say("records: " + std::to_string(summary.interrupted) +
            " board(s) of earlier runs that never ended marked interrupted");
    }
    if (!summary.warning.empty()) say("records: " + summary.warning);
}

records::Outcome OutcomeOf(int exitCode) {
    if (exitCode == kExitCompleted) return records::Outcome::Passed;
    if (IsInterruptedExit(exitCode)) return records::Outcome::Interrupted;
    return records::Outcome::Failed;
}

}  // namespace

void DeclareRecordsOptions(CLI::App& app, RecordsOptions& options) {
    app.add_option("--records", options.url,
                   "keep a record of every board: an SQLite file, or postgresql://... shared by stations")
        ->type_name("URL");
    app.add_option("--serial-range", options.serialRange, "with --records: give each board the next number of the range")
        ->type_name("FIRST-LAST");
    app.add_option("--stamp", options.stamp, "write the board's number into its image: u32le, u32be, u64le, u64be, ascii:N")
        ->type_name("OFFSET:FORMAT");
    app.add_option("--station", options.station, "with --records: the station's name (default the host name)")
        ->type_name("NAME");
    app.add_option("--export", options.exportFormat, "with --records: write the records to standard output")
        ->type_name("csv|jsonl");
    app.add_option("--since", options.since, "with --export: only the boards started at or after this UTC time")
        ->type_name("TIME");
}

bool RecordsJob::operator==(const RecordsJob& other) const {
    const auto rangeText = [](const RecordsJob& job) { return job.range ? job.range->text : std::string(); };
    const auto stampText = [](const RecordsJob& job) { return job.stamp ? job.stamp->text : std::string(); };
    return url == other.url && station == other.station && rangeText(*this) == rangeText(other) &&
           stampText(*this) == stampText(other) && exportFormat == other.exportFormat && since == other.since;
}

bool DescribeRecords(const RecordsOptions& options, bool sendsImage, std::optional<RecordsJob>& job,
                     std::string& error) {
    job.reset();
    if (options.url.empty()) {
        const std::pair<const std::string*, const char*> needing[] = {
            {&options.serialRange, "--serial-range"}, {&options.stamp, "--stamp"}, {&options.station, "--station"},
            {&options.exportFormat, "--export"},      {&options.since, "--since"}};
        for (const auto& [value, name] : needing) {
            if (!value->empty()) {
                error = std::string(name) + " needs --records";
                return false;
            }
        }
        return true;
    }
    RecordsJob described;
    described.url = options.url;
    described.station = options.station;
    if (!options.exportFormat.empty()) {
        described.exportFormat = records::ParseExportFormat(options.exportFormat);
        if (!described.exportFormat) {
            error = "--export takes csv or jsonl, not \"" + options.exportFormat + "\"";
            return false;
        }
        if (!options.serialRange.empty() || !options.stamp.empty()) {
            error = "--export writes records out; --serial-range and --stamp are for flashing";
            return false;
        }
    }
    if (!options.since.empty()) {
        if (!described.exportFormat) {
            error = "--since is for --export";
            return false;
        }
        described.since = records::ParseSince(options.since, error);
        if (!described.since) return false;
    }
    if (!options.serialRange.empty()) {
        described.range = records::ParseSerialRange(options.serialRange, error);
        if (!described.range) return false;
    }
    if (!options.stamp.empty()) {
        if (!described.range) {
            error = "--stamp needs --serial-range: a number to stamp";
            return false;
        }
        if (!sendsImage) {
            error = "--stamp needs an image to stamp; this transfer kind sends none";
            return false;
        }
        described.stamp = records::ParseStamp(options.stamp, error);
        if (!described.stamp) return false;
    }
    job = std::move(described);
    return true;
}

void AppendRecordsArguments(const std::optional<RecordsJob>& job, std::vector<std::string>& arguments) {
    if (!job) return;
    arguments.insert(arguments.end(), {"--records", job->url});
    if (!job->station.empty()) arguments.insert(arguments.end(), {"--station", job->station});
    if (job->range) arguments.insert(arguments.end(), {"--serial-range", job->range->text});
    if (job->stamp) arguments.insert(arguments.end(), {"--stamp", job->stamp->text});
    if (job->exportFormat) {
        arguments.insert(arguments.end(),
                         {"--export", *job->exportFormat == records::ExportFormat::Csv ? "csv" : "jsonl"});
    }
    if (job->since) arguments.insert(arguments.end(), {"--since", *job->since});
}

std::string RecordsUsageProblem(const std::optional<RecordsJob>& job, const std::string& imagePath) {
    if (!job || !job->stamp || !job->range) return {};
    std::error_code error;
    if (!std::filesystem::is_regular_file(imagePath, error)) return {};
    const uintmax_t size = std::filesystem::file_size(imagePath, error);
    if (error) return {};
    return RecordsUsageProblem(job, size);
}

std::string RecordsUsageProblem(const std::optional<RecordsJob>& job, uint64_t imageSize) {
    if (!job || !job->stamp || !job->range) return {};
    const uint64_t size = imageSize;
    std::string problem;
    if (!records::CheckStamp(*job->stamp, size, *job->range, problem)) return problem;
    return {};
}

std::optional<int> CheckRecordsReachable(const RecordsJob& job, bool quiet, bool json) {
    output::Console console(quiet, json);
    std::string error;
    const std::unique_ptr<Records> opened = Records::Open(job.url, StationOf(job), error);
    if (!opened) {
        console.Cause(error);
        return kExitPortFatal;
    }
    SayWhatOpeningFound(*opened, [&](const std::string& text) { console.Cause(text); });
    return std::nullopt;
}

int RunExportJob(const RecordsJob& job) {
    std::string error;
    if (!job.exportFormat) return kExitUsage;
    if (records::ExportRecords(job.url, *job.exportFormat, job.since, std::cout, error)) return kExitCompleted;
    output::Console(false).Cause(error);
    return kExitPortFatal;
}

BoardRecords::BoardRecords(const std::optional<RecordsJob>& job, bool waitForDatabase)
    : m_job(job), m_waitForDatabase(waitForDatabase) {}

BoardRecords::~BoardRecords() = default;

std::unique_ptr<Records> BoardRecords::OpenRecords(output::TransferOutput& output, int& exitCode) {
    std::string error;
    std::unique_ptr<Records> opened = Records::Open(m_job->url, StationOf(*m_job), error);
    if (opened || !m_waitForDatabase) {
        if (!opened) {
            output.Cause(error);
            exitCode = kExitPortFatal;
        }
        return opened;
    }
    // A station's child: the station found the database at its start, so
    // this is an outage; the board waits for it with nothing sent.
    std::stop_source stop;
    InterruptWatcher interrupts([&](std::string_view) { stop.request_stop(); });
    std::mutex pause;
    std::condition_variable_any wake;
    std::string said;
    while (!opened) {
        if (error != said) {
            output.Remark("waiting for the records database: " + error);
            said = error;
        }
        std::unique_lock lock(pause);
        wake.wait_for(lock, stop.get_token(), Records::kRetryInterval, [] { return false; });
        if (stop.stop_requested()) {
            exitCode = interrupts.ExitCode() ? interrupts.ExitCode() : kExitInterrupted;
            return nullptr;
        }
        error.clear();
        opened = Records::Open(m_job->url, StationOf(*m_job), error);
    }
    return opened;
}

std::optional<int> BoardRecords::Begin(Board board, output::TransferOutput& output) {
    if (!m_job) return std::nullopt;
    int exitCode = kExitCompleted;
    m_records = OpenRecords(output, exitCode);
    if (!m_records) {
        output.End(exitCode, IsInterruptedExit(exitCode) ? "interrupted" : kRecordsUnreachable);
        return exitCode;
    }
    SayWhatOpeningFound(*m_records, [&](const std::string& text) { output.Remark(text); });

    m_record.port = board.port;
    m_record.device = board.device;
    if (board.number) m_record.board = *board.number;
    m_record.attempts = 1;
    if (KindSendsFile(board.kind)) {
        m_record.image = board.image;
        // The caller reads the image whole when records are kept: a stamp
        // needs the bytes, and the record's digest is of what was sent.
        if (!board.bytes) return output.EndImageNotOpened(board.image + ": not read for its serial number");
        m_image = std::move(board.bytes);
        m_record.unstampedSha256 = output::Sha256Hex(*m_image);
        m_record.sha256 = m_record.unstampedSha256;
    }

    std::stop_source stop;
    Records::StartResult started;
    {
        InterruptWatcher interrupts([&](std::string_view) { stop.request_stop(); });
        started = m_records->StartWhenAvailable(m_record, m_job->range, stop.get_token(),
                                                [&](const std::string& why) { output.Remark(why); });
        exitCode = interrupts.ExitCode();
    }
    switch (started.status) {
    case Records::StartStatus::Started: break;
    case Records::StartStatus::RangeUsedUp:
        // The board gets no byte, and no record: there is no number to keep.
        output.Cause(started.message);
        output.End(kExitFailed, started.message);
        return kExitFailed;
    case Records::StartStatus::Unavailable:
        output.Remark("no board was started: " + started.message);
        output.End(exitCode ? exitCode : kExitInterrupted, "interrupted");
        return exitCode ? exitCode : kExitInterrupted;
    case Records::StartStatus::Refused:
        output.Cause(started.message);
        output.End(kExitPortFatal, started.message);
        return kExitPortFatal;
    }
    {
        std::lock_guard lock(m_mutex);
        m_started = true;
    }
    if (m_record.serial) output.SetSerial(*m_record.serial);

    if (m_job->stamp && m_image && m_record.serial) {
        std::string error;
        if (!records::ApplyStamp(*m_job->stamp, *m_record.serial, *m_image, error)) {
            // Checked before any board; the record still says why this one failed.
            output.Cause("--stamp " + error);
            return Complete(kExitFailed, output);
        }
        m_record.sha256 = output::Sha256Hex(*m_image);
    }
    if (m_image) {
        output::ImageDigest digest = board.digest;
        digest.size = m_image->size();
        digest.sha256 = m_record.sha256;
        output.SetImage(digest);
    }
    return std::nullopt;
}

int BoardRecords::Complete(int exitCode, output::TransferOutput& output, int attempts,
                           const std::optional<std::string>& banner) {
    std::lock_guard lock(m_mutex);
    if (!m_started || m_completed) return exitCode;
    m_completed = true;
    m_record.attempts = attempts;
    if (banner) m_record.banner = *banner;
    m_record.outcome = OutcomeOf(exitCode);
    if (exitCode != kExitCompleted) {
        m_record.cause = output.LastCause();
        if (m_record.cause.empty()) m_record.cause = output.ResultText();
        if (m_record.cause.empty()) m_record.cause = "exit status " + std::to_string(exitCode);
    }
    const Records::CompleteResult completed = m_records->Complete(m_record);
    switch (completed.status) {
    case Records::CompleteStatus::Committed: break;
    case Records::CompleteStatus::Journaled: output.Remark(completed.message); break;
    case Records::CompleteStatus::Lost:
        output.Cause(completed.message);
        if (exitCode == kExitCompleted) exitCode = kExitFailed;
        break;
    }
    return exitCode;
}

}  // namespace dravel::cli
