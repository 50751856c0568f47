#pragma once

#include <type_traits>

#include "pmf/arrays.hpp"
#include "pmf/pmf.hpp"
#include "runtime/errors.hpp"
#include "runtime/memory.hpp"

// What every model object starts with: the interpreter's object header and
// the memory context. It is the first base of every model object, so it
// sits at the object's address, where the interpreter's pointer points.
struct ModelHeader {
    NObject header;
};

// A model object: the header, the live fields, then `_mark`, the snapshot
// that mark and restore copy to and from. Both are one `Fields` record, so
// a field added to the record is part of the live model and of its
// snapshot at once. The live fields are a base rather than a member so that
// the model code names them directly (self->_internalState).
//
// Each Fields record comes with forEachField(visit, records...), which calls
// visit(info, field...) with a FieldInfo and the same field of every record
// given, for each field in declaration order: the one list that the
// collector, mark, restore, pickles and anything else that walks every field
// go through.
template <typename Fields>
struct ModelObject : ModelHeader, Fields {
    Fields _mark;

    Fields& live() { return *this; }
};

// What the walk tells of a field besides its values: its name as Python
// knows it, and the rule that a value from outside must pass (the setter's:
// it returns the value or raises), null where every value of the type will
// do. `Value` is the type of the field, or of its entries for an array.
template <typename Value>
struct FieldInfo {
    const char* name;
    Value (*rule)(Value) = nullptr;
    // Whether Python may give the live field another length than the other
    // per-node arrays have.
    bool anyLength = false;
};

// The rule of a station's state: a joint distribution of (z, ell).
inline Pmf* confirmStatePmf(Pmf* pmf) { return confirmJointPmf(pmf, 2); }

// The most entities a station or node may hold. It is stored as an Int,
// with noCapacity for a station without a limit; the walk of the fields
// names it by this type, so that Python sees None for no limit.
struct Capacity {
    Int most;
};
inline constexpr Int noCapacity = -1;
// A limit of 0 or more, or none.
inline Capacity confirmCapacity(Capacity capacity) {
    if (capacity.most < noCapacity) navro::abort(messages::invalidValue);
    return capacity;
}

// The chance that a waiting entity gives up in a step. NaN fails too.
inline Real confirmAbandonmentProbability(Real probability) {
    if (!(probability >= 0 && probability <= 1)) navro::abort(messages::invalidValue);
    return probability;
}

// Marks what one field reaches; a plain value reaches nothing.
template <typename Field>
void flagField(Field field) {
    if constexpr (std::is_pointer_v<Field>) flag(field);
}

// The collector of a model: marks every block that the live fields and the
// snapshot reach, then frees the rest of the context.
template <typename Fields>
void collectModel(ModelObject<Fields>* self) {
    auto flagOne = [](const auto&, auto field) { flagField(field); };
    forEachField(flagOne, self->live());
    forEachField(flagOne, self->_mark);
    release(&self->header);
}
