#include "bem/triint.hpp"

#include <stdexcept>

namespace velmora {

// Placeholder until the closed-form integration lands.
void TRIINT(const MeshView&, double, double, const int*, const NearCoef&, const TriintWork&,
            double*, int) {
  throw std::logic_error("TRIINT is not implemented yet");
}

}  // namespace velmora
