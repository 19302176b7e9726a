// nuvek.hmmer.tophit: the Hit and TopHitFile classes.
#include "hmmer/hit.hpp"
#include "hmmer/tophit.hpp"
#include "registration.hpp"

namespace nuvek {
namespace {

using namespace py;

PyTypeObject* hit_type();
PyTypeObject* tophit_file_type();

Ref wrap(Hit&& hit) { return new_instance(hit_type(), std::move(hit)); }

Ref wrap(std::optional<Hit>&& hit) { return hit ? wrap(std::move(*hit)) : none(); }

// ---------------------------------------------------------------------------
// Hit

constexpr const char* kHitParams[] = {"gene_id", "hmm_id", "e_val", "bit_score"};
constexpr Signature kHitNewSig{"Hit", "__new__", kHitParams};

PyObject* hit_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        PyObject* a[4];
        bind_tuple(kHitNewSig, args, kwargs, a);
        const auto gene_id = arg("gene_id", a[0], to_text);
        const auto hmm_id = arg("hmm_id", a[1], to_text);
        const double e_val = arg("e_val", a[2], to_double);
        const double bit_score = arg("bit_score", a[3], to_double);
        return new_instance(type, Hit{std::string(gene_id), std::string(hmm_id), e_val, bit_score}).release();
    });
}

// Runs read on the hit held by self under a shared borrow.
template <class Read>
PyObject* read_hit(PyObject* self, Read read) {
    return with_shared<Hit>(self, hit_type(), read);
}

PyObject* hit_get_gene_id(PyObject* self, void*) {
    return read_hit(self, [](const Hit& h) { return to_py(h.gene_id); });
}
PyObject* hit_get_hmm_id(PyObject* self, void*) {
    return read_hit(self, [](const Hit& h) { return to_py(h.hmm_id); });
}
PyObject* hit_get_e_val(PyObject* self, void*) {
    return read_hit(self, [](const Hit& h) { return to_py_double(h.e_val); });
}
PyObject* hit_get_bit_score(PyObject* self, void*) {
    return read_hit(self, [](const Hit& h) { return to_py_double(h.bit_score); });
}
PyObject* hit_hmm_str(PyObject* self, PyObject*) {
    return read_hit(self, [](const Hit& h) { return to_py(h.hmm_str()); });
}
PyObject* hit_repr(PyObject* self) {
    return read_hit(self, [](const Hit& h) { return to_py(h.repr()); });
}

// Both operands must be hits; anything else is NotImplemented, so that the
// interpreter falls back to its own rules.
PyObject* hit_richcompare(PyObject* self, PyObject* other, int op) {
    // The common case, and the one sorting repeats: two hits and an order
    // operator. The comparison runs no Python code, so taking and releasing
    // the shared borrows around it cannot be observed, only their refusal;
    // a counter anywhere near that limit takes the full path below, which
    // refuses it.
    PyTypeObject* const type = hit_type();
    if (Py_IS_TYPE(self, type) && Py_IS_TYPE(other, type)) {
        const auto* a_cell = reinterpret_cast<const CellHeader*>(self);
        const auto* b_cell = reinterpret_cast<const CellHeader*>(other);
        if (a_cell->borrow < kExclusive - 2 && b_cell->borrow < kExclusive - 2) {
            const Score a = value_of<Hit>(const_cast<CellHeader*>(a_cell)).score();
            const Score b = value_of<Hit>(const_cast<CellHeader*>(b_cell)).score();
            switch (op) {
                case Py_LT: return PyBool_FromLong(score_lt(a, b));
                case Py_LE: return PyBool_FromLong(score_le(a, b));
                case Py_GT: return PyBool_FromLong(!score_le(a, b));
                case Py_GE: return PyBool_FromLong(!score_lt(a, b));
                default: break;  // equality compares the ids too: below
            }
        }
    }
    return guarded([&] {
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
    {"gene_id", hit_get_gene_id, nullptr, nullptr, nullptr},
    {"hmm_id", hit_get_hmm_id, nullptr, nullptr, nullptr},
    {"e_val", hit_get_e_val, nullptr, nullptr, nullptr},
    {"bit_score", hit_get_bit_score, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef hit_methods[] = {
    {"hmm_str", hit_hmm_str, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot hit_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(hit_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Hit>)},
    {Py_tp_repr, reinterpret_cast<void*>(hit_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(hit_richcompare)},
    {Py_tp_getset, hit_getset},
    {Py_tp_methods, hit_methods},
    {0, nullptr},
};

PyTypeObject* hit_type() {
    static PyTypeObject* type = make_class("builtins.Hit", sizeof(Cell<Hit>), hit_slots);
    return type;
}

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

PyObject* file_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        PyObject* a[1];
        bind_tuple(kFileNewSig, args, kwargs, a);
        const auto path = arg("path", a[0], to_text);
        return new_instance(type, TopHitFile{std::string(path), GeneMap()}).release();
    });
}

// Runs body on the table held by self under a shared borrow.
template <class Body>
PyObject* table_shared(PyObject* self, Body body) {
    return with_shared<TopHitFile>(self, tophit_file_type(), body);
}

// Runs body on the table held by self under an exclusive borrow.
template <class Body>
PyObject* table_exclusive(PyObject* self, Body body) {
    return with_exclusive<TopHitFile>(self, tophit_file_type(), body);
}

PyObject* file_get_path(PyObject* self, void*) {
    return table_shared(self, [](const TopHitFile& t) { return to_py(t.path); });
}

PyObject* py_add_hit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return table_exclusive(self, [&](TopHitFile& t) {
        PyObject* a[4];
        bind_fast(kAddHitSig, args, nargs, kwnames, a);
        const auto gene_id = arg("gene_id", a[0], to_text);
        const auto hmm_id = arg("hmm_id", a[1], to_text);
        const double e_val = arg("e_val", a[2], to_double);
        const double bit_score = arg("bit_score", a[3], to_double);
        t.add_hit(gene_id, hmm_id, e_val, bit_score);
        return none();
    });
}

PyObject* py_contains_gene_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return table_shared(self, [&](const TopHitFile& t) {
        PyObject* a[1];
        bind_fast(kContainsGeneIdSig, args, nargs, kwnames, a);
        return to_py_bool(t.contains_gene_id(arg("gene_id", a[0], to_text)));
    });
}

