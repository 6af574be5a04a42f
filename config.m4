dnl phpize build of qarbin.so: the same sources and code-generation flags as
dnl the CMake build, so both produce the same module.
PHP_ARG_ENABLE([qarbin],
  [whether to enable the qarbin vector store],
  [AS_HELP_STRING([--enable-qarbin], [Enable the qarbin vector store])],
  [no])

if test "$PHP_QARBIN" != "no"; then
  dnl The store objects are shared between processes, never between threads.
  if test "$PHP_THREAD_SAFETY" = "yes"; then
    AC_MSG_ERROR([qarbin needs a non-thread-safe (NTS) PHP build])
  fi
  dnl The scoring kernels are AVX2/FMA code without a run-time fallback.
  case "$host_cpu" in
    x86_64|amd64|"") ;;
    *) AC_MSG_ERROR([qarbin needs an x86-64 processor with AVX2 and FMA, not $host_cpu]) ;;
  esac

  PHP_REQUIRE_CXX()
  PHP_ADD_LIBRARY(stdc++, 1, QARBIN_SHARED_LIBADD)
  PHP_ADD_LIBRARY(rt, 1, QARBIN_SHARED_LIBADD)
  dnl Metadata filters parse JSON with simdjson (libsimdjson-dev).
  PHP_ADD_LIBRARY(simdjson, 1, QARBIN_SHARED_LIBADD)
  dnl Full-text tokens: ICU (libicu-dev) and Snowball stemmers (libstemmer-dev).
  PHP_ADD_LIBRARY(icuuc, 1, QARBIN_SHARED_LIBADD)
  PHP_ADD_LIBRARY(stemmer, 1, QARBIN_SHARED_LIBADD)
  PHP_SUBST(QARBIN_SHARED_LIBADD)
  dnl Every .cpp under core/ and php/, so the two builds cannot list different
  dnl sources. A new source file needs a new ./configure.
  qarbin_sources=`cd "$ext_srcdir" && find core php -name '*.cpp' | LC_ALL=C sort | tr '\n' ' '`
  dnl No -ffast-math; contraction off, so the only fused multiply-adds are
  dnl the ones the code writes out.
  qarbin_flags="-std=c++17 -mavx2 -mfma -ffp-contract=off -I@ext_srcdir@ -DCOMPILE_DL_QARBIN=1"
  PHP_NEW_EXTENSION(qarbin, $qarbin_sources, $ext_shared, , $qarbin_flags, cxx)
  for dir in core core/math core/segment core/filter core/index core/store core/text php; do
    PHP_ADD_BUILD_DIR([$ext_builddir/$dir])
  done
  dnl make test runs the .phpt suite under tests/php.
  PHP_ADD_MAKEFILE_FRAGMENT
fi
