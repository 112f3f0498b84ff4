// Python face of the tarvel module: region lists, and the resampling of a tabulated response matrix
// onto requested energies as sparse response rows.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
#include <vector>

#include "../frame/frame.hpp"
#include "interpolation.hpp"
#include "numpy_sum.hpp"
#include "regions.hpp"
#include "resample.hpp"
#include "runs.hpp"

#define MODULE_NAME "quodex.utils.numerics.kernels.tarvel"

namespace {

using namespace quodex;
namespace tv = quodex::tarvel;

Ref calculate_regions(double E_p, double max_value, bool has_escape_peaks) {
    static const Routine where{MODULE_NAME ".calculate_regions", __LINE__};
    return traced(where, [&] {
        tv::RegionBounds b = tv::region_list(E_p, max_value, has_escape_peaks);
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
}

constexpr Param regions_params[] = {
    {.name = "E_p", .kind = Kind::Double},
    {.name = "max_value", .kind = Kind::Double},
    {.name = "has_escape_peaks", .kind = Kind::Flag},
};

Ref calculate_regions_binding(Args& a) {
    auto at = [](std::string_view name) consteval { return param_index(regions_params, name); };
    return calculate_regions(a.number(at("E_p")), a.number(at("max_value")), a.flag(at("has_escape_peaks")));
}

// ---------------------------------------------------------------------------------------------------

constexpr Param tarvel_params[] = {
    {.name = "response_matrix", .kind = Kind::Array, .elem = Elem::Float64, .ndim = 2},
    {.name = "ref_indices", .kind = Kind::Array, .elem = Elem::Float64},
    {.name = "ref_E_axis", .kind = Kind::Array, .elem = Elem::Float64},
    {.name = "requested_indices", .kind = Kind::Array, .elem = Elem::Float64},
    {.name = "requested_E_axis", .kind = Kind::Array, .elem = Elem::Float64},
};
constexpr int kMatrix = param_index(tarvel_params, "response_matrix");
constexpr int kRefIndices = param_index(tarvel_params, "ref_indices");
constexpr int kRefAxis = param_index(tarvel_params, "ref_E_axis");
constexpr int kRequestedIndices = param_index(tarvel_params, "requested_indices");
constexpr int kRequestedAxis = param_index(tarvel_params, "requested_E_axis");

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

// Divides each wanted reference row by np.sum of the whole row: summed here in NumPy's order within
// NumPy's buffer size, by NumPy itself beyond it.
void normalise(tv::NormalisedRows& rows, const Strided2D<const double>& matrix, PyObject* matrix_obj,
               std::ptrdiff_t bufsize) {
    static PyObject* s_sum = interned("sum");
    for (std::ptrdiff_t r = 0; r < rows.rows(); ++r) {
        if (!rows.wanted(r)) continue;
        const Strided<const double> row = matrix.row(r);
        double total;
        if (row.size <= bufsize) {
            total = tv::numpy_sum(row);
        } else {
            Ref row_obj = Ref::check(PySequence_GetItem(matrix_obj, r));
            total = call_to_double(s_sum, row_obj.get());
        }
        rows.store(r, row, total);
    }
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

// Writable view of an array argument (the exporter refuses a read-only one with its own error).
tv::View writable_view(Buffer& buf, PyObject* obj, const char* name) {
    acquire_view(buf, obj, Param{.name = name, .kind = Kind::WritableView, .elem = Elem::Double});
    return buf.as1d<const double>();
}

// The high reference row of every requested energy (its low row is the one before), after the tests
// that keep every later read in range: a bracketing pair, ref_indices[0] < E <= ref_indices[-1], and
// the pair's rows in the matrix. Marks the rows used in `rows`.
std::vector<std::ptrdiff_t> bracket_requests(const tv::View& requested, const tv::View& ref_indices,
                                             std::ptrdiff_t matrix_rows, tv::NormalisedRows& rows) {
    const std::ptrdiff_t R = ref_indices.size;
    const tv::EnergySearch ref_search(ref_indices);
    std::vector<std::ptrdiff_t> high_rows(static_cast<std::size_t>(requested.size));
    for (std::ptrdiff_t i = 0; i < requested.size; ++i) {
        const double E = requested[i];
        if (R < 2) {
            Ref e = Ref::check(PyFloat_FromDouble(E));
            raise_error(PyExc_ValueError,
                         "requested_indices[%zd] = %R has no bracketing pair: ref_indices has %zd element%s, "
                         "at least 2 are needed",
                         i, e.get(), R, R == 1 ? "" : "s");
        }
        if (!(ref_indices[0] < E && E <= ref_indices[R - 1])) {
            Ref e = Ref::check(PyFloat_FromDouble(E));
            Ref lo = Ref::check(PyFloat_FromDouble(ref_indices[0]));
            Ref hi = Ref::check(PyFloat_FromDouble(ref_indices[R - 1]));
            raise_error(PyExc_ValueError,
                         "requested_indices[%zd] = %R has no bracketing pair: ref_indices[0] < E <= "
                         "ref_indices[-1] must hold, with ref_indices[0] = %R and ref_indices[-1] = %R",
                         i, e.get(), lo.get(), hi.get());
        }
        const std::ptrdiff_t k = ref_search(E);  // in 1 .. R-1 by the test above
        if (k >= matrix_rows) {
            raise_error(PyExc_IndexError, "index %zd is out of bounds for axis 0 with size %zd", k, matrix_rows);
        }
        high_rows[static_cast<std::size_t>(i)] = k;
        rows.want(k);
        rows.want(k - 1);
    }
    return high_rows;
}

// Reference rows' interval tables for the run-wise path, built on first use by a request and kept
// for the few pairs in use (requests usually come sorted, so pairs change rarely); memory stays at
// a few rows however many reference rows the matrix has.
class TableCache {
public:
    TableCache(const tv::RunTables& t, const tv::NormalisedRows& rows) : tables_(t), rows_(rows) {
        for (Entry& e : entries_) e.table.resize(t.row_table_size());
    }
    // The table of reference row r; the one of `keep` (the other row of the pair) is not evicted.
    tv::RowOperands get(std::ptrdiff_t r, std::ptrdiff_t keep) noexcept {
        Entry* victim = nullptr;
        for (Entry& e : entries_) {
            if (e.row == r) {
                e.used = ++clock_;
                return e.operands;
            }
            if (e.row != keep && (!victim || e.used < victim->used)) victim = &e;
        }
        victim->row = r;
        victim->used = ++clock_;
        victim->operands = tables_.row_table(rows_[r], victim->table.data());  // sized already: no allocation
        return victim->operands;
    }

private:
    struct Entry {
        std::ptrdiff_t row = -1;
        std::uint64_t used = 0;
        std::vector<double> table;
        tv::RowOperands operands{};
    };
    const tv::RunTables& tables_;
    const tv::NormalisedRows& rows_;
    Entry entries_[4];
    std::uint64_t clock_ = 0;
};

// Output entries reserved up front; beyond this the rows grow the storage as they come.
constexpr std::size_t kReserveEntries = std::size_t{1} << 25;
// Channels resampled per release of the GIL, in whole rows (their region lists are made with it
// held): long enough to make the release cheap, short enough that other threads get turns.
constexpr std::ptrdiff_t kChannelsPerRelease = std::ptrdiff_t{1} << 16;

// Entry storage a thread keeps between calls, up to kKeepEntries: fresh pages cost more than the
// resampling of a dense channel. A call takes it (a call nested in a NumPy callback finds none and
// allocates its own) and hands it back when its results are made, or when it fails.
constexpr std::size_t kKeepEntries = std::size_t{1} << 21;

struct KeptStorage {
    tv::RawArray<std::int32_t> indices;
    tv::RawArray<double> values;
};

KeptStorage& kept_storage() {
    static thread_local KeptStorage kept;
    return kept;
}

class StorageLoan {
public:
    explicit StorageLoan(tv::OutputRows& out) : out_(out) {
        KeptStorage& kept = kept_storage();
        out_.indices = std::move(kept.indices);
        out_.values = std::move(kept.values);
    }
    StorageLoan(const StorageLoan&) = delete;
    StorageLoan& operator=(const StorageLoan&) = delete;
    ~StorageLoan() {
        if (out_.values.capacity() > kKeepEntries) return;
        KeptStorage& kept = kept_storage();
        kept.indices = std::move(out_.indices);
        kept.values = std::move(out_.values);
    }

private:
    tv::OutputRows& out_;
};

// The output rows, one per requested energy, into `out`. The channel loops run without the GIL and
// read only memory the call owns (axis copies, normalised rows, tables), so a thread rewriting the
// inputs meanwhile cannot steer an access out of range. Rows longer than NumPy's buffer size are
// summed by NumPy with the GIL held, from a NumPy copy of the row.
void resample(const tv::View& requested, const tv::View& ref_indices, const std::vector<std::ptrdiff_t>& high_rows,
              const tv::NormalisedRows& rows, const tv::RunTables& tables, double max_value, std::ptrdiff_t bufsize,
              tv::OutputRows& out) {
    const std::ptrdiff_t N = requested.size, K = tables.channels();
    const bool sum_here = K <= bufsize;
    std::vector<double> row_values(static_cast<std::size_t>(K));
    const Strided<double> row_buffer(row_values.data(), K);
    Buffer np_row_buf;
    Ref np_row;
    if (!sum_here) {
        static PyObject* s_empty = interned("empty");
        np_row = new_vector<double>(s_empty, K, np_row_buf);
    }
    try {
        tv::check_response_row_lengths(tables.requested(), tables.ref_axis(), rows[high_rows[0]],
                                       rows[high_rows[0] - 1], row_buffer);
    } catch (const tv::LengthError& e) {
        raise_value_error(e);
    }

    const Isa isa = best_isa();
    const tv::EnergySearch axis_search(tables.ref_axis());
    std::optional<TableCache> cache;
    if (tables.usable()) cache.emplace(tables, rows);
    out.offsets.reserve(static_cast<std::size_t>(N) + 1);
    out.reserve_entries(std::min(static_cast<std::size_t>(N) * static_cast<std::size_t>(K), kReserveEntries));
    const std::ptrdiff_t block = sum_here ? std::clamp<std::ptrdiff_t>(kChannelsPerRelease / std::max<std::ptrdiff_t>(K, 1), 1, N) : 1;
    std::vector<tv::RowRegions> regions(static_cast<std::size_t>(block));
    for (std::ptrdiff_t i0 = 0; i0 < N; i0 += block) {
        const std::ptrdiff_t n = std::min(block, N - i0);
        for (std::ptrdiff_t r = 0; r < n; ++r) {
            const std::ptrdiff_t k = high_rows[static_cast<std::size_t>(i0 + r)];
            regions[static_cast<std::size_t>(r)] =
                tv::response_row_regions(requested[i0 + r], ref_indices[k - 1], ref_indices[k], max_value, InterpreterSort{});
        }
        out.make_room(static_cast<std::size_t>(K) * static_cast<std::size_t>(n));
        {
            GilRelease nogil;
            for (std::ptrdiff_t r = 0; r < n; ++r) {
                const std::ptrdiff_t i = i0 + r, k = high_rows[static_cast<std::size_t>(i)];
                const double E = requested[i], low_E = ref_indices[k - 1], high_E = ref_indices[k];
                const tv::RowRegions& reg = regions[static_cast<std::size_t>(r)];
                if (cache) {
                    const tv::RowOperands high = cache->get(k, k - 1);
                    const tv::RowOperands low = cache->get(k - 1, k);
                    tv::fill_row_runs(reg, tv::row_runs(reg, E, low_E, high_E, tables), tables, high, low,
                                      row_values.data(), isa);
                } else {
                    tv::fill_response_row(E, tables.requested(), axis_search, low_E, rows[k - 1], high_E, rows[k], reg,
                                          row_buffer);
                }
                if (!sum_here) break;
                tv::collect_contiguous(row_values.data(), K, tv::nansum_contiguous(row_values.data(), K, isa), out,
                                       isa);
                out.close_row();
            }
            if (!sum_here) {
                const Strided<double> np_values = np_row_buf.as1d<double>();
                for (std::ptrdiff_t j = 0; j < K; ++j) np_values[j] = row_values[static_cast<std::size_t>(j)];
            }
        }
        if (!sum_here) {
            static PyObject* s_nansum = interned("nansum");
            const double total = call_to_double(s_nansum, np_row.get());
            GilRelease nogil;
            tv::collect_contiguous(row_values.data(), K, total, out, isa);
            out.close_row();
        }
    }
}

Ref tarvel_cy_binding(Args& a) {
    static const Routine where{MODULE_NAME ".tarvel_cy", __LINE__};
    return traced(where, [&]() -> Ref {
        // Refused here rather than by the binder: the entry of this routine belongs in the traceback.
        for (int k = 0; k < int(std::size(tarvel_params)); ++k)
            if (a.is_none(k)) raise_incorrect_type(tarvel_params[k].name, "numpy.ndarray", a.object(k));

        const tv::View requested = a.view<const double>(kRequestedIndices);
        if (requested.size == 0) return rows_tuple({0}, {}, {});

        Buffer ref_indices_buf, requested_axis_buf, ref_axis_buf;
        const tv::View ref_indices = writable_view(ref_indices_buf, a.object(kRefIndices), "ref_indices");
        const tv::View requested_axis = writable_view(requested_axis_buf, a.object(kRequestedAxis), "requested_E_axis");
        const tv::View ref_axis = writable_view(ref_axis_buf, a.object(kRefAxis), "ref_E_axis");
        const Strided2D<const double> matrix = a.view2d<const double>(kMatrix);
        if (matrix.cols < ref_axis.size) {
            raise_error(PyExc_ValueError, "response_matrix has %zd columns, fewer than the %zd elements of ref_E_axis",
                         matrix.cols, ref_axis.size);
        }
        if (requested_axis.size > std::ptrdiff_t(INT32_MAX) + 1) {
            raise_error(PyExc_ValueError, "requested_E_axis has %zd elements; channel indices are int32",
                         requested_axis.size);
        }
        tv::NormalisedRows rows(matrix.rows, ref_axis.size);
        const std::vector<std::ptrdiff_t> high_rows = bracket_requests(requested, ref_indices, matrix.rows, rows);

        double max_value = 0.0;
        traced(Routine{MODULE_NAME ".interpolate_response_row", __LINE__}, [&] {
            static PyObject* s_max = interned("max");
            max_value = call_to_double(s_max, a.object(kRequestedAxis));
        });
        const std::ptrdiff_t bufsize = numpy_bufsize();
        normalise(rows, matrix, a.object(kMatrix), bufsize);

        // Owned copies of both axes, taken before any loop runs without the GIL.
        const tv::RunTables tables(requested_axis, ref_axis);
        tv::OutputRows out;
        const StorageLoan loan(out);
        resample(requested, ref_indices, high_rows, rows, tables, max_value, bufsize, out);
        return rows_tuple(out.offsets, out.indices.data(), out.values.data(), out.size);
    });
}

const FunctionSpec functions[] = {
    {"calculate_regions", regions_params, calculate_regions_binding},
    {"tarvel_cy", tarvel_params, tarvel_cy_binding},
};

const ModuleSpec module_spec{"tarvel", MODULE_NAME, "quodex/utils/numerics/kernels/tarvel/module.cpp", functions, __LINE__};

}  // namespace

QUODEX_MODULE(tarvel, module_spec)
