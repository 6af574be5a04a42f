# The .phpt suite that "make test" runs; "make test TESTS=..." still overrides it.
TESTS = $(srcdir)/tests/php

# Only the fused half-float kernels use F16C (which every AVX2 processor has),
# as in the CMake build.
core/math/score_codes.lo: EXTRA_CXXFLAGS += -mf16c
