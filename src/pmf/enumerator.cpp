#include "pmf/enumerator.hpp"

SampleEnumerator::SampleEnumerator(Pmf* pmf) {
    if (pmf == nullptr) abortInternal();
    switch (pmf->pmfType) {
        case SIMPLE:
            depth = 1;
            break;
        case JOINT:
            depth = pmf->joint.depth;
            break;
        default:
            abortInternal();
    }
    // The depth sizes the records and the recursion of run.
    if (depth < 1 || depth > maximumPmfDepth) abortInternal();
    records = allocateHeapArray<SampleEnumeratorRecord>(static_cast<std::size_t>(depth) + 1);
    records[0].pmf = pmf;
    records[0].probability = 1.0;
}

namespace {
// Puts `level` back on every way out of run, an error from recordSample
// included, so that the enumerator can run again.
struct LevelStep {
    explicit LevelStep(int& _level) : level(_level) { ++level; }
    ~LevelStep() { --level; }
    int& level;
};
}  // namespace

void SampleEnumerator::run() {
    if (level == depth) {
        recordSample();
        return;
    }
    Pmf* pmf = records[level].pmf;
    // A null or COMPOUND record here means a malformed tree (a conditional
    // missing under a positive marginal weight, or a level too few).
    if (pmf == nullptr || pmf->pmfType == COMPOUND) abortInternal();
    bool isJoint = pmf->pmfType == JOINT;
    Pmf* marginal = isJoint ? pmf->joint.marginal : pmf;
    const SampleEnumeratorRecord& above = records[level];
    LevelStep step(level);
    SampleEnumeratorRecord& record = records[level];
    for (int k = 0; k < marginal->simple.length; ++k) {
        Real p = marginal->simple.elements[k];
        if (p <= 0) continue;  // a NaN is visited, as it is not <= 0
        record.value = marginal->simple.offset + k;
        record.probability = p * above.probability;
        record.pmf = isJoint ? pmf->joint.elements[k] : nullptr;
        run();
    }
}
