// nuvek.kmer: k-mer enumeration, counting and the KmerCountResult class.
#include "kmer/get_kmer_count_fasta.hpp"
#include "kmer/get_kmer_count_seq.hpp"
#include "kmer/kmer_index.hpp"
#include "registration.hpp"
#include "util/memory.hpp"


namespace nuvek {
namespace {

using namespace py;

// ---------------------------------------------------------------------------
// KmerCountResult

PyTypeObject* kmer_count_result_type();

constexpr const char* kResultParams[] = {"k", "total", "counts"};
constexpr Signature kResultNewSig{"KmerCountResult", "__new__", kResultParams};

Ref wrap(KmerCountResult&& result) { return new_instance(kmer_count_result_type(), std::move(result)); }

PyObject* result_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        PyObject* a[3];
        bind_tuple(kResultNewSig, args, kwargs, a);
        const auto k = arg("k", a[0], to_u8);
        const auto total = arg("total", a[1], to_u64);
        auto counts = arg("counts", a[2], to_u64_vector);
        return new_instance(type, KmerCountResult{k, total, std::move(counts)}).release();
    });
}

// Runs read on the result held by self under a shared borrow.
template <class Read>
PyObject* read_result(PyObject* self, Read read) {
    return with_shared<KmerCountResult>(self, kmer_count_result_type(), read);
}

PyObject* result_get_k(PyObject* self, void*) {
    return read_result(self, [](const KmerCountResult& r) { return to_py_u64(r.k); });
}

PyObject* result_get_total(PyObject* self, void*) {
    return read_result(self, [](const KmerCountResult& r) { return to_py_u64(r.total); });
}

// A new list of the result's counters; for a sparse result the list is
// filled with the shared zero and the non-zero entries are set on top.
PyObject* result_get_counts(PyObject* self, void*) {
    return read_result(self, [](const KmerCountResult& r) {
        const std::uint64_t size = r.size();
        require_fits(size, sizeof(PyObject*));
        Ref list = check(PyList_New(static_cast<Py_ssize_t>(size)));
        PyObject* items = list.get();
        if (!r.is_sparse()) {
            const auto& counts = r.dense();
            for (std::size_t i = 0; i < counts.size(); ++i)
                PyList_SET_ITEM(items, static_cast<Py_ssize_t>(i), to_py_u64(counts[i]).release());
            return list;
        }
        Ref zero = to_py_u64(0);
        for (std::uint64_t i = 0; i < size; ++i) {
            Py_INCREF(zero.get());
            PyList_SET_ITEM(items, static_cast<Py_ssize_t>(i), zero.get());
        }
        for (const auto& e : r.entries()) {
            PyObject* value = to_py_u64(e.count).release();
            const auto i = static_cast<Py_ssize_t>(e.column);
            Py_DECREF(PyList_GET_ITEM(items, i));
            PyList_SET_ITEM(items, i, value);
        }
        return list;
    });
}

PyGetSetDef result_getset[] = {
    {"k", result_get_k, nullptr, nullptr, nullptr},
    {"total", result_get_total, nullptr, nullptr, nullptr},
    {"counts", result_get_counts, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(result_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<KmerCountResult>)},
    {Py_tp_getset, result_getset},
    {0, nullptr},
};

PyTypeObject* kmer_count_result_type() {
    static PyTypeObject* type =
        make_class("builtins.KmerCountResult", sizeof(Cell<KmerCountResult>), result_slots);
    return type;
}

// ---------------------------------------------------------------------------
// Functions

constexpr const char* kKParams[] = {"k"};
constexpr const char* kSeqParams[] = {"seq", "k", "use_rev_complement"};
constexpr const char* kFastaParams[] = {"path", "k", "use_rev_complement"};
constexpr Signature kPossibleSig{nullptr, "get_possible_kmers", kKParams};
constexpr Signature kToIdxSig{nullptr, "get_kmer_to_idx", kKParams};
constexpr Signature kSeqSig{nullptr, "get_kmer_count_seq", kSeqParams};
constexpr Signature kFastaSig{nullptr, "get_kmer_count_fasta", kFastaParams};

