// A correctly rounded fused multiply-add in plain integer arithmetic, for C libraries whose
// fma() is not one (see exact_fma.cpp).
#pragma once

namespace lumeth {

// x * y + z rounded once, to nearest even, as the FMA instructions and a correct C library's
// fma() give it, infinities, NaNs, signed zeros and subnormal numbers included.
double exact_fma(double x, double y, double z);

}  // namespace lumeth
