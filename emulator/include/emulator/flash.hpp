#pragma once
// The unit's 16 MiB of NOR flash. Programming can only clear bits, so a
// write over bytes that were not erased leaves old AND new; the unit keeps a
// log of every erase and program so a test can see what an update did to it,
// including anything that touched flash outside the regions the updater
// knows or programmed over unerased bytes.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ql5::emulator {

inline constexpr std::uint32_t kFlashSize = 0x1000000;  // 16 MiB
inline constexpr std::uint32_t kCheckBlockSize = 4096;  // the updater's write block

struct FlashRegion {
    const char* name;
    std::uint32_t start;
    std::uint32_t size;
    std::uint32_t end() const { return start + size; }
};

// The regions the updater knows; the flash between the SYSTEM version block
// and 0x1CB000 belongs to none of them and is never erased or written by a
// correct update.
inline constexpr std::array<FlashRegion, 5> kKnownRegions{{
    {"BOOT", 0x000000, 0x04B000},
    {"PRESET", 0x04B000, 0x026000},
    {"MAIN", 0x071000, 0x09F000},
    {"SYSTEM", 0x110000, 0x001000},
    {"DATA", 0x1CB000, 0xE35000},
}};

inline constexpr std::uint32_t kSystemStampAddress = 0x110FE0;
inline constexpr std::uint32_t kPresetStampAddress = 0x70FFC;
inline constexpr std::uint32_t kBootStampAddress = 0x4AFFC;

struct ByteRange {
    std::uint32_t address = 0;
    std::uint32_t length = 0;
    std::uint32_t end() const { return address + length; }
    bool operator==(const ByteRange&) const = default;
};

struct FlashOp {
    enum class Type { Erase, Program };
    Type type = Type::Erase;
    std::uint32_t address = 0;
    std::uint32_t length = 0;
    // Program only: some target byte was not 0xFF before.
    bool overUnerased = false;
    // Program only: the stored bytes differ from the data (a bit had to go
    // from 0 to 1, which NOR cannot do).
    bool corrupted = false;
};

// Not thread-safe by itself; the unit serialises access.
class Flash {
  public:
    Flash();

    // Fills the known regions (and the gap) with a deterministic pattern, as
    // a unit that left the factory with firmware installed.
    void fillPattern(std::uint32_t seed);
    void fill(std::uint8_t value);

    // Both return false (and change nothing) when the range leaves the flash.
    bool erase(std::uint32_t address, std::uint32_t length);
    bool program(std::uint32_t address, std::span<const std::uint8_t> data);
    // Sets bytes directly, without NOR rules or a log entry (setting up a
    // unit's initial contents, e.g. its version stamps).
    bool poke(std::uint32_t address, std::span<const std::uint8_t> data);

    bool read(std::uint32_t address, std::span<std::uint8_t> out) const;
    std::span<const std::uint8_t> bytes() const { return memory_; }

    const std::vector<FlashOp>& log() const { return log_; }
    void clearLog();

    // Ranges (merged, in address order) erased or programmed outside every
    // known region.
    std::vector<ByteRange> erasedOutsideRegions() const;
    std::vector<ByteRange> writtenOutsideRegions() const;
    // Program operations that hit bytes that were not erased.
    std::vector<FlashOp> writesOverUnerased() const;

    static bool insideKnownRegions(std::uint32_t address, std::uint32_t length);
    // The parts of [address, address+length) that lie in no known region.
    static std::vector<ByteRange> outsideParts(std::uint32_t address, std::uint32_t length);

  private:
    std::vector<std::uint8_t> memory_;
    std::vector<FlashOp> log_;
};

// Merges overlapping or touching ranges; result in address order.
std::vector<ByteRange> mergeRanges(std::vector<ByteRange> ranges);

}  // namespace ql5::emulator
