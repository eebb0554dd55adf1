#include "PngTestSupport.h"

#include <gtest/gtest.h>
