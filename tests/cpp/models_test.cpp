// Both models driven without an interpreter, with the heap made to fail at
// every request of an operation in turn, the blocks of the memory context
// and the working storage alike: each failure must raise "Out of memory",
// leave every field as it was and leave nothing behind once the collector
// has run. Interruptions at every point of a step or a run, likewise.
#include <cmath>
#include <functional>
#include <vector>

#include "models/standard_multiserver.hpp"
#include "models/standard_network_multiserver.hpp"
#include "models/trajectory.hpp"
#include "runtime/interruption.hpp"
#include "test_support.hpp"

namespace {

std::size_t liveBytes(NObject* obj) {
    std::size_t bytes = 0;
    for (MemHeader* block = obj->memList; block != nullptr; block = block->next)
        bytes += block->size;
    return bytes;
}

// Runs `operation` with the n-th allocation failing, for n = 1, 2, ... until
// it succeeds. After each failure `unchanged` must hold and the collector
// must bring the context back to the blocks the fields reach. `collect`
// also drops the step's scratch storage, which is kept between calls on
// purpose, so that what is left on the heap can be compared.
void failEveryAllocation(NObject* obj, const std::function<void()>& operation,
                         const std::function<void()>& unchanged,
                         const std::function<void()>& collect) {
    collect();
    const std::size_t bytesBefore = liveBytes(obj);
    const std::size_t blocksBefore = liveBlocks(obj);
    const long heapBlocksBefore = heapBlocksInUse();
    for (long n = 1;; ++n) {
        setAllocationFailureCountdown(n);
        try {
            operation();
        } catch (const CException& error) {
            setAllocationFailureCountdown(0);
            EXPECT_STREQ(error.message, messages::outOfMemory) << "allocation " << n;
            unchanged();
            collect();
            EXPECT_EQ(liveBytes(obj), bytesBefore) << "allocation " << n;
            EXPECT_EQ(liveBlocks(obj), blocksBefore) << "allocation " << n;
            EXPECT_EQ(heapBlocksInUse(), heapBlocksBefore) << "allocation " << n;
            continue;
        }
        setAllocationFailureCountdown(0);
        ASSERT_GT(n, 1) << "the operation allocates nothing";
        collect();
        return;
    }
}

struct Station {
    _StandardMultiserver_object self{};

    Station() {
        initializeMemoryContext(&self.header, nullptr, nullptr, nullptr);
        _StandardMultiserver_setDefaults(&self);
        _StandardMultiserver_init(&self);
        NObject* obj = &self.header;
        self._numberOfServers = 2;
        self._numberOfArrivalsPmf = simplePmf(obj, 0, {0.5, 0.3, 0.2});
        self._serviceDurationPmf = simplePmf(obj, 1, {0.4, 0.3, 0.3});
        for (int i = 0; i < 3; ++i) _StandardMultiserver_step(&self);
        _StandardMultiserver_memRelease(&self);
    }
    ~Station() {
        _StandardMultiserver_releaseWorkspace(&self);
        release(&self.header);
    }

    std::vector<const void*> fields() const {
        return {self._numberOfArrivalsPmf,
                self._serviceDurationPmf,
                self._internalState,
                self._mark._numberOfArrivalsPmf,
                self._mark._serviceDurationPmf,
                self._mark._internalState};
    }
};

struct Network {
    _StandardNetworkMultiserver_object self{};
    static constexpr Int nodes = 3;

    Network() {
        initializeMemoryContext(&self.header, nullptr, nullptr, nullptr);
        _StandardNetworkMultiserver_setDefaults(&self);
        _StandardNetworkMultiserver_init(&self, nodes);
        NObject* obj = &self.header;
        for (Int i = 0; i < nodes; ++i) {
            _StandardNetworkMultiserver_setNumberOfServersAtNode(&self, i, 1 + i);
            _StandardNetworkMultiserver_setServiceDurationAtNodePmf(&self, i,
                                                                    simplePmf(obj, 1, {0.5, 0.5}));
        }
        _StandardNetworkMultiserver_setNumberOfExternalArrivalsAtNodePmf(
            &self, 0, simplePmf(obj, 0, {0.4, 0.4, 0.2}));
        _StandardNetworkMultiserver_setRoutingProbability(&self, 0, 1, 0.6);
        _StandardNetworkMultiserver_setRoutingProbability(&self, 1, 2, 0.5);
        _StandardNetworkMultiserver_setRoutingProbability(&self, 2, 0, 0.3);
        _StandardNetworkMultiserver_setRoutingProbability(&self, 2, 2, 0.2);
        for (int i = 0; i < 3; ++i) _StandardNetworkMultiserver_step(&self);
        _StandardNetworkMultiserver_memRelease(&self);
    }
    ~Network() {
        _StandardNetworkMultiserver_releaseWorkspace(&self);
        release(&self.header);
    }

