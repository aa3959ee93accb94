// The D64 format as this tool reads it, named once: where a sector's link, the BAM and the
// directory's fields sit. The track geometry itself is in image.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace d64 {

/// Entries of a table indexed directly by track number: 0, tracks 1 to 35, and room to 39.
constexpr size_t tracktable = 40;

/// A sector's link is its first two bytes: the next sector's track (0: no link) and sector.
constexpr size_t linktrack = 0, linksector = 1;

/// The BAM is sector 0 of the directory track; the directory's chain starts at sector 1 there,
/// 8 entries of 32 bytes a sector.
constexpr int32_t bamsector = 0, firstdirsector = 1;
constexpr size_t entrysize = 32, entriespersector = 8;

/// Fields of a directory entry, counted from its first byte.
constexpr size_t filetype = 2;                     // low three bits: the file type below
constexpr size_t firsttrack = 3, firstsector = 4;  // the file's first sector
constexpr size_t filename = 5;                     // 16 bytes of PETSCII, padded with 0xa0
constexpr size_t sidetrack = 21, sidesector = 22;  // REL: first side sector; GEOS: info block
constexpr size_t recordlength = 23;                // REL: record length
constexpr size_t geosstructure = 23;               // GEOS: 0 sequential, 1 VLIR
constexpr size_t geostype = 24;                    // GEOS: file type, 0 for a plain CBM file
constexpr size_t blockslow = 30, blockshigh = 31;  // the file's size in sectors, as listed

constexpr uint8_t typemask = 7;
enum filetypes : uint8_t { del = 0, seq = 1, prg = 2, usr = 3, rel = 4 };

/// The types a listing names, by the type byte's low three bits. The drive has names for 0 to 4
/// only, in three tables of five letters that lie one after the other (DSPUR, EERSE, LQGRL), so
/// for 5 to 7 it reads its first two letters from the next table and its third from a byte past the
/// last, which prints nothing.
constexpr const char *typenames[typemask + 1] = {"DEL", "SEQ", "PRG", "USR", "REL", "EL ", "EQ ", "RG "};

/// True for the entries read as files, whose sectors the tool knows (SEQ, PRG, USR, REL); what
/// other entries point at is some other program's business.
constexpr bool isfiletype(uint8_t typebyte) {
    uint8_t type = typebyte & typemask;
    return type >= seq && type <= rel;
}
static_assert(!isfiletype(0x80) && isfiletype(0x82) && isfiletype(0x44) && !isfiletype(0x85), "DEL and types past REL are no files");

/// The type byte's flags a listing shows: clear bit 7 is a file never closed ("*PRG"), bit 6 a
/// locked one ("PRG<").
constexpr uint8_t closedflag = 0x80, lockedflag = 0x40;

/// What a listing heads the disk with, from the BAM sector: the disk name (16 bytes, padded with
/// 0xa0), and 5 bytes from the disk ID: the ID, a padding byte and the DOS type ("ID 2A").
constexpr size_t diskname = 0x90, diskid = 0xa2;

constexpr uint8_t geosvlir = 1;

/// Per track, the BAM holds a count of free sectors at byte 4 * track and a bitmap after it.
struct bamspot {
    size_t byte;  // offset in the BAM sector
    uint8_t bit;  // set: the sector is free
};

/// Where the BAM keeps a sector's bit.
constexpr bamspot bamfor(int32_t track, int32_t sector) {
    return {static_cast<size_t>(4 * track + 1 + (sector >> 3)), static_cast<uint8_t>(1u << (sector & 7))};
}

/// Offset in the BAM sector of a track's count of free sectors.
constexpr size_t freecountfor(int32_t track) { return static_cast<size_t>(4 * track); }

}  // namespace d64
