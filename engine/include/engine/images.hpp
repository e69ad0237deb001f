#pragma once
// The carried firmware images, the flash plan that writes them, and the one
// unit identity the engine accepts.
#include <array>
#include <cstdint>

namespace ql5::engine {

struct ImageBytes {
    const std::uint8_t* data = nullptr;  // read-only, valid for the whole run
    std::int32_t length = 0;
};

// Image ids as the plan names them.
inline constexpr std::uint32_t kImageMain = 129;    // region at 0x71000
inline constexpr std::uint32_t kImagePreset = 133;  // PRESET
inline constexpr std::uint32_t kImageLarge = 136;   // region at 0x1CB000
inline constexpr std::uint32_t kImageSystem = 139;  // SYSTEM version block
inline constexpr std::uint32_t kImageBoot = 142;    // BOOT, never written by the plan

// Version stamps: four ASCII bytes, digit point digit digit.
inline constexpr std::uint32_t kStampSystemAddress = 0x110FE0;
inline constexpr std::uint32_t kStampPresetAddress = 0x70FFC;
inline constexpr std::uint32_t kStampBootAddress = 0x4AFFC;
inline constexpr std::uint32_t kStampSystemOffset = 0xFE0;    // in image 139
inline constexpr std::uint32_t kStampPresetOffset = 0x25FFC;  // in image 133
inline constexpr std::uint32_t kStampBootOffset = 0x4AFFC;    // in image 142

inline constexpr std::int32_t kBlockSize = 4096;

// The bytes of an embedded image; {nullptr, 0} for an id the program does
// not carry (the carried program always has all five).
ImageBytes loadImage(std::uint32_t id);

// Copies count bytes from offset of image id into dst and returns 0; returns
// -1 and leaves dst untouched when there is no such image or the range runs
// past its end.
int readResourceBytes(std::uint32_t id, std::uint32_t offset, std::uint32_t count, void* dst);

// SHA-256 (lower-case hex) recorded when the image was embedded; nullptr for
// an unknown id.
const char* embeddedDigest(std::uint32_t id);

struct FlashPlanRow {
    std::uint32_t operation;   // 1 erase, 2 write; anything else does nothing
    std::uint32_t address;     // region or first byte of the image
    std::uint32_t size;        // erase: bytes; write: bytes to send, 0 = whole image
    std::uint32_t resourceId;  // write: image id; erase: 0
};

inline constexpr std::uint32_t kOperationErase = 1;
inline constexpr std::uint32_t kOperationWrite = 2;

inline constexpr std::array<FlashPlanRow, 8> FlashPlan = {{
    {kOperationErase, 0x110000, 0x1000, 0},
    {kOperationErase, 0x4B000, 0x26000, 0},
    {kOperationWrite, 0x4B000, 0, kImagePreset},
    {kOperationErase, 0x71000, 0x9F000, 0},
    {kOperationWrite, 0x71000, 0, kImageMain},
    {kOperationErase, 0x1CB000, 0xE35000, 0},
    {kOperationWrite, 0x1CB000, 0, kImageLarge},
    {kOperationWrite, 0x110000, 0, kImageSystem},
}};

inline constexpr std::array<std::array<std::uint8_t, 4>, 1> KnownDeviceTable = {{
    {0x6E, 0x00, 0x10, 0x00},
}};

// The flash regions the engine knows, for checks of the plan and of a unit's
// flash after an update.
struct FlashRegion {
    std::uint32_t start;
    std::uint32_t size;
};
inline constexpr FlashRegion kRegionBoot{0x0, 0x4B000};
inline constexpr FlashRegion kRegionPreset{0x4B000, 0x26000};
inline constexpr FlashRegion kRegionMain{0x71000, 0x9F000};
inline constexpr FlashRegion kRegionSystem{0x110000, 0x1000};
inline constexpr FlashRegion kRegionLarge{0x1CB000, 0xE35000};
inline constexpr std::uint32_t kFlashSize = 0x1000000;

}  // namespace ql5::engine
