#include "simulation/sampler.hpp"

#include <algorithm>

#include "runtime/errors.hpp"

namespace simulation {

Sampler::Sampler(const Int* values, const Real* weights, std::size_t length) {
    Real total = 0.0;
    for (std::size_t k = 0; k < length; ++k) {
        if (!(weights[k] > 0)) continue;
        choices.push_back(values[k]);
        total += weights[k];
        cumulative.push_back(total);
    }
    if (choices.empty()) navro::abort(messages::emptyPmf);
    for (double& c : cumulative) c /= total;
    // Rounding may leave the last a hair from 1; a uniform number below 1
    // must always find a value.
    cumulative.back() = 1.0;
    const std::size_t slices = choices.size();
    guide.resize(slices);
    std::size_t k = 0;
    for (std::size_t j = 0; j < slices; ++j) {
        const double start = static_cast<double>(j) / static_cast<double>(slices);
        while (cumulative[k] <= start) ++k;
        guide[j] = static_cast<std::uint32_t>(k);
    }
}

}  // namespace simulation
