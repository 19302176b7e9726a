// nuvek.hmmer.tophit: the Hit and TopHitFile classes.
#include "registration.hpp"

namespace nuvek {

void register_tophit(PyObject* parent) {
    py::Ref module = py::check(PyModule_New("nuvek.hmmer.tophit"));
    py::add_submodule(parent, module.get());
}

}  // namespace nuvek
