// Elementary functions from IEEE-754 operations (see ieee_math.h). The library
// is built with -ffp-contract=off, so every operation below is rounded on its
// own, in the order written, on every target.
#include "ieee_math.h"

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

static_assert(FLT_EVAL_METHOD == 0);

namespace velmar::detail {
namespace {

// ln 2 split so that k * kLn2Hi is exact for |k| < 2^11.
constexpr double kLn2Hi = 0x1.62e42fee00000p-1;
constexpr double kLn2Lo = 0x1.a39ef35793c76p-33;
constexpr double kInvLn2 = 0x1.71547652b82fep+0;
constexpr double kSqrt2 = 0x1.6a09e667f3bcdp+0;

constexpr std::uint64_t kExponentMask = 0x7FF0000000000000ull;
constexpr std::uint64_t kMantissaMask = 0x000FFFFFFFFFFFFFull;
constexpr std::uint64_t kOneBits = 0x3FF0000000000000ull;

// 2^k for a normal exponent, -1022 <= k <= 1023.
double two_to(int k) noexcept {
  return std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52);
}

}  // namespace

double ieee_log(double x) noexcept {
  if (x != x) return x;
  if (x == 0.0) return -std::numeric_limits<double>::infinity();
  if (x < 0.0) return std::numeric_limits<double>::quiet_NaN();
  if (x == std::numeric_limits<double>::infinity()) return x;
  std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  int e = 0;
  if ((bits & kExponentMask) == 0) {  // subnormal: scale into the normals
    x *= 0x1p54;
    bits = std::bit_cast<std::uint64_t>(x);
    e = -54;
  }
  e += static_cast<int>((bits & kExponentMask) >> 52) - 1023;
  // x = 2^e * m, m in [sqrt(1/2), sqrt(2)).
  double m = std::bit_cast<double>((bits & kMantissaMask) | kOneBits);
  if (m >= kSqrt2) {
    m *= 0.5;
    e += 1;
  }
  // ln m = ln((1 + s) / (1 - s)) with s = f / (2 + f), f = m - 1 (exact):
  // 2s + s R(s^2), R(z) = 2z/3 + 2z^2/5 + ...; |s| < 0.172, so eleven terms
  // leave a relative error below 2^-60. Written as f - (f^2/2 - s (f^2/2 + R))
  // to keep the large part, f, exact.
  const double f = m - 1.0;
  const double s = f / (2.0 + f);
  const double z = s * s;
  double r = 0x1.642c8590b2164p-4;   // 2/23
  r = 0x1.8618618618618p-4 + z * r;  // 2/21
  r = 0x1.af286bca1af28p-4 + z * r;  // 2/19
  r = 0x1.e1e1e1e1e1e1ep-4 + z * r;  // 2/17
  r = 0x1.1111111111111p-3 + z * r;  // 2/15
  r = 0x1.3b13b13b13b14p-3 + z * r;  // 2/13
  r = 0x1.745d1745d1746p-3 + z * r;  // 2/11
  r = 0x1.c71c71c71c71cp-3 + z * r;  // 2/9
  r = 0x1.2492492492492p-2 + z * r;  // 2/7
  r = 0x1.999999999999ap-2 + z * r;  // 2/5
  r = 0x1.5555555555555p-1 + z * r;  // 2/3
  r = z * r;
  const double hfsq = 0.5 * (f * f);
  const double k = static_cast<double>(e);
  return k * kLn2Hi - ((hfsq - (s * (hfsq + r) + k * kLn2Lo)) - f);
}

double ieee_exp(double x) noexcept {
  if (x != x) return x;
  if (x > 709.782712893384) return std::numeric_limits<double>::infinity();
  if (x < -745.1332191019412) return 0.0;
  // x = k ln 2 + r, |r| <= ln(2)/2 (Cody and Waite's split of ln 2).
  const double t = x * kInvLn2;
  const int k = static_cast<int>(t < 0.0 ? t - 0.5 : t + 0.5);
  const double kd = static_cast<double>(k);
  const double r = (x - kd * kLn2Hi) - kd * kLn2Lo;
  // e^r by its Taylor series to r^14/14!, below 2^-57 of e^r for |r| <= 0.35.
  double p = 0x1.93974a8c07c9dp-37;   // 1/14!
  p = 0x1.6124613a86d09p-33 + r * p;  // 1/13!
  p = 0x1.1eed8eff8d898p-29 + r * p;  // 1/12!
  p = 0x1.ae64567f544e4p-26 + r * p;  // 1/11!
  p = 0x1.27e4fb7789f5cp-22 + r * p;  // 1/10!
  p = 0x1.71de3a556c734p-19 + r * p;  // 1/9!
  p = 0x1.a01a01a01a01ap-16 + r * p;  // 1/8!
  p = 0x1.a01a01a01a01ap-13 + r * p;  // 1/7!
  p = 0x1.6c16c16c16c17p-10 + r * p;  // 1/6!
  p = 0x1.1111111111111p-7 + r * p;   // 1/5!
  p = 0x1.5555555555555p-5 + r * p;   // 1/4!
  p = 0x1.5555555555555p-3 + r * p;   // 1/3!
  p = 0.5 + r * p;
  p = 1.0 + r * p;
  p = 1.0 + r * p;
  // 2^k in two factors where one would leave the normal range.
  if (k > 1023) return (p * two_to(k - 1023)) * two_to(1023);
  if (k < -1022) return (p * two_to(k + 1022)) * two_to(-1022);
  return p * two_to(k);
}

double ieee_hypot(double a, double b) noexcept {
  a = std::fabs(a);
  b = std::fabs(b);
  if (a < b) {
    const double t = a;
    a = b;
    b = t;
  }
  if (a == 0.0 || a == std::numeric_limits<double>::infinity()) return a;
  const double q = b / a;
  return a * std::sqrt(1.0 + q * q);
}

}  // namespace velmar::detail
