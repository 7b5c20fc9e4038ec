#include "bem/gauss.hpp"

namespace velmora {
namespace {

void put(double* gpt, double* gwt, int g, double xi1, double xi2, double xi3, double w) {
  gpt[3 * (g - 1) + 0] = xi1;
  gpt[3 * (g - 1) + 1] = xi2;
  gpt[3 * (g - 1) + 2] = xi3;
  gwt[g - 1] = w;
}

}  // namespace

bool gauss_rule(int ngauss, double* gpt, double* gwt) {
  switch (ngauss) {
    case 3: {
      // Edge midpoints, exact for quadratics.
      const double w = 1.0 / 3.0;
      put(gpt, gwt, 1, 0.5, 0.5, 0.0, w);
      put(gpt, gwt, 2, 0.0, 0.5, 0.5, w);
      put(gpt, gwt, 3, 0.5, 0.0, 0.5, w);
      return true;
    }
    case 7: {
      // Degree 5.
      const double a = 0.10128650732345634, b = 0.7974269853530872;
      const double f = 0.059715871789769823, g = 0.47014206410511505;
      const double c = 1.0 / 3.0;
      const double wa = 0.12593918054482717, wf = 0.13239415278850616;
      put(gpt, gwt, 1, c, c, c, 0.225);
      put(gpt, gwt, 2, b, a, a, wa);
      put(gpt, gwt, 3, a, b, a, wa);
      put(gpt, gwt, 4, a, a, b, wa);
      put(gpt, gwt, 5, f, g, g, wf);
      put(gpt, gwt, 6, g, f, g, wf);
      put(gpt, gwt, 7, g, g, f, wf);
      return true;
    }
    case 16: {
      // Degree 8.
      const double o = 0.333333333333333, p = 0.081414823414554, q = 0.459292588292722;
      const double r = 0.898905543365937, s = 0.050547228317031, t = 0.658861384496479;
      const double u = 0.17056930775176, v = 0.008394777409957, w = 0.728492392955404;
      const double z = 0.263112829634639;
      const double w1 = 0.144315607677786, wp = 0.095091634267284, wr = 0.032458497623198;
      const double wt = 0.103217370534718, wv = 0.027230314174434;
      put(gpt, gwt, 1, o, o, o, w1);
      put(gpt, gwt, 2, p, q, q, wp);
      put(gpt, gwt, 3, q, p, q, wp);
      put(gpt, gwt, 4, q, q, p, wp);
      put(gpt, gwt, 5, r, s, s, wr);
      put(gpt, gwt, 6, s, r, s, wr);
      put(gpt, gwt, 7, s, s, r, wr);
      put(gpt, gwt, 8, t, u, u, wt);
      put(gpt, gwt, 9, u, t, u, wt);
      put(gpt, gwt, 10, u, u, t, wt);
      put(gpt, gwt, 11, v, w, z, wv);
      put(gpt, gwt, 12, v, z, w, wv);
      put(gpt, gwt, 13, w, v, z, wv);
      put(gpt, gwt, 14, w, z, v, wv);
      put(gpt, gwt, 15, z, v, w, wv);
      put(gpt, gwt, 16, z, w, v, wv);
      return true;
    }
    default:
      return false;
  }
}

}  // namespace velmora