    std::vector<const void*> states() const {
        std::vector<const void*> entries;
        for (Int i = 0; i < self._internalState->length; ++i)
            entries.push_back(self._internalState->elements[i]);
        entries.push_back(self._internalState);
        return entries;
    }
};

}  // namespace

TEST(StationUnderHeapFailure, EveryOperationFailsCleanly) {
    const std::vector<std::pair<const char*, std::function<void(_StandardMultiserver_object*)>>>
        operations = {
            {"step", [](auto* s) { _StandardMultiserver_step(s); }},
            {"observe range", [](auto* s) { _StandardMultiserver_applyObservationRange(s, 1, 4); }},
            {"observe value", [](auto* s) { _StandardMultiserver_applyObservationValue(s, 2); }},
            {"reset",
             [](auto* s) { _StandardMultiserver_resetWithNumberOfEntitiesInSystem(s, 4); }},
    };
    for (const auto& [name, operation] : operations) {
        SCOPED_TRACE(name);
        Station station;
        const auto before = station.fields();
        const Int time = station.self._time;
        failEveryAllocation(
            &station.self.header, [&] { operation(&station.self); },
            [&] {
                EXPECT_EQ(station.fields(), before);
                EXPECT_EQ(station.self._time, time);
            },
            [&] {
                _StandardMultiserver_memRelease(&station.self);
                _StandardMultiserver_releaseWorkspace(&station.self);
            });
        // The object stays usable: the same operation now goes through.
        EXPECT_NO_THROW(operation(&station.self));
    }
}

TEST(NetworkUnderHeapFailure, EveryOperationFailsCleanly) {
    const std::vector<
        std::pair<const char*, std::function<void(_StandardNetworkMultiserver_object*)>>>
        operations = {
            {"step", [](auto* s) { _StandardNetworkMultiserver_step(s); }},
            {"observe range",
             [](auto* s) { _StandardNetworkMultiserver_applyObservationRangeAtNode(s, 1, 0, 2); }},
            {"observe value",
             [](auto* s) { _StandardNetworkMultiserver_applyObservationValueAtNode(s, 0, 1); }},
            {"reset",
             [](auto* s) { _StandardNetworkMultiserver_resetNodeWithNumberOfEntities(s, 2, 3); }},
    };
    for (const auto& [name, operation] : operations) {
        SCOPED_TRACE(name);
        Network network;
        const auto before = network.states();
        const Int time = network.self._time;
        failEveryAllocation(
            &network.self.header, [&] { operation(&network.self); },
            [&] {
                EXPECT_EQ(network.states(), before);
                EXPECT_EQ(network.self._time, time);
            },
            [&] {
                _StandardNetworkMultiserver_memRelease(&network.self);
                _StandardNetworkMultiserver_releaseWorkspace(&network.self);
            });
        EXPECT_NO_THROW(operation(&network.self));
    }
}

// What a failed construction leaves is all freed with the object.
template <typename Object, typename Construct>
void constructFailingAtEveryRequest(Construct&& construct) {
    const long heapBlocksBefore = heapBlocksInUse();
    for (long n = 1;; ++n) {
        Object self{};
        initializeMemoryContext(&self.header, nullptr, nullptr, nullptr);
        setAllocationFailureCountdown(n);
        bool failed = false;
        try {
            construct(&self);
        } catch (const CException& error) {
            EXPECT_STREQ(error.message, messages::outOfMemory);
            failed = true;
        }
        setAllocationFailureCountdown(0);
        release(&self.header);
        EXPECT_EQ(self.header.memList, nullptr);
        EXPECT_EQ(heapBlocksInUse(), heapBlocksBefore) << "allocation " << n;
        if (!failed) break;
    }
}

