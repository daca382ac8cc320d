// The rows of the orvex command's JSON and CSV reports, written by the engine from the
// report's Clash objects.
#pragma once

#include "module/pyref.h"

namespace orvex::kit {

/// clash_rows(clashes, format): the rows of `clashes` (a list of Clash objects) for
/// format "json" (the clash list as the JSON writer lays it out) or "csv" (the records
/// after the header), as UTF-8 bytes; None when a clash holds anything beyond what the
/// engine spells as Python does (a number that is no float, text with a lone
/// surrogate, "extra" members...), for the Python writers to write instead.
PyObject* clash_rows(PyObject* module, PyObject* args);

}  // namespace orvex::kit
