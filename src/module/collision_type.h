// The Collision result class: an immutable host object around one CollisionRecord.
#pragma once

#include "collision_record.h"
#include "module/pyref.h"

namespace orvex::py {

/// The class object, created on first use and kept for the process (borrowed).
/// Null with an error pending if it cannot be created.
PyObject* collision_type();

/// A new instance holding `record` (moved in). On failure the record is dropped and
/// the host's error is pending.
PyObject* make_collision(CollisionRecord&& record);

}  // namespace orvex::py
