// Registration functions of the submodules; each creates its submodule,
// fills it, enters it into sys.modules and adds it to the parent module.
#pragma once

#include "boundary_callables.hpp"

namespace nuvek {
namespace py {

// Module operations, shared by every submodule's registration.

// Appends name to the module's __all__ (created when missing), then sets the
// attribute.
void add_object(PyObject* module, const char* name, PyObject* value);
// Adds a function object under its __name__.
void add_function(PyObject* module, PyObject* function);
// Creates a function from def bound to module and adds it.
void add_function(PyObject* module, PyMethodDef* def);
// Adds a submodule to its parent under the submodule's full __name__, after
// entering it into sys.modules by running the registration statement.
void add_submodule(PyObject* parent, PyObject* submodule);

}  // namespace py

void register_tophit(PyObject* parent);  // nuvek.hmmer.tophit
void register_kmer(PyObject* parent);    // nuvek.kmer
void register_fasta(PyObject* parent);   // nuvek.fasta

}  // namespace nuvek
