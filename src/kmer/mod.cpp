// nuvek.kmer: k-mer enumeration, counting and the KmerCountResult class.
#include <cstring>

#include "kmer/get_kmer_count_fasta.hpp"
#include "kmer/get_kmer_count_seq.hpp"
#include "kmer/kmer_index.hpp"
#include "registration.hpp"
#include "util/memory.hpp"
#include "util/ordered_map.hpp"

namespace nuvek {
namespace py {
template <>
struct PyClass<KmerCountResult> {
    static PyTypeObject* type();
};
}  // namespace py

namespace {

using namespace py;

// Long loops run the pending signal handlers once every this many items
// (a mask: 2^20 - 1).
constexpr std::uint64_t kSignalMask = (1u << 20) - 1;

// ---------------------------------------------------------------------------
// KmerCountResult

// The Python object: the result, and the one-entry shape that its exported
// buffers point to (it lives as long as the object, which every export
// keeps alive).
struct ResultObject {
    Cell<KmerCountResult> cell;
    Py_ssize_t shape;
};

constexpr const char* kResultParams[] = {"k", "total", "counts"};
constexpr Signature kResultNewSig{"KmerCountResult", "__new__", kResultParams};

KmerCountResult make_result(std::uint8_t k, std::uint64_t total, std::vector<std::uint64_t> counts) {
    return KmerCountResult{k, total, std::move(counts)};
}

// A new list of the result's counters; for a sparse result the list is
// filled with the shared zero and the non-zero entries are set on top.
Ref counts_list(const KmerCountResult& r) {
    const std::uint64_t size = r.size();
    require_fits(size, sizeof(PyObject*));
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(size)));
    HiddenFromGc hidden(list.get());
    PyObject* items = list.get();
    if (const unsigned width = r.narrow_width()) {
        const auto put = [&](const auto* counts) {
            for (std::uint64_t i = 0; i < size; ++i)
                PyList_SET_ITEM(items, static_cast<Py_ssize_t>(i), to_py_u64(counts[i]).release());
        };
        if (width == 1) put(static_cast<const std::uint8_t*>(r.narrow_data()));
        else if (width == 2) put(static_cast<const std::uint16_t*>(r.narrow_data()));
        else put(static_cast<const std::uint32_t*>(r.narrow_data()));
        return list;
    }
    if (!r.is_sparse()) {
        const std::span<const std::uint64_t> counts = r.held_counts();  // dense: its own counters
        for (std::size_t i = 0; i < counts.size(); ++i) {
            PyList_SET_ITEM(items, static_cast<Py_ssize_t>(i), to_py_u64(counts[i]).release());
            if ((i & kSignalMask) == kSignalMask) check_signals();
        }
        return list;
    }
    Ref zero = to_py_u64(0);
    for (std::uint64_t i = 0; i < size; ++i) {
        Py_INCREF(zero.get());
        PyList_SET_ITEM(items, static_cast<Py_ssize_t>(i), zero.get());
        if ((i & kSignalMask) == kSignalMask) check_signals();
    }
    r.for_each_entry([&](std::uint64_t column, std::uint64_t count) {
        PyObject* value = to_py_u64(count).release();
        const auto i = static_cast<Py_ssize_t>(column);
        Py_DECREF(PyList_GET_ITEM(items, i));
        PyList_SET_ITEM(items, i, value);
    });
    return list;
}

// The buffer protocol: the counters, read-only, as one dimension of
// unsigned 64-bit items, without a copy. The view keeps the result alive;
// a sparse result's full vector is built on the first export and kept.
int result_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    view->obj = nullptr;
    Ref done = Ref::steal(guarded([&] {
        if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) throw ErrorValue{PyExc_BufferError, "Object is not writable."};
        CellHeader* cell = instance_of(self, PyClass<KmerCountResult>::type());
        SharedBorrow borrow(cell);
        const std::span<const std::uint64_t> counts = value_of<KmerCountResult>(cell).held_counts();
        static std::uint64_t empty = 0;  // a valid address for zero items
        auto* object = reinterpret_cast<ResultObject*>(self);
        object->shape = static_cast<Py_ssize_t>(counts.size());
        view->buf = counts.empty() ? &empty : const_cast<std::uint64_t*>(counts.data());
        view->len = static_cast<Py_ssize_t>(counts.size() * sizeof(std::uint64_t));
        view->readonly = 1;
        view->itemsize = sizeof(std::uint64_t);
        view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("Q") : nullptr;
        view->ndim = 1;
        view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &object->shape : nullptr;
        view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &view->itemsize : nullptr;
        view->suboffsets = nullptr;
        view->internal = nullptr;
        view->obj = Ref::borrow(self).release();
        return none().release();
    }));
    return done ? 0 : -1;
}

