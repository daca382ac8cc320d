// Small fixed-size vectors: float points as stored, double for exact arithmetic.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

namespace orvex {

using Point = std::array<float, 3>;
using Triangle = std::array<uint32_t, 3>;

struct Vec3d {
  double x = 0, y = 0, z = 0;

  constexpr Vec3d() = default;
  constexpr Vec3d(double x_, double y_, double z_) : x(x_), y(y_), z(z_) {}
  explicit constexpr Vec3d(const Point& p) : x(p[0]), y(p[1]), z(p[2]) {}

  constexpr double operator[](int i) const { return i == 0 ? x : i == 1 ? y : z; }
  constexpr Vec3d operator+(const Vec3d& o) const { return {x + o.x, y + o.y, z + o.z}; }
  constexpr Vec3d operator-(const Vec3d& o) const { return {x - o.x, y - o.y, z - o.z}; }
  constexpr Vec3d operator-() const { return {-x, -y, -z}; }
  constexpr Vec3d operator*(double s) const { return {x * s, y * s, z * s}; }
};

constexpr double dot(const Vec3d& a, const Vec3d& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
constexpr Vec3d cross(const Vec3d& a, const Vec3d& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline double norm(const Vec3d& a) { return std::sqrt(dot(a, a)); }

inline Point to_point(const Vec3d& v) {
  return {static_cast<float>(v.x), static_cast<float>(v.y), static_cast<float>(v.z)};
}

}  // namespace orvex