TEST(ModelsUnderHeapFailure, ConstructionFailsCleanlyAtEveryRequest) {
    constructFailingAtEveryRequest<_StandardMultiserver_object>([](auto* self) {
        _StandardMultiserver_setDefaults(self);
        _StandardMultiserver_init(self);
    });
    constructFailingAtEveryRequest<_StandardNetworkMultiserver_object>([](auto* self) {
        _StandardNetworkMultiserver_setDefaults(self);
        _StandardNetworkMultiserver_init(self, 4);
    });
}

TEST(Snapshots, MarkAndRestoreAllocateNothing) {
    Network network;
    Station station;
    const std::uint64_t networkPeak = network.self.header.peakMemoryUse;
    _StandardNetworkMultiserver_mark(&network.self);
    _StandardNetworkMultiserver_restore(&network.self);
    EXPECT_FALSE(network.self.header.isMemModified);
    EXPECT_EQ(network.self.header.peakMemoryUse, networkPeak);
    _StandardMultiserver_mark(&station.self);
    _StandardMultiserver_restore(&station.self);
    EXPECT_FALSE(station.self.header.isMemModified);
}

namespace {

void collectStation(NObject* obj) {
    _StandardMultiserver_memRelease(reinterpret_cast<_StandardMultiserver_object*>(obj));
}

std::vector<Real> marginalOf(const _StandardMultiserver_object& self) {
    const Pmf* m = self._internalState->joint.marginal;
    std::vector<Real> values(static_cast<std::size_t>(m->simple.offset), 0.0);
    values.insert(values.end(), m->simple.elements, m->simple.elements + m->simple.length);
    return values;
}

// The marginals of a new Station after 0, 1, ..., `steps` steps.
std::vector<std::vector<Real>> marginalsOfSteps(int steps) {
    Station twin;
    std::vector<std::vector<Real>> marginals;
    for (int k = 0; k <= steps; ++k) {
        marginals.push_back(marginalOf(twin.self));
        _StandardMultiserver_step(&twin.self);
    }
    return marginals;
}

// The rows of a recording as dense rows from count 0, each cut to its last
// positive count.
std::vector<std::vector<Real>> rowsOf(const Recording& recording) {
    const auto width = static_cast<std::size_t>(recording.windowWidth());
    std::vector<Int> offsets(recording.rowCount());
    std::vector<Real> windows(width * recording.rowCount());
    recording.copyWindows(offsets.data(), windows.data());
    std::vector<std::vector<Real>> rows;
    for (std::size_t r = 0; r < recording.rowCount(); ++r) {
        std::vector<Real> row(static_cast<std::size_t>(offsets[r]), 0.0);
        row.insert(row.end(), windows.begin() + r * width, windows.begin() + (r + 1) * width);
        while (!row.empty() && row.back() == 0) row.pop_back();
        rows.push_back(row);
    }
    return rows;
}

}  // namespace

TEST(Recording, RowsAreTheStepsByHandAtEveryChosenStep) {
    Station recorded, byHand;
    // Steps 1..5 of a run, every second one: 0, 2 and 4.
    Recording first = _StandardMultiserver_record(&recorded.self, collectStation, 5, 2, 0, 4);
    // Steps 6..8 of the same run: 6 and 8, not its start again.
    Recording second = _StandardMultiserver_record(&recorded.self, collectStation, 3, 2, 5, 4);
    std::vector<std::vector<Real>> expected;
    std::vector<Real> completions;
    for (int g = 0; g <= 8; ++g) {
        if (g % 2 == 0) expected.push_back(marginalOf(byHand.self));
        if (g % 2 == 1)
            completions.push_back(
                expectedCompletions(byHand.self._internalState, byHand.self._numberOfServers));
        _StandardMultiserver_step(&byHand.self);
    }
    std::vector<std::vector<Real>> rows = rowsOf(first);
    for (const auto& row : rowsOf(second)) rows.push_back(row);
    EXPECT_EQ(rows, expected);
    EXPECT_TRUE(std::isnan(first.completions[0]));
    EXPECT_EQ(std::vector<Real>(first.completions.begin() + 1, first.completions.end()),
              std::vector<Real>(completions.begin(), completions.begin() + 2));
    EXPECT_EQ(std::vector<Real>(second.completions.begin(), second.completions.end()),
              std::vector<Real>(completions.begin() + 2, completions.end()));
    // Every step's intermediates went at the checkpoint after it.
    const std::size_t blocks = liveBlocks(&recorded.self.header);
    collectStation(&recorded.self.header);
    EXPECT_EQ(liveBlocks(&recorded.self.header), blocks);
}

