// nuvek.fasta: the DnaSequence class.
#include "fasta/dna_sequence.hpp"
#include "registration.hpp"

namespace nuvek {
namespace {

using namespace py;

PyTypeObject* dna_sequence_type();

constexpr const char* kSeqParams[] = {"seq"};
constexpr Signature kNewSig{"DnaSequence", "__new__", kSeqParams};

PyObject* dna_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        PyObject* a[1];
        bind_tuple(kNewSig, args, kwargs, a);
        const auto seq = arg("seq", a[0], to_text);
        return new_instance(type, DnaSequence{std::string(seq)}).release();
    });
}

PyObject* dna_get_seq(PyObject* self, void*) {
    return with_shared<DnaSequence>(self, dna_sequence_type(), [](const DnaSequence& d) { return to_py(d.seq); });
}

PyObject* dna_rev_complement(PyObject* self, PyObject*) {
    return with_shared<DnaSequence>(self, dna_sequence_type(), [](const DnaSequence& d) {
        return new_instance(dna_sequence_type(), d.rev_complement());
    });
}

PyGetSetDef dna_getset[] = {
    {"seq", dna_get_seq, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef dna_methods[] = {
    {"rev_complement", dna_rev_complement, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot dna_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(dna_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<DnaSequence>)},
    {Py_tp_getset, dna_getset},
    {Py_tp_methods, dna_methods},
    {0, nullptr},
};

PyTypeObject* dna_sequence_type() {
    static PyTypeObject* type = make_class("builtins.DnaSequence", sizeof(Cell<DnaSequence>), dna_slots);
    return type;
}

}  // namespace

void register_fasta(PyObject* parent) {
    Ref module = check(PyModule_New("nuvek.fasta"));
    add_object(module.get(), "DnaSequence", reinterpret_cast<PyObject*>(dna_sequence_type()));
    add_submodule(parent, module.get());
}

}  // namespace nuvek
