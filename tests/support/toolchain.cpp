#include "tests/support/toolchain.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "tests/support/process.h"

namespace dravel::testing {

std::string OnPath(const std::string& tool) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::filesystem::path candidate = std::filesystem::path(folder) / tool;
        if (std::filesystem::exists(candidate)) return candidate.string();
    }
    return {};
}

std::string Missing(std::initializer_list<std::string> tools) {
    for (const std::string& tool : tools) {
        if (OnPath(tool).empty()) return tool;
    }
    return {};
}

void Tool(std::vector<std::string> argv) {
    argv[0] = OnPath(argv[0]);
    const RunResult run = Run(argv);
    ASSERT_EQ(run.exitCode, 0) << argv[0] << ": " << run.err;
}

std::string ByteLines(std::size_t count, unsigned seed) {
    std::string text;
    unsigned state = seed;
    for (std::size_t i = 0; i < count; ++i) {
        state = state * 1103515245u + 12345u;
        text += (i % 16 == 0 ? "\n  .byte " : ",") + std::to_string((state >> 16) & 0xFF);
    }
    return text + "\n";
}

std::string StandardSource() {
    return "  .global _start\n  .section .text,\"ax\"\n_start:" + ByteLines(300, 1) +
           "  .section .rodata,\"a\"" + ByteLines(40, 2) + "  .section .data,\"aw\"" + ByteLines(24, 3) +
           "  .bss\n  .space 64\n  .section .ramonly,\"aw\"" + ByteLines(8, 4);
}

Program FlashAndRamProgram(std::size_t tailBytes, unsigned seed) {
    return {StandardSource() + "  .section .tail,\"a\"" + ByteLines(tailBytes, seed),
            "MEMORY { FLASH (rx) : ORIGIN = 0x08000000, LENGTH = 64K\n"
            "         RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 16K }\n"
            "SECTIONS { .text : { *(.text) } > FLASH\n"
            "  .rodata 0x08000200 : { *(.rodata) *(.tail) } > FLASH\n"
            "  .data : { *(.data) } > RAM AT> FLASH\n  .bss : { *(.bss) } > RAM\n"
            "  /DISCARD/ : { *(.ramonly) } }"};
}

std::string Link(const TempDir& dir, const Program& program) {
    WriteWholeFile(dir / "app.s", program.source);
    WriteWholeFile(dir / "app.ld", program.script);
    std::vector<std::string> assemble = {program.prefix + "as", "-o", dir / "app.o", dir / "app.s"};
    std::vector<std::string> link = {program.prefix + "ld", "-T", dir / "app.ld", "-o", dir / "app.elf", dir / "app.o"};
    assemble.insert(assemble.end(), program.endian.begin(), program.endian.end());
    link.insert(link.end(), program.endian.begin(), program.endian.end());
    link.insert(link.end(), program.linkOptions.begin(), program.linkOptions.end());
    Tool(assemble);
    Tool(link);
    return dir / "app.elf";
}

std::string ObjcopyFlat(const TempDir& dir, const std::string& path, const std::string& bfdName,
                        const std::string& prefix) {
    const std::string reference = dir / "reference.bin";
    std::vector<std::string> objcopy = {prefix + "objcopy", "-O", "binary", "--gap-fill", "0xff", path, reference};
    if (!bfdName.empty()) objcopy.insert(objcopy.begin() + 1, {"-I", bfdName});
    Tool(objcopy);
    return ReadWholeFile(reference);
}

std::string RecordLine(std::string line, std::vector<unsigned> bytes, bool onesComplement) {
    unsigned sum = 0;
    for (const unsigned b : bytes) sum += b;
    bytes.push_back((onesComplement ? ~sum : -sum) & 0xFF);
    for (const unsigned b : bytes) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02X", b);
        line += digits;
    }
    return line + "\n";
}

std::string HexRecord(unsigned type, unsigned offset, std::vector<unsigned> data) {
    std::vector<unsigned> bytes = {static_cast<unsigned>(data.size()), offset >> 8 & 0xFF, offset & 0xFF, type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    return RecordLine(":", bytes, false);
}

std::string Srec(int type, unsigned address, std::vector<unsigned> data) {
    const int widths[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    const int width = widths[type];
    std::vector<unsigned> bytes = {static_cast<unsigned>(width + data.size() + 1)};
    for (int i = width - 1; i >= 0; --i) bytes.push_back(address >> (8 * i) & 0xFF);
    bytes.insert(bytes.end(), data.begin(), data.end());
    return RecordLine("S" + std::to_string(type), bytes, true);
}

}  // namespace dravel::testing
