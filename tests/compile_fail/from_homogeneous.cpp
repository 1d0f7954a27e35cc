// Compiled by the test suite once per set of rows: only the regular rows may build.
#include <limits>

#include "orv/kernel.hpp"

using orv::kernel::pglFromHomogeneous;
using Rows = std::array<std::array<double, 4>, 4>;

#if defined(ORV_ROWS_zero_row)
constexpr Rows rows{{{2, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 4, 0}, {0, 0, 0, 5}}};
#elif defined(ORV_ROWS_dependent_rows)
constexpr Rows rows{{{1, 2, 3, 4}, {5, 6, 7, 8}, {6, 8, 10, 12}, {0, 0, 0, 1}}};
#elif defined(ORV_ROWS_infinite_entry)
constexpr Rows rows{{{std::numeric_limits<double>::infinity(), 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 4, 0},
                     {0, 0, 0, 5}}};
#elif defined(ORV_ROWS_nan_entry)
constexpr Rows rows{{{2, 0, 0, 0}, {0, std::numeric_limits<double>::quiet_NaN(), 0, 0},
                     {0, 0, 4, 0}, {0, 0, 0, 5}}};
#elif defined(ORV_ROWS_nearly_dependent_rows)
constexpr Rows rows{{{1, 0, 0, 0}, {1, 1e-14, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};
#else
#define ORV_ROWS_regular
constexpr Rows rows{{{2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 4, 0}, {0, 0, 0, 5}}};
#endif

constexpr orv::kernel::PGL4 m = pglFromHomogeneous(rows);

#ifdef ORV_ROWS_regular
static_assert(m.data == orv::kernel::PGL4::fromRowMajor(rows).data);
static_assert(m.det() == 120.0);
#endif

int main() { return 0; }
