lumeth_gtest(test_kernels
    SOURCES test_force_model.cpp test_integration.cpp test_cpu_kernels.cpp
    LIBS lumeth_kernels
    LABELS kernels)
