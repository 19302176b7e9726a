// nuvek.hmmer.tophit: the Hit and TopHitFile classes.
#include "hmmer/hit.hpp"
#include "hmmer/tophit.hpp"
#include "registration.hpp"

namespace nuvek {
namespace py {
template <>
struct PyClass<Hit> {
    static PyTypeObject* type();
};
template <>
struct PyClass<TopHitFile> {
    static PyTypeObject* type();
};
}  // namespace py

namespace {

using namespace py;

// ---------------------------------------------------------------------------
// Hit

constexpr const char* kHitParams[] = {"gene_id", "hmm_id", "e_val", "bit_score"};
constexpr Signature kHitNewSig{"Hit", "__new__", kHitParams};

Hit make_hit(std::string_view gene_id, std::string_view hmm_id, double e_val, double bit_score) {
    return Hit{std::string(gene_id), std::string(hmm_id), e_val, bit_score};
}

// Both operands must be hits; anything else is NotImplemented, so that the
// interpreter falls back to its own rules.
PyObject* hit_richcompare(PyObject* self, PyObject* other, int op) {
    return guarded([&] {
        PyTypeObject* const type = PyClass<Hit>::type();
        if (!PyObject_TypeCheck(self, type) || !PyObject_TypeCheck(other, type)) return not_implemented().release();
        auto* a_cell = reinterpret_cast<CellHeader*>(self);
        auto* b_cell = reinterpret_cast<CellHeader*>(other);
        SharedBorrow a_borrow(a_cell);
        SharedBorrow b_borrow(b_cell);
        const Hit& a = value_of<Hit>(a_cell);
        const Hit& b = value_of<Hit>(b_cell);
        bool result;
        switch (op) {
            case Py_LT: result = score_lt(a.score(), b.score()); break;
            case Py_LE: result = score_le(a.score(), b.score()); break;
            case Py_GT: result = !score_le(a.score(), b.score()); break;
            case Py_GE: result = !score_lt(a.score(), b.score()); break;
            case Py_EQ: result = a == b; break;
            case Py_NE: result = !(a == b); break;
            default: return not_implemented().release();
        }
        return to_py_bool(result).release();
    });
}

PyGetSetDef hit_getset[] = {
    {"gene_id", getter<&Hit::gene_id>, nullptr, nullptr, nullptr},
    {"hmm_id", getter<&Hit::hmm_id>, nullptr, nullptr, nullptr},
    {"e_val", getter<&Hit::e_val>, nullptr, nullptr, nullptr},
    {"bit_score", getter<&Hit::bit_score>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef hit_methods[] = {
    {"hmm_str", method_noargs<&Hit::hmm_str>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot hit_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(constructor<kHitNewSig, make_hit, to_text, to_text, to_double, to_double>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Hit>)},
    {Py_tp_repr, reinterpret_cast<void*>(call_self<&Hit::repr>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(hit_richcompare)},
    {Py_tp_getset, hit_getset},
    {Py_tp_methods, hit_methods},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// TopHitFile

constexpr const char* kPathParams[] = {"path"};
constexpr const char* kGeneParams[] = {"gene_id"};
constexpr const char* kPairParams[] = {"gene_id", "hmm_id"};
constexpr Signature kFileNewSig{"TopHitFile", "__new__", kPathParams};
constexpr Signature kAddHitSig{"TopHitFile", "add_hit", kHitParams};
constexpr Signature kContainsGeneIdSig{"TopHitFile", "contains_gene_id", kGeneParams};
constexpr Signature kContainsGeneHmmSig{"TopHitFile", "contains_gene_hmm", kPairParams};
constexpr Signature kGetTopHitSig{"TopHitFile", "get_top_hit", kGeneParams};
constexpr Signature kGetHmmHitSig{"TopHitFile", "get_hmm_hit", kPairParams};

TopHitFile make_table(std::string path) { return TopHitFile{std::move(path), GeneMap()}; }

PyGetSetDef file_getset[] = {
    {"path", getter<&TopHitFile::path>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef file_methods[] = {
    {"add_hit", method_cast(method<kAddHitSig, &TopHitFile::add_hit, to_text, to_text, to_double, to_double>),
     kFast, nullptr},
    {"contains_gene_id", method_cast(method<kContainsGeneIdSig, &TopHitFile::contains_gene_id, to_text>), kFast,
     nullptr},
    {"contains_gene_hmm",
     method_cast(method<kContainsGeneHmmSig, &TopHitFile::contains_gene_hmm, to_text, to_text>), kFast, nullptr},
    {"get_top_hit", method_cast(method<kGetTopHitSig, &TopHitFile::get_top_hit, to_text>), kFast, nullptr},
    {"get_hmm_hit", method_cast(method<kGetHmmHitSig, &TopHitFile::get_hmm_hit, to_text, to_text>), kFast, nullptr},
    {"write", method_noargs<&TopHitFile::write>, METH_NOARGS, nullptr},
    {"read", method_noargs<&TopHitFile::read>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot file_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(constructor<kFileNewSig, make_table, to_path>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<TopHitFile>)},
    {Py_tp_getset, file_getset},
    {Py_tp_methods, file_methods},
    {0, nullptr},
};

}  // namespace

PyTypeObject* py::PyClass<Hit>::type() {
    static PyTypeObject* type = make_class("builtins.Hit", sizeof(Cell<Hit>), hit_slots);
    return type;
}

PyTypeObject* py::PyClass<TopHitFile>::type() {
    static PyTypeObject* type = make_class("builtins.TopHitFile", sizeof(Cell<TopHitFile>), file_slots);
    return type;
}

void register_tophit(PyObject* parent) {
    Ref module = check(PyModule_New("nuvek.hmmer.tophit"));
    add_object(module.get(), "Hit", reinterpret_cast<PyObject*>(PyClass<Hit>::type()));
    add_object(module.get(), "TopHitFile", reinterpret_cast<PyObject*>(PyClass<TopHitFile>::type()));
    add_submodule(parent, module.get());
}

}  // namespace nuvek