PyObject* py_contains_gene_hmm(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return table_shared(self, [&](const TopHitFile& t) {
        PyObject* a[2];
        bind_fast(kContainsGeneHmmSig, args, nargs, kwnames, a);
        const auto gene_id = arg("gene_id", a[0], to_text);
        const auto hmm_id = arg("hmm_id", a[1], to_text);
        return to_py_bool(t.contains_gene_hmm(gene_id, hmm_id));
    });
}

PyObject* py_get_top_hit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return table_shared(self, [&](const TopHitFile& t) {
        PyObject* a[1];
        bind_fast(kGetTopHitSig, args, nargs, kwnames, a);
        return wrap(t.get_top_hit(arg("gene_id", a[0], to_text)));
    });
}

PyObject* py_get_hmm_hit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return table_shared(self, [&](const TopHitFile& t) {
        PyObject* a[2];
        bind_fast(kGetHmmHitSig, args, nargs, kwnames, a);
        const auto gene_id = arg("gene_id", a[0], to_text);
        const auto hmm_id = arg("hmm_id", a[1], to_text);
        return wrap(t.get_hmm_hit(gene_id, hmm_id));
    });
}

PyObject* py_write(PyObject* self, PyObject*) {
    return table_shared(self, [](const TopHitFile& t) {
        t.write();
        return none();
    });
}

PyObject* py_read(PyObject* self, PyObject*) {
    return table_exclusive(self, [](TopHitFile& t) {
        t.read();
        return none();
    });
}

PyGetSetDef file_getset[] = {
    {"path", file_get_path, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef file_methods[] = {
    {"add_hit", method_cast(py_add_hit), kFast, nullptr},
    {"contains_gene_id", method_cast(py_contains_gene_id), kFast, nullptr},
    {"contains_gene_hmm", method_cast(py_contains_gene_hmm), kFast, nullptr},
    {"get_top_hit", method_cast(py_get_top_hit), kFast, nullptr},
    {"get_hmm_hit", method_cast(py_get_hmm_hit), kFast, nullptr},
    {"write", py_write, METH_NOARGS, nullptr},
    {"read", py_read, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot file_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(file_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<TopHitFile>)},
    {Py_tp_getset, file_getset},
    {Py_tp_methods, file_methods},
    {0, nullptr},
};

PyTypeObject* tophit_file_type() {
    static PyTypeObject* type = make_class("builtins.TopHitFile", sizeof(Cell<TopHitFile>), file_slots);
    return type;
}

}  // namespace

void register_tophit(PyObject* parent) {
    Ref module = check(PyModule_New("nuvek.hmmer.tophit"));
    add_object(module.get(), "Hit", reinterpret_cast<PyObject*>(hit_type()));
    add_object(module.get(), "TopHitFile", reinterpret_cast<PyObject*>(tophit_file_type()));
    add_submodule(parent, module.get());
}

}  // namespace nuvek
