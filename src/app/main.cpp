// Lumeth: a spiral galaxy around a spinning black hole, simulated and drawn live.
#include "app/app.h"

int main(int /*argc*/, char** /*argv*/) {
    return lumeth::run_program();
}
