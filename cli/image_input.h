// The image a command-line job sends, made ready before any line is touched.
//
// What it owns: reading the file as given, or standard input for "-", and
// turning it into the image that is sent: an ELF, Intel HEX or S-record file
// flattened with the job's --base, --fill and --max-size (image/image.h),
// anything else byte for byte. A .bin, a pipe whose name promises no format
// and a raw file too large to be read whole are sent from the file as they
// always were; a text-line transfer (kind 1) sends its file as it is, since
// its lines are the protocol itself.
//
// A station (gang, watch) converts once, in the parent: StationImage writes
// the flat image into a folder of its own and hands the children a job that
// sends that file under the name the user gave. Every board then gets the
// same bytes, standard input is read once, a refusal is said once, and a
// file rebuilt on disk during a long watch cannot reach half of the boards.
//
// Threads: the thread that runs the job; nothing is started.
//
// Failures: a prepared image that cannot be sent carries `error`, one line
// for standard error naming the file (and for a refused conversion the line
// or section and the address); the job then ends as an image that does not
// open, with exit 3, before any port is opened. Reading is bounded by
// kLargestImageRead, whatever the file or the pipe holds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cli/job_description.h"
#include "image/image.h"
#include "output/report.h"

namespace dravel::cli {

// What is read whole to be converted (or to be sent from standard input);
// a larger raw file is sent from the disk as it is read.
inline constexpr uint64_t kLargestImageRead = uint64_t{512} << 20;

struct PreparedImage {
    std::string name;  // as the user gave it ("-": standard input)
    ImageFormat format = ImageFormat::Raw;
    std::optional<uint64_t> base;  // the address of the first byte sent, where it is known
    // The image as sent; nothing when it goes from the file named `name` as it is read.
    std::optional<std::vector<uint8_t>> bytes;
    std::optional<std::string> sha256;        // of the bytes above
    std::optional<std::string> sourceSha256;  // of the file as given
    std::string error;                        // empty when it can be sent

    // "ihex, base 0x08000000, 1040 bytes": the trace's first line.
    std::string Describe() const;
    // What the report and the events say of it (a file sent as it is read
    // is digested by output::DigestImage, and Complete() adds the rest).
    output::ImageDigest Digest() const;
    void Complete(output::ImageDigest& digest) const;
};

// The name every text of the job gives its image.
std::string ImageNameOf(const JobDescription& job);

// Reads and converts the job's image (for kinds that send one); a raw file
// is left to be sent from the disk where `mayStream`. An interrupt while it
// reads (standard input from a person, a pipe) ends the process at once with
// 130 or 143: nothing is open then. No other InterruptWatcher may exist.
PreparedImage PrepareImage(const JobDescription& job, bool mayStream = true);

class StationImage {
public:
    explicit StationImage(const JobDescription& job);
    ~StationImage();
    StationImage(const StationImage&) = delete;
    StationImage& operator=(const StationImage&) = delete;

    const std::string& Error() const { return m_error; }
    // The job each child runs: the station's own, with the flat image in
    // place of its file where it was converted or read from standard input.
    const JobDescription& ChildJob() const { return m_childJob; }

private:
    JobDescription m_childJob;
    std::string m_error;
    std::filesystem::path m_folder;  // empty: nothing written
};

// --convert: the flat image to the job's convertTo, and its format, base,
// size and digests on standard output (on standard error when the image
// itself goes to standard output). The exit status: 0, 3 for an image that
// is refused, 2 for an output that cannot be written.
int RunConvertJob(const JobDescription& job);

}  // namespace dravel::cli
