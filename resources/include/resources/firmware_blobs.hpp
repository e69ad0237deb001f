#pragma once
// The five firmware images, linked read-only into the executable. They are
// used in place for the whole run; nothing ever copies one as a whole.
#include <cstdint>
#include <span>

namespace ql5::resources {

struct EmbeddedImage {
    std::uint32_t id;
    const std::uint8_t* data;
    std::uint32_t size;
    const char* sha256;  // lower-case hex digest taken when the image was embedded
};

std::span<const EmbeddedImage> embeddedImages();

}  // namespace ql5::resources
