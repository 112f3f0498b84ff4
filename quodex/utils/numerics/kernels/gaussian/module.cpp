// Python face of the gaussian module: the multi-Gaussian model and its Jacobian.
#include <cstdint>
#include <limits>

#include "../frame/frame.hpp"
#include "multi_gaussian.hpp"

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

const FunctionSpec functions[] = {model, jacobian};

const ModuleSpec module_spec{"gaussian", MODULE_NAME, "quodex/utils/numerics/kernels/gaussian/module.cpp", functions, __LINE__};

}  // namespace

QUODEX_MODULE(gaussian, module_spec)
