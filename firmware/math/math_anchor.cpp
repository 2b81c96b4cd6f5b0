// Placeholder translation unit so the library has an object until its routines arrive.
#include "firmware/math/arith.hpp"
