// The entry point: builds the module nuvek and its submodules
// nuvek.util.accession, nuvek.hmmer.tophit, nuvek.kmer and nuvek.fasta; and
// the module operations that every submodule's registration uses.
#include <atomic>
#include <string>

#include "registration.hpp"
#include "util/accession.hpp"

namespace nuvek {

// ---------------------------------------------------------------------------
// Module operations

namespace py {

void add_object(PyObject* module, const char* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorAlreadySet{};
        PyErr_Clear();
        all = check(PyList_New(0));
        check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    if (!PyList_Check(all.get())) throw_type_check(all.get(), "PyList");
    Ref text = check(PyUnicode_FromString(name));
    if (PyList_Append(all.get(), text.get()) < 0) {
        throw Panic("could not append __name__ to __all__: " + take_error_text());
    }
    check_status(PyObject_SetAttrString(module, name, value));
}

namespace {

// The text of an object's __name__, which must be a str.
std::string name_of(PyObject* obj) {
    Ref name = check(PyObject_GetAttrString(obj, "__name__"));
    return std::string(to_text(name.get()));
}

// Enters submodule into sys.modules by running the registration statement
// with the __main__ dictionary as globals and {submodule: ...} as locals.
void register_in_sys_modules(PyObject* submodule, const std::string& full_name) {
    const std::string statement = "import sys; sys.modules['" + full_name + "'] = submodule";
    PyObject* main_module = PyImport_AddModule("__main__");  // borrowed
    if (!main_module) throw PyErrorAlreadySet{};
    PyObject* globals = PyModule_GetDict(main_module);  // borrowed
    Ref locals = check(PyDict_New());
    check_status(PyDict_SetItemString(locals.get(), "submodule", submodule));
    Ref code = Ref::steal(Py_CompileString(statement.c_str(), "<string>", Py_file_input));
    Ref result;
    if (code) result = Ref::steal(PyEval_EvalCode(code.get(), globals, locals.get()));
    if (result) return;
    PyErr_PrintEx(0);
    Ref flushed = Ref::steal(PyRun_String("import sys; sys.stderr.flush()", Py_file_input, globals, globals));
    if (!flushed) throw Panic(take_error_text());
    throw Panic(statement);
}

}  // namespace

void add_function(PyObject* module, PyObject* function) {
    const std::string name = name_of(function);
    add_object(module, name.c_str(), function);
}

void add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = check(PyModule_GetNameObject(module));
    Ref function = check(PyCFunction_NewEx(def, module, module_name.get()));
    add_function(module, function.get());
}

void add_submodule(PyObject* parent, PyObject* submodule) {
    const std::string name = name_of(submodule);
    register_in_sys_modules(submodule, name);
    add_object(parent, name.c_str(), submodule);
}

}  // namespace py

// ---------------------------------------------------------------------------
// The top module and nuvek.util.accession

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

PyMethodDef canonical_gid_def = {"canonical_gid",
                                 method_cast(function<kCanonicalGidSig, py_canonical_gid, to_str_arg>),
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
