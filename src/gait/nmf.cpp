// Non-negative matrix factorisation by HALS from several seeded starts.
#include "gait/nmf.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "gait/cycle_math.hpp"

namespace quorvaemg::gait::nmf {

namespace {

// Every step of a start is inlined into the start itself, which is compiled
// twice on x86-64 with GCC or Clang: once for any such processor and once
// for those with AVX2, taken when the processor has it.  The loops do the
// same arithmetic lane by lane either way (no fused multiply-add, the
// partial sums written out), so the results are the same to the bit, on
// twice the values at once.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define NMF_STEP __attribute__((always_inline)) inline
#define NMF_AVX2 1
#else
#define NMF_STEP inline
#define NMF_AVX2 0
#endif

// splitmix64 (Steele, Lea and Flood, OOPSLA 2014): the same numbers on every
// platform and compiler, which <random>'s distributions do not promise.
struct NmfRandom {
    std::uint64_t state;

    NMF_STEP std::uint64_t next() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

    NMF_STEP double uniform() { return (static_cast<double>(next() >> 11) + 1.0) * 0x1.0p-53; }  // (0, 1]

    // |N(0, 1)| by Marsaglia's polar method: two values for one logarithm
    // and no trigonometry (drawing the starts took a tenth of the time with
    // Box and Muller's).
    NMF_STEP double half_normal() {
        if (has_spare) {
            has_spare = false;
            return spare;
        }
        double u = 0, v = 0, s = 0;
        do {
            u = 2.0 * uniform() - 1.0;
            v = 2.0 * uniform() - 1.0;
            s = u * u + v * v;
        } while (s >= 1.0 || s == 0.0);
        const double f = std::sqrt(-2.0 * std::log(s) / s);
        spare = std::fabs(v * f);
        has_spare = true;
        return std::fabs(u * f);
    }

