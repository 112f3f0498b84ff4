// Python face of the tarvel module: region lists, and the resampling of a tabulated response matrix
// onto requested energies as sparse response rows.
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

#include "../frame/frame.hpp"
#include "interpolation.hpp"
#include "matrix.hpp"
#include "regions.hpp"

#define MODULE_NAME "quodex.utils.numerics.kernels.tarvel"

namespace {

using namespace quodex;
namespace tv = quodex::tarvel;

constexpr Param regions_params[] = {
    {.name = "E_p", .kind = Kind::Double},
    {.name = "max_value", .kind = Kind::Double},
    {.name = "has_escape_peaks", .kind = Kind::Flag},
};

constexpr FunctionSpec regions = define("calculate_regions", [](const Bound<regions_params>& a) {
    static const Routine where{MODULE_NAME ".calculate_regions", __LINE__};
    return traced(where, [&] {
        const bool has_escape_peaks = a.flag("has_escape_peaks");
        tv::RegionBounds b = tv::region_list(a.number("E_p"), a.number("max_value"), has_escape_peaks);
        const bool nan = tv::has_nan(b.value.data(), b.size);
        // Without NaN every stable sort gives Python's order, and the integer 0 stays first among the
        // bounds equal to it; where NaN bounds land is left to the running interpreter's own sort.
        int zero_at = 0;
        if (has_escape_peaks && !nan) {
            tv::python_list_sort(b.value.data(), b.size);
            while (b[zero_at] != 0.0) ++zero_at;
        }
        Ref list = Ref::check(PyList_New(b.size));
        for (int i = 0; i < b.size; ++i)
            PyList_SET_ITEM(list.get(), i,
                            (i == zero_at ? Ref::check(PyLong_FromLong(0)) : Ref::check(PyFloat_FromDouble(b[i]))).release());
        if (has_escape_peaks && nan && PyList_Sort(list.get()) < 0) throw_python_error();
        return list;
    });
});

// ---------------------------------------------------------------------------------------------------

constexpr Param tarvel_params[] = {
    {.name = "response_matrix", .kind = Kind::Array, .elem = Elem::Float64, .ndim = 2},
    {.name = "ref_indices", .kind = Kind::Array, .elem = Elem::Float64},
    {.name = "ref_E_axis", .kind = Kind::Array, .elem = Elem::Float64},
    {.name = "requested_indices", .kind = Kind::Array, .elem = Elem::Float64},
    {.name = "requested_E_axis", .kind = Kind::Array, .elem = Elem::Float64},
};

[[noreturn]] void raise_value_error(const tv::LengthError& e) {
    raise_error(PyExc_ValueError, "%s", e.message.c_str());
}

double call_to_double(PyObject* func_name, PyObject* arg) {
    Ref r = np_call(func_name, arg, nullptr);
    return to_double(r.get());
}

// NumPy's buffer size: sums up to this length are computed here in NumPy's order, longer ones by
// NumPy itself (how it chunks them depends on its version).
std::ptrdiff_t numpy_bufsize() {
    static PyObject* s_getbufsize = interned("getbufsize");
    Ref f = np_attr(s_getbufsize);
    Ref r = Ref::check(PyObject_CallNoArgs(f.get()));
    const Py_ssize_t n = PyLong_AsSsize_t(r.get());
    if (n == -1 && PyErr_Occurred()) throw_python_error();
    return n;
}

// Orders region bounds as the running interpreter's list.sort does: here for lists without NaN, where
// every stable sort agrees, and by the interpreter itself for the rare list holding NaN, whose place
// depends on the interpreter's sort algorithm.
struct InterpreterSort {
    void operator()(double* a, int n) const {
        if (!tv::has_nan(a, n)) {
            tv::python_list_sort(a, n);
            return;
        }
        Ref list = Ref::check(PyList_New(n));
        for (int i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), i, Ref::check(PyFloat_FromDouble(a[i])).release());
        if (PyList_Sort(list.get()) < 0) throw_python_error();
        for (int i = 0; i < n; ++i) a[i] = PyFloat_AS_DOUBLE(PyList_GET_ITEM(list.get(), i));
    }
};

