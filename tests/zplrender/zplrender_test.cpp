// zplrender_test.cpp: placeholder, filled below.
#include "zpltest.h"
TEST(Placeholder, Builds) {}