PyGetSetDef result_getset[] = {
    {"k", getter<&KmerCountResult::k>, nullptr, nullptr, nullptr},
    {"total", getter<&KmerCountResult::total>, nullptr, nullptr, nullptr},
    {"counts", getter<counts_list>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(constructor<kResultNewSig, make_result, to_u8, to_u64, to_u64_vector>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<KmerCountResult>)},
    {Py_tp_getset, result_getset},
    {Py_bf_getbuffer, reinterpret_cast<void*>(result_getbuffer)},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// Functions

constexpr const char* kKParams[] = {"k"};
constexpr const char* kSeqParams[] = {"seq", "k", "use_rev_complement", "skip_invalid"};
constexpr const char* kFastaParams[] = {"path", "k", "use_rev_complement", "skip_invalid"};
constexpr Signature kPossibleSig{nullptr, "get_possible_kmers", kKParams};
constexpr Signature kToIdxSig{nullptr, "get_kmer_to_idx", kKParams};
constexpr Signature kSeqSig{nullptr, "get_kmer_count_seq", kSeqParams, 1};
constexpr Signature kFastaSig{nullptr, "get_kmer_count_fasta", kFastaParams, 1};

// A dict of every record's counts by id: the first record with an id sets
// its place, the last one its counts. Each record becomes a Python object as
// soon as it is counted, and replaces at once the object of an earlier
// record with its id, so that memory follows the distinct ids, not the
// records. The dict is built at the end, sized once for all of them
// (growing it step by step cost a sixth of the time on short reads).
Ref kmer_count_fasta(std::string_view path, std::uint8_t k, bool use_rev_complement, bool skip_invalid) {
    class Collect final : public KmerRecordSink {
    public:
        void put(std::string& id, KmerCountResult&& counts) override {
            Ref value = new_instance(PyClass<KmerCountResult>::type(), std::move(counts));
            *results.find_or_insert(id, [] { return Ref(); }).first = std::move(value);
        }
        OrderedMap<Ref> results;
    } out;
    get_kmer_count_fasta(path, k, use_rev_complement, skip_invalid, out);
    Ref dict = new_dict(out.results.size());
    for (const auto& [id, value] : out.results) {
        Ref key = to_py(id);
        check_status(PyDict_SetItem(dict.get(), key.get(), value.get()));
    }
    return dict;
}

// skip_invalid: keyword-only, False when left out.
constexpr auto to_skip_invalid = keyword_or<to_bool, false>;

// Bytes of one k-mer str object, an upper bound used to refuse a list or
// dict that cannot fit in memory before building any of it.
std::uint64_t kmer_str_bytes(unsigned k) { return sizeof(PyASCIIObject) + k + 1 + 8; }

// A new str holding the ASCII text.
PyObject* new_ascii(std::string_view text) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (!s) throw PyErrorAlreadySet{};
    if (!text.empty()) std::memcpy(PyUnicode_1BYTE_DATA(s), text.data(), text.size());
    return s;
}

Ref kmer_to_idx(std::uint8_t k) {
    const std::uint64_t n = kmer_columns(k);
    // Per entry: the key, an int object and the dict's own slot and index.
    require_fits(n, kmer_str_bytes(k) + 32 + 48);
    Ref dict = new_dict(n);
    HiddenFromGc hidden(dict.get());  // a dict half filled is whole, but not yet the answer
    get_possible_kmers(k, [&](std::string_view text, std::uint64_t column) {
        Ref key = Ref::steal(new_ascii(text));
        Ref value = to_py_u64(column);
        check_status(PyDict_SetItem(dict.get(), key.get(), value.get()));
        if ((column & kSignalMask) == kSignalMask) check_signals();
    });
    return dict;
}

Ref possible_kmers(std::uint8_t k) {
    const std::uint64_t n = kmer_columns(k);
    require_fits(n, kmer_str_bytes(k) + sizeof(PyObject*));
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(n)));
    HiddenFromGc hidden(list.get());
    get_possible_kmers(k, [&](std::string_view text, std::uint64_t column) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(column), new_ascii(text));
        if ((column & kSignalMask) == kSignalMask) check_signals();
    });
    return list;
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef function_defs[] = {
    {"get_kmer_count_fasta",
     method_cast(function<kFastaSig, kmer_count_fasta, to_path, to_u8, to_bool, to_skip_invalid>), kFast,
     nullptr},
    {"get_kmer_count_seq",
     method_cast(function<kSeqSig, get_kmer_count_seq, to_text, to_u8, to_bool, to_skip_invalid>), kFast, nullptr},
    {"get_kmer_to_idx", method_cast(function<kToIdxSig, kmer_to_idx, to_u8>), kFast, nullptr},
    {"get_possible_kmers", method_cast(function<kPossibleSig, possible_kmers, to_u8>), kFast, nullptr},
};

}  // namespace

void add_kmer_profile(PyObject* module);  // profile_mod.cpp

PyTypeObject* py::PyClass<KmerCountResult>::type() {
    static PyTypeObject* type = make_class("builtins.KmerCountResult", sizeof(ResultObject), result_slots);
    return type;
}

void register_kmer(PyObject* parent) {
    Ref module = check(PyModule_New("nuvek.kmer"));
    for (auto& def : function_defs) add_function(module.get(), &def);
    add_object(module.get(), "KmerCountResult", reinterpret_cast<PyObject*>(PyClass<KmerCountResult>::type()));
    add_kmer_profile(module.get());
    add_submodule(parent, module.get());
}

}  // namespace nuvek