PyObject* py_get_kmer_count_fasta(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* a[3];
        bind_fast(kFastaSig, args, nargs, kwnames, a);
        const auto path = arg("path", a[0], to_text);
        const auto k = arg("k", a[1], to_u8);
        const auto rc = arg("use_rev_complement", a[2], to_bool);
        auto results = get_kmer_count_fasta(path, k, rc);
        Ref dict = new_dict(results.size());
        for (auto& [id, result] : results) {
            Ref key = to_py(id);
            Ref value = wrap(std::move(result));
            check_status(PyDict_SetItem(dict.get(), key.get(), value.get()));
        }
        return dict.release();
    });
}

PyObject* py_get_kmer_count_seq(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* a[3];
        bind_fast(kSeqSig, args, nargs, kwnames, a);
        const auto seq = arg("seq", a[0], to_text);
        const auto k = arg("k", a[1], to_u8);
        const auto rc = arg("use_rev_complement", a[2], to_bool);
        return wrap(get_kmer_count_seq(seq, k, rc)).release();
    });
}

// Bytes of one k-mer str object, an upper bound used to refuse a list or
// dict that cannot fit in memory before building any of it.
std::uint64_t kmer_str_bytes(unsigned k) { return sizeof(PyASCIIObject) + k + 1 + 8; }

// A new str holding the ASCII text, written in place.
PyObject* new_ascii(std::string_view text) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (!s) throw PyErrorAlreadySet{};
    // k-mers are short: a plain loop beats a call into memcpy.
    Py_UCS1* out = PyUnicode_1BYTE_DATA(s);
    for (std::size_t i = 0; i < text.size(); ++i) out[i] = static_cast<Py_UCS1>(text[i]);
    return s;
}

PyObject* py_get_kmer_to_idx(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* a[1];
        bind_fast(kToIdxSig, args, nargs, kwnames, a);
        const auto k = arg("k", a[0], to_u8);
        const std::uint64_t n = kmer_columns(k);
        // Per entry: the key, an int object and the dict's own slot and index.
        require_fits(n, kmer_str_bytes(k) + 32 + 48);
        Ref dict = new_dict(n);
        get_possible_kmers(k, [&](std::string_view text, std::uint64_t column) {
            Ref key = Ref::steal(new_ascii(text));
            Ref value = to_py_u64(column);
            check_status(PyDict_SetItem(dict.get(), key.get(), value.get()));
        });
        return dict.release();
    });
}

PyObject* py_get_possible_kmers(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* a[1];
        bind_fast(kPossibleSig, args, nargs, kwnames, a);
        const auto k = arg("k", a[0], to_u8);
        const std::uint64_t n = kmer_columns(k);
        require_fits(n, kmer_str_bytes(k) + sizeof(PyObject*));
        Ref list = check(PyList_New(static_cast<Py_ssize_t>(n)));
        get_possible_kmers(k, [&](std::string_view text, std::uint64_t column) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(column), new_ascii(text));
        });
        return list.release();
    });
}

PyMethodDef function_defs[] = {
    {"get_kmer_count_fasta", method_cast(py_get_kmer_count_fasta), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"get_kmer_count_seq", method_cast(py_get_kmer_count_seq), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"get_kmer_to_idx", method_cast(py_get_kmer_to_idx), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"get_possible_kmers", method_cast(py_get_possible_kmers), METH_FASTCALL | METH_KEYWORDS, nullptr},
};

}  // namespace

void register_kmer(PyObject* parent) {
    Ref module = check(PyModule_New("nuvek.kmer"));
    for (auto& def : function_defs) add_function(module.get(), &def);
    add_object(module.get(), "KmerCountResult", reinterpret_cast<PyObject*>(kmer_count_result_type()));
    add_submodule(parent, module.get());
}

}  // namespace nuvek
