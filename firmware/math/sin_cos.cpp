#include "firmware/math/sin_cos.hpp"

const GFLIB_SINTLR_T gflibSinCoef = {{188656, -5026995, 85569306, -693598668, 1686629713}};
const GFLIB_COSTLR_T gflibCosCoef = {{188656, -5026995, 85569306, -693598668, 1686629713}};
