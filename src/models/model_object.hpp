#pragma once

#include <type_traits>

#include "pmf/arrays.hpp"
#include "pmf/pmf.hpp"
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
// visit with the same field of every record given, for each field in
// declaration order: the one list that the collector, mark, restore and
// anything else that walks every field go through.
template <typename Fields>
struct ModelObject : ModelHeader, Fields {
    Fields _mark;

    Fields& live() { return *this; }
};

// Marks what one field reaches; a plain value reaches nothing.
template <typename Field>
void flagField(Field field) {
    if constexpr (std::is_pointer_v<Field>) flag(field);
}

// The collector of a model: marks every block that the live fields and the
// snapshot reach, then frees the rest of the context.
template <typename Fields>
void collectModel(ModelObject<Fields>* self) {
    forEachField([](auto field) { flagField(field); }, self->live());
    forEachField([](auto field) { flagField(field); }, self->_mark);
    release(&self->header);
}
