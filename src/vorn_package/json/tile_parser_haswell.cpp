// The tile parser on simdjson's AVX2 kernel. This file alone is compiled for AVX2 (and BMI,
// PCLMUL, LZCNT); it runs only where `make_tile_parser` has found them.
#define SIMDJSON_BUILTIN_IMPLEMENTATION haswell
#define VORN_JSON_KERNEL haswell
#include "vorn_package/json/tile_parser_impl.hpp"
