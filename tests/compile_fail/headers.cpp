// Includes every public header. Compiled by the checks of what the headers do to a program that
// includes them: they refuse fast-math unless the program opts out, and leave no macro behind.
#include "orv/error.hpp"
#include "orv/kernel.hpp"
#include "orv/renderer.hpp"
#include "orv/rhi.hpp"

int main() { return 0; }
