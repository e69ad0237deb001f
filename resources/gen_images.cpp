// Writes deterministic stand-ins for the five carried firmware images, used
// when the build is not given the real files. Each has the exact size of the
// real image and carries its version stamp at the real offset, so everything
// that sizes blocks, plans erases or compares stamps sees what it would see
// with the real firmware. The rest is pseudo-random, so a byte that lands in
// the wrong place in flash shows up in a comparison.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct StandIn {
    unsigned id;
    std::uint32_t size;
    std::uint32_t stampOffset;  // 0 = no stamp
    const char* stamp;
};

constexpr StandIn kStandIns[] = {
    {129, 562108, 0, nullptr},  {133, 155648, 0x25FFC, "1.00"}, {136, 14897152, 0, nullptr},
    {139, 4096, 0xFE0, "1.20"}, {142, 307200, 0x4AFFC, "1.00"},
};

// xorshift64*: small, fast and the same on every platform.
std::uint64_t next(std::uint64_t& s) {
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return s * 2685821657736338717ULL;
}

}  // namespace

// Copies IN to OUT with one byte in the middle flipped: a damaged image for
// the tests of the check that runs before anything is sent to a unit.
static int corruptCopy(const char* in, const char* out) {
    std::FILE* f = std::fopen(in, "rb");
    if (f == nullptr) {
        std::fprintf(stderr, "gen_images: cannot read %s\n", in);
        return 1;
    }
    std::vector<unsigned char> bytes;
    unsigned char buf[65536];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        bytes.insert(bytes.end(), buf, buf + n);
    }
    std::fclose(f);
    if (bytes.empty()) {
        std::fprintf(stderr, "gen_images: %s is empty\n", in);
        return 1;
    }
    bytes[bytes.size() / 2] ^= 0x01;
    std::FILE* o = std::fopen(out, "wb");
    if (o == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), o) != bytes.size() ||
        std::fclose(o) != 0) {
        std::fprintf(stderr, "gen_images: cannot write %s\n", out);
        return 1;
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--corrupt") == 0) {
        return corruptCopy(argv[2], argv[3]);
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER | --corrupt IN OUT\n", argv[0]);
        return 2;
    }
    for (const StandIn& img : kStandIns) {
        std::vector<unsigned char> bytes(img.size);
        std::uint64_t state = 0x9E3779B97F4A7C15ULL ^ (static_cast<std::uint64_t>(img.id) << 32);
        for (std::size_t i = 0; i < bytes.size(); i += 8) {
            std::uint64_t v = next(state);
            for (std::size_t k = 0; k < 8 && i + k < bytes.size(); ++k) {
                bytes[i + k] = static_cast<unsigned char>(v >> (8 * k));
            }
        }
        if (img.stamp != nullptr) {
            std::memcpy(bytes.data() + img.stampOffset, img.stamp, 4);
        }
        std::string path = std::string(argv[1]) + "/" + std::to_string(img.id) + ".bin";
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() ||
            std::fclose(f) != 0) {
            std::fprintf(stderr, "gen_images: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
