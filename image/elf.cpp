// ELF files: the bytes `objcopy -O binary` takes. binutils works from the
// section headers (a file without them is refused, as objcopy refuses it):
// every allocated section with contents, at its load address, which comes
// from the program header whose file and memory ranges hold the section.
#include <algorithm>
#include <string_view>

#include "image/segments.h"

namespace dravel {

namespace {

constexpr uint32_t kSectionNull = 0;
constexpr uint32_t kSectionNoBits = 8;
constexpr uint64_t kFlagAlloc = 0x2;
constexpr uint64_t kFlagTls = 0x400;
constexpr uint32_t kSegmentLoad = 1;
constexpr uint32_t kSegmentTls = 7;
constexpr uint16_t kTypeRelocatable = 1;
constexpr uint16_t kExtendedIndex = 0xFFFF;  // SHN_XINDEX: the real value is in section 0
// Pairs of loadable section and program header looked at, beyond which a
// file is taken for hostile: a firmware file has tens of each.
constexpr uint64_t kMaxPlacementChecks = uint64_t{1} << 24;
constexpr std::size_t kMaxNameLength = 64;

struct Fields {
    std::span<const uint8_t> file;
    bool bigEndian = false;
    bool wide = false;  // ELFCLASS64

    // The caller has checked that [at, at + width) lies in the file.
    uint64_t Read(uint64_t at, unsigned width) const {
        uint64_t value = 0;
        for (unsigned i = 0; i < width; ++i) {
            const uint64_t byte = file[at + (bigEndian ? i : width - 1 - i)];
            value = value << 8 | byte;
        }
        return value;
    }
    // A field that is 4 bytes wide in 32-bit files and 8 in 64-bit ones.
    uint64_t Word(uint64_t at) const { return Read(at, wide ? 8 : 4); }
    bool Holds(uint64_t offset, uint64_t size) const { return offset <= file.size() && size <= file.size() - offset; }
};

struct SectionHeader {
    uint32_t name = 0;
    uint32_t type = 0;
    uint64_t flags = 0;
    uint64_t address = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
    uint32_t link = 0;
};

struct ProgramHeader {
    uint32_t type = 0;
    uint64_t offset = 0;
    uint64_t virtualAddress = 0;
    uint64_t physicalAddress = 0;
    uint64_t fileSize = 0;
    uint64_t memorySize = 0;
};

SectionHeader ReadSection(const Fields& f, uint64_t at) {
    if (f.wide) {
        return {static_cast<uint32_t>(f.Read(at, 4)), static_cast<uint32_t>(f.Read(at + 4, 4)), f.Read(at + 8, 8),
                f.Read(at + 16, 8), f.Read(at + 24, 8), f.Read(at + 32, 8), static_cast<uint32_t>(f.Read(at + 40, 4))};
    }
    return {static_cast<uint32_t>(f.Read(at, 4)), static_cast<uint32_t>(f.Read(at + 4, 4)), f.Read(at + 8, 4),
            f.Read(at + 12, 4), f.Read(at + 16, 4), f.Read(at + 20, 4), static_cast<uint32_t>(f.Read(at + 24, 4))};
}

ProgramHeader ReadProgram(const Fields& f, uint64_t at) {
    if (f.wide) {
        return {static_cast<uint32_t>(f.Read(at, 4)), f.Read(at + 8, 8), f.Read(at + 16, 8), f.Read(at + 24, 8),
                f.Read(at + 32, 8), f.Read(at + 40, 8)};
    }
    return {static_cast<uint32_t>(f.Read(at, 4)), f.Read(at + 4, 4), f.Read(at + 8, 4), f.Read(at + 12, 4),
            f.Read(at + 16, 4), f.Read(at + 20, 4)};
}

// Whether the section lies in the segment both in the file and in memory
// (binutils' ELF_SECTION_IN_SEGMENT for a section with contents).
bool Contains(const ProgramHeader& segment, const SectionHeader& section) {
    if ((section.flags & kFlagTls) ? segment.type != kSegmentTls : segment.type != kSegmentLoad) return false;
    return section.offset >= segment.offset && section.size <= segment.fileSize &&
           section.offset - segment.offset <= segment.fileSize - section.size &&
           section.address >= segment.virtualAddress && section.size <= segment.memorySize &&
           section.address - segment.virtualAddress <= segment.memorySize - section.size;
}

// The section's name for messages: printable, bounded, never empty.
std::string SectionName(const Fields& f, const SectionHeader* names, const SectionHeader& section, uint64_t index) {
    std::string name;
    if (names != nullptr && names->type != kSectionNoBits && f.Holds(names->offset, names->size) &&
        section.name < names->size) {
        for (uint64_t at = names->offset + section.name; at < names->offset + names->size; ++at) {
            const uint8_t c = f.file[at];
            if (c == 0) break;
            if (name.size() == kMaxNameLength) {
                name += "...";
                break;
            }
            name += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
        }
    }
    return name.empty() ? "[" + std::to_string(index) + "]" : name;
}

std::string Where(const std::string& name, uint64_t address) {
    return "section " + name + ", address " + AddressText(address) + ": ";
}

ReadResult Refuse(std::string text) { return ReadResult{{}, std::move(text)}; }

}  // namespace

ReadResult ReadElf(std::span<const uint8_t> file, uint64_t maxBytes) {
    static constexpr uint8_t kMagic[] = {0x7F, 'E', 'L', 'F'};
    if (file.size() < 6 || !std::equal(std::begin(kMagic), std::end(kMagic), file.begin())) {
        return Refuse("not an ELF file");
    }
    if ((file[4] != 1 && file[4] != 2) || (file[5] != 1 && file[5] != 2)) {
        return Refuse("an ELF file of unknown class or byte order");
    }
    const Fields f{file, file[5] == 2, file[4] == 2};
    const uint64_t headerSize = f.wide ? 64 : 52;
    if (file.size() < headerSize) {
        return Refuse("truncated ELF file: its header needs " + std::to_string(headerSize) + " bytes, the file has " +
                      std::to_string(file.size()));
    }
    if (f.Read(16, 2) == kTypeRelocatable) {
        return Refuse("a relocatable object file, not a linked program: nothing in it has an address yet");
    }
    // e_entry, e_phoff and e_shoff are words: the fields after them move.
    const uint64_t programOffset = f.Word(f.wide ? 32 : 28);
    const uint64_t sectionOffset = f.Word(f.wide ? 40 : 32);
    const uint64_t sizes = f.wide ? 54 : 42;
    const uint64_t programEntrySize = f.Read(sizes, 2);
    uint64_t programCount = f.Read(sizes + 2, 2);
    const uint64_t sectionEntrySize = f.Read(sizes + 4, 2);
    uint64_t sectionCount = f.Read(sizes + 6, 2);
    uint64_t namesIndex = f.Read(sizes + 8, 2);

    const uint64_t minSectionEntry = f.wide ? 64 : 40;
    const uint64_t minProgramEntry = f.wide ? 56 : 32;
    if (sectionOffset == 0) return Refuse("an ELF file without section headers: no loadable bytes can be told");
    if (sectionEntrySize < minSectionEntry) return Refuse("malformed ELF file: section headers too small");
    if (!f.Holds(sectionOffset, sectionEntrySize)) {
        return Refuse("truncated ELF file: the section headers lie past its end");
    }
    // More sections than the header can count, or a name table beyond its
    // index range: section 0 holds the real numbers.
    const SectionHeader first = ReadSection(f, sectionOffset);
    if (sectionCount == 0) sectionCount = first.size;
    if (namesIndex == kExtendedIndex) namesIndex = first.link;
    if (sectionCount > (file.size() - sectionOffset) / sectionEntrySize) {
        return Refuse("truncated ELF file: its " + std::to_string(sectionCount) +
                      " section headers end past the end of the file");
    }
    std::vector<ProgramHeader> programs;
    if (programCount > 0) {
        if (programEntrySize < minProgramEntry) return Refuse("malformed ELF file: program headers too small");
        if (programOffset > file.size() || programCount > (file.size() - programOffset) / programEntrySize) {
            return Refuse("truncated ELF file: its " + std::to_string(programCount) +
                          " program headers end past the end of the file");
        }
        for (uint64_t i = 0; i < programCount; ++i) {
            programs.push_back(ReadProgram(f, programOffset + i * programEntrySize));
        }
    }
    // Linkers that leave every physical address 0 mean none: with more than
    // one loaded segment each section then loads where it runs.
    const bool physicalAddresses =
        std::any_of(programs.begin(), programs.end(), [](const ProgramHeader& p) { return p.physicalAddress != 0; }) ||
        std::count_if(programs.begin(), programs.end(), [](const ProgramHeader& p) {
            return p.type == kSegmentLoad && p.memorySize != 0;
        }) <= 1;

    SectionHeader namesHeader;
    const SectionHeader* names = nullptr;
    if (namesIndex != 0 && namesIndex < sectionCount) {
        namesHeader = ReadSection(f, sectionOffset + namesIndex * sectionEntrySize);
        names = &namesHeader;
    }

    struct Loadable {
        SectionHeader header;
        std::string name;
        uint64_t loadAddress = 0;
    };
    std::vector<Loadable> loadables;
    uint64_t total = 0;
    for (uint64_t index = 1; index < sectionCount; ++index) {
        const SectionHeader section = ReadSection(f, sectionOffset + index * sectionEntrySize);
        if (!(section.flags & kFlagAlloc) || section.type == kSectionNull || section.type == kSectionNoBits ||
            section.size == 0) {
            continue;
        }
        if (loadables.size() * programs.size() > kMaxPlacementChecks) {
            return Refuse("malformed ELF file: too many loadable sections and program headers to place");
        }
        // A segment packed from several run addresses keeps its sections'
        // load addresses contiguous: they follow the file offsets.
        uint64_t loadAddress = section.address;
        if (physicalAddresses) {
            const auto holder = std::find_if(programs.begin(), programs.end(),
                                             [&](const ProgramHeader& p) { return Contains(p, section); });
            if (holder != programs.end()) loadAddress = holder->physicalAddress + (section.offset - holder->offset);
        }
        const std::string name = SectionName(f, names, section, index);
        if (!f.Holds(section.offset, section.size)) {
            return Refuse(Where(name, loadAddress) + "its contents end past the end of the file (truncated)");
        }
        total += section.size;
        if (total > maxBytes) {
            return Refuse(Where(name, loadAddress) + "the loadable sections hold more than " +
                          std::to_string(maxBytes) + " bytes, the largest image allowed");
        }
        loadables.push_back({section, name, loadAddress});
    }
    if (loadables.empty()) return Refuse("no loadable bytes: no allocated section has contents");

    ReadResult result;
    for (Loadable& l : loadables) {
        const auto contents = file.subspan(l.header.offset, l.header.size);
        result.segments.push_back(Segment{l.loadAddress, {contents.begin(), contents.end()}, std::move(l.name), 0, 0});
    }
    return result;
}

}  // namespace dravel