TEST(Recording, AHeapFailureLeavesTheModelAfterItsLastWholeStep) {
    const std::vector<std::vector<Real>> afterSteps = marginalsOfSteps(4);
    for (long n = 1;; ++n) {
        Station station;
        const Int time = station.self._time;
        setAllocationFailureCountdown(n);
        try {
            _StandardMultiserver_record(&station.self, collectStation, 4, 1, 0, 4);
        } catch (const CException& error) {
            setAllocationFailureCountdown(0);
            EXPECT_STREQ(error.message, messages::outOfMemory);
            // The recording's own storage may fail after the last step too.
            const Int whole = station.self._time - time;
            ASSERT_LE(whole, 4);
            EXPECT_EQ(marginalOf(station.self), afterSteps[static_cast<std::size_t>(whole)]);
            continue;
        }
        setAllocationFailureCountdown(0);
        EXPECT_EQ(marginalOf(station.self), afterSteps[4]);
        break;
    }
}

// The interpreter hands the object's address to every entry, which reads
// the header there.
TEST(ModelObjects, HeaderSitsAtTheObjectsAddress) {
    Station station;
    Network network;
    EXPECT_EQ(static_cast<void*>(&station.self.header), static_cast<void*>(&station.self));
    EXPECT_EQ(static_cast<void*>(&network.self.header), static_cast<void*>(&network.self));
}

// Interruptions: a long operation whose check throws at any of its points
// leaves the model as a failed operation does.
namespace {

struct Interruption {};

// Runs `operation` with every interruption point checking and the n-th check
// throwing, for n = 1, 2, ... until the operation ends first; `interrupted`
// looks at the model after each interruption.
void interruptAtEveryCheck(const std::function<void()>& operation,
                           const std::function<void()>& interrupted) {
    for (long n = 1;; ++n) {
        long left = n;
        InterruptionScope scope(
            [](void* context) {
                if (--*static_cast<long*>(context) == 0) throw Interruption{};
            },
            &left, 1);
        try {
            operation();
        } catch (const Interruption&) {
            interrupted();
            continue;
        }
        ASSERT_GT(n, 1) << "the operation has no interruption point";
        return;
    }
}

// A step of `model` interrupted at any point leaves what `seen` reads of it,
// and its clock, as they were.
template <typename Model, typename Step, typename Seen>
void interruptStepAnywhere(Model& model, Step step, Seen seen) {
    const auto before = seen(model);
    const Int time = model.self._time;
    interruptAtEveryCheck([&] { step(&model.self); },
                          [&] {
                              EXPECT_EQ(seen(model), before);
                              EXPECT_EQ(model.self._time, time);
                          });
}

}  // namespace

TEST(Interruptions, AStepStoppedAnywhereLeavesTheModelAsItWas) {
    Station station;
    interruptStepAnywhere(station, _StandardMultiserver_step,
                          [](const Station& s) { return s.fields(); });
    Network network;
    interruptStepAnywhere(network, _StandardNetworkMultiserver_step,
                          [](const Network& n) { return n.states(); });
}

TEST(Interruptions, ARecordedRunStoppedAnywhereLeavesTheModelAfterItsLastWholeStep) {
    const std::vector<std::vector<Real>> afterSteps = marginalsOfSteps(4);
    Station station;
    const Int time = station.self._time;
    interruptAtEveryCheck(
        [&] {
            const Int begun = station.self._time - time;
            _StandardMultiserver_record(&station.self, collectStation, 4 - begun, 1, begun, 4);
        },
        [&] {
            const Int whole = station.self._time - time;
            ASSERT_LE(whole, 4);
            EXPECT_EQ(marginalOf(station.self), afterSteps[static_cast<std::size_t>(whole)]);
        });
    EXPECT_EQ(marginalOf(station.self), afterSteps[4]);
}
