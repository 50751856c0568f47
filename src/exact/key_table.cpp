#include "exact/key_table.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "runtime/errors.hpp"

namespace {
constexpr std::uint64_t indexMask = 0xFFFFFFFFull;
constexpr std::size_t smallestTable = 16;

std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return h;
}
}  // namespace

std::uint64_t KeyTable::hashOf(const Digit* key, int width) {
    // Four digits at a time; the last chunk is padded with zeros.
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ static_cast<std::uint64_t>(width);
    int i = 0;
    for (; i + 4 <= width; i += 4) {
        std::uint64_t chunk;
        std::memcpy(&chunk, key + i, sizeof chunk);
        h = (h ^ chunk) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    }
    if (i < width) {
        std::uint64_t chunk = 0;
        std::memcpy(&chunk, key + i, static_cast<std::size_t>(width - i) * sizeof(Digit));
        h = (h ^ chunk) * 0x9E3779B97F4A7C15ull;
    }
    return mix(h);
}

std::uint64_t* KeyTable::slotOf(const Digit* key, std::uint64_t hash) {
    const std::size_t mask = slots.size() - 1;
    const std::uint64_t tag = hash >> 32;
    const std::size_t bytes = static_cast<std::size_t>(keyWidth) * sizeof(Digit);
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
        std::uint64_t& slot = slots[at];
        if (slot == 0) return &slot;
        if ((slot >> 32) == tag &&
            std::memcmp(this->key(static_cast<std::uint32_t>((slot & indexMask) - 1)), key,
                        bytes) == 0)
            return &slot;
    }
}

KeyTable::Found KeyTable::insert(const Digit* key) {
    if (2 * (static_cast<std::size_t>(count) + 1) > slots.size()) grow();
    const std::uint64_t hash = hashOf(key, keyWidth);
    std::uint64_t* slot = slotOf(key, hash);
    if (*slot != 0) return {static_cast<std::uint32_t>((*slot & indexMask) - 1), false};
    if (count == std::numeric_limits<std::uint32_t>::max() - 1) abortOutOfMemory();
    // The key goes in first: if its storage cannot grow, no slot names it.
    places.push_back(static_cast<std::uint32_t>(hash));
    try {
        keys.insert(keys.end(), key, key + keyWidth);
    } catch (...) {
        places.pop_back();
        throw;
    }
    *slot = ((hash >> 32) << 32) | (static_cast<std::uint64_t>(count) + 1);
    return {count++, true};
}

long long KeyTable::find(const Digit* key) const {
    if (count == 0) return -1;
    const std::uint64_t hash = hashOf(key, keyWidth);
    std::uint64_t* slot = const_cast<KeyTable*>(this)->slotOf(key, hash);
    return *slot == 0 ? -1 : static_cast<long long>((*slot & indexMask) - 1);
}

void KeyTable::grow() {
    const std::size_t size = std::max(smallestTable, 2 * slots.size());
    // Built aside, so that a failure leaves the table as it was.
    HeapVector<std::uint64_t> larger(size, 0);
    const std::size_t mask = size - 1;
    for (std::uint64_t slot : slots) {
        if (slot == 0) continue;
        const std::uint32_t index = static_cast<std::uint32_t>((slot & indexMask) - 1);
        // 32 bits place a key in any table of up to 2**32 slots.
        std::size_t at = places[index] & mask;
        while (larger[at] != 0) at = (at + 1) & mask;
        larger[at] = slot;
    }
    slots.swap(larger);
}

void KeyTable::clear(int width) {
    // A table that the last use left nearly empty is cleared key by key,
    // last first: each key's probe then runs only over slots that keys
    // inserted before it still fill.
    if (static_cast<std::size_t>(count) * 8 < slots.size()) {
        const std::size_t mask = slots.size() - 1;
        for (std::uint32_t i = count; i-- > 0;) {
            std::size_t at = places[i] & mask;
            while ((slots[at] & indexMask) != static_cast<std::uint64_t>(i) + 1)
                at = (at + 1) & mask;
            slots[at] = 0;
        }
    } else {
        std::fill(slots.begin(), slots.end(), 0);
    }
    keys.clear();
    places.clear();
    count = 0;
    keyWidth = width;
}

void KeyTable::release() {
    HeapVector<Digit>().swap(keys);
    HeapVector<std::uint32_t>().swap(places);
    HeapVector<std::uint64_t>().swap(slots);
    count = 0;
}

std::size_t KeyTable::bytes() const {
    return keys.capacity() * sizeof(Digit) + places.capacity() * sizeof(std::uint32_t) +
           slots.capacity() * sizeof(std::uint64_t);
}
