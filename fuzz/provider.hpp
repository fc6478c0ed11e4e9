#pragma once

// libFuzzer's input splitter. clang finds it among its own headers; the
// replay build (g++) has that header's folder on its include path.
#if __has_include(<fuzzer/FuzzedDataProvider.h>)
#include <fuzzer/FuzzedDataProvider.h>
#else
#include <FuzzedDataProvider.h>
#endif
