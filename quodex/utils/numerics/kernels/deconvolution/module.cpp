// Python face of the deconvolution module. The ML-EM iteration and the response builder are routines
// of their own because the Richardson-Lucy driver runs them too.
#include "../frame/frame.hpp"
#include "combine.hpp"
#include "mlem.hpp"
#include "response.hpp"

#define MODULE_NAME "quodex.utils.numerics.kernels.deconvolution"

namespace {

using namespace quodex;
using namespace quodex::deconvolution;

// A working array np.<func>(y), held as a writable typed array variable that must have n elements.
Ref working_array(PyObject* func, PyObject* y_obj, std::ptrdiff_t n, Buffer& buf) {
    Ref arr = np_call(func, y_obj, nullptr);
    acquire_result(buf, arr.get(), Elem::Float64, 1);
    if (buf.length(0) != n) raise_index_error(0);
    return arr;
}

// The ML-EM routine, also run by the Richardson-Lucy driver. The arrays are acquired by the caller
// (a buffer not held stands for None). The rows are validated here, with the GIL held, so the
// iterations that run without it cannot fail. The regularisation and use_sensitivity options are
// accepted for compatibility and have no effect.
Ref ML_EM_cy(PyObject* y_obj, const Buffer& y_buf, const Buffer& offsets, const Buffer& indices,
             const Buffer& values, const Buffer& sensitivity, int iterations = 30,
             [[maybe_unused]] bool reg_tikhonov = false, [[maybe_unused]] double reg_tikhonov_lambda = 0.001,
             [[maybe_unused]] bool use_sensitivity = false) {
    static const Routine where{MODULE_NAME ".ML_EM_cy", __LINE__};
    return traced(where, [&] {
        static PyObject* s_ones_like = interned("ones_like");
        static PyObject* s_empty_like = interned("empty_like");
        const Strided<const double> y = y_buf.as1d<const double>();
        const std::ptrdiff_t n = y.size;
        Buffer x_buf, estimate_buf, ratio_buf, correction_buf;
        Ref x = working_array(s_ones_like, y_obj, n, x_buf);
        Ref estimate = working_array(s_empty_like, y_obj, n, estimate_buf);
        Ref ratio = working_array(s_empty_like, y_obj, n, ratio_buf);
        Ref correction = working_array(s_empty_like, y_obj, n, correction_buf);
        if (n == 0 || iterations <= 0) return x;

        const ResponseRows rows{offsets.as1d<const std::int64_t>(), indices.as1d<const std::int32_t>(),
                                values.as1d<const double>()};
        const Strided<const double> sens = sensitivity.as1d<const double>();
        // Everything the iterations index is copied and checked here, with the GIL held; without it
        // they touch only memory this call owns and the result x.
        const MlemPlan plan(y, rows, sens, sensitivity.held(), iterations);
        const Strided<double> result = x_buf.as1d<double>();
        {
            GilRelease nogil;
            iterate(plan, result, iterations);
        }
        return x;
    });
}

constexpr Param ml_em_params[] = {
    {.name = "y", .kind = Kind::Array, .elem = Elem::Float64},
    {.name = "offsets", .kind = Kind::Array, .elem = Elem::Int64},
    {.name = "indices", .kind = Kind::Array, .elem = Elem::Int32},
    {.name = "values", .kind = Kind::Array, .elem = Elem::Float64},
    {.name = "sensitivity", .kind = Kind::Array, .elem = Elem::Float64},
    {.name = "iterations", .kind = Kind::Int, .def = 30},
    {.name = "reg_tikhonov", .kind = Kind::Flag, .def = false},
    {.name = "reg_tikhonov_lambda", .kind = Kind::Double, .def = 0.001},
    {.name = "use_sensitivity", .kind = Kind::Flag, .def = false},
};

constexpr FunctionSpec ml_em = define("ML_EM_cy", [](const Bound<ml_em_params>& a) {
    return ML_EM_cy(a.object("y"), a.buffer("y"), a.buffer("offsets"), a.buffer("indices"), a.buffer("values"),
                    a.buffer("sensitivity"), a.integer("iterations"), a.flag("reg_tikhonov"),
                    a.number("reg_tikhonov_lambda"), a.flag("use_sensitivity"));
});

// The builder routine, also run by the Richardson-Lucy driver (nsigma defaults to 5.0 there).
Ref build_gaussian_response(Strided<double> axis, Strided<double> sigma, double nsigma = 5.0) {
    static const Routine where{MODULE_NAME ".build_gaussian_response", __LINE__};
    return traced(where, [&] {
        if (axis.size > kMaxAxisLength) {
            raise_error(PyExc_ValueError, "axis has %zd elements; at most %zd are supported", axis.size,
                         kMaxAxisLength);
        }
        std::vector<Window> windows;
        const std::int64_t nnz = gaussian_windows(axis, sigma, nsigma, windows);
        static PyObject* s_empty = interned("empty");
        Buffer offsets_buf, indices_buf, values_buf;
        Ref offsets = new_vector<std::int64_t>(s_empty, axis.size + 1, offsets_buf);
        Ref indices = new_vector<std::int32_t>(s_empty, nnz, indices_buf);
        Ref values = new_vector<double>(s_empty, nnz, values_buf);
        fill_gaussian_rows(axis, sigma, windows, offsets_buf.as1d<std::int64_t>(), indices_buf.as1d<std::int32_t>(),
                           values_buf.as1d<double>());
        return Ref::check(PyTuple_Pack(3, offsets.get(), indices.get(), values.get()));
    });
}

constexpr Param build_params[] = {
    {.name = "axis", .kind = Kind::WritableView},
    {.name = "sigma", .kind = Kind::WritableView},
    {.name = "nsigma", .kind = Kind::Double, .def = 5.0},
};

constexpr FunctionSpec gaussian_response = define("build_gaussian_response", [](const Bound<build_params>& a) {
    return build_gaussian_response(a.view<double>("axis"), a.view<double>("sigma"), a.number("nsigma"));
});

constexpr Param rl_params[] = {
    {.name = "x", .kind = Kind::Array, .elem = Elem::Float64},
    {.name = "y", .kind = Kind::Array, .elem = Elem::Float64},
    {.name = "k", .kind = Kind::Double},
    {.name = "sensitivity", .kind = Kind::Array, .elem = Elem::Float64},
    {.name = "iterations", .kind = Kind::Int, .def = 30},
    {.name = "reg_tikhonov", .kind = Kind::Flag, .def = false},
    {.name = "reg_tikhonov_lambda", .kind = Kind::Double, .def = 0.001},
    {.name = "use_sensitivity", .kind = Kind::Flag, .def = false},
};

// The Richardson-Lucy driver: a Gaussian width per bin from the resolution model, the response rows
// built on the axis x (nsigma 5.0), then the ML-EM iteration on them.
constexpr FunctionSpec richardson_lucy = define("richardson_lucy_cy", [](const Bound<rl_params>& a) {
    static const Routine where{MODULE_NAME ".richardson_lucy_cy", __LINE__};
    return traced(where, [&] {
        static PyObject* s_empty_like = interned("empty_like");
        const Strided<const double> x = a.view<const double>("x");
        const std::ptrdiff_t n = a.view<const double>("y").size;
        Buffer sigmas_buf;
        Ref sigmas = np_call(s_empty_like, a.object("y"), nullptr);
        acquire_result(sigmas_buf, sigmas.get(), Elem::Float64, 1);
        const Strided<double> sigma = sigmas_buf.as1d<double>();
        const double k = a.number("k");
        for (std::ptrdiff_t i = 0; i < n; ++i) sigma.at<Checked>(i) = get_sigma(k, x.at<Checked>(i));

        // The builder takes the axis as a writable view: a read-only x fails here with its exporter's error.
        Buffer axis_buf;
        acquire_view(axis_buf, a.object("x"), Param{.name = "axis", .kind = Kind::WritableView});
        Ref response = build_gaussian_response(axis_buf.as1d<double>(), sigma);
        if (!PyTuple_Check(response.get()) || PyTuple_GET_SIZE(response.get()) != 3) {
            raise_error(PyExc_ValueError, "expected 3 response arrays");
        }
        Buffer offsets, indices, values;
        acquire_result(offsets, PyTuple_GET_ITEM(response.get(), 0), Elem::Int64, 1);
        acquire_result(indices, PyTuple_GET_ITEM(response.get(), 1), Elem::Int32, 1);
        acquire_result(values, PyTuple_GET_ITEM(response.get(), 2), Elem::Float64, 1);
        return ML_EM_cy(a.object("y"), a.buffer("y"), offsets, indices, values, a.buffer("sensitivity"),
                        a.integer("iterations"), a.flag("reg_tikhonov"), a.number("reg_tikhonov_lambda"),
                        a.flag("use_sensitivity"));
    });
});

constexpr Param combine_params[] = {
    {.name = "offsets_a", .kind = Kind::Array, .elem = Elem::Int64},
    {.name = "indices_a", .kind = Kind::Array, .elem = Elem::Int32},
    {.name = "values_a", .kind = Kind::Array, .elem = Elem::Float64},
    {.name = "scale_a", .kind = Kind::Array, .elem = Elem::Float64},
    {.name = "offsets_b", .kind = Kind::Array, .elem = Elem::Int64},
    {.name = "indices_b", .kind = Kind::Array, .elem = Elem::Int32},
    {.name = "values_b", .kind = Kind::Array, .elem = Elem::Float64},
    {.name = "scale_b", .kind = Kind::Array, .elem = Elem::Float64},
};

// scale_a[j] * row j of A + scale_b[j] * row j of B for every row, as compressed rows.
constexpr FunctionSpec combine = define("combine_rows", [](const Bound<combine_params>& a) {
    static const Routine where{MODULE_NAME ".combine_rows", __LINE__};
    return traced(where, [&] {
        const ResponseRows rows_a{a.buffer("offsets_a").as1d<const std::int64_t>(),
                                  a.buffer("indices_a").as1d<const std::int32_t>(),
                                  a.buffer("values_a").as1d<const double>()};
        const ResponseRows rows_b{a.buffer("offsets_b").as1d<const std::int64_t>(),
                                  a.buffer("indices_b").as1d<const std::int32_t>(),
                                  a.buffer("values_b").as1d<const double>()};
        const Strided<const double> scale_a = a.buffer("scale_a").as1d<const double>();
        const Strided<const double> scale_b = a.buffer("scale_b").as1d<const double>();
        if (scale_a.size != scale_b.size) {
            raise_error(PyExc_ValueError, "scale_a has %zd elements and scale_b %zd; they must match", scale_a.size,
                        scale_b.size);
        }
        SparseRows out;
        if (combine_rows(rows_a, scale_a, rows_b, scale_b, out) != CombineStatus::Ok)
            raise_error(PyExc_ValueError, "the columns of every row must ascend strictly");
        Ref offsets = array_from(out.offsets), indices = array_from(out.indices), values = array_from(out.values);
        return Ref::check(PyTuple_Pack(3, offsets.get(), indices.get(), values.get()));
    });
});

constexpr Param sums_params[] = {
    {.name = "offsets", .kind = Kind::Array, .elem = Elem::Int64},
    {.name = "values", .kind = Kind::Array, .elem = Elem::Float64},
    {.name = "n", .kind = Kind::Int},
};

// The entries of each of the first n rows added: the sensitivities of the ML-EM.
constexpr FunctionSpec sums = define("row_sums", [](const Bound<sums_params>& a) {
    static const Routine where{MODULE_NAME ".row_sums", __LINE__};
    return traced(where, [&] {
        const int n = a.integer("n");
        if (n < 0) raise_error(PyExc_ValueError, "n must be at least 0, found %d", n);
        const ResponseRows rows{a.buffer("offsets").as1d<const std::int64_t>(), Strided<const std::int32_t>(),
                                a.buffer("values").as1d<const double>()};
        static PyObject* s_empty = interned("empty");
        Buffer out_buf;
        Ref out = new_vector<double>(s_empty, n, out_buf);
        row_sums(rows, out_buf.as1d<double>());
        return out;
    });
});

constexpr Param fold_params[] = {
    {.name = "x", .kind = Kind::Array, .elem = Elem::Float64},
    {.name = "offsets", .kind = Kind::Array, .elem = Elem::Int64},
    {.name = "indices", .kind = Kind::Array, .elem = Elem::Int32},
    {.name = "values", .kind = Kind::Array, .elem = Elem::Float64},
};

// x folded through the rows: the ML-EM's forward projection, once.
constexpr FunctionSpec fold = define("fold_rows", [](const Bound<fold_params>& a) {
    static const Routine where{MODULE_NAME ".fold_rows", __LINE__};
    return traced(where, [&] {
        static PyObject* s_empty_like = interned("empty_like");
        const ResponseRows rows{a.buffer("offsets").as1d<const std::int64_t>(),
                                a.buffer("indices").as1d<const std::int32_t>(),
                                a.buffer("values").as1d<const double>()};
        const Strided<const double> x = a.buffer("x").as1d<const double>();
        Buffer out_buf;
        Ref out = working_array(s_empty_like, a.object("x"), x.size, out_buf);
        fold_rows(x, rows, out_buf.as1d<double>());
        return out;
    });
});

const FunctionSpec functions[] = {ml_em, gaussian_response, richardson_lucy, combine, sums, fold};

const ModuleSpec module_spec{"deconvolution", MODULE_NAME, "quodex/utils/numerics/kernels/deconvolution/module.cpp",
                             functions, __LINE__};

}  // namespace

QUODEX_MODULE(deconvolution, module_spec)
