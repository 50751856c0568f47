#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "runtime/heap.hpp"
#include "runtime/types.hpp"
#include "simulation/random.hpp"

namespace simulation {

// Draws from a finite distribution with one uniform number: the inverse of
// the cumulative distribution, started from a guide table that points, for
// each of `guide.size()` equal slices of [0, 1), at the first value the
// slice can reach, so that a draw takes one or two comparisons on average
// whatever the number of values. The draws are exact up to the 2^-53 grid
// of the uniform numbers.
class Sampler {
public:
    Sampler() = default;

    // The distribution that gives `values[k]` weight `weights[k]`; weights
    // of 0 or less are dropped and the rest normalised. "Empty pmf" if no
    // weight is positive.
    Sampler(const Int* values, const Real* weights, std::size_t length);

    // A distribution of one value needs no random number: deterministic
    // services and steady arrivals cost nothing to draw.
    bool isCertain() const { return choices.size() == 1; }
    Int certainValue() const { return choices[0]; }

    Int draw(RunGenerator& random) const {
        if (isCertain()) return choices[0];
        const double u = random.uniform();
        // The product may round up to the number of slices for u just below 1.
        const auto slice = static_cast<std::size_t>(u * static_cast<double>(guide.size()));
        std::size_t k = guide[std::min(slice, guide.size() - 1)];
        while (cumulative[k] <= u) ++k;
        return choices[k];
    }

    // The largest value of positive probability; 0 for a distribution not
    // yet made.
    Int largest() const { return choices.empty() ? 0 : choices.back(); }
    // The values of positive probability, in the order given.
    const HeapVector<Int>& values() const { return choices; }

private:
    HeapVector<Int> choices;
    HeapVector<double> cumulative;  // the last is exactly 1
    HeapVector<std::uint32_t> guide;
};

}  // namespace simulation
