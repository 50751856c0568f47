// The routing table that keeps only routes, against a plain N by N table fed
// the same writes.
#include <random>
#include <vector>

#include "models/routing.hpp"
#include "test_support.hpp"

namespace {
Real anyProbability(Real p) { return p; }
}  // namespace

TEST(RoutingTable, HoldsWhatAPlainTableHolds) {
    std::mt19937 engine(19);
    auto between = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(engine);
    };
    const Real values[] = {0.0, -0.0, 0.125, 0.5, 1.0};
    for (int trial = 0; trial < 200; ++trial) {
        TestContext obj;
        const int n = between(1, 6);
        RoutingTable* table = createRoutingTable(obj.get(), n);
        std::vector<std::vector<Real>> plain(n, std::vector<Real>(n, 0.0));
        for (int call = 0; call < 5; ++call) {
            // Several changes of one entry in one call: the last one counts.
            std::vector<RoutingChange> changes(between(0, 8));
            for (RoutingChange& change : changes) {
                change = {between(0, n - 1), between(0, n - 1), values[between(0, 4)]};
            }
            // Now and then one names no node: then nothing at all changes.
            const bool fails = !changes.empty() && between(0, 5) == 0;
            if (fails) changes[between(0, changes.size() - 1)].destination = n;
            if (fails) {
                EXPECT_RAISES(writeRoutes(obj.get(), table, changes, anyProbability),
                              messages::lookupIndexOutOfRange);
            } else {
                writeRoutes(obj.get(), table, changes, anyProbability);
                for (const RoutingChange& c : changes)
                    plain[c.source][c.destination] = c.probability;
            }
            for (Int s = 0; s < n; ++s) {
                Int previous = -1;
                for (const Route& route : routesOf(lookup(table, s))) {
                    EXPECT_GT(route.destination, previous);  // in order, none twice
                    EXPECT_GT(route.probability, 0.0);
                    previous = route.destination;
                }
                for (Int d = 0; d < n; ++d) {
                    EXPECT_EQ(lookupRoutingProbability(table, s, d),
                              plain[s][d] > 0 ? plain[s][d] : 0.0);
                }
            }
        }
        EXPECT_RAISES(lookupRoutingProbability(table, 0, n), messages::lookupIndexOutOfRange);
    }
}
