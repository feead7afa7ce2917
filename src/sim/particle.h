// The particle record: the whole simulation state is one flat array of these.
#pragma once

// NVRTC compiles the kernels without the host's headers: the layout checks are the host
// compilers' (nvcc's included).
#ifndef __CUDACC_RTC__
#include <cstddef>
#endif

// One particle, in SI units. Host and GPU index the array by raw byte offset (record i at
// byte i * 80) and copy it as one block, so the layout is fixed: ten doubles, no padding.
// Declared at global scope: the kernels' mangled device names spell it as "8Particle".
struct Particle {
    double position[3];      // m
    double velocity[3];      // m/s
    double acceleration[3];  // m/s^2, written by the force pass
    double mass;             // kg
};

static_assert(sizeof(Particle) == 80, "Particle must be exactly ten doubles");
#ifndef __CUDACC_RTC__
static_assert(offsetof(Particle, position) == 0, "position starts the record");
static_assert(offsetof(Particle, velocity) == 24, "velocity follows position");
static_assert(offsetof(Particle, acceleration) == 48, "acceleration follows velocity");
static_assert(offsetof(Particle, mass) == 72, "mass ends the record");
#endif
static_assert(alignof(Particle) == alignof(double), "no over-alignment");