// The messages of requested energies without a bracketing pair of reference rows.
struct BracketFailure {
    [[noreturn]] void no_pair(std::ptrdiff_t i, double E, std::ptrdiff_t R) const {
        Ref e = Ref::check(PyFloat_FromDouble(E));
        raise_error(PyExc_ValueError,
                    "requested_indices[%zd] = %R has no bracketing pair: ref_indices has %zd element%s, "
                    "at least 2 are needed",
                    i, e.get(), R, R == 1 ? "" : "s");
    }
    [[noreturn]] void outside(std::ptrdiff_t i, double E, double first, double last) const {
        Ref e = Ref::check(PyFloat_FromDouble(E));
        Ref lo = Ref::check(PyFloat_FromDouble(first));
        Ref hi = Ref::check(PyFloat_FromDouble(last));
        raise_error(PyExc_ValueError,
                    "requested_indices[%zd] = %R has no bracketing pair: ref_indices[0] < E <= "
                    "ref_indices[-1] must hold, with ref_indices[0] = %R and ref_indices[-1] = %R",
                    i, e.get(), lo.get(), hi.get());
    }
    [[noreturn]] void row_missing(std::ptrdiff_t k, std::ptrdiff_t rows) const {
        raise_error(PyExc_IndexError, "index %zd is out of bounds for axis 0 with size %zd", k, rows);
    }
};

// Result arrays up to this many entries are reserved whole and filled in place. A larger reservation
// costs more than the copy it saves: the kernel may compact memory to back its pages with huge pages,
// mostly for pages never written.
constexpr std::size_t kInPlaceEntries = std::size_t{1} << 22;

// The entries of the output rows, written straight into the result arrays: made at the upper bound
// of their length (pages never written cost nothing) and cut to it at the end. Beyond
// kInPlaceEntries, or when np gives arrays that cannot be filled in place, the entries go to owned
// memory, grown as they come, and are copied into the results at the end.
class ResultEntries final : public tv::EntryStorage {
public:
    // With the GIL held.
    void grow(std::size_t n, std::size_t kept) override {
        if (!owned_mode_ && n <= kInPlaceEntries) {
            Ref i = fillable_vector<std::int32_t>(static_cast<std::ptrdiff_t>(n));
            Ref v = i ? fillable_vector<double>(static_cast<std::ptrdiff_t>(n)) : Ref();
            if (v) {
                take(vector_data<std::int32_t>(i), vector_data<double>(v), n, kept);
                indices_ = std::move(i);
                values_ = std::move(v);
                return;
            }
        }
        if (owned_mode_) {
            owned_.grow(n, kept);  // realloc keeps the entries
            kept = 0;
        } else {
            owned_mode_ = true;
            owned_.grow(n, 0);
        }
        take(owned_.indices, owned_.values, n, kept);
        indices_ = values_ = Ref();
    }

    Ref result(const std::vector<std::int64_t>& offsets, std::size_t n) {
        if (owned_mode_) return rows_tuple(offsets, indices, values, n);
        cut_vector(indices_, static_cast<std::ptrdiff_t>(n));
        cut_vector(values_, static_cast<std::ptrdiff_t>(n));
        Ref o = array_from(offsets);
        return Ref::check(PyTuple_Pack(3, o.get(), indices_.get(), values_.get()));
    }

private:
    // Entries at i and v from now on, the first `kept` copied there.
    void take(std::int32_t* i, double* v, std::size_t n, std::size_t kept) {
        if (kept) {
            std::memcpy(i, indices, kept * sizeof(std::int32_t));
            std::memcpy(v, values, kept * sizeof(double));
        }
        indices = i;
        values = v;
        capacity = n;
    }

    bool owned_mode_ = false;
    Ref indices_, values_;
    tv::OwnedEntries owned_;
};

