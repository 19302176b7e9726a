// nuvek.kmer: get_kmer_profile_fasta and the KmerProfile class.
#include <cstring>
#include <string>

#include "kmer/get_kmer_profile_fasta.hpp"
#include "kmer/kmer_profile.hpp"
#include "registration.hpp"
#include "util/memory.hpp"

namespace nuvek {
namespace py {
template <>
struct PyClass<KmerProfile> {
    static PyTypeObject* type();
};
}  // namespace py

namespace {

using namespace py;

// The Python object: the profile, and the shape and strides that its
// exported buffers point to (they live as long as the object, which every
// export keeps alive).
struct ProfileObject {
    Cell<KmerProfile> cell;
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};

// A new list of n items made by item(i). Every item is made before the
// list exists, so that no Python code that runs meanwhile (a signal
// handler, a gc callback) can meet a list with empty slots; the list is
// then filled without a call that could run any.
template <class Item>
Ref new_list(std::uint64_t n, Item&& item) {
    require_fits(n, 2 * sizeof(PyObject*) + 32);
    std::vector<Ref> items;
    items.reserve(static_cast<std::size_t>(n));
    constexpr std::uint64_t kCheckMask = (std::uint64_t{1} << 16) - 1;
    for (std::uint64_t i = 0; i < n; ++i) {
        items.push_back(item(i));
        if ((i & kCheckMask) == kCheckMask) check_signals();
    }
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::uint64_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return list;
}

Ref u64_list(const std::vector<std::uint64_t>& v) {
    return new_list(v.size(), [&](std::uint64_t i) { return to_py_u64(v[i]); });
}

// One str per record, shared by the record's rows.
Ref ids_list(const KmerProfile& p) {
    Ref current;
    std::uint64_t current_record = ~std::uint64_t{0};
    return new_list(p.rows(), [&](std::uint64_t i) {
        const std::uint64_t r = p.row_record[i];
        if (r != current_record) {
            current = to_py(p.record_ids[r]);
            current_record = r;
        }
        return Ref::borrow(current.get());
    });
}

Ref starts_list(const KmerProfile& p) { return u64_list(p.starts); }
Ref ends_list(const KmerProfile& p) { return u64_list(p.ends); }
Ref totals_list(const KmerProfile& p) { return u64_list(p.totals); }

Ref columns_list(const KmerProfile& p) {
    const unsigned k = p.k;
    return new_list(p.counts.columns(), [&](std::uint64_t j) {
        PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(k), 127);
        if (!s) throw PyErrorAlreadySet{};
        const std::uint64_t code = p.column_code(j);
        auto* text = PyUnicode_1BYTE_DATA(s);
        for (unsigned i = 0; i < k; ++i) text[i] = static_cast<Py_UCS1>("ACGT"[(code >> (2 * (k - 1 - i))) & 3]);
        return Ref::steal(s);
    });
}

Py_ssize_t profile_length(PyObject* self) noexcept {
    return static_cast<Py_ssize_t>(reinterpret_cast<ProfileObject*>(self)->cell.value.rows());
}

// The buffer protocol: the counts, read-only, rows by columns of unsigned
// 64-bit items in C order, without a copy. The view keeps the profile alive.
int profile_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    view->obj = nullptr;
    Ref done = Ref::steal(guarded([&] {
        if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) throw ErrorValue{PyExc_BufferError, "Object is not writable."};
        CellHeader* cell = instance_of(self, PyClass<KmerProfile>::type());
        SharedBorrow borrow(cell);
        const KmerProfile& p = value_of<KmerProfile>(cell);
        const std::uint64_t rows = p.rows();
        const std::uint64_t columns = p.counts.columns();
        if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && rows > 1 && columns > 1)
            throw ErrorValue{PyExc_BufferError, "KmerProfile counts are C-contiguous, not Fortran-contiguous"};
        static std::uint64_t empty = 0;  // a valid address for zero items
        auto* object = reinterpret_cast<ProfileObject*>(self);
        object->shape[0] = static_cast<Py_ssize_t>(rows);
        object->shape[1] = static_cast<Py_ssize_t>(columns);
        object->strides[0] = static_cast<Py_ssize_t>(columns * sizeof(std::uint64_t));
        object->strides[1] = sizeof(std::uint64_t);
        const std::uint64_t* data = p.counts.data();
        view->buf = data ? const_cast<std::uint64_t*>(data) : &empty;
        view->len = static_cast<Py_ssize_t>(rows * columns * sizeof(std::uint64_t));
        view->readonly = 1;
        view->itemsize = sizeof(std::uint64_t);
        view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("Q") : nullptr;
        const bool nd = (flags & PyBUF_ND) == PyBUF_ND;
        view->ndim = nd ? 2 : 1;
        view->shape = nd ? object->shape : nullptr;
        view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? object->strides : nullptr;
        view->suboffsets = nullptr;
        view->internal = nullptr;
        view->obj = Ref::borrow(self).release();
        return none().release();
    }));
    return done ? 0 : -1;
}