    double spare = 0;
    bool has_spare = false;
};

// The dot product of a and b, in eight partial sums: one running sum would
// make every addition wait for the one before.
NMF_STEP double nmf_dot(const double *a, const double *b, std::size_t n) {
    double s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    std::size_t j = 0;
    for (; j + 8 <= n; j += 8) {
        for (std::size_t lane = 0; lane < 8; ++lane) {
            s[lane] += a[j + lane] * b[j + lane];
        }
    }
    for (; j < n; ++j) {
        s[0] += a[j] * b[j];
    }
    return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
}

// y += a x over n values.
NMF_STEP void nmf_axpy(double *y, double a, const double *x, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) {
        y[j] += a * x[j];
    }
}

// The matrix and what every iteration needs of it: the products with H are
// kept, so that the residual costs no pass over X.
struct NmfProblem {
    const double *x;
    std::size_t m, n, k;
    double x2;           // |X|^2
    double start_scale;  // of the random starting factors: sqrt(mean(X) / k)
};

// Columns of X and H are taken in blocks of this many: a block of both and
// of W' X stays in the fastest cache while the block is worked on.
constexpr std::size_t nmf_block = 128;

struct NmfWork {
    // Products with the current H (X H', H H'), with the one before it, and
    // of the two (H H_before'): those with the extrapolated H follow from
    // them.  Then W' W, and a block of W' X.
    std::vector<double> xht, hht, xht_before, hht_before, cross, xhy, hhy, wtw, wtx, row;
    explicit NmfWork(const NmfProblem &p)
        : xht(p.m * p.k), hht(p.k * p.k), xht_before(p.m * p.k), hht_before(p.k * p.k),
          cross(p.k * p.k), xhy(p.m * p.k), hhy(p.k * p.k), wtw(p.k * p.k),
          wtx(p.k * nmf_block), row(std::max(p.n, nmf_block)) {}
};

struct NmfStart {
    std::vector<double> w, h;
    double residual2 = std::numeric_limits<double>::infinity();
    std::size_t iterations = 0;
};

NMF_STEP void nmf_gram_of_w(const NmfProblem &p, const std::vector<double> &w, NmfWork &work) {
    for (std::size_t t = 0; t < p.k; ++t) {
        for (std::size_t r = t; r < p.k; ++r) {
            double s = 0;
            for (std::size_t i = 0; i < p.m; ++i) {
                s += w[i * p.k + t] * w[i * p.k + r];
            }
            work.wtw[t * p.k + r] = work.wtw[r * p.k + t] = s;
        }
    }
}

// |X - WH|^2 = |X|^2 - 2 <W, X H'> + <W' W, H H'>, from the products kept.
NMF_STEP double nmf_residual2(const NmfProblem &p, const std::vector<double> &w, const NmfWork &work) {
    double cross = 0, square = 0;
    for (std::size_t i = 0; i < p.m * p.k; ++i) {
        cross += w[i] * work.xht[i];
    }
    for (std::size_t i = 0; i < p.k * p.k; ++i) {
        square += work.wtw[i] * work.hht[i];
    }
    return std::max(0.0, p.x2 - 2.0 * cross + square);  // rounding may take a perfect fit below 0
}

// Each column of W in turn: its exact minimiser for the extrapolated H, the
// other columns fixed, clipped at 0; a synergy whose activations are all 0
// has none and stays.
NMF_STEP void nmf_update_w(const NmfProblem &p, std::vector<double> &w, const NmfWork &work) {
    for (std::size_t t = 0; t < p.k; ++t) {
        const double hess = work.hhy[t * p.k + t];
        if (!(hess > 0.0)) {
            continue;
        }
        for (std::size_t i = 0; i < p.m; ++i) {
            double grad = -work.xhy[i * p.k + t];
            for (std::size_t r = 0; r < p.k; ++r) {
                grad += w[i * p.k + r] * work.hhy[r * p.k + t];
            }
            w[i * p.k + t] = std::max(0.0, w[i * p.k + t] - grad / hess);
        }
    }
}

// X Hy' and Hy Hy' of the extrapolated Hy = H + beta (H - H_before), from
// the products kept: Hy itself is never formed whole.
NMF_STEP void nmf_extrapolated_products(const NmfProblem &p, double beta, NmfWork &work) {
    const double a = 1.0 + beta;
    for (std::size_t i = 0; i < p.m * p.k; ++i) {
        work.xhy[i] = a * work.xht[i] - beta * work.xht_before[i];
    }
    for (std::size_t t = 0; t < p.k; ++t) {
        for (std::size_t r = 0; r < p.k; ++r) {
            const std::size_t tr = t * p.k + r;
            work.hhy[tr] = a * a * work.hht[tr] -
                           beta * a * (work.cross[tr] + work.cross[r * p.k + t]) +
                           beta * beta * work.hht_before[tr];
        }
    }
}

// Each row of H in turn, likewise, block by block (the update of a column
// of H involves that column alone), from the extrapolated H = h + beta (h -
// before), which is formed block by block in `before`; `before` then holds
// the new H.  Meanwhile the products of the new H, and of it with h.
NMF_STEP void nmf_update_h(const NmfProblem &p, const std::vector<double> &w, const std::vector<double> &h,
                  std::vector<double> &before, double beta, NmfWork &work) {
    std::swap(work.xht, work.xht_before);
    std::swap(work.hht, work.hht_before);
    for (std::vector<double> *v : {&work.xht, &work.hht, &work.cross}) {
        std::fill(v->begin(), v->end(), 0.0);
    }
    double *row = work.row.data();
    for (std::size_t j0 = 0; j0 < p.n; j0 += nmf_block) {
        const std::size_t b = std::min(nmf_block, p.n - j0);
        for (std::size_t t = 0; t < p.k; ++t) {
            const double *now = h.data() + t * p.n + j0;
            double *next = before.data() + t * p.n + j0;
            for (std::size_t j = 0; j < b; ++j) {
                next[j] = now[j] + beta * (now[j] - next[j]);
            }
        }
        std::fill(work.wtx.begin(), work.wtx.end(), 0.0);
        for (std::size_t i = 0; i < p.m; ++i) {
            for (std::size_t t = 0; t < p.k; ++t) {
                nmf_axpy(work.wtx.data() + t * b, w[i * p.k + t], p.x + i * p.n + j0, b);
            }
        }
        for (std::size_t t = 0; t < p.k; ++t) {
            const double hess = work.wtw[t * p.k + t];
            double *ht = before.data() + t * p.n + j0;
            if (!(hess > 0.0)) {  // the extrapolation may have left it below 0
                for (std::size_t j = 0; j < b; ++j) {
                    ht[j] = ht[j] > 0.0 ? ht[j] : 0.0;
                }
                continue;
            }
            std::copy(work.wtx.begin() + t * b, work.wtx.begin() + (t + 1) * b, row);
            for (std::size_t r = 0; r < p.k; ++r) {
                nmf_axpy(row, -work.wtw[t * p.k + r], before.data() + r * p.n + j0, b);
            }
            for (std::size_t j = 0; j < b; ++j) {
                const double value = ht[j] + row[j] / hess;
                ht[j] = value > 0.0 ? value : 0.0;
            }
        }
        for (std::size_t t = 0; t < p.k; ++t) {
            const double *ht = before.data() + t * p.n + j0;
            for (std::size_t i = 0; i < p.m; ++i) {
                work.xht[i * p.k + t] += nmf_dot(p.x + i * p.n + j0, ht, b);
            }
            for (std::size_t r = 0; r < p.k; ++r) {
                if (r >= t) {
                    work.hht[t * p.k + r] += nmf_dot(ht, before.data() + r * p.n + j0, b);
                }
                work.cross[t * p.k + r] += nmf_dot(ht, h.data() + r * p.n + j0, b);
            }
        }
    }
    for (std::size_t t = 0; t < p.k; ++t) {
        for (std::size_t r = 0; r < t; ++r) {
            work.hht[t * p.k + r] = work.hht[r * p.k + t];
        }
    }
}

// X H' and H H' of the starting H.
NMF_STEP void nmf_products_of_h(const NmfProblem &p, const std::vector<double> &h, NmfWork &work) {
    for (std::size_t t = 0; t < p.k; ++t) {
        for (std::size_t i = 0; i < p.m; ++i) {
            work.xht[i * p.k + t] = nmf_dot(p.x + i * p.n, h.data() + t * p.n, p.n);
        }
        for (std::size_t r = 0; r <= t; ++r) {
            work.hht[t * p.k + r] = work.hht[r * p.k + t] =
                nmf_dot(h.data() + t * p.n, h.data() + r * p.n, p.n);
        }
    }
}

// One start from random factors of the scale of X (as scikit-learn's
// "random" start: sqrt(mean(X) / k) |N(0, 1)|), run to the stopping rule.
// Each update starts from the last two iterates extrapolated, W + beta (W -
// W_before) and the same of H, beta growing by 10 % a step (to a ceiling
// that grows by 5 %, at most 1) while the residual falls, and cut by 1.5,
// the extrapolation dropped for a step, when it rises (Ang and Gillis'
// scheme; on the benchmark's envelopes these factors took 10 % fewer
// iterations than their 5 % and 1 %, 45 % fewer than none).
NMF_STEP NmfStart nmf_start(const NmfProblem &p, NmfRandom &random, const StoppingRule &rule,
                            NmfWork &work) {
    NmfStart s;
    s.w.resize(p.m * p.k);
    s.h.resize(p.k * p.n);
    for (double &v : s.w) {
        v = p.start_scale * random.half_normal();
    }
    for (double &v : s.h) {
        v = p.start_scale * random.half_normal();
    }
    std::vector<double> h_before = s.h, w_plain = s.w;  // the iterates before extrapolation
    nmf_products_of_h(p, s.h, work);
    work.xht_before = work.xht;
    work.hht_before = work.cross = work.hht;
    nmf_gram_of_w(p, s.w, work);
    s.residual2 = nmf_residual2(p, s.w, work);
    const double first = std::sqrt(s.residual2);
    double before = first, last = first;
    double beta = 0.5, ceiling = 1.0, beta_h = 0.0;
    for (std::size_t it = 1; it <= rule.max_iterations && first > 0.0; ++it) {
        nmf_extrapolated_products(p, beta_h, work);
        nmf_update_w(p, s.w, work);  // s.w: W extrapolated, now the new W
        for (std::size_t i = 0; i < s.w.size(); ++i) {
            const double plain = s.w[i];
            s.w[i] = std::max(0.0, plain + beta * (plain - w_plain[i]));
            w_plain[i] = plain;
        }
        nmf_gram_of_w(p, s.w, work);
        nmf_update_h(p, s.w, s.h, h_before, beta_h, work);
        std::swap(s.h, h_before);
        s.residual2 = nmf_residual2(p, s.w, work);
        double residual = std::sqrt(s.residual2);
        if (residual > last) {  // back to the plain iterate, and a smaller step
            s.w = w_plain;
            nmf_gram_of_w(p, s.w, work);
            s.residual2 = nmf_residual2(p, s.w, work);
            residual = std::sqrt(s.residual2);
            beta_h = 0.0;
            ceiling = beta;
            beta /= 1.5;
        } else {
            beta_h = beta;
            beta = std::min(ceiling, 1.1 * beta);
            ceiling = std::min(1.0, 1.05 * ceiling);
        }
        last = residual;
        s.iterations = it;
        if (it % rule.check_every == 0) {
            if (before - residual < rule.tolerance * first) {
                break;
            }
            before = residual;
        }
    }
    return s;
}

NmfStart nmf_run_portable(const NmfProblem &p, NmfRandom &random, const StoppingRule &rule,
                          NmfWork &work) {
    return nmf_start(p, random, rule, work);
}

#if NMF_AVX2
__attribute__((target("avx2"))) NmfStart nmf_run_avx2(const NmfProblem &p, NmfRandom &random,
                                                       const StoppingRule &rule, NmfWork &work) {
    return nmf_start(p, random, rule, work);
}
#endif

NmfStart nmf_run(const NmfProblem &p, NmfRandom &random, const StoppingRule &rule,
                 NmfWork &work) {
#if NMF_AVX2
    if (__builtin_cpu_supports("avx2")) {
        return nmf_run_avx2(p, random, rule, work);
    }
#endif
    return nmf_run_portable(p, random, rule, work);
}

}  // namespace

