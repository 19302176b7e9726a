// nuvek.fasta: the DnaSequence class.
#include "fasta/dna_sequence.hpp"
#include "registration.hpp"

namespace nuvek {
namespace py {
template <>
struct PyClass<DnaSequence> {
    static PyTypeObject* type();
};
}  // namespace py

namespace {

using namespace py;

constexpr const char* kSeqParams[] = {"seq"};
constexpr Signature kNewSig{"DnaSequence", "__new__", kSeqParams};

DnaSequence make_sequence(std::string_view seq) { return DnaSequence{std::string(seq)}; }

PyGetSetDef dna_getset[] = {
    {"seq", getter<&DnaSequence::seq>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef dna_methods[] = {
    {"rev_complement", method_noargs<&DnaSequence::rev_complement>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot dna_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(constructor<kNewSig, make_sequence, to_text>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<DnaSequence>)},
    {Py_tp_getset, dna_getset},
    {Py_tp_methods, dna_methods},
    {0, nullptr},
};

}  // namespace

PyTypeObject* py::PyClass<DnaSequence>::type() {
    static PyTypeObject* type = make_class("builtins.DnaSequence", sizeof(Cell<DnaSequence>), dna_slots);
    return type;
}

void register_fasta(PyObject* parent) {
    Ref module = check(PyModule_New("nuvek.fasta"));
    add_object(module.get(), "DnaSequence", reinterpret_cast<PyObject*>(PyClass<DnaSequence>::type()));
    add_submodule(parent, module.get());
}

}  // namespace nuvek