PyGetSetDef profile_getset[] = {
    {"k", getter<&KmerProfile::k>, nullptr, nullptr, nullptr},
    {"canonical", getter<&KmerProfile::canonical>, nullptr, nullptr, nullptr},
    {"ids", getter<ids_list>, nullptr, nullptr, nullptr},
    {"starts", getter<starts_list>, nullptr, nullptr, nullptr},
    {"ends", getter<ends_list>, nullptr, nullptr, nullptr},
    {"totals", getter<totals_list>, nullptr, nullptr, nullptr},
    {"columns", getter<columns_list>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Profiles come only from get_kmer_profile_fasta.
PyObject* profile_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "cannot create 'KmerProfile' instances; get_kmer_profile_fasta() makes them");
    return nullptr;
}

PyType_Slot profile_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(profile_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<KmerProfile>)},
    {Py_tp_getset, profile_getset},
    {Py_sq_length, reinterpret_cast<void*>(profile_length)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(profile_getbuffer)},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// get_kmer_profile_fasta

constexpr const char* kProfileParams[] = {"path", "k", "canonical", "window", "step", "min_length", "skip_invalid"};
constexpr Signature kProfileSig{nullptr, "get_kmer_profile_fasta", kProfileParams, 5};

// k: any integer from 1 to the largest k a profile takes, else ValueError.
unsigned to_profile_k(PyObject* obj) {
    Ref index = check(PyNumber_Index(obj));
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyErrorAlreadySet{};
    if (overflow == 0 && v >= 1 && v <= static_cast<long long>(kMaxProfileK)) return static_cast<unsigned>(v);
    Ref text = check(PyObject_Str(index.get()));
    const char* given = PyUnicode_AsUTF8(text.get());
    if (!given) throw PyErrorAlreadySet{};
    throw ErrorValue{PyExc_ValueError, "k must be from 1 to " + std::to_string(kMaxProfileK) + ", not " + given};
}

Ref kmer_profile_fasta(const std::string& path, unsigned k, bool canonical, std::uint64_t window, std::uint64_t step,
                       std::uint64_t min_length, bool skip_invalid) {
    if (window != 0 && window < k)
        throw ErrorValue{PyExc_ValueError, "window must be 0 (whole records) or at least k = " + std::to_string(k) +
                                               " bases, not " + std::to_string(window)};
    if (window == 0 && step != 0)
        throw ErrorValue{PyExc_ValueError, "step needs a window: step " + std::to_string(step) + " with window 0"};
    KmerProfile profile = get_kmer_profile_fasta(path, k, canonical, ProfileLayout{window, step, min_length}, skip_invalid);
    return new_instance(PyClass<KmerProfile>::type(), std::move(profile));
}

constexpr auto to_canonical = keyword_or<to_bool, true>;
constexpr auto to_flag_off = keyword_or<to_bool, false>;
constexpr auto to_count = keyword_or<to_u64, std::uint64_t{0}>;

PyMethodDef profile_function = {
    "get_kmer_profile_fasta",
    method_cast(function<kProfileSig, kmer_profile_fasta, to_path, to_profile_k, to_canonical, to_count, to_count,
                         to_count, to_flag_off>),
    METH_FASTCALL | METH_KEYWORDS, nullptr};

}  // namespace

PyTypeObject* py::PyClass<KmerProfile>::type() {
    static PyTypeObject* type = make_class("builtins.KmerProfile", sizeof(ProfileObject), profile_slots);
    return type;
}

void add_kmer_profile(PyObject* module) {
    add_function(module, &profile_function);
    add_object(module, "KmerProfile", reinterpret_cast<PyObject*>(PyClass<KmerProfile>::type()));
}

}  // namespace nuvek
