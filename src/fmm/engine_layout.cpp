#include "fmm/engine_impl.hpp"

namespace velmora {

void FmmEngine::Impl::unpack(const double* h, Complex* full) const {
  const ExpanView<Complex> f(full, p);
  for (int n = 0; n <= p; ++n)
    for (int m = 0; m <= n; ++m) {
      const double* e = h + 8 * hidx(n, m);
      for (int j = 0; j < 4; ++j) {
        const double re = e[j], im = e[4 + j];
        f(j + 1, m, n, 1) = Complex(re, im);
        if (m > 0) f(j + 1, -m, n, 1) = (m % 2 == 0) ? Complex(re, -im) : Complex(-re, im);
      }
    }
}

void FmmEngine::Impl::pack(const Complex* full, double* h) const {
  const ExpanView<const Complex> f(full, p);
  for (int n = 0; n <= p; ++n)
    for (int m = 0; m <= n; ++m) {
      double* e = h + 8 * hidx(n, m);
      for (int j = 0; j < 4; ++j) {
        const Complex v = f(j + 1, m, n, 1);
        e[j] = v.real();
        e[4 + j] = v.imag();
      }
    }
}

void FmmEngine::Impl::zero_full(Complex* full) const {
  std::fill(full, full + ExpanView<Complex>::cell_size(p), Complex(0.0, 0.0));
}

// The direct translations (Translations::Direct), full layout.
void FmmEngine::Impl::translate_m2l(const Complex* m_full, const double xh[3], Complex* l_full,
                                    ThreadScratch& s) const {
  direct_m2l_add(p, m_full, xh, l_full, s.stab.data(), s.fc.data(), s.acc.data());
}

void FmmEngine::Impl::translate_m2m(const Complex* mc_full, const double d[3], Complex* mp_full,
                                    ThreadScratch& s) const {
  direct_m2m_add(p, mc_full, d, mp_full, s.rtab.data(), s.fc.data());
}

void FmmEngine::Impl::translate_l2l(const Complex* lp_full, const double d[3], Complex* lc_full,
                                    ThreadScratch& s) const {
  direct_l2l_add(p, lp_full, d, lc_full, s.rtab.data(), s.fc.data());
}

}  // namespace velmora