// Writable view of an array argument (the exporter refuses a read-only one with its own error).
tv::View writable_view(Buffer& buf, PyObject* obj, const char* name) {
    acquire_view(buf, obj, Param{.name = name, .kind = Kind::WritableView, .elem = Elem::Double});
    return buf.as1d<const double>();
}

constexpr FunctionSpec resampling = define("tarvel_cy", [](const Bound<tarvel_params>& a) {
    static const Routine where{MODULE_NAME ".tarvel_cy", __LINE__};
    return traced(where, [&]() -> Ref {
        // Refused here rather than by the binder: the entry of this routine belongs in the traceback.
        a.refuse_none_arrays();

        const tv::View requested = a.view<const double>("requested_indices");
        if (requested.size == 0) return rows_tuple({0}, {}, {});

        Buffer ref_indices_buf, requested_axis_buf, ref_axis_buf;
        const tv::View ref_indices = writable_view(ref_indices_buf, a.object("ref_indices"), "ref_indices");
        const tv::View requested_axis =
            writable_view(requested_axis_buf, a.object("requested_E_axis"), "requested_E_axis");
        const tv::View ref_axis = writable_view(ref_axis_buf, a.object("ref_E_axis"), "ref_E_axis");
        const Strided2D<const double> matrix = a.view2d<const double>("response_matrix");
        if (matrix.cols < ref_axis.size) {
            raise_error(PyExc_ValueError, "response_matrix has %zd columns, fewer than the %zd elements of ref_E_axis",
                         matrix.cols, ref_axis.size);
        }
        if (requested_axis.size > std::ptrdiff_t(INT32_MAX) + 1) {
            raise_error(PyExc_ValueError, "requested_E_axis has %zd elements; channel indices are int32",
                         requested_axis.size);
        }
        tv::NormalisedRows rows(matrix.rows, ref_axis.size);
        const std::vector<std::ptrdiff_t> high_rows =
            tv::bracket_requests(requested, ref_indices, matrix.rows, rows, BracketFailure{});

        double max_value = 0.0;
        traced(Routine{MODULE_NAME ".interpolate_response_row", __LINE__}, [&] {
            static PyObject* s_max = interned("max");
            max_value = call_to_double(s_max, a.object("requested_E_axis"));
        });
        const std::ptrdiff_t bufsize = numpy_bufsize();
        tv::normalise(rows, matrix, bufsize, [&](std::ptrdiff_t r) {
            static PyObject* s_sum = interned("sum");
            Ref row_obj = Ref::check(PySequence_GetItem(a.object("response_matrix"), r));
            return call_to_double(s_sum, row_obj.get());
        });

        // Owned copies of both axes, taken before any loop runs without the GIL.
        const tv::RunTables tables(requested_axis, ref_axis);
        ResultEntries entries;
        tv::OutputRows out(entries);
        // Rows longer than NumPy's buffer size are summed by np.nansum, from a NumPy copy of the row.
        const std::ptrdiff_t K = tables.channels();
        Buffer np_row_buf;
        Ref np_row;
        if (K > bufsize) {
            static PyObject* s_empty = interned("empty");
            np_row = new_vector<double>(s_empty, K, np_row_buf);
        }
        auto long_nansum = [&](const double* row, std::ptrdiff_t n) {
            static PyObject* s_nansum = interned("nansum");
            const Strided<double> np_values = np_row_buf.as1d<double>();
            for (std::ptrdiff_t j = 0; j < n; ++j) np_values[j] = row[j];
            return call_to_double(s_nansum, np_row.get());
        };
        try {
            tv::resample<GilRelease>(requested, ref_indices, high_rows, rows, tables, max_value, bufsize, out,
                                     InterpreterSort{}, long_nansum);
        } catch (const tv::LengthError& e) {
            raise_value_error(e);
        }
        return entries.result(out.offsets, out.size);
    });
});

const FunctionSpec functions[] = {regions, resampling};

const ModuleSpec module_spec{"tarvel", MODULE_NAME, "quodex/utils/numerics/kernels/tarvel/module.cpp", functions, __LINE__};

}  // namespace

QUODEX_MODULE(tarvel, module_spec)
