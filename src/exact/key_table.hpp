#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/heap.hpp"

// States of the exact chain are short rows of small counts ("digits"): per
// node the number waiting and the number of busy servers by remaining
// service time. Sixteen bits hold any count a chain small enough to explore
// can reach, and keep the keys, which the hash map compares and the chain
// stores once per state, small.
using Digit = std::uint16_t;
inline constexpr long long largestDigit = 0xFFFF;

// A set of keys of `width` digits, each numbered by the order in which it
// was first inserted: open addressing with linear probing over a table kept
// at most half full. A slot holds the upper 32 bits of the key's hash beside
// its number, so most probes that miss never compare keys; the lower 32
// bits, which place a key, are kept per key, so that growing and clearing
// the table hash nothing again.
class KeyTable {
public:
    explicit KeyTable(int width = 0) : keyWidth(width) {}

    struct Found {
        std::uint32_t index;
        bool inserted;
    };

    // The number of `key`, inserting it if it is new. A failure (no memory
    // for the keys or the slots) leaves the table as it was.
    Found insert(const Digit* key);
    // The number of `key`, or -1 if it is not in the table.
    long long find(const Digit* key) const;

    const Digit* key(std::uint32_t index) const {
        return keys.data() + static_cast<std::size_t>(index) * static_cast<std::size_t>(keyWidth);
    }
    std::uint32_t size() const { return count; }
    int width() const { return keyWidth; }

    // Forgets every key and takes the new width; keeps the storage, so a
    // table emptied for every row of a chain stops allocating.
    void clear(int width);
    void clear() { clear(keyWidth); }
    // Frees the storage too.
    void release();

    // Bytes of storage held, for the chain's reports.
    std::size_t bytes() const;

private:
    static std::uint64_t hashOf(const Digit* key, int width);
    void grow();
    std::uint64_t* slotOf(const Digit* key, std::uint64_t hash);

    int keyWidth;
    std::uint32_t count = 0;
    HeapVector<Digit> keys;
    HeapVector<std::uint32_t> places;  // the lower hash bits of each key
    // 0: empty; else (hash bits << 32) | (number + 1).
    HeapVector<std::uint64_t> slots;
};
