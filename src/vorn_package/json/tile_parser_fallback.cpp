// The tile parser on simdjson's portable kernel, for machines without AVX2.
#define SIMDJSON_BUILTIN_IMPLEMENTATION fallback
#define VORN_JSON_KERNEL fallback
#include "vorn_package/json/tile_parser_impl.hpp"
