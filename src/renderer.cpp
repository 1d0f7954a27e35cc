#include "orv/renderer.hpp"
