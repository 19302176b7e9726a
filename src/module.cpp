// The entry point: builds the module nuvek and its submodules
// nuvek.util.accession, nuvek.hmmer.tophit, nuvek.kmer and nuvek.fasta.
#include <atomic>

#include "registration.hpp"
#include "util/accession.hpp"

namespace nuvek {
namespace {

using namespace py;

constexpr const char* kGidParams[] = {"gid"};
constexpr Signature kCanonicalGidSig{nullptr, "canonical_gid", kGidParams};

PyObject* py_canonical_gid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* a[1];
        bind_fast(kCanonicalGidSig, args, nargs, kwnames, a);
        const auto gid = arg("gid", a[0], to_text);
        return to_py(canonical_gid(gid)).release();
    });
}

PyMethodDef canonical_gid_def = {"canonical_gid", method_cast(py_canonical_gid), METH_FASTCALL | METH_KEYWORDS,
                                 nullptr};

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
