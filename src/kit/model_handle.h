// The native handle of a loaded model: owns the engine Model, answers the Python
// layer's questions about it, and is kept alive by every array that views its meshes.
#pragma once

#include "model.h"
#include "module/pyref.h"

namespace orvex::kit {

using py::Ref;

/// The handle type, created on first use and kept for the life of the process.
PyObject* model_type();

/// A new handle that takes `model` over.
PyObject* wrap_model(Model model);

/// The model of a handle, or null with TypeError pending when `obj` is none.
const Model* model_of(PyObject* obj, const char* argument);

/// nearest(models, points, radii, limit, threads, excludes=None): the objects of several models nearest
/// each point, as the module function of that name.
PyObject* nearest(PyObject* module, PyObject* args);

/// meshes(models, owners, indices): the meshes of objects of several models, as the
/// module function of that name.
PyObject* meshes(PyObject* module, PyObject* args);

}  // namespace orvex::kit
