// Bounded nonlinear least squares by the trust-region-reflective method, and the weighted fit of
// Gaussian peaks on a straight background that the spectrum fits solve with it. No Python here.
//
//   solve(problem, x0, lb, ub, max_nfev) -> Solution     minimises 0.5 |f(x)|^2 with lb <= x <= ub
//
// The steps are those of SciPy's least_squares(method="trf", tr_solver="exact", x_scale="jac") with its
// default tolerances (ftol = xtol = gtol = 1e-8), carried over one for one: Coleman-Li scaling, the
// exact trust-region subproblem on the SVD of the scaled, augmented Jacobian, the choice between the
// step cut at the bound, its reflection and the scaled gradient, and the same radius updates and tests
// to stop. Only the rounding of the linear algebra differs (Householder QR, then one-sided Jacobi on
// the n x n factor, instead of LAPACK's SVD of the whole matrix), so the same start reaches the same
// minimum, not necessarily bit for bit. Matrices are column-major.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "multi_gaussian.hpp"

namespace quodex::gaussian::trf {

using Vec = std::vector<double>;
using Index = std::ptrdiff_t;

inline constexpr double kEps = std::numeric_limits<double>::epsilon();
inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kTol = 1e-8;  // ftol, xtol and gtol

// Column-major m x n matrix.
struct Matrix {
    Index rows = 0, cols = 0;
    Vec a;
    Matrix() = default;
    Matrix(Index m, Index n) : rows(m), cols(n), a(std::size_t(m * n), 0.0) {}
    double& operator()(Index i, Index j) noexcept { return a[std::size_t(j * rows + i)]; }
    double operator()(Index i, Index j) const noexcept { return a[std::size_t(j * rows + i)]; }
    double* col(Index j) noexcept { return a.data() + j * rows; }
    const double* col(Index j) const noexcept { return a.data() + j * rows; }
};

inline Vec zeros(Index n) { return Vec(static_cast<std::size_t>(n), 0.0); }

inline double dot(const double* u, const double* v, Index n) noexcept {
    double s = 0.0;
    for (Index i = 0; i < n; ++i) s += u[i] * v[i];
    return s;
}
inline double dot(const Vec& u, const Vec& v) noexcept { return dot(u.data(), v.data(), Index(u.size())); }
inline double norm(const Vec& u) noexcept { return std::sqrt(dot(u, u)); }

// ---- singular values and right vectors of a tall matrix ------------------------------------------

struct Svd {
    Vec s;     // descending
    Matrix V;  // n x n, column i belongs to s[i]
};

// Householder QR reduces A (m x n, m >= n assumed by the caller's augmentation) to R; one-sided Jacobi
// rotations orthogonalise R's columns, W = R V, whose norms are the singular values.
inline Svd svd(Matrix A) {
    const Index m = A.rows, n = A.cols, k = std::min(m, n);
    for (Index j = 0; j < k; ++j) {
        double* c = A.col(j);
        double alpha = 0.0;
        for (Index i = j; i < m; ++i) alpha += c[i] * c[i];
        alpha = std::sqrt(alpha);
        if (alpha == 0.0) continue;
        if (c[j] > 0) alpha = -alpha;
        // v = c[j:] - alpha e1, H = I - 2 v v^T / v^T v; v^T v = 2 alpha (alpha - c[j])
        const double vj = c[j] - alpha;
        const double vtv = -2.0 * alpha * vj;
        c[j] = vj;
        for (Index l = j + 1; l < n; ++l) {
            double* d = A.col(l);
            const double t = 2.0 * dot(c + j, d + j, m - j) / vtv;
            for (Index i = j; i < m; ++i) d[i] -= t * c[i];
        }
        c[j] = alpha;
        for (Index i = j + 1; i < m; ++i) c[i] = 0.0;
    }
    Matrix W(n, n), V(n, n);
    for (Index j = 0; j < n; ++j) {
        for (Index i = 0; i <= std::min(j, k - 1); ++i) W(i, j) = A(i, j);
        V(j, j) = 1.0;
    }
    for (int sweep = 0; sweep < 60; ++sweep) {
        bool rotated = false;
        for (Index p = 0; p < n - 1; ++p) {
            for (Index q = p + 1; q < n; ++q) {
                double* wp = W.col(p);
                double* wq = W.col(q);
                const double a = dot(wp, wp, n), b = dot(wq, wq, n), g = dot(wp, wq, n);
                if (g == 0.0 || std::abs(g) <= kEps * std::sqrt(a * b)) continue;
                rotated = true;
                const double zeta = (b - a) / (2.0 * g);
                const double t = std::copysign(1.0, zeta) / (std::abs(zeta) + std::sqrt(1.0 + zeta * zeta));
                const double cs = 1.0 / std::sqrt(1.0 + t * t), sn = cs * t;
                for (Index i = 0; i < n; ++i) {
                    const double x = wp[i], y = wq[i];
                    wp[i] = cs * x - sn * y;
                    wq[i] = sn * x + cs * y;
                }
                double* vp = V.col(p);
                double* vq = V.col(q);
                for (Index i = 0; i < n; ++i) {
                    const double x = vp[i], y = vq[i];
                    vp[i] = cs * x - sn * y;
                    vq[i] = sn * x + cs * y;
                }
            }
        }
        if (!rotated) break;
    }
    Vec s = zeros(n);
    for (Index j = 0; j < n; ++j) s[j] = std::sqrt(dot(W.col(j), W.col(j), n));
    std::vector<Index> order(static_cast<std::size_t>(n));
    std::iota(order.begin(), order.end(), Index{0});
    std::stable_sort(order.begin(), order.end(), [&](Index i, Index j) { return s[i] > s[j]; });
    Svd out{Vec(std::size_t(n)), Matrix(n, n)};
    for (Index j = 0; j < n; ++j) {
        out.s[j] = s[order[j]];
        std::copy(V.col(order[j]), V.col(order[j]) + n, out.V.col(j));
    }
    return out;
}

// ---- the pieces of the method ---------------------------------------------------------------------

// Elements of x on a bound: -1 lower, +1 upper (within rtol of it, relative to max(1, |bound|)).
inline int active(double x, double lb, double ub, double rtol) noexcept {
    if (rtol == 0.0) return x >= ub ? 1 : x <= lb ? -1 : 0;
    const double lower = x - lb, upper = ub - x;
    int a = 0;
    if (std::isfinite(lb) && lower <= std::min(upper, rtol * std::max(1.0, std::abs(lb)))) a = -1;
    if (std::isfinite(ub) && upper <= std::min(lower, rtol * std::max(1.0, std::abs(ub)))) a = 1;
    return a;
}

// x moved off the bounds it touches, strictly inside them.
inline Vec strictly_feasible(Vec x, const Vec& lb, const Vec& ub, double rstep) {
    for (std::size_t i = 0; i < x.size(); ++i) {
        const int a = active(x[i], lb[i], ub[i], rstep);
        if (a == -1) x[i] = rstep == 0.0 ? std::nextafter(lb[i], ub[i]) : lb[i] + rstep * std::max(1.0, std::abs(lb[i]));
        if (a == 1) x[i] = rstep == 0.0 ? std::nextafter(ub[i], lb[i]) : ub[i] - rstep * std::max(1.0, std::abs(ub[i]));
        if (x[i] < lb[i] || x[i] > ub[i]) x[i] = 0.5 * (lb[i] + ub[i]);
    }
    return x;
}

inline bool in_bounds(const Vec& x, const Vec& lb, const Vec& ub) noexcept {
    for (std::size_t i = 0; i < x.size(); ++i)
        if (!(x[i] >= lb[i] && x[i] <= ub[i])) return false;
    return true;
}

// The largest multiple of s that keeps x + t s within the bounds, and which bounds it meets
// (sign of s where met, 0 elsewhere).
struct ToBound {
    double step;
    std::vector<int> hits;
};

inline ToBound step_to_bound(const Vec& x, const Vec& s, const Vec& lb, const Vec& ub) {
    const std::size_t n = x.size();
    Vec steps(n, kInf);
    for (std::size_t i = 0; i < n; ++i)
        if (s[i] != 0.0) steps[i] = std::max((lb[i] - x[i]) / s[i], (ub[i] - x[i]) / s[i]);
    ToBound out{*std::min_element(steps.begin(), steps.end()), std::vector<int>(n, 0)};
    for (std::size_t i = 0; i < n; ++i)
        if (steps[i] == out.step) out.hits[i] = (s[i] > 0) - (s[i] < 0);
    return out;
}

// The larger t with |x + t s| = Delta (x inside the region).
inline double to_trust_region(const Vec& x, const Vec& s, double Delta) {
    const double a = dot(s, s), b = dot(x, s), c = dot(x, x) - Delta * Delta;
    if (a == 0.0) throw std::domain_error("the reflected step is zero");
    if (c > 0.0) throw std::domain_error("the step lies outside the trust region");
    const double d = std::sqrt(b * b - a * c);
    const double q = -(b + std::copysign(d, b));
    const double t1 = q / a, t2 = c / q;
    return std::max(t1, t2);
}

// The scaled problem's quadratic model along s: 0.5 |J s|^2 + 0.5 s.diag.s + g.s, and along s0 + t s.
struct Scaled {
    const Matrix& J;  // J_h
    const Vec& g;     // g_h
    const Vec& diag;  // diag_h

