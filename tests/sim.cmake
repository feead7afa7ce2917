lumeth_gtest(test_sim
    SOURCES test_constants.cpp test_random_draws.cpp test_initial_conditions.cpp
    LIBS lumeth_sim
    LABELS sim)
