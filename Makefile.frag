# The .phpt suite that "make test" runs; "make test TESTS=..." still overrides it.
TESTS = $(srcdir)/tests/php
