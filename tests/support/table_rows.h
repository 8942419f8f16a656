// SPDX-License-Identifier: ISC
#pragma once
// Tables of cases as GoogleTest parameterised tests. A row is a struct whose
// `name` (letters and digits only) names it, so that each row is a test of
// its own, "Suite.Test/Name": a CTest of its own too (gtest_discover_tests
// with NO_PRETTY_VALUES), which runs beside the others.
//
//   struct pull_case { const char *name; ... };
//   void PrintTo(const pull_case &c, std::ostream *os) { *os << c.name; }
//   TEST_P(PullReplies, Outcome) { const pull_case &c = GetParam(); ... }
//   INSTANTIATE_TEST_SUITE_P(, PullReplies, ::testing::ValuesIn(PULL_CASES), row_name());
//
// PrintTo, beside the row's type, makes a failure name the row rather than
// dump its bytes.

#include <gtest/gtest.h>

#include <string>

struct row_name {
    template <class Row> std::string operator()(const ::testing::TestParamInfo<Row> &row) const
    {
        return row.param.name;
    }
};
