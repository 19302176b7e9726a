// The entry point: builds the module nuvek and its submodules
// nuvek.util.accession, nuvek.hmmer.tophit, nuvek.kmer and nuvek.fasta.
#include <atomic>
#include <string>

#include "registration.hpp"
#include "util/accession.hpp"

namespace nuvek {
namespace {

using namespace py;

constexpr const char* kGidParams[] = {"gid"};
constexpr Signature kCanonicalGidSig{nullptr, "canonical_gid", kGidParams};

// The canonical id as a str; the argument itself when it is canonical.
Ref py_canonical_gid(StrArg gid) {
    char stack[256];
    std::string heap;
    char* out = stack;
    if (gid.text.size() > sizeof stack) {
        heap.resize(gid.text.size());
        out = heap.data();
    }
    return to_py_from(gid, canonical_gid(gid.text, out));
}

PyMethodDef canonical_gid_def = {"canonical_gid", method_cast(function<kCanonicalGidSig, py_canonical_gid, to_str_arg>),
                                 METH_FASTCALL | METH_KEYWORDS, nullptr};

void register_accession(PyObject* parent) {
    Ref module = check(PyModule_New("nuvek.util.accession"));
    add_function(module.get(), &canonical_gid_def);
    add_submodule(parent, module.get());
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "nuvek", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Set by the first initialisation and never cleared: the module's classes
// and submodules exist once per process.
std::atomic<bool> initialized{false};

}  // namespace
}  // namespace nuvek

// PyMODINIT_FUNC gives C linkage and exports the symbol.
PyMODINIT_FUNC PyInit_nuvek() {
    using namespace nuvek;
    return py::guarded([] {
        py::Ref module = py::check(PyModule_Create2(&module_def, 1013));
        if (initialized.exchange(true))
            throw py::ErrorValue{PyExc_ImportError,
                                 "nuvek may be initialized only once per interpreter process"};
        set_signal_hook(py::run_signal_handlers);
        register_accession(module.get());
        register_tophit(module.get());
        register_kmer(module.get());
        register_fasta(module.get());
        return module.release();
    });
}
