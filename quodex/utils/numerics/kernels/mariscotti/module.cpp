// Python face of the mariscotti module: the second difference and its standard deviation.
#include "../frame/frame.hpp"
#include "peak_search.hpp"

#define MODULE_NAME "quodex.utils.numerics.kernels.mariscotti"

namespace {

using namespace quodex;

constexpr Param peak_search_params[] = {
    {.name = "y_d2", .kind = Kind::ReadView, .elem = Elem::Double},
};
constexpr int kY = param_index(peak_search_params, "y_d2");

// np.zeros_like(<memoryview of y_d2>, dtype=np.float64), stored as a 1-D double array variable.
Ref zeros_like(PyObject* prototype, Buffer& buf) {
    static PyObject* s_zeros_like = interned("zeros_like");
    static PyObject* s_float64 = interned("float64");
    Ref result = np_call(s_zeros_like, prototype, s_float64);
    acquire_result(buf, result.get(), Elem::Double, 1);
    return result;
}

Ref mariscotti_peak_search_cy(Args& a) {
    const Strided<const double> y = a.view<const double>(kY);
    // A memoryview of its own holds the exporter, so nothing dangles if NumPy keeps it.
    Ref prototype = a.is_none(kY) ? Ref::borrow(Py_None) : Ref::check(PyMemoryView_FromObject(a.object(kY)));
    Buffer s_buf, f_buf;
    Ref S = zeros_like(prototype.get(), s_buf);
    Ref F = zeros_like(prototype.get(), f_buf);
    prototype = Ref();
    mariscotti::peak_search(y, s_buf.as1d<double>(), f_buf.as1d<double>());
    return Ref::check(PyTuple_Pack(2, S.get(), F.get()));
}

const FunctionSpec functions[] = {
    {"mariscotti_peak_search_cy", peak_search_params, mariscotti_peak_search_cy},
};

const ModuleSpec module_spec{"mariscotti", MODULE_NAME, "quodex/utils/numerics/kernels/mariscotti/module.cpp",
                             functions, __LINE__};

}  // namespace

QUODEX_MODULE(mariscotti, module_spec)
