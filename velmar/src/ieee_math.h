// Logarithm, exponential and hypotenuse of float64 built from IEEE-754
// additions, multiplications, divisions and square roots only, so that they
// give the same bits on every platform, compiler and vector clone (libm's
// results may differ in the last bit between implementations). Accurate to a
// few units in the last place; not correctly rounded.
#pragma once

namespace velmar::detail {

// ln(x): -inf for +-0, NaN for x < 0 and NaN, +inf for +inf.
double ieee_log(double x) noexcept;

// e^x: +inf above about 709.78, +0.0 below about -745.13, NaN for NaN.
double ieee_exp(double x) noexcept;

// sqrt(a^2 + b^2) without overflow or underflow in the squares.
double ieee_hypot(double a, double b) noexcept;

}  // namespace velmar::detail
