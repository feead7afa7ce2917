// Asks the NVIDIA driver of a hybrid-graphics computer to run this process's CUDA work on the
// discrete GPU. The driver looks the symbol up in the executable's export table, so it must be
// exported: dllexport on Windows; on Linux default visibility, and lumeth_gpu's link options
// put it into every executable's dynamic symbol table.
#if defined(_WIN32)
#define LUMETH_EXPORTED_DATA __declspec(dllexport)
#else
#define LUMETH_EXPORTED_DATA __attribute__((visibility("default")))
#endif

static_assert(sizeof(int) == 4, "NvOptimusEnablementCuda is a 32-bit integer");

extern "C" {
LUMETH_EXPORTED_DATA int NvOptimusEnablementCuda = 1;
}
