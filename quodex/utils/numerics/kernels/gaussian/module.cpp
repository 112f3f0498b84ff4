// Python face of the gaussian module: the multi-Gaussian model and its Jacobian.
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "../frame/frame.hpp"
#include "multi_gaussian.hpp"
#include "trf.hpp"

#define MODULE_NAME "quodex.utils.numerics.kernels.gaussian"

namespace {

using namespace quodex;

constexpr Param params_x_params[] = {
    {.name = "x", .kind = Kind::Array, .elem = Elem::Double, .refuse_none = true},
    {.name = "params", .kind = Kind::Array, .elem = Elem::Double, .refuse_none = true},
};

constexpr std::ptrdiff_t kMaxCount = std::numeric_limits<std::int32_t>::max();

using XParams = Bound<params_x_params>;

// The axis or the parameter vector (None refused by the binder); their lengths fit the 32-bit counts.
Strided<const double> input(const XParams& a, XParams::Name n) {
    const char* name = XParams::param(n).name;
    const Strided<const double> v = a.view<const double>(n);
    if (v.size > kMaxCount) {
        raise_error(PyExc_ValueError, "%s has %zd elements; at most %zd are supported", name, v.size, kMaxCount);
    }
    return v;
}

constexpr FunctionSpec model = define("multi_gaussian_cy", [](const Bound<params_x_params>& a) {
    static PyObject* s_zeros = interned("zeros");
    static PyObject* s_float64 = interned("float64");
    const Strided<const double> x = input(a, "x");
    const Strided<const double> params = input(a, "params");
    Ref m = Ref::check(PyLong_FromSsize_t(x.size));
    Ref y = np_call(s_zeros, m.get(), s_float64);
    Buffer y_buf;
    acquire_result(y_buf, y.get(), Elem::Double, 1);
    const bool writes = x.size > 0 && gaussian::peak_count(params) > 0;
    if (writes && y_buf.length(0) < x.size) raise_index_error(0);
    gaussian::multi_gaussian(x, params, y_buf.as1d<double>());
    return y;
});

constexpr FunctionSpec jacobian = define("multi_gaussian_jacobian_cy", [](const Bound<params_x_params>& a) {
    static PyObject* s_zeros = interned("zeros");
    const Strided<const double> x = input(a, "x");
    const Strided<const double> params = input(a, "params");
    Ref shape = Ref::check(Py_BuildValue("(nn)", x.size, params.size));
    Ref J = np_call(s_zeros, shape.get(), nullptr);
    Buffer j_buf;
    acquire_result(j_buf, J.get(), Elem::Double, 2);
    const std::ptrdiff_t columns = 3 * gaussian::peak_count(params);
    if (x.size > 0 && columns > 0) {
        if (j_buf.length(0) < x.size) raise_index_error(0);
        if (j_buf.length(1) < columns) raise_index_error(1);
    }
    gaussian::multi_gaussian_jacobian(x, params, j_buf.as2d<double>());
    return J;
});

constexpr Param params_fit[] = {
    {.name = "x", .kind = Kind::Array, .elem = Elem::Double, .refuse_none = true},
    {.name = "y", .kind = Kind::Array, .elem = Elem::Double, .refuse_none = true},
    {.name = "sigma", .kind = Kind::Array, .elem = Elem::Double, .refuse_none = true},
    {.name = "p0", .kind = Kind::Array, .elem = Elem::Double, .refuse_none = true},
    {.name = "lower", .kind = Kind::Array, .elem = Elem::Double, .refuse_none = true},
    {.name = "upper", .kind = Kind::Array, .elem = Elem::Double, .refuse_none = true},
    {.name = "max_nfev", .kind = Kind::Int, .def = 200},
    {.name = "shape", .kind = Kind::Flag, .def = false},
};

using FitArgs = Bound<params_fit>;

// A call-owned copy: the solve runs without the interpreter lock.
std::vector<double> copied(const FitArgs& a, FitArgs::Name n, std::ptrdiff_t expected) {
    const Strided<const double> v = a.view<const double>(n);
    if (expected >= 0 && v.size != expected) {
        raise_error(PyExc_ValueError, "%s has %zd elements; %zd expected", FitArgs::param(n).name, v.size, expected);
    }
    std::vector<double> out(static_cast<std::size_t>(v.size));
    for (std::ptrdiff_t i = 0; i < v.size; ++i) out[static_cast<std::size_t>(i)] = v[i];
    return out;
}

// Peaks on a straight background (with `shape` a tail and a step) fitted to weighted counts: the bounded
// trust-region solve, whole, in one call. Returns (parameters, Jacobian of the weighted residuals there, cost, evaluations).
constexpr FunctionSpec fit = define("fit_peaks_cy", [](const Bound<params_fit>& a) {
    static PyObject* s_zeros = interned("zeros");
    std::vector<double> x = copied(a, "x", -1);
    const std::ptrdiff_t m = static_cast<std::ptrdiff_t>(x.size());
    if (m == 0) raise_error(PyExc_ValueError, "x is empty");
    std::vector<double> y = copied(a, "y", m), sigma = copied(a, "sigma", m);
    std::vector<double> p0 = copied(a, "p0", -1);
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(p0.size());
    const bool shape = a.flag("shape");
    const std::ptrdiff_t fixed = shape ? 5 : 2;
    if (n < 3 + fixed || (n - fixed) % 3 != 0) {
        raise_error(PyExc_ValueError, "p0 has %zd elements; (A, mu, variance) per peak, then level and slope%s expected", n,
                    shape ? ", tail fraction, tail slope and step" : "");
    }
    std::vector<double> lower = copied(a, "lower", n), upper = copied(a, "upper", n);
    for (double s : sigma)
        if (!(s > 0.0) || !std::isfinite(s)) raise_error(PyExc_ValueError, "sigma must be positive and finite");
    for (double v : x)
        if (!std::isfinite(v)) raise_error(PyExc_ValueError, "x must be finite");
    const int max_nfev = a.integer("max_nfev");
    gaussian::trf::Solution sol;
    std::string failure;
    {
        GilRelease nogil;
        try {
            const gaussian::trf::Peaks problem(std::move(x), std::move(y), std::move(sigma), (n - fixed) / 3, shape);
            sol = gaussian::trf::solve(problem, std::move(p0), lower, upper, max_nfev);
        } catch (const std::invalid_argument& e) {
            failure = e.what();
        } catch (const std::domain_error& e) {
            failure = e.what();
        }
    }
    if (!failure.empty()) raise_error(PyExc_ValueError, "%s", failure.c_str());
    Ref p = array_from(sol.x);
    Ref dims = Ref::check(Py_BuildValue("(nn)", m, n));
    Ref J = np_call(s_zeros, dims.get(), nullptr);
    Buffer j_buf;
    acquire_result(j_buf, J.get(), Elem::Double, 2);
    if (j_buf.length(0) < m) raise_index_error(0);
    if (j_buf.length(1) < n) raise_index_error(1);
    const Strided2D<double> jv = j_buf.as2d<double>();
    for (std::ptrdiff_t i = 0; i < m; ++i)
        for (std::ptrdiff_t j = 0; j < n; ++j) jv(i, j) = sol.J(i, j);
    return Ref::check(Py_BuildValue("(OOdi)", p.get(), J.get(), sol.cost, sol.nfev));
});

const FunctionSpec functions[] = {model, jacobian, fit};

const ModuleSpec module_spec{"gaussian", MODULE_NAME, "quodex/utils/numerics/kernels/gaussian/module.cpp", functions, __LINE__};

}  // namespace

QUODEX_MODULE(gaussian, module_spec)
