// The fixed-point motor-control math library: formats, records, basic operations and routines.
#pragma once

#include "firmware/math/controller_pi.hpp"
#include "firmware/math/dc_bus_ripple.hpp"
#include "firmware/math/frac.hpp"
#include "firmware/math/sin_cos.hpp"
#include "firmware/math/sqrt.hpp"
#include "firmware/math/svm.hpp"
#include "firmware/math/transforms.hpp"
#include "firmware/math/types.hpp"
