#pragma once
#include "reference/fuzzy.hpp"  // kept for includes not yet moved
