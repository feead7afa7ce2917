// Qualifiers for code that is compiled both for the host and, under nvcc, for the GPU.
#pragma once

#ifdef __CUDACC__
#define LUMETH_HOST_DEVICE __host__ __device__
#else
#define LUMETH_HOST_DEVICE
#endif

// Inline functions shared by the CPU path and the CUDA kernels.
#define LUMETH_SHARED LUMETH_HOST_DEVICE inline
