// Images as toolchains write them. The files are made at test time by the
// GNU assembler and linker and converted by objcopy and srec_cat; objcopy's
// own flat image of each file (-O binary --gap-fill 0xff) is the oracle.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "image/image.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/toolchain.h"

namespace dravel {
namespace {

using testing::HexRecord;
using testing::Link;
using testing::Program;
using testing::ReadWholeFile;
using testing::Srec;
using testing::StandardSource;
using testing::TempDir;
using testing::Tool;
using testing::WriteWholeFile;

ImageResult Load(const std::string& name, const std::string& bytes, const ImageOptions& options = {}) {
    return LoadImage(name, std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), options);
}

// ZeroPhysicalAddresses: the ELF file as linkers write it that leave every
// program header's physical address 0 (32-bit little-endian files only).
enum class Conversion {
    Elf, ObjcopyHex, ObjcopySrec, LinearHex, SegmentHex, S19, S28, S37, LowerCaseCrLfHex, ZeroPhysicalAddresses
};

struct Layout {
    const char* name;
    Program program;
    uint64_t base;
    std::vector<Conversion> conversions;
};

// Makes the file of one conversion from the linked program; returns its
// path and the name objcopy reads it by.
std::pair<std::string, std::string> Convert(const TempDir& dir, const std::string& elf, Conversion conversion,
                                            const std::string& prefix) {
    const std::string objcopy = prefix + "objcopy";
    const std::string hex = dir / "objcopy.hex";
    const std::string srec = dir / "objcopy.srec";
    switch (conversion) {
    case Conversion::Elf: return {elf, ""};
    case Conversion::ObjcopyHex: Tool({objcopy, "-O", "ihex", elf, hex}); return {hex, "ihex"};
    case Conversion::ObjcopySrec: Tool({objcopy, "-O", "srec", elf, srec}); return {srec, "srec"};
    case Conversion::LinearHex:
    case Conversion::SegmentHex: {
        const std::string out = dir / "srec_cat.hex";
        Tool({objcopy, "-O", "ihex", elf, hex});
        std::vector<std::string> argv = {"srec_cat", hex, "-intel", "-o", out, "-intel"};
        if (conversion == Conversion::SegmentHex) argv.push_back("-address-length=3");
        Tool(argv);
        return {out, "ihex"};
    }
    case Conversion::S19:
    case Conversion::S28:
    case Conversion::S37: {
        const int length = conversion == Conversion::S19 ? 2 : conversion == Conversion::S28 ? 3 : 4;
        const std::string out = dir / ("app.s" + std::to_string(length * 9 + 1));
        Tool({objcopy, "-O", "srec", elf, srec});
        Tool({"srec_cat", srec, "-motorola", "-o", out, "-motorola", "-address-length=" + std::to_string(length)});
        return {out, "srec"};
    }
    case Conversion::LowerCaseCrLfHex: {
        Tool({objcopy, "-O", "ihex", elf, hex});
        std::string text;
        for (const char c : ReadWholeFile(hex)) {
            if (c == '\n') text += '\r';
            text += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        WriteWholeFile(dir / "lower.ihx", text);
        return {dir / "lower.ihx", "ihex"};
    }
    case Conversion::ZeroPhysicalAddresses: {
        std::string bytes = ReadWholeFile(elf);
        const auto field = [&](std::size_t at, int width) {
            uint32_t value = 0;
            for (int i = width - 1; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes.at(at + i));
            return value;
        };
        for (uint32_t i = 0; i < field(44, 2); ++i) bytes.replace(field(28, 4) + 32 * i + 12, 4, 4, '\0');
        WriteWholeFile(dir / "zero-paddr.elf", bytes);
        return {dir / "zero-paddr.elf", ""};
    }
    }
    return {};
}

const Layout kLayouts[] = {
    {"contiguous",
     {StandardSource(), "SECTIONS { .text 0x1000 : { *(.text) *(.rodata) }"
                        " /DISCARD/ : { *(.data) *(.bss) *(.ramonly) } }"},
     0x1000,
     {Conversion::Elf, Conversion::ObjcopyHex, Conversion::ObjcopySrec, Conversion::S19, Conversion::S28,
      Conversion::S37, Conversion::LowerCaseCrLfHex}},
    {"gap", {StandardSource(), "SECTIONS { .text 0x20000 : { *(.text) } .rodata 0x20400 : { *(.rodata) }"
                               " /DISCARD/ : { *(.data) *(.bss) *(.ramonly) } }"},
     0x20000,
     {Conversion::Elf, Conversion::ObjcopyHex, Conversion::ObjcopySrec, Conversion::LinearHex, Conversion::S28}},
    {"data-loaded-after-code-runs-in-ram",
     {StandardSource(), "MEMORY { FLASH (rx) : ORIGIN = 0x08000000, LENGTH = 64K\n"
                        "         RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 16K }\n"
                        "SECTIONS { .text : { *(.text) *(.rodata) } > FLASH\n"
                        "  .data : { *(.data) } > RAM AT> FLASH\n  .bss : { *(.bss) } > RAM\n"
                        "  /DISCARD/ : { *(.ramonly) } }"},
     0x08000000,
     {Conversion::Elf, Conversion::ObjcopyHex, Conversion::ObjcopySrec, Conversion::S37}},
    // binutils takes a section that only lives in RAM too, at its run address.
    {"section-in-ram-only",
     {StandardSource(), "MEMORY { FLASH (rx) : ORIGIN = 0x08000000, LENGTH = 64K\n"
                        "         RAM (rwx) : ORIGIN = 0x08040000, LENGTH = 16K }\n"
                        "SECTIONS { .text : { *(.text) *(.rodata) } > FLASH\n"
                        "  .data : { *(.data) } > RAM AT> FLASH\n  .bss : { *(.bss) } > RAM\n"
                        "  .ramonly : { *(.ramonly) } > RAM AT> RAM }"},
     0x08000000,
     {Conversion::Elf, Conversion::ObjcopyHex, Conversion::ZeroPhysicalAddresses}},
    {"big-endian",
     {StandardSource(), "SECTIONS { .text 0 : { *(.text) *(.rodata) } .data 0x400 : { *(.data) } .bss : { *(.bss) }"
                        " /DISCARD/ : { *(.ramonly) } }", "arm-none-eabi-", {"-EB"}},
     0,
     {Conversion::Elf, Conversion::ObjcopyHex, Conversion::ObjcopySrec}},
    {"across-64-KiB",
     {StandardSource(), "SECTIONS { .text 0xFF80 : { *(.text) *(.rodata) }"
                        " /DISCARD/ : { *(.data) *(.bss) *(.ramonly) } }"},
     0xFF80,
     {Conversion::Elf, Conversion::ObjcopyHex, Conversion::LinearHex, Conversion::SegmentHex, Conversion::S28}},
    // The host's own binutils make the 64-bit case, above 4 GiB.
    {"64-bit",
     {StandardSource(), "SECTIONS { .text 0x100000000 : { *(.text) *(.rodata) } .data 0x100000800 : { *(.data) }"
                        " /DISCARD/ : { *(.bss) *(.ramonly) } }", "", {}},
     0x100000000,
     {Conversion::Elf}},
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

class FromToolchain : public ::testing::TestWithParam<Layout> {};

TEST_P(FromToolchain, FlatImageEqualsObjcopysOfTheSameFile) {
    const Layout& layout = GetParam();
    const std::string& prefix = layout.program.prefix;
    DRAVEL_SKIP_WITHOUT(prefix + "as", prefix + "ld", prefix + "objcopy", "srec_cat");
    TempDir dir;
    const std::string elf = Link(dir, layout.program);
    if (HasFatalFailure()) return;
    for (const Conversion conversion : layout.conversions) {
        const auto [path, bfdName] = Convert(dir, elf, conversion, prefix);
        if (HasFatalFailure()) return;
        const std::string reference = testing::ObjcopyFlat(dir, path, bfdName, prefix);
        if (HasFatalFailure()) return;

        const ImageResult image = Load(path, ReadWholeFile(path));
        SCOPED_TRACE(std::filesystem::path(path).filename().string());
        ASSERT_EQ(image.error, "");
        EXPECT_STREQ(FormatName(image.format), bfdName.empty() ? "elf" : bfdName.c_str());
        EXPECT_EQ(image.base, layout.base);
        EXPECT_TRUE(std::string(image.bytes.begin(), image.bytes.end()) == reference)
            << "differs from objcopy's " << reference.size() << " bytes";
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, FromToolchain, ::testing::ValuesIn(kLayouts),
                         [](const ::testing::TestParamInfo<Layout>& layout) {
                             std::string name = layout.param.name;
                             for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

const std::string kHexEnd = HexRecord(1, 0, {});
const std::string kFlash = HexRecord(4, 0, {0x08, 0x00});

struct Refusal {
    const char* name;
    std::string file;  // the name as given
    std::function<std::string(const TempDir&)> make;
    ImageOptions options;
    std::vector<std::string> said;  // what the one line must name
};

const Refusal kRefusals[] = {
    {"bad HEX checksum", "app.hex",
     [](const TempDir&) {
         std::string data = HexRecord(0, 0x10, {1, 2, 3, 4});
         data[data.size() - 2] ^= 1;
         return kFlash + data + kHexEnd;
     },
     {}, {"line 2", "0x08000010", "bad checksum"}},
    {"malformed HEX record", "app.hex",
     [](const TempDir&) { return kFlash + HexRecord(0, 0x10, {1, 2}) + ":0400200001\n" + kHexEnd; },
     {}, {"line 3", "0x08000012", "malformed", "length byte says 4"}},
    {"unknown HEX record type", "app.hex", [](const TempDir&) { return kFlash + HexRecord(6, 0x10, {}) + kHexEnd; },
     {}, {"line 2", "0x08000010", "record type 0x06"}},
    {"HEX data after the end record", "app.hex",
     [](const TempDir&) { return kFlash + kHexEnd + "\r\n" + HexRecord(0, 0x40, {9}); },
     {}, {"line 4", "0x08000040", "after the end record (line 2)"}},
    {"HEX cut off after a line", "app.hex", [](const TempDir&) { return kFlash + HexRecord(0, 0x10, {1, 2}); },
     {}, {"line 2", "0x08000012", "truncated"}},
    {"records giving one address two values", "app.hex",
     [](const TempDir&) { return HexRecord(0, 0x100, {1, 2, 3, 4}) + HexRecord(0, 0x102, {3, 9}) + kHexEnd; },
     {}, {"line 2", "0x00000103", "gives 0x09 where line 1 gave 0x04"}},
    {"data below the base", "app.hex", [](const TempDir&) { return kFlash + HexRecord(0, 0x10, {1}) + kHexEnd; },
     ImageOptions{0x08000020, 0xFF, kDefaultMaxImageSize}, {"line 2", "0x08000010", "below the base 0x08000020"}},
    {"a stray RAM record", "app.hex",
     [](const TempDir&) {
         return kFlash + HexRecord(0, 0, {1, 2}) + HexRecord(4, 0, {0x20, 0x00}) + HexRecord(0, 0x10, {3, 4}) + kHexEnd;
     },
     {}, {"0x08000000 (line 2)", "0x20000011 (line 4)", "402653202 bytes", "16 MiB"}},
    {"more than --max-size allows", "firmware",
     [](const TempDir&) { return Srec(1, 0x100, {1}) + Srec(1, 0x200, {2}) + Srec(9, 0, {}); },
     ImageOptions{{}, 0xFF, 0x100}, {"0x00000100 (line 1)", "0x00000200 (line 2)", "257 bytes", "256 bytes"}},
    {"bad S-record checksum", "app.s19",
     [](const TempDir&) {
         std::string data = Srec(1, 0x1234, {5, 6});
         data[data.size() - 2] ^= 1;
         return Srec(0, 0, {'h', 'i'}) + data + Srec(9, 0, {});
     },
     {}, {"line 2", "0x00001234", "bad checksum"}},
    {"S-record count off by a lost line", "app.mot",
     [](const TempDir&) {
         return Srec(3, 0x08000000, {1}) + Srec(3, 0x08000001, {2}) + Srec(5, 3, {}) + Srec(7, 0, {});
     },
     {}, {"line 3", "0x08000002", "count says 3", "holds 2"}},
    {"S-record after the end record", "-",
     [](const TempDir&) { return Srec(2, 0x10000, {1}) + Srec(8, 0, {}) + Srec(2, 0x10001, {2}); },
     {}, {"line 3", "0x00010001", "after the end record (line 2)"}},
    {"S4 record", "app.srec", [](const TempDir&) { return Srec(1, 0x10, {1}) + "S4030000FC\n" + Srec(9, 0, {}); },
     {}, {"line 2", "0x00000011", "S4"}},
    {"ELF without loadable bytes", "app.elf",
     [](const TempDir& dir) {
         return ReadWholeFile(Link(dir, {"  .bss\n  .space 64\n", "SECTIONS { .bss 0x20000000 : { *(.bss) } }"}));
     },
     {}, {"no loadable bytes"}},
    {"truncated ELF", "app.axf",
     [](const TempDir& dir) {
         const std::string elf = ReadWholeFile(Link(dir, {StandardSource(), "SECTIONS { .text 0 : { *(.text) } }"}));
         return elf.substr(0, elf.size() / 2);
     },
     {}, {"truncated"}},
    {"ELF section only in RAM, far from flash", "app.elf",
     [](const TempDir& dir) {
         return ReadWholeFile(Link(dir, {StandardSource(),
                                         "SECTIONS { .text 0x08000000 : { *(.text) }"
                                         " .ramonly 0x20000000 : { *(.ramonly) }"
                                         " /DISCARD/ : { *(.rodata) *(.data) *(.bss) } }"}));
     },
     {}, {"0x08000000 (section .text)", "0x20000007 (section .ramonly)", "16 MiB"}},
    {"ELF sections loaded over each other", "app.elf",
     [](const TempDir& dir) {
         return ReadWholeFile(Link(dir, {StandardSource(),
                                         "SECTIONS { .text 0x1000 : { *(.text) } .rodata 0x1000 : { *(.rodata) }"
                                         " /DISCARD/ : { *(.data) *(.bss) *(.ramonly) } }",
                                         "arm-none-eabi-", {"-EL"}, {"--no-check-sections"}}));
     },
     {}, {"section .rodata, address 0x00001000", "where section .text gave"}},
    {"relocatable object", "app.o",
     [](const TempDir& dir) {
         Link(dir, {StandardSource(), "SECTIONS { }"});
         return ReadWholeFile(dir / "app.o");
     },
     {}, {"relocatable"}},
    {"ELF name without ELF", "app.elf", [](const TempDir&) { return kFlash + kHexEnd; }, {}, {"not an ELF file"}},
};

TEST(ImageRefusals, OneLineNamesFileLineOrSectionAndAddress) {
    DRAVEL_SKIP_WITHOUT("arm-none-eabi-as", "arm-none-eabi-ld");
    for (const Refusal& refusal : kRefusals) {
        SCOPED_TRACE(refusal.name);
        TempDir dir;
        const std::string bytes = refusal.make(dir);
        if (HasFatalFailure()) return;
        const ImageResult image = Load(refusal.file, bytes, refusal.options);
        EXPECT_TRUE(image.bytes.empty());
        EXPECT_EQ(image.error.rfind(refusal.file + ": ", 0), 0u) << image.error;
        EXPECT_EQ(image.error.find('\n'), std::string::npos) << image.error;
        for (const std::string& part : refusal.said) {
            EXPECT_NE(image.error.find(part), std::string::npos) << image.error;
        }
    }
}

TEST(ImageLayout, BaseFillAndIdenticalOverlapsShapeTheImage) {
    const std::string hex = HexRecord(0, 0x104, {1, 2, 3, 4}) + HexRecord(0, 0x106, {3, 4, 5}) +
                            HexRecord(0, 0x10A, {6}) + kHexEnd;
    const ImageResult image = Load("app.hex", hex, {0x100, 0x00, 16});
    ASSERT_EQ(image.error, "");
    EXPECT_EQ(image.base, 0x100u);
    EXPECT_EQ(image.bytes, (std::vector<uint8_t>{0, 0, 0, 0, 1, 2, 3, 4, 5, 0, 6}));
    EXPECT_EQ(DescribeImage(image), "ihex, base 0x00000100, 11 bytes");
    EXPECT_NE(Load("app.hex", hex, {0x100, 0x00, 10}).error, "");
}

TEST(ImageFormatChoice, ElfByMagicBinAsItIsOthersByNameThenContent) {
    const std::string elf = "\x7F" "ELF\x01\x01\x01";
    const std::string hex = "\r\n" + kFlash + "  " + HexRecord(0, 0, {1}) + "\n" + kHexEnd;
    const std::string srec = Srec(1, 0, {1}) + Srec(9, 0, {});
    const struct {
        std::string name;
        std::string content;
        std::optional<ImageFormat> format;
    } cases[] = {
        {"APP.BIN", hex, ImageFormat::Raw},           {"app.bin", elf, ImageFormat::Raw},
        {"app.hex", elf, ImageFormat::Elf},           {"dir.x/image", elf, ImageFormat::Elf},
        {"app.elf", hex, std::nullopt},               {"app.H86", "garbage", ImageFormat::IntelHex},
        {"app.sx", "garbage", ImageFormat::Srec},     {"-", hex, ImageFormat::IntelHex},
        {"firmware.img", srec, ImageFormat::Srec},    {"-", hex + srec, ImageFormat::Raw},
        {"notes.txt", ":not hex\n", ImageFormat::Raw}, {"-", "\n \r\n", ImageFormat::Raw},
        {"C:\\fw.v2\\app", srec, ImageFormat::Srec},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto bytes = std::span(reinterpret_cast<const uint8_t*>(c.content.data()), c.content.size());
        EXPECT_EQ(ChooseFormat(c.name, bytes, error), c.format) << c.name << ": " << c.content;
        EXPECT_EQ(error.empty(), c.format.has_value()) << c.name;
    }
}

TEST(ImageOptionValues, DecimalOrHexAndUsageErrorsNamingTheOption) {
    std::string error;
    EXPECT_EQ(ParseBase("0x08000000", error), 0x08000000u);
    EXPECT_EQ(ParseBase("134217728", error), 0x08000000u);
    EXPECT_EQ(ParseFill("0", error), 0u);
    EXPECT_EQ(ParseFill("0xFF", error), 0xFFu);
    EXPECT_EQ(ParseMaxSize("64M", error), 64u << 20);
    EXPECT_EQ(ParseMaxSize("0x10k", error), 16u << 10);
    EXPECT_EQ(ParseMaxSize("4G", error), uint64_t{4} << 30);
    EXPECT_EQ(error, "");
    for (const char* bad : {"", "0x", "-1", " 1", "1.5", "0x1g", "18446744073709551616"}) {
        error.clear();
        EXPECT_FALSE(ParseBase(bad, error)) << bad;
        EXPECT_EQ(error.rfind("--base: '", 0), 0u) << error;
    }
    for (const char* bad : {"256", "0x100", "ff"}) {
        error.clear();
        EXPECT_FALSE(ParseFill(bad, error)) << bad;
        EXPECT_EQ(error.rfind("--fill: '", 0), 0u) << error;
    }
    for (const char* bad : {"0", "5G", "4097M", "K", "1T"}) {
        error.clear();
        EXPECT_FALSE(ParseMaxSize(bad, error)) << bad;
        EXPECT_EQ(error.rfind("--max-size: '", 0), 0u) << error;
    }
}

}  // namespace
}  // namespace dravel
