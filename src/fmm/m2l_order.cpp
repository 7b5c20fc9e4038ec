#include "fmm/m2l_order.hpp"

#include <algorithm>
#include <cmath>

namespace velmora {

int m2l_order_for_distance(int p, double d, const M2LOrderModel& model) {
  const double a = model.alpha;
  // The shortest offsets keep p; so does any offset where the model does
  // not apply (d at or below alpha: no decay to count on).
  if (p <= 0 || !(d > 2.0 + 1e-9) || !(d > a) || !(a < 2.0)) return p;
  const double need = (p + 1) * std::log(2.0 / a) - std::log(model.factor);
  const double q1 = std::ceil(need / std::log(d / a) - 1e-9);
  return std::clamp(static_cast<int>(q1) - 1, 0, p);
}

}  // namespace velmora
