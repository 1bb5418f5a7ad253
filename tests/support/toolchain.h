// Test support: firmware images made at test time by the real toolchain.
//
// The GNU assembler and linker for ARM (Debian binutils-arm-none-eabi) link
// a program; its objcopy and SRecord's srec_cat (Debian srecord) write it as
// the formats a person brings. objcopy's own flat image of a file is what a
// reader's image is compared with. Record lines for hand-made damage come
// from RecordLine and its two formats.
//
// Threads: plain functions; the tools run as child processes to their end.
//
// Failures: a tool that fails fails the test with its own words (a gtest
// assertion; callers check HasFatalFailure()). DRAVEL_SKIP_WITHOUT skips a
// test whose tools are not installed.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "tests/support/files.h"

namespace dravel::testing {

// The tool's path as the shell would find it, or "".
std::string OnPath(const std::string& tool);
// The first of the tools that is not installed, or "".
std::string Missing(std::initializer_list<std::string> tools);

#define DRAVEL_SKIP_WITHOUT(...)                                                                              \
    if (const std::string missing = ::dravel::testing::Missing({__VA_ARGS__}); !missing.empty()) {            \
        GTEST_SKIP() << missing << " is not installed (Debian: binutils-arm-none-eabi, srecord)";             \
    }

// Runs a tool found on the path; a failure fails the test with its words.
void Tool(std::vector<std::string> argv);

// `count` varied bytes for an assembler source.
std::string ByteLines(std::size_t count, unsigned seed);

struct Program {
    std::string source;
    std::string script;
    std::string prefix = "arm-none-eabi-";  // "" for the host's binutils
    std::vector<std::string> endian = {"-EL"};
    std::vector<std::string> linkOptions = {};
};

// The source every layout links: code, constants, initialised data, zeroed
// data and a section that only ever lives in RAM; the script places them.
std::string StandardSource();

// Code in flash with a gap before its constants (at 0x08000200, followed by
// `tailBytes` varied bytes), initialised data loaded after them while it runs
// in RAM, zeroed data, and a RAM-only section that is discarded.
Program FlashAndRamProgram(std::size_t tailBytes, unsigned seed);

// Assembles and links in the folder: app.o, app.elf; the ELF file's path.
std::string Link(const TempDir& dir, const Program& program);

// objcopy's flat image of `path` (-O binary --gap-fill 0xff), read by the
// BFD target `bfdName` ("" for ELF, "ihex", "srec").
std::string ObjcopyFlat(const TempDir& dir, const std::string& path, const std::string& bfdName,
                        const std::string& prefix = "arm-none-eabi-");

// A record's line: its bytes in hex, then the checksum (the two's
// complement of their sum for Intel HEX, the ones' complement for S-records).
std::string RecordLine(std::string line, std::vector<unsigned> bytes, bool onesComplement);
std::string HexRecord(unsigned type, unsigned offset, std::vector<unsigned> data);
std::string Srec(int type, unsigned address, std::vector<unsigned> data);

}  // namespace dravel::testing
