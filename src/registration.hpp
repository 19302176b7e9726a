// Registration functions of the submodules; each creates its submodule,
// fills it, enters it into sys.modules and adds it to the parent module.
#pragma once

#include "boundary_callables.hpp"

namespace nuvek {

void register_tophit(PyObject* parent);  // nuvek.hmmer.tophit
void register_kmer(PyObject* parent);    // nuvek.kmer
void register_fasta(PyObject* parent);   // nuvek.fasta

}  // namespace nuvek
