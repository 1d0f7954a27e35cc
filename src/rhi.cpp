#include "orv/rhi.hpp"
