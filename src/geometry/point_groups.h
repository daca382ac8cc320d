// Groups of points joined transitively when close: how clashes near each other are
// grouped for a coordinator.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace orvex {

/// The group of each point: points i and j are close when the sum of their squared
/// coordinate differences, (dx² + dy²) + dz² in double, is at most distance² (rounded to
/// double), or at distance 0 when they are equal, and a group is every point reached
/// through a chain of close points. A group's label is its smallest index; a point with
/// a coordinate that is not finite is alone. `distance` is >= 0 (infinite joins every
/// finite point). Exact for any coordinates and distance; about linear in the number
/// of points unless very many crowd within one distance of each other.
std::vector<uint32_t> distance_groups(std::span<const std::array<double, 3>> points, double distance);

}  // namespace orvex
