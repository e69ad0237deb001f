#include "emulator/flash.hpp"

#include <algorithm>
#include <cstring>

namespace ql5::emulator {

namespace {

bool inFlash(std::uint32_t address, std::uint64_t length) {
    return static_cast<std::uint64_t>(address) + length <= kFlashSize;
}

}  // namespace

std::vector<ByteRange> mergeRanges(std::vector<ByteRange> ranges) {
    std::sort(ranges.begin(), ranges.end(),
              [](const ByteRange& a, const ByteRange& b) { return a.address < b.address; });
    std::vector<ByteRange> out;
    for (const ByteRange& r : ranges) {
        if (r.length == 0) continue;
        if (!out.empty() && r.address <= out.back().end()) {
            const std::uint32_t end = std::max(out.back().end(), r.end());
            out.back().length = end - out.back().address;
        } else {
            out.push_back(r);
        }
    }
    return out;
}

Flash::Flash() : memory_(kFlashSize, 0xFF) {}

void Flash::fill(std::uint8_t value) { std::fill(memory_.begin(), memory_.end(), value); }

void Flash::fillPattern(std::uint32_t seed) {
    // xorshift32: cheap, deterministic, and rarely 0xFF, so an erase or a
    // missing write stands out against it.
    std::uint32_t x = seed == 0 ? 0x9E3779B9U : seed;
    for (std::size_t i = 0; i < memory_.size(); i += 4) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        std::memcpy(&memory_[i], &x, 4);
    }
}

bool Flash::erase(std::uint32_t address, std::uint32_t length) {
    if (!inFlash(address, length)) return false;
    std::fill_n(memory_.begin() + address, length, std::uint8_t{0xFF});
    log_.push_back({FlashOp::Type::Erase, address, length, false, false});
    return true;
}

bool Flash::program(std::uint32_t address, std::span<const std::uint8_t> data) {
    if (!inFlash(address, data.size())) return false;
    FlashOp op{FlashOp::Type::Program, address, static_cast<std::uint32_t>(data.size()), false,
               false};
    std::uint8_t* dst = memory_.data() + address;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const std::uint8_t old = dst[i];
        if (old != 0xFF) op.overUnerased = true;
        const std::uint8_t stored = old & data[i];
        if (stored != data[i]) op.corrupted = true;
        dst[i] = stored;
    }
    log_.push_back(op);
    return true;
}

bool Flash::poke(std::uint32_t address, std::span<const std::uint8_t> data) {
    if (!inFlash(address, data.size())) return false;
    std::copy(data.begin(), data.end(), memory_.begin() + address);
    return true;
}

bool Flash::read(std::uint32_t address, std::span<std::uint8_t> out) const {
    if (!inFlash(address, out.size())) return false;
    std::copy_n(memory_.begin() + address, out.size(), out.begin());
    return true;
}

void Flash::clearLog() { log_.clear(); }

bool Flash::insideKnownRegions(std::uint32_t address, std::uint32_t length) {
    return outsideParts(address, length).empty();
}

std::vector<ByteRange> Flash::outsideParts(std::uint32_t address, std::uint32_t length) {
    std::vector<ByteRange> out;
    const std::uint64_t end = static_cast<std::uint64_t>(address) + length;
    std::uint64_t pos = address;
    // The regions are sorted and do not overlap: walk the range and collect
    // every stretch that no region covers.
    while (pos < end) {
        const FlashRegion* covering = nullptr;
        const FlashRegion* next = nullptr;
        for (const FlashRegion& r : kKnownRegions) {
            if (pos >= r.start && pos < r.end()) covering = &r;
            if (r.start > pos && (next == nullptr || r.start < next->start)) next = &r;
        }
        if (covering != nullptr) {
            pos = covering->end();
            continue;
        }
        const std::uint64_t stop =
            next != nullptr ? std::min<std::uint64_t>(next->start, end) : end;
        out.push_back({static_cast<std::uint32_t>(pos), static_cast<std::uint32_t>(stop - pos)});
        pos = stop;
    }
    return out;
}

std::vector<ByteRange> Flash::erasedOutsideRegions() const {
    std::vector<ByteRange> all;
    for (const FlashOp& op : log_) {
        if (op.type != FlashOp::Type::Erase) continue;
        for (const ByteRange& r : outsideParts(op.address, op.length)) all.push_back(r);
    }
    return mergeRanges(std::move(all));
}

std::vector<ByteRange> Flash::writtenOutsideRegions() const {
    std::vector<ByteRange> all;
    for (const FlashOp& op : log_) {
        if (op.type != FlashOp::Type::Program) continue;
        for (const ByteRange& r : outsideParts(op.address, op.length)) all.push_back(r);
    }
    return mergeRanges(std::move(all));
}

std::vector<FlashOp> Flash::writesOverUnerased() const {
    std::vector<FlashOp> out;
    for (const FlashOp& op : log_) {
        if (op.type == FlashOp::Type::Program && op.overUnerased) out.push_back(op);
    }
    return out;
}

}  // namespace ql5::emulator
