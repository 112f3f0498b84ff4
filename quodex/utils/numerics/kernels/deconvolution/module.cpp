// Python face of the deconvolution module: argument declarations and thin bindings over the numerics.
#include "../frame/frame.hpp"
#include "response.hpp"

#define MODULE_NAME "quodex.utils.numerics.kernels.deconvolution"

namespace {

using namespace quodex;
using namespace quodex::deconvolution;

// Internal form, also called by the Richardson-Lucy driver (nsigma defaults to 5.0 there).
Ref build_gaussian_response(Strided<double> axis, Strided<double> sigma, double nsigma = 5.0) {
    static const Routine where{MODULE_NAME ".build_gaussian_response", __LINE__};
    return traced(where, [&] {
        if (axis.size > kMaxAxisLength) {
            PyErr_Format(PyExc_ValueError, "axis has %zd elements; at most %zd are supported", axis.size,
                         kMaxAxisLength);
            throw PythonError{};
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

Ref build_gaussian_response_binding(Args& a) {
    return build_gaussian_response(a.view<double>(0), a.view<double>(1), a.number(2));
}

const FunctionSpec functions[] = {
    {"build_gaussian_response", MODULE_NAME ".build_gaussian_response", build_params, 3,
     build_gaussian_response_binding, __LINE__},
};

const ModuleSpec module_spec{"deconvolution", MODULE_NAME, "quodex/utils/numerics/kernels/deconvolution/module.cpp",
                             functions, sizeof(functions) / sizeof(functions[0]), __LINE__};

}  // namespace

QUODEX_MODULE(deconvolution, module_spec)
