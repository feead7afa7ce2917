// Physical and model constants shared by initial conditions, force model, integrator and
// renderer. Each value is the exact double the model is defined with; tests pin the bits.
#pragma once

namespace lumeth {

// --- Units and the black hole --------------------------------------------------------------
constexpr double kSolarMass = 1.989e30;                // kg
constexpr double kBlackHoleSolarMasses = 1.4e8;        // shown in the start-up banner
constexpr double kGravitationalConstant = 6.6743e-11;  // m^3 / (kg s^2)
// G * (1.4e8 * 1.989e30), the bracket first: the double just below 1.858525578e28.
constexpr double kGM = 1.8585255779999997e28;  // m^3 / s^2
constexpr double kSpeedOfLight = 299792458.0;  // m/s
constexpr double kSpeedOfLightSquared = 8.987551787368176e16;
constexpr double kSchwarzschildRadius = 413577717707.75665;  // 2 GM / c^2, m
// The inner zone (1000 Schwarzschild radii): relativistic force model and 1/100 time step.
constexpr double kInnerZoneRadius = 413577717707756.6;  // m
constexpr double kSpin = 0.7;                           // dimensionless spin parameter a

// --- Length and time -----------------------------------------------------------------------
constexpr double kKiloparsec = 3.086e19;  // m
constexpr double kTimeStep = 3.15576e15;  // s per frame (100 Myr)
constexpr double kSecondsPerMegayear = 3.15576e13;

// --- Force model ---------------------------------------------------------------------------
constexpr double kThreeSchwarzschildRadii = 1240733153123.27;  // 3 r_s, m
// Frame-dragging constant K = 2 G J / c with J = a G M^2 / c (equal to a r_s GM), m^4/s^2.
constexpr double kFrameDragging = 5.3805133679551035e39;
constexpr double kSofteningSquared = 1e32;  // (1e16 m)^2, pairwise softening
constexpr double kThreeG = 2.0022899999999998e-10;
constexpr double kTwoSpeedOfLightSquared = 1.7975103574736352e17;
constexpr double kEightGSquared = 3.5637024391999994e-20;
constexpr double kSpeedOfLightFifth = 2.4216061708512204e42;
constexpr double kSmallDistance = 1e-10;  // m, guard against the coordinate singularities
constexpr int kPairSampleStride = 1000;   // the pairwise term samples every 1000th record

// --- Masses of the populations ---------------------------------------------------------------
constexpr double kHaloParticleMass = 1.989e31;   // ten solar masses
constexpr double kHeavyParticleMass = 9.945e30;  // renderer's threshold: five solar masses

}  // namespace lumeth
