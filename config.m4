dnl phpize build of qarbin.so: the same sources as the CMake build.
PHP_ARG_ENABLE([qarbin],
  [whether to enable the qarbin vector store],
  [AS_HELP_STRING([--enable-qarbin], [Enable the qarbin vector store])],
  [no])

if test "$PHP_QARBIN" != "no"; then
  PHP_REQUIRE_CXX()
  PHP_ADD_LIBRARY(stdc++, 1, QARBIN_SHARED_LIBADD)
  PHP_ADD_LIBRARY(rt, 1, QARBIN_SHARED_LIBADD)
  PHP_SUBST(QARBIN_SHARED_LIBADD)
  dnl Every .cpp under core/ and php/, so the two builds cannot list different sources.
  qarbin_sources=`cd "$ext_srcdir" && find core php -name '*.cpp' | LC_ALL=C sort | tr '\n' ' '`
  qarbin_flags="-std=c++17 -mavx2 -mfma -ffp-contract=off -I@ext_srcdir@ -DCOMPILE_DL_QARBIN=1"
  PHP_NEW_EXTENSION(qarbin, $qarbin_sources, $ext_shared, , $qarbin_flags, cxx)
  for dir in core core/math core/segment core/index core/store php; do
    PHP_ADD_BUILD_DIR([$ext_builddir/$dir])
  done
fi
