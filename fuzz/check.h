// The fuzz targets' check: a failed one names itself and stops the run.
#pragma once
#include <cstdio>
#include <cstdlib>
#define CHECK(ok) ((ok) ? void() : (std::fprintf(stderr, "failed: %s\n", #ok), std::abort()))
