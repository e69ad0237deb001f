#include "engine/images.hpp"

#include <cstring>

#include "resources/firmware_blobs.hpp"

namespace ql5::engine {

namespace {

const resources::EmbeddedImage* findImage(std::uint32_t id) {
    for (const resources::EmbeddedImage& img : resources::embeddedImages()) {
        if (img.id == id) {
            return &img;
        }
    }
    return nullptr;
}

}  // namespace

ImageBytes loadImage(std::uint32_t id) {
    const resources::EmbeddedImage* img = findImage(id);
    if (img == nullptr) {
        return {};
    }
    return {img->data, static_cast<std::int32_t>(img->size)};
}

int readResourceBytes(std::uint32_t id, std::uint32_t offset, std::uint32_t count, void* dst) {
    const resources::EmbeddedImage* img = findImage(id);
    if (img == nullptr || offset > img->size || count > img->size - offset) {
        return -1;
    }
    std::memcpy(dst, img->data + offset, count);
    return 0;
}

const char* embeddedDigest(std::uint32_t id) {
    const resources::EmbeddedImage* img = findImage(id);
    return img == nullptr ? nullptr : img->sha256;
}

}  // namespace ql5::engine
