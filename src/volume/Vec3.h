// Points and directions in patient space (millimetres, DICOM's LPS axes:
// x towards the patient's left, y towards posterior, z towards the head).
#pragma once

#include <array>
#include <cmath>

struct Vec3 {
  double x = 0, y = 0, z = 0;

  constexpr double operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
  friend constexpr Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
  friend constexpr Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
  friend constexpr Vec3 operator*(Vec3 a, double k) { return {a.x * k, a.y * k, a.z * k}; }
  friend constexpr Vec3 operator*(double k, Vec3 a) { return a * k; }
  friend constexpr Vec3 operator-(Vec3 a) { return {-a.x, -a.y, -a.z}; }
  bool operator==(const Vec3&) const = default;
};

constexpr double Dot(Vec3 a, Vec3 b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}
constexpr Vec3 Cross(Vec3 a, Vec3 b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline double Norm(Vec3 a) {
  return std::sqrt(Dot(a, a));
}
// a / |a|, or the zero vector for a (near) zero vector.
inline Vec3 Unit(Vec3 a) {
  const double n = Norm(a);
  return n > 1e-12 ? a * (1.0 / n) : Vec3{};
}
inline Vec3 ToVec3(const std::array<double, 3>& a) {
  return {a[0], a[1], a[2]};
}
inline std::array<double, 3> ToArray(Vec3 v) {
  return {v.x, v.y, v.z};
}
// The patient axis (0 = x, 1 = y, 2 = z) a direction runs closest to.
inline int DominantAxis(Vec3 v) {
  const double ax = std::abs(v.x), ay = std::abs(v.y), az = std::abs(v.z);
  if (ax >= ay && ax >= az) return 0;
  return ay >= az ? 1 : 2;
}
