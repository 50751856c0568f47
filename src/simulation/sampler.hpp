#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/heap.hpp"
#include "runtime/types.hpp"
#include "simulation/random.hpp"

namespace simulation {

// Draws from a finite distribution with one random word and no loop, by
// Walker's alias method: the word times n picks one of n equally likely
// columns by its upper 64 bits, and its lower 64 bits pick, in the column,
// either the column's own value or its alias. Each column holds the
// probability of its own value scaled by n, what the column lacks being
// made up by its alias. A draw costs a multiply, a compare and a select in
// integers, whatever n is; its probabilities are those given up to rounding
// of about n 2^-53.
class Sampler {
public:
    Sampler() = default;

    // The distribution that gives `values[k]` weight `weights[k]`; weights
    // of 0 or less are dropped and the rest normalised. "Empty pmf" if no
    // weight is positive.
    Sampler(const Int* values, const Real* weights, std::size_t length);

    // A distribution of one value needs no random number: deterministic
    // services and steady arrivals cost nothing to draw.
    bool isCertain() const { return columnCount == 1; }
    Int certainValue() const { return columns[0].value; }

    Int draw(RunGenerator& random) const {
        if (isCertain()) return columns[0].value;
        __extension__ using Wide = unsigned __int128;
        const Wide scaled = static_cast<Wide>(random.next()) * columnCount;
        const Column& column = columns[static_cast<std::size_t>(scaled >> 64)];
        return static_cast<std::uint64_t>(scaled) < column.keep ? column.value : column.alias;
    }

    // The largest value of positive probability; 0 for a distribution not
    // yet made.
    Int largest() const { return largestValue; }

    // Whether `other` draws the same values from the same random words.
    bool drawsAs(const Sampler& other) const {
        if (columnCount != other.columnCount) return false;
        for (std::size_t k = 0; k < columns.size(); ++k) {
            const Column &a = columns[k], &b = other.columns[k];
            if (a.keep != b.keep || a.value != b.value || a.alias != b.alias) return false;
        }
        return true;
    }

    // Every value of positive probability with its probability, as the
    // columns hold them (up to their rounding), in increasing order of value.
    struct Chance {
        Int value;
        Real probability;
    };
    HeapVector<Chance> chances() const;

private:
    struct Column {
        std::uint64_t keep;  // the share of the column that draws `value`, times 2^64
        Int value;
        Int alias;
    };
    HeapVector<Column> columns;
    std::uint64_t columnCount = 0;  // columns.size(), at hand for every draw
    Int largestValue = 0;
};

}  // namespace simulation
