#pragma once

// orv.render: a scene of NumPy arrays drawn through the frame renderer that orv-demo and orv-view
// share, on the CPU device or the Vulkan device, returned as an image array.

#include <pybind11/pybind11.h>

namespace orv::python {

/// Adds `render` to the module.
void defineRender(pybind11::module_& m);

}  // namespace orv::python
