// Python face of the mariscotti module: the second difference and its standard deviation.
#include "../frame/frame.hpp"
#include "peak_search.hpp"

#define MODULE_NAME "quodex.utils.numerics.kernels.mariscotti"

namespace {

using namespace quodex;

constexpr Param peak_search_params[] = {
    {.name = "y_d2", .kind = Kind::ReadView, .elem = Elem::Double},
};

// np.zeros_like(<memoryview of y_d2>, dtype=np.float64), stored as a 1-D double array variable.
Ref zeros_like(PyObject* prototype, Buffer& buf) {
    static PyObject* s_zeros_like = interned("zeros_like");
    static PyObject* s_float64 = interned("float64");
    Ref result = np_call(s_zeros_like, prototype, s_float64);
    acquire_result(buf, result.get(), Elem::Double, 1);
    return result;
}

constexpr FunctionSpec peak_search = define("mariscotti_peak_search_cy", [](const Bound<peak_search_params>& a) {
    const Strided<const double> y = a.view<const double>("y_d2");
    // A memoryview of its own holds the exporter, so nothing dangles if NumPy keeps it.
    Ref prototype = a.is_none("y_d2") ? Ref::borrow(Py_None) : Ref::check(PyMemoryView_FromObject(a.object("y_d2")));
    Buffer s_buf, f_buf;
    Ref S = zeros_like(prototype.get(), s_buf);
    Ref F = zeros_like(prototype.get(), f_buf);
    prototype = Ref();
    mariscotti::peak_search(y, s_buf.as1d<double>(), f_buf.as1d<double>());
    return Ref::check(PyTuple_Pack(2, S.get(), F.get()));
});

const FunctionSpec functions[] = {peak_search};

const ModuleSpec module_spec{"mariscotti", MODULE_NAME, "quodex/utils/numerics/kernels/mariscotti/module.cpp",
                             functions, __LINE__};

}  // namespace

QUODEX_MODULE(mariscotti, module_spec)
