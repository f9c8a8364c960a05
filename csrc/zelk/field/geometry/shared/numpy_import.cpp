#define ZELK_NUMPY_IMPORT
#include "zelk/field/geometry/shared/numpy.hpp"

namespace zelk {

bool import_numpy() {
    if (PyArray_API != nullptr) return true;
    return _import_array() >= 0;
}

}  // namespace zelk