Factorisation factorise(const double *x, std::size_t muscles, std::size_t samples,
                        std::size_t k, std::uint64_t seed, std::size_t starts,
                        const StoppingRule &rule) {
    // Scaled by a power of two (exact), so that sums of squares neither
    // overflow nor vanish whatever the units; the weights are scaled back.
    const std::size_t size = muscles * samples;
    const double gain = cycles::unit_gain(cycles::largest_magnitude(x, size));
    std::vector<double> scaled(x, x + size);
    double sum = 0;
    for (double &v : scaled) {
        v *= gain;
        sum += v;
    }
    const double start_scale =
        std::sqrt(sum / static_cast<double>(size) / static_cast<double>(k));
    NmfProblem p{scaled.data(), muscles, samples, k, nmf_dot(scaled.data(), scaled.data(), size),
                 start_scale};
    NmfWork work(p);
    NmfRandom random{seed};
    NmfStart best;
    for (std::size_t s = 0; s < std::max<std::size_t>(starts, 1); ++s) {
        NmfStart found = nmf_run(p, random, rule, work);
        if (found.residual2 < best.residual2 || best.w.empty()) {
            best = std::move(found);
        }
    }
    // Each synergy's weights of length 1, its activations carrying the scale.
    Factorisation f;
    f.iterations = best.iterations;
    for (std::size_t t = 0; t < k; ++t) {
        double length = 0;
        for (std::size_t i = 0; i < muscles; ++i) {
            length += best.w[i * k + t] * best.w[i * k + t];
        }
        length = std::sqrt(length);
        if (length > 0.0) {
            for (std::size_t i = 0; i < muscles; ++i) {
                best.w[i * k + t] /= length;
            }
            for (std::size_t j = 0; j < samples; ++j) {
                best.h[t * samples + j] *= length / gain;
            }
        }
    }
    // The variance accounted for, from the residual itself: the identity
    // the iterations use loses digits when the fit is close.
    f.muscle_vaf.resize(muscles);
    double residual2 = 0;
    std::vector<double> &row = work.row;
    for (std::size_t i = 0; i < muscles; ++i) {
        std::copy(x + i * samples, x + (i + 1) * samples, row.begin());
        for (std::size_t t = 0; t < k; ++t) {
            nmf_axpy(row.data(), -best.w[i * k + t], best.h.data() + t * samples, samples);
        }
        for (std::size_t j = 0; j < samples; ++j) {
            row[j] *= gain;
        }
        const double own = nmf_dot(row.data(), row.data(), samples);
        const double total = nmf_dot(p.x + i * samples, p.x + i * samples, samples);
        f.muscle_vaf[i] = total > 0.0 ? 1.0 - own / total : std::numeric_limits<double>::quiet_NaN();
        residual2 += own;
    }
    f.tvaf = 1.0 - residual2 / p.x2;
    f.weights = std::move(best.w);
    f.activations = std::move(best.h);
    return f;
}

}  // namespace quorvaemg::gait::nmf
