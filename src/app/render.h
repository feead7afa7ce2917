// The frame renderer: one complete frame of the galaxy, seen face-on, with live statistics
// in the window title.
#pragma once

#include "app/app.h"

// Clears to black, draws every particle inside the 1920x1080 frame as one point coloured by
// its class, draws the black-hole marker over them, sets the title and presents. Reads the
// record and the particle array, changes neither and allocates nothing.
void render_frame(SimulationState* state, double fps);
