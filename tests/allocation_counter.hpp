// Counts every operator new in the test program that links allocation_counter.cpp, so a test
// can show that a stretch of calls allocated nothing.
#pragma once

#include <cstddef>

size_t allocation_count();
