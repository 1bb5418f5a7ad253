// A station as the records see it, for the tests that need several
// processes on one database: it opens the records, and starts and completes
// boards one after another, printing each board's serial number.
//
//   records_station URL STATION FIRST-LAST COUNT   COUNT boards, each passed
//   records_station URL STATION FIRST-LAST hold    one board started, then
//                                                  waits to be killed
//
// Exit codes: 0 done, 1 the records could not be opened, 3 range used up.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "records/records.h"

using namespace dravel::records;

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: records_station URL STATION FIRST-LAST COUNT|hold\n");
        return 2;
    }
    std::string error;
    const auto range = ParseSerialRange(argv[3], error);
    const auto records = range ? Records::Open(argv[1], argv[2], error) : nullptr;
    if (!records) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const bool hold = std::string(argv[4]) == "hold";
    const int count = hold ? 1 : std::stoi(argv[4]);
    for (int board = 1; board <= count; ++board) {
        BoardRecord record;
        record.port = "1";
        record.device = "/dev/null";
        record.board = board;
        record.image = "image.bin";
        const auto started = records->StartWhenAvailable(record, range, {}, {});
        if (started.status != Records::StartStatus::Started) {
            std::printf("%s\n", started.message.c_str());
            return 3;
        }
        std::printf("%llu\n", static_cast<unsigned long long>(*record.serial));
        std::fflush(stdout);
        if (hold) {
            for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
        }
        record.outcome = Outcome::Passed;
        if (records->Complete(record).status == Records::CompleteStatus::Lost) return 1;
    }
    return 0;
}
