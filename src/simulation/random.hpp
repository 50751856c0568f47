#pragma once

#include <cstdint>

// The random numbers of a simulation. Every run has a generator of its own,
// derived from the caller's key and the run's index alone, so a run draws
// the same numbers whichever thread runs it and however many threads there
// are: the result depends on the key and the number of runs, never on the
// schedule of the threads.

namespace simulation {

// One round of SplitMix64's output function: a bijection of 64 bits whose
// every output bit depends on every input bit.
constexpr std::uint64_t mix64(std::uint64_t x) {
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// xoshiro256++: fast, 256 bits of state, and streams that do not overlap in
// practice when seeded from well-mixed, distinct words.
class RunGenerator {
public:
    // The stream of run `run` under `key`. The key and the index are mixed
    // separately before they meet, so neighbouring keys and neighbouring
    // runs land far apart; SplitMix64 then spreads the result over the
    // state, which is never all zero.
    RunGenerator(std::uint64_t key, std::uint64_t run) {
        std::uint64_t seed =
            mix64(key + 0x9e3779b97f4a7c15ULL) ^ mix64(~run * 0xd1342543de82ef95ULL);
        for (std::uint64_t& word : state) {
            seed += 0x9e3779b97f4a7c15ULL;
            word = mix64(seed);
        }
    }

    std::uint64_t next() {
        const std::uint64_t result = rotate(state[0] + state[3], 23) + state[0];
        const std::uint64_t t = state[1] << 17;
        state[2] ^= state[0];
        state[3] ^= state[1];
        state[1] ^= state[2];
        state[0] ^= state[3];
        state[2] ^= t;
        state[3] = rotate(state[3], 45);
        return result;
    }

    // Uniform on [0, 1), in steps of 2^-53: every double of that grid is
    // equally likely.
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

private:
    static constexpr std::uint64_t rotate(std::uint64_t x, int k) {
        return (x << k) | (x >> (64 - k));
    }

    std::uint64_t state[4];
};

}  // namespace simulation
