// The step driver: advances the host particle array by one force pass or one integration
// pass, on the GPU when a usable CUDA device is present and on the CPU otherwise.
//
// The step contract, whatever carries a step out:
//  - step_forces: every record's acceleration is the force model's value for the array as it
//    was when the call began; position, velocity and mass are unchanged.
//  - step_integrate: every record's position and velocity are advanced by one step of dt
//    from the accelerations the array held when the call began; acceleration and mass are
//    unchanged.
//  - Each call is complete when it returns; the host array is the one authoritative copy.
#pragma once

#include "sim/particle.h"

void step_forces(Particle* particles, int count);
void step_integrate(Particle* particles, int count, double dt);

// Releases the GPU (a device reset, which frees both device buffers). No step may follow.
void release_gpu();
