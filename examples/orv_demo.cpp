// orv-demo: renders the 600-cell and a star field in elliptic space through orv and writes PNG
// images. Run with --help for its options.

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string_view>
#include <vector>

#include "demo_cli.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  return orv::demo::runDemo(args, std::cout, std::cerr, isatty(fileno(stderr)) == 1);
}
