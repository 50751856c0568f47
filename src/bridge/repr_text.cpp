#include "bridge/repr_text.hpp"

#include <cstdarg>
#include <cstdio>

#include "bridge/scalars.hpp"

void ReprText::add(const char* format, ...) {
    const std::size_t room = sizeof(text) - used;
    if (room <= 1) return;
    va_list arguments;
    va_start(arguments, format);
    const int written = std::vsnprintf(text + used, room, format, arguments);
    va_end(arguments);
    if (written < 0) return;
    used += static_cast<std::size_t>(written) < room ? static_cast<std::size_t>(written) : room - 1;
}

PyObject* ReprText::toPy() const { return checkedNew(PyUnicode_FromString(text)); }

Real meanOf(const Pmf* pmf) {
    Real mean = 0.0;
    for (int k = 0; k < pmf->simple.length; ++k)
        mean += static_cast<Real>(pmf->simple.offset + k) * pmf->simple.elements[k];
    return mean;
}
