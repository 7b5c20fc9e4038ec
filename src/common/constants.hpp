// Constants shared by the integration, the multipole passes and the driver.
// They are the stored decimal values the results are defined with, not
// expressions evaluated at run time.
#pragma once

namespace velmora {

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kHalfPi = 1.5707963267948966;
inline constexpr double kEightPi = 25.132741228718345;
inline constexpr double kMinusFourPi = -12.566370614359172;
inline constexpr double kMinusInvEightPi = -0.039788735772973836;

// Capacity of the registration table of the storage block.
inline constexpr int kMaxia = 90;

// Fixed unit numbers of the run.
inline constexpr int kUnitCnd = 4;
inline constexpr int kUnitDat = 5;
inline constexpr int kUnitLog = 6;
inline constexpr int kUnitOut = 7;
inline constexpr int kUnitPlt = 8;

}  // namespace velmora