    Vec times(const Vec& s) const {
        Vec v(std::size_t(J.rows), 0.0);
        for (Index j = 0; j < J.cols; ++j) {
            const double* c = J.col(j);
            const double sj = s[std::size_t(j)];
            for (Index i = 0; i < J.rows; ++i) v[std::size_t(i)] += c[i] * sj;
        }
        return v;
    }
    double diag_form(const Vec& u, const Vec& v) const {
        double q = 0.0;
        for (std::size_t i = 0; i < u.size(); ++i) q += u[i] * diag[i] * v[i];
        return q;
    }
    double value(const Vec& s) const {
        const Vec Js = times(s);
        return 0.5 * (dot(Js, Js) + diag_form(s, s)) + dot(s, g);
    }
    // a t^2 + b t + c for s0 + t s
    void line(const Vec& s, const Vec* s0, double& a, double& b, double& c) const {
        const Vec v = times(s);
        a = 0.5 * (dot(v, v) + diag_form(s, s));
        b = dot(g, s);
        c = 0.0;
        if (s0) {
            const Vec u = times(*s0);
            b += dot(u, v);
            c = 0.5 * dot(u, u) + dot(g, *s0);
            b += diag_form(*s0, s);
            c += 0.5 * diag_form(*s0, *s0);
        }
    }
};

// Minimum of t (a t + b) + c over [lo, hi]: (t, value).
inline std::pair<double, double> minimise_1d(double a, double b, double lo, double hi, double c = 0.0) {
    double t[3] = {lo, hi, 0.0};
    int count = 2;
    if (a != 0.0) {
        const double extremum = -0.5 * b / a;
        if (lo < extremum && extremum < hi) t[count++] = extremum;
    }
    int best = 0;
    double best_y = t[0] * (a * t[0] + b) + c;
    for (int i = 1; i < count; ++i) {
        const double y = t[i] * (a * t[i] + b) + c;
        if (y < best_y) best = i, best_y = y;
    }
    return {t[best], best_y};
}

// Solution of the trust-region subproblem min |A p - f|, |p| <= Delta, from A's SVD; suf = s * U^T f.
// Returns p and updates alpha, the Levenberg-Marquardt parameter.
inline Vec solve_subproblem(Index m, const Vec& suf, const Svd& d, double Delta, double& alpha) {
    const Index n = Index(d.s.size());
    const Vec& s = d.s;
    auto back = [&](double al) {
        Vec p(std::size_t(n), 0.0);
        for (Index j = 0; j < n; ++j) {
            const double w = suf[j] / (s[j] * s[j] + al);
            for (Index i = 0; i < n; ++i) p[i] -= d.V(i, j) * w;
        }
        return p;
    };
    auto phi = [&](double al, double& derivative) {
        double pn = 0.0, acc = 0.0;
        for (Index j = 0; j < n; ++j) {
            const double denom = s[j] * s[j] + al;
            pn += (suf[j] / denom) * (suf[j] / denom);
            acc += suf[j] * suf[j] / (denom * denom * denom);
        }
        pn = std::sqrt(pn);
        derivative = -acc / pn;
        return pn - Delta;
    };
    const bool full_rank = m >= n && n > 0 && s[n - 1] > kEps * double(m) * s[0];
    if (full_rank) {
        Vec p = back(0.0);
        if (norm(p) <= Delta) {
            alpha = 0.0;
            return p;
        }
    }
    double upper = norm(suf) / Delta, lower = 0.0;
    if (full_rank) {
        double dphi;
        const double ph = phi(0.0, dphi);
        lower = -ph / dphi;
    }
    if (!full_rank && alpha == 0.0) alpha = std::max(0.001 * upper, std::sqrt(lower * upper));
    for (int it = 0; it < 10; ++it) {
        if (alpha < lower || alpha > upper) alpha = std::max(0.001 * upper, std::sqrt(lower * upper));
        double dphi;
        const double ph = phi(alpha, dphi);
        if (ph < 0) upper = alpha;
        const double ratio = ph / dphi;
        lower = std::max(lower, alpha - ratio);
        alpha -= (ph + Delta) * ratio / Delta;
        if (std::abs(ph) < 0.01 * Delta) break;
    }
    Vec p = back(alpha);
    const double scale = Delta / norm(p);
    for (double& v : p) v *= scale;
    return p;
}

struct Step {
    Vec step, step_h;
    double predicted;
};

// Of the trust-region step (cut at the first bound it crosses), its reflection there, and the scaled
// gradient step, the one whose quadratic model decreases most.
inline Step select_step(const Vec& x, const Scaled& q, Vec p, Vec p_h, const Vec& d, double Delta, const Vec& lb,
                        const Vec& ub, double theta) {
    const std::size_t n = x.size();
    Vec xp(n);
    for (std::size_t i = 0; i < n; ++i) xp[i] = x[i] + p[i];
    if (in_bounds(xp, lb, ub)) {
        const double v = q.value(p_h);
        return {std::move(p), std::move(p_h), -v};
    }
    const ToBound pb = step_to_bound(x, p, lb, ub);
    Vec r_h = p_h;
    for (std::size_t i = 0; i < n; ++i)
        if (pb.hits[i] != 0) r_h[i] *= -1;
    Vec r(n);
    for (std::size_t i = 0; i < n; ++i) r[i] = d[i] * r_h[i];
    Vec x_on_bound(n);
    for (std::size_t i = 0; i < n; ++i) {
        p[i] *= pb.step;
        p_h[i] *= pb.step;
        x_on_bound[i] = x[i] + p[i];
    }
    const double to_tr = to_trust_region(p_h, r_h, Delta);
    const double to_bound = step_to_bound(x_on_bound, r, lb, ub).step;
    double r_stride = std::min(to_bound, to_tr), r_lo, r_hi;
    if (r_stride > 0) {
        r_lo = (1 - theta) * pb.step / r_stride;
        r_hi = r_stride == to_bound ? theta * to_bound : to_tr;
    } else {
        r_lo = 0;
        r_hi = -1;
    }
    double r_value = kInf;
    if (r_lo <= r_hi) {
        double a, b, c;
        q.line(r_h, &p_h, a, b, c);
        const auto [t, value] = minimise_1d(a, b, r_lo, r_hi, c);
        r_value = value;
        for (std::size_t i = 0; i < n; ++i) {
            r_h[i] = r_h[i] * t + p_h[i];
            r[i] = r_h[i] * d[i];
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        p[i] *= theta;
        p_h[i] *= theta;
    }
    const double p_value = q.value(p_h);
    Vec ag_h(n), ag(n);
    for (std::size_t i = 0; i < n; ++i) {
        ag_h[i] = -q.g[i];
        ag[i] = d[i] * ag_h[i];
    }
    const double ag_to_tr = Delta / norm(ag_h);
    const double ag_to_bound = step_to_bound(x, ag, lb, ub).step;
    double a, b, c;
    q.line(ag_h, nullptr, a, b, c);
    const auto [ag_stride, ag_value] = minimise_1d(a, b, 0, ag_to_bound < ag_to_tr ? theta * ag_to_bound : ag_to_tr);
    for (std::size_t i = 0; i < n; ++i) {
        ag_h[i] *= ag_stride;
        ag[i] *= ag_stride;
    }
    if (p_value < r_value && p_value < ag_value) return {std::move(p), std::move(p_h), -p_value};
    if (r_value < p_value && r_value < ag_value) return {std::move(r), std::move(r_h), -r_value};
    return {std::move(ag), std::move(ag_h), -ag_value};
}

// ---- the method -----------------------------------------------------------------------------------

struct Solution {
    Vec x, f;     // the minimum and its residuals
    Matrix J;     // the residuals' Jacobian there
    double cost = 0.0;  // 0.5 |f|^2
    int nfev = 0, njev = 0;
    int status = 0;  // 0 evaluations used up, 1 gtol, 2 ftol, 3 xtol, 4 ftol and xtol
};

// Problem: size() residuals; residuals(x, f) writes f; jacobian(x, J) fills the m x n J.
template <class Problem>
Solution solve(const Problem& fun, Vec x0, const Vec& lb, const Vec& ub, int max_nfev) {
    const Index n = Index(x0.size()), m = fun.size();
    if (lb.size() != x0.size() || ub.size() != x0.size()) throw std::invalid_argument("the bounds and x0 differ in length");
    for (Index i = 0; i < n; ++i)
        if (!(lb[i] < ub[i])) throw std::invalid_argument("each lower bound must be strictly less than its upper bound");
    if (!in_bounds(x0, lb, ub)) throw std::invalid_argument("x0 is infeasible");
    if (max_nfev <= 0) throw std::invalid_argument("max_nfev must be positive");
    Vec x = strictly_feasible(std::move(x0), lb, ub, 1e-10);

    Vec f = zeros(m), f_new = zeros(m);
    fun.residuals(x, f);
    int nfev = 1, njev = 1;
    for (double v : f)
        if (!std::isfinite(v)) throw std::invalid_argument("Residuals are not finite in the initial point.");
    Matrix J(m, n);
    fun.jacobian(x, J);
    double cost = 0.5 * dot(f, f);

    Vec g = zeros(n), scale = zeros(n), scale_inv = zeros(n);
    auto gradient = [&] {
        for (Index j = 0; j < n; ++j) g[j] = dot(J.col(j), f.data(), m);
    };
    auto jac_scale = [&](bool first) {
        for (Index j = 0; j < n; ++j) {
            double c = std::sqrt(dot(J.col(j), J.col(j), m));
            if (first) c = c == 0.0 ? 1.0 : c;
            else c = std::max(c, scale_inv[j]);
            scale_inv[j] = c;
            scale[j] = 1.0 / c;
        }
    };
    gradient();
    jac_scale(true);

    Vec v = zeros(n), dv = zeros(n);
    auto coleman_li = [&] {
        for (Index i = 0; i < n; ++i) {
            v[i] = 1.0;
            dv[i] = 0.0;
            if (g[i] < 0 && std::isfinite(ub[i])) v[i] = ub[i] - x[i], dv[i] = -1.0;
            if (g[i] > 0 && std::isfinite(lb[i])) v[i] = x[i] - lb[i], dv[i] = 1.0;
        }
    };
    coleman_li();
    double Delta = 0.0;
    for (Index i = 0; i < n; ++i) {
        const double vi = dv[i] != 0 ? v[i] * scale_inv[i] : v[i];
        const double t = x[i] * scale_inv[i] / std::sqrt(vi);
        Delta += t * t;
    }
    Delta = std::sqrt(Delta);
    if (Delta == 0.0) Delta = 1.0;

    double alpha = 0.0;
    int status = -1;
    Vec d = zeros(n), diag_h = zeros(n), g_h = zeros(n), x_new = zeros(n);
    Matrix A(m + n, n), J_h(m, n);
    while (true) {
        coleman_li();
        double g_norm = 0.0;
        for (Index i = 0; i < n; ++i) g_norm = std::max(g_norm, std::abs(g[i] * v[i]));
        if (g_norm < kTol) status = 1;
        if (status != -1 || nfev == max_nfev) break;
        for (Index i = 0; i < n; ++i) {
            if (dv[i] != 0) v[i] *= scale_inv[i];
            d[i] = std::sqrt(v[i]) * scale[i];
            diag_h[i] = g[i] * dv[i] * scale[i];
            g_h[i] = d[i] * g[i];
        }
        std::fill(A.a.begin(), A.a.end(), 0.0);
        for (Index j = 0; j < n; ++j) {
            for (Index i = 0; i < m; ++i) J_h(i, j) = A(i, j) = J(i, j) * d[j];
            A(m + j, j) = std::sqrt(diag_h[j]);
        }
        const Svd sv = svd(A);
        Vec suf = zeros(n);  // s * U^T [f; 0] = V^T A^T [f; 0] = V^T g_h
        for (Index j = 0; j < n; ++j) suf[j] = dot(sv.V.col(j), g_h.data(), n);
        const Scaled q{J_h, g_h, diag_h};
        const double theta = std::max(0.995, 1 - g_norm);

        double actual = -1, cost_new = cost;
        while (actual <= 0 && nfev < max_nfev) {
            Vec p_h = solve_subproblem(m, suf, sv, Delta, alpha);
            Vec p = zeros(n);
            for (Index i = 0; i < n; ++i) p[i] = d[i] * p_h[i];
            Step st = select_step(x, q, std::move(p), std::move(p_h), d, Delta, lb, ub, theta);
            for (Index i = 0; i < n; ++i) x_new[i] = x[i] + st.step[i];
            x_new = strictly_feasible(std::move(x_new), lb, ub, 0.0);
            fun.residuals(x_new, f_new);
            ++nfev;
            const double step_h_norm = norm(st.step_h);
            bool finite = true;
            for (double e : f_new) finite = finite && std::isfinite(e);
            if (!finite) {
                Delta = 0.25 * step_h_norm;
                continue;
            }
            cost_new = 0.5 * dot(f_new, f_new);
            actual = cost - cost_new;
            double ratio;
            if (st.predicted > 0) ratio = actual / st.predicted;
            else if (st.predicted == 0 && actual == 0) ratio = 1;
            else ratio = 0;
            double Delta_new = Delta;
            if (ratio < 0.25) Delta_new = 0.25 * step_h_norm;
            else if (ratio > 0.75 && step_h_norm > 0.95 * Delta) Delta_new = 2.0 * Delta;
            const double step_norm = norm(st.step);
            const bool ftol = actual < kTol * cost && ratio > 0.25;
            const bool xtol = step_norm < kTol * (kTol + norm(x));
            if (ftol || xtol) {
                status = ftol && xtol ? 4 : ftol ? 2 : 3;
                break;
            }
            alpha *= Delta / Delta_new;
            Delta = Delta_new;
        }
        if (actual > 0) {
            x = x_new;
            std::swap(f, f_new);
            cost = cost_new;
            fun.jacobian(x, J);
            ++njev;
            gradient();
            jac_scale(false);
        }
    }
    if (status == -1) status = 0;
    return {std::move(x), std::move(f), std::move(J), cost, nfev, njev, status};
}

// ---- the peaks' problem ---------------------------------------------------------------------------

// exp(x^2) erfc(x) for x >= 0: exp(x^2) taken as exp(hi) exp(lo) with hi + lo = x^2 exactly, so the
// product keeps erfc's relative accuracy; past 10, where erfc nears underflow, the asymptotic series.
inline double erfcx(double x) {
    if (!(x < 10.0)) {
        if (std::isnan(x)) return x;
        const double w = 1.0 / (2.0 * x * x);
        double term = 1.0, sum = 1.0;
        for (int k = 1; k <= 14; ++k) {
            term *= -(2.0 * k - 1.0) * w;
            sum += term;
        }
        return sum / (x * 1.7724538509055160273);
    }
    const double hi = x * x;
    const double lo = std::fma(x, x, -hi);
    return std::exp(hi) * std::exp(lo) * std::erfc(x);
}

// Weighted residuals (y - model) / sigma of k Gaussians (A, mu, variance) on a straight background
// (level at the middle of x, slope per unit of x): parameters (A, mu, variance) * k, level, slope; with
// `shape` also (tail fraction t, tail slope b in sigmas, step height h) shared by the peaks, each peak
// then adding A (t T + h S) / 2 with the tail T = exp(d / beta + sigma^2 / 2 beta^2) erfc(d / sqrt2 sigma
// + sigma / sqrt2 beta), beta = b sigma, and the step S = erfc(d / sqrt2 sigma), d = x - mu.
// The model is summed in the order the spectrum package's Python model sums it.
class Peaks {
public:
    Peaks(Vec x, Vec y, Vec sigma, Index k, bool shape = false)
        : x_(std::move(x)), y_(std::move(y)), sigma_(std::move(sigma)), k_(k), shape_(shape) {
        const std::size_t m = x_.size();
        const double centre = 0.5 * (x_.front() + x_.back());
        dx_.resize(m);
        for (std::size_t i = 0; i < m; ++i) dx_[i] = x_[i] - centre;
        model_.resize(m);
        extras_.resize(m);
    }
    Index size() const noexcept { return Index(x_.size()); }
    Index parameters() const noexcept { return 3 * k_ + 2 + (shape_ ? 3 : 0); }

    void residuals(const Vec& p, Vec& f) const {
        const Index m = size(), k3 = 3 * k_;
        std::fill(model_.begin(), model_.end(), 0.0);
        multi_gaussian(xs(), Strided<const double>(p.data(), k3), Strided<double>(model_.data(), m));
        if (!shape_) {
            for (Index i = 0; i < m; ++i) f[i] = (y_[i] - ((model_[i] + p[k3]) + p[k3 + 1] * dx_[i])) / sigma_[i];
            return;
        }
        std::fill(extras_.begin(), extras_.end(), 0.0);
        const double t = p[k3 + 2], h = p[k3 + 4];
        for (Index j = 0; j < k_; ++j) {
            const double a = p[3 * j];
            for (Index i = 0; i < m; ++i) {
                const Parts q = parts(p, j, i, false);
                extras_[i] += a * (0.5 * t * q.tail + 0.5 * h * q.step);
            }
        }
        for (Index i = 0; i < m; ++i)
            f[i] = (y_[i] - (((model_[i] + p[k3]) + p[k3 + 1] * dx_[i]) + extras_[i])) / sigma_[i];
    }

    void jacobian(const Vec& p, Matrix& J) const {
        const Index m = size(), k3 = 3 * k_, n = parameters();
        Strided2D<double> view;
        view.data = reinterpret_cast<char*>(J.a.data());
        view.rows = m;
        view.cols = k3;
        view.row_stride = Index(sizeof(double));
        view.col_stride = Index(sizeof(double)) * m;
        multi_gaussian_jacobian(xs(), Strided<const double>(p.data(), k3), view);
        for (Index i = 0; i < m; ++i) {
            J(i, k3) = 1.0;
            J(i, k3 + 1) = dx_[i];
        }
        if (shape_) {
            const double t = p[k3 + 2], h = p[k3 + 4];
            for (Index c = k3 + 2; c < n; ++c) std::fill(J.col(c), J.col(c) + m, 0.0);
            for (Index j = 0; j < k_; ++j) {
                const double a = p[3 * j], sd = std::sqrt(p[3 * j + 2]);
                for (Index i = 0; i < m; ++i) {
                    const Parts q = parts(p, j, i, true);
                    J(i, 3 * j) += 0.5 * t * q.tail + 0.5 * h * q.step;
                    J(i, 3 * j + 1) += a * (0.5 * t * q.tail_mu + 0.5 * h * q.step_mu);
                    J(i, 3 * j + 2) += a * (0.5 * t * q.tail_sigma + 0.5 * h * q.step_sigma) / (2.0 * sd);
                    J(i, k3 + 2) += 0.5 * a * q.tail;
                    J(i, k3 + 3) += 0.5 * a * t * q.tail_b;
                    J(i, k3 + 4) += 0.5 * a * q.step;
                }
            }
        }
        for (Index c = 0; c < n; ++c)
            for (Index i = 0; i < m; ++i) J(i, c) = J(i, c) / -sigma_[i];
    }

private:
    struct Parts {
        double tail, step;
        double tail_mu = 0, tail_sigma = 0, tail_b = 0, step_mu = 0, step_sigma = 0;
    };

    // Tail and step of peak j at point i per unit height and fraction, with their derivatives by mu,
    // sigma and b when asked: dT/dd = T / beta - sqrt(2/pi) g / sigma with g the unit Gaussian, and so on.
    Parts parts(const Vec& p, Index j, Index i, bool derivatives) const {
        constexpr double kSqrt2 = 1.4142135623730950488, kSqrt2OverPi = 0.79788456080286535588;
        const double b = p[3 * k_ + 3], mu = p[3 * j + 1], var = p[3 * j + 2];
        const double sd = std::sqrt(var), beta = b * sd, d = x_[i] - mu;
        const double v = d / (kSqrt2 * sd) + sd / (kSqrt2 * beta);
        const double g = std::exp(-0.5 * d * d / var);
        const double tail = v > 0 ? g * erfcx(std::max(v, 0.0))
                                  : std::exp(std::min(d / beta + 0.5 / (b * b), 700.0)) * std::erfc(v);
        Parts q{tail, std::erfc(d / (kSqrt2 * sd))};
        if (derivatives) {
            const double dd = tail / beta - kSqrt2OverPi * g / sd;  // dT/dd
            q.tail_mu = -dd;
            q.tail_sigma = -d * tail / (beta * sd) + kSqrt2OverPi * g * d / var;
            q.tail_b = -tail * (d / (b * b * sd) + 1.0 / (b * b * b)) + kSqrt2OverPi * g / (b * b);
            q.step_mu = kSqrt2OverPi * g / sd;
            q.step_sigma = kSqrt2OverPi * g * d / var;
        }
        return q;
    }

    Strided<const double> xs() const noexcept { return {x_.data(), size()}; }
    Vec x_, y_, sigma_, dx_;
    Index k_;
    bool shape_;
    mutable Vec model_, extras_;
};

}  // namespace quodex::gaussian::trf
