// Dense test systems of known properties for the GMRES tests, the exact
// Krylov minimiser they are checked against, and readers of a solve's
// console history.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "gmres_harness.hpp"

namespace velmora::gmres_test {

// Non-symmetric, row diagonally dominant by `margin`: |A(i,i)| - sum_j!=i |A(i,j)| = margin,
// so ||A^-1||_inf <= 1/margin.
inline Matrix dominant(int n, double margin, std::uint64_t seed) {
  Lcg g(seed);
  Matrix A(static_cast<std::size_t>(n) * n);
  for (int i = 0; i < n; ++i) {
    double off = 0.0;
    for (int j = 0; j < n; ++j) {
      if (i == j) continue;
      A[i + j * n] = g.next();
      off += std::fabs(A[i + j * n]);
    }
    A[i + i * n] = off + margin;
  }
  return A;
}

// A = U diag(s) W^T with Householder reflections U, W and s geometric from 1
// down to 1/kappa: ||A||_2 = 1, ||A^-1||_2 = kappa.
inline Matrix conditioned(int n, double kappa, std::uint64_t seed) {
  const auto u = random_vector(n, seed), w = random_vector(n, seed + 1);
  const double uu = norm2(u) * norm2(u), ww = norm2(w) * norm2(w);
  Matrix A(static_cast<std::size_t>(n) * n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      double sum = 0.0;
      for (int k = 0; k < n; ++k) {
        const double s = std::pow(kappa, -static_cast<double>(k) / (n - 1));
        const double uik = (i == k ? 1.0 : 0.0) - 2.0 * u[i] * u[k] / uu;
        const double wjk = (j == k ? 1.0 : 0.0) - 2.0 * w[j] * w[k] / ww;
        sum += uik * s * wjk;
      }
      A[i + j * n] = sum;
    }
  return A;
}

// Cyclic shift scaled by d: A e_j = d(j) e_(j+1), A e_n = d(n) e_1.
inline Matrix cyclic_shift(int n, const std::vector<double>& d) {
  Matrix A(static_cast<std::size_t>(n) * n, 0.0);
  for (int j = 0; j < n; ++j) A[(j + 1) % n + j * n] = d[j];
  return A;
}

inline Matrix diagonal(const std::vector<double>& d) {
  const int n = static_cast<int>(d.size());
  Matrix D(static_cast<std::size_t>(n) * n, 0.0);
  for (int i = 0; i < n; ++i) D[i + i * n] = d[i];
  return D;
}

inline Matrix product(const Matrix& X, const Matrix& Y, int n) {
  Matrix Z(static_cast<std::size_t>(n) * n, 0.0);
  for (int j = 0; j < n; ++j)
    for (int k = 0; k < n; ++k)
      for (int i = 0; i < n; ++i) Z[i + j * n] += X[i + k * n] * Y[k + j * n];
  return Z;
}

// x0 + the minimiser of ||b - A(x0 + z)|| over z in the Krylov space
// K_k(A, b - A x0), in long double: an orthonormal basis Q of the space, then
// the least-squares problem with A Q by a twice-orthogonalised QR.
inline std::vector<double> krylov_minimiser(const Matrix& A, int n, const std::vector<double>& b,
                                     const std::vector<double>& x0, int k) {
  using LD = long double;
  auto mul = [&](const std::vector<LD>& v) {
    std::vector<LD> y(n, 0.0L);
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) y[i] += static_cast<LD>(A[i + j * n]) * v[j];
    return y;
  };
  auto dot = [&](const std::vector<LD>& a, const std::vector<LD>& c) {
    LD s = 0.0L;
    for (int i = 0; i < n; ++i) s += a[i] * c[i];
    return s;
  };
  // Orthonormalises v against the columns of B (twice); returns its coefficients.
  auto orthonormalise = [&](std::vector<LD>& v, const std::vector<std::vector<LD>>& B) {
    std::vector<LD> coef(B.size() + 1, 0.0L);
    for (int pass = 0; pass < 2; ++pass)
      for (std::size_t q = 0; q < B.size(); ++q) {
        const LD h = dot(B[q], v);
        coef[q] += h;
        for (int i = 0; i < n; ++i) v[i] -= h * B[q][i];
      }
    const LD nv = std::sqrt(dot(v, v));
    for (auto& e : v) e /= nv;
    coef[B.size()] = nv;
    return coef;
  };
  std::vector<LD> r0(n), x0l(x0.begin(), x0.end());
  const auto ax0 = mul(x0l);
  for (int i = 0; i < n; ++i) r0[i] = b[i] - ax0[i];
  std::vector<std::vector<LD>> Q, U;
  std::vector<std::vector<LD>> R;  // columns of the triangular factor of A Q
  for (int c = 0; c < k; ++c) {
    std::vector<LD> v = c == 0 ? r0 : mul(Q[c - 1]);
    orthonormalise(v, Q);
    Q.push_back(v);
    std::vector<LD> aq = mul(Q[c]);
    R.push_back(orthonormalise(aq, U));
    U.push_back(aq);
  }
  // R c = U^T r0, back substitution.
  std::vector<LD> coef(k);
  for (int i = 0; i < k; ++i) coef[i] = dot(U[i], r0);
  for (int i = k - 1; i >= 0; --i) {
    for (int j = i + 1; j < k; ++j) coef[i] -= R[j][i] * coef[j];
    coef[i] /= R[i][i];
  }
  std::vector<double> x(n);
  for (int i = 0; i < n; ++i) {
    LD s = x0l[i];
    for (int c = 0; c < k; ++c) s += Q[c][i] * coef[c];
    x[i] = static_cast<double>(s);
  }
  return x;
}

inline double max_abs(const std::vector<double>& v) {
  double m = 0.0;
  for (double e : v) m = std::max(m, std::fabs(e));
  return m;
}

// History lines of the console: (iteration, true backward error shown).
struct HistoryLine {
  int iteration;
  bool checked;
};
inline std::vector<HistoryLine> history(const Outcome& o) {
  std::vector<HistoryLine> h;
  for (const auto& line : o.console) {
    if (line.size() < 35 || line.find("Iteration") != std::string::npos) continue;
    h.push_back({std::stoi(line.substr(0, 5)), line.substr(33, 2) != "--"});
  }
  return h;
}

// Matrix products that the protocol fixes: one per Arnoldi step, one per
// true-residual check, one per restart from the true residual, one for a
// supplied initial guess.
inline int expected_products(const Outcome& o, int m, bool guess) {
  const auto h = history(o);
  int checks = 0, first_check = -1;
  for (const auto& l : h)
    if (l.checked) {
      ++checks;
      if (first_check < 0) first_check = l.iteration;
    }
  int restarts_true = 0;
  for (int k = m; k < o.info[1]; k += m)
    if (o.ictrl[7] == 1 || (first_check >= 0 && k >= first_check)) ++restarts_true;
  return o.info[1] + checks + restarts_true + (guess ? 1 : 0);
}

}  // namespace velmora::gmres_test
