// The uncertainty arithmetic of liberrva over numpy arrays: one strided loop that calls the
// library's entry point on every element, and the library's settings object read and written
// as a dictionary.
#include "ext.h"

#include "errva.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace downlink_ext {
namespace {

template <class T> using Entry = int (*)(T*, T*, int*, T, T, int, T, T, int);

template <class T> Entry<T> entry_point(const std::string& op);
template <> Entry<float> entry_point<float>(const std::string& op) {
    if (op == "add")
        return errva_add;
    if (op == "sub")
        return errva_sub;
    if (op == "mul")
        return errva_mul;
    if (op == "div")
        return errva_div;
    throw std::invalid_argument("unknown operation: " + op);
}
template <> Entry<double> entry_point<double>(const std::string& op) {
    if (op == "add")
        return errva_dadd;
    if (op == "sub")
        return errva_dsub;
    if (op == "mul")
        return errva_dmul;
    if (op == "div")
        return errva_ddiv;
    throw std::invalid_argument("unknown operation: " + op);
}

// The seven operands in call order: a, a_sigma, b, b_sigma (values) and a_flags, b_flags,
// flags (flag words).  Each is a view of the common shape, possibly with zero strides.
constexpr int kOperands = 7;

struct Walk {
    std::vector<py::ssize_t> shape;
    std::array<const char*, kOperands> base{};
    std::array<const py::ssize_t*, kOperands> strides{};
};

Walk walk_of(const std::array<py::array, kOperands>& in, const py::dtype& value_type) {
    Walk w;
    const py::array& first = in[0];
    w.shape.assign(first.shape(), first.shape() + first.ndim());
    for (int k = 0; k < kOperands; ++k) {
        const py::array& a = in[k];
        const bool is_value = k < 4;
        if (is_value ? !a.dtype().is(value_type) : !a.dtype().is(py::dtype::of<int>()))
            throw std::invalid_argument("operand of the wrong type");
        if (a.ndim() != first.ndim() || !std::equal(w.shape.begin(), w.shape.end(), a.shape()))
            throw std::invalid_argument("operands are not broadcast to one shape");
        w.base[k] = static_cast<const char*>(a.data());
        w.strides[k] = a.strides();
    }
    return w;
}

template <class T> struct Outputs {
    T* value;
    T* sigma;
    int* flags;
    int8_t* state;
};

// Calls op on elements [0, n) of the innermost axis, operand pointers at p.
template <class T>
void inner_loop(Entry<T> op, std::array<const char*, kOperands> p,
                const std::array<py::ssize_t, kOperands>& step, py::ssize_t n, Outputs<T>& out) {
    for (py::ssize_t i = 0; i < n; ++i) {
        int flags = *reinterpret_cast<const int*>(p[6]);
        const int state = op(out.value, out.sigma, &flags, *reinterpret_cast<const T*>(p[0]),
                             *reinterpret_cast<const T*>(p[1]), *reinterpret_cast<const int*>(p[4]),
                             *reinterpret_cast<const T*>(p[2]), *reinterpret_cast<const T*>(p[3]),
                             *reinterpret_cast<const int*>(p[5]));
        *out.flags++ = flags;
        *out.state++ = static_cast<int8_t>(state);
        ++out.value;
        ++out.sigma;
        for (int k = 0; k < kOperands; ++k)
            p[k] += step[k];
    }
}

// Every element in row-major order: an odometer over the outer axes, the inner loop along
// the last one.
template <class T> void run(Entry<T> op, const Walk& w, Outputs<T> out) {
    const int nd = static_cast<int>(w.shape.size());
    const py::ssize_t inner = nd == 0 ? 1 : w.shape[nd - 1];
    std::array<py::ssize_t, kOperands> step{};
    for (int k = 0; k < kOperands; ++k)
        step[k] = nd == 0 ? 0 : w.strides[k][nd - 1];
    std::vector<py::ssize_t> index(nd > 1 ? nd - 1 : 0, 0);
    for (py::ssize_t e : w.shape)
        if (e == 0)
            return;
    for (;;) {
        std::array<const char*, kOperands> p = w.base;
        for (int d = 0; d + 1 < nd; ++d)
            for (int k = 0; k < kOperands; ++k)
                p[k] += index[d] * w.strides[k][d];
        inner_loop(op, p, step, inner, out);
        int d = nd - 2;
        while (d >= 0 && ++index[d] == w.shape[d])
            index[d--] = 0;
        if (d < 0)
            return;
    }
}

template <class T>
py::tuple apply_typed(const std::string& op_name, const std::array<py::array, kOperands>& in) {
    const Entry<T> op = entry_point<T>(op_name);
    const Walk w = walk_of(in, py::dtype::of<T>());
    py::array_t<T> value(w.shape), sigma(w.shape);
    py::array_t<int> flags(w.shape);
    py::array_t<int8_t> state(w.shape);
    Outputs<T> out{value.mutable_data(), sigma.mutable_data(), flags.mutable_data(),
                   state.mutable_data()};
    // The interpreter stays locked: no other thread can change the settings meanwhile.
    run(op, w, out);
    return py::make_tuple(value, sigma, flags, state);
}

py::tuple errva_apply(const std::string& op, py::array a, py::array a_sigma, py::array b,
                      py::array b_sigma, py::array a_flags, py::array b_flags, py::array flags) {
    const std::array<py::array, kOperands> in{a, a_sigma, b, b_sigma, a_flags, b_flags, flags};
    if (a.dtype().is(py::dtype::of<float>()))
        return apply_typed<float>(op, in);
    return apply_typed<double>(op, in);
}

py::dict settings_get() {
    const errvaclass* g = errva_globptr();
    py::dict d;
    d["bad_mask"] = g->bad_mask;
    d["suspect_mask"] = g->suspect_mask;
    d["flag_extrap"] = g->flag_extrap;
    d["state_mask"] =
        py::make_tuple(g->state_mask[0], g->state_mask[1], g->state_mask[2], g->state_mask[3]);
    d["noise_ratio"] = g->noise_ratio;
    d["approx_limit"] = g->approx_limit;
    d["throw_on_unapprox"] = g->throw_on_unapprox;
    return d;
}

// Converts every value before changing anything, so a bad value leaves the settings as
// they were.
void settings_set(const py::dict& changes) {
    errvaclass next = *errva_globptr();
    for (const auto& item : changes) {
        const std::string name = py::cast<std::string>(item.first);
        const py::handle v = item.second;
        if (name == "bad_mask")
            next.bad_mask = py::cast<int>(v);
        else if (name == "suspect_mask")
            next.suspect_mask = py::cast<int>(v);
        else if (name == "flag_extrap")
            next.flag_extrap = py::cast<int>(v);
        else if (name == "state_mask") {
            const auto masks = py::cast<std::vector<int>>(v);
            if (masks.size() != 4)
                throw std::invalid_argument("state_mask takes four flag words");
            std::copy(masks.begin(), masks.end(), next.state_mask);
        } else if (name == "noise_ratio")
            next.noise_ratio = py::cast<float>(v);
        else if (name == "approx_limit")
            next.approx_limit = py::cast<float>(v);
        else if (name == "throw_on_unapprox")
            next.throw_on_unapprox = py::cast<int>(v);
        else
            throw py::attribute_error("no setting named " + name);
    }
    *errva_globptr() = next;
}

} // namespace

void bind_errva(py::module_& m) {
    m.def("errva_apply", &errva_apply,
          "op(a, a_sigma, b, b_sigma, a_flags, b_flags, flags) on operands of one shape");
    m.def("errva_settings", &settings_get, "The library's settings as a dictionary");
    m.def("errva_configure", &settings_set, "Changes the named settings");
    m.def("errva_mask_setup", &errva_mask_setup, py::arg("bad"), py::arg("suspect"));
}

} // namespace downlink_ext
