// One test per row of the fault matrix, grouped by the kind of fault so that
// ctest can run the groups side by side.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <ostream>
#include <string>
#include <vector>

#include "fault_matrix.h"

namespace kv::matrix {
namespace {

std::vector<TMatrixCase> CasesOf(const std::string& group) {
  std::vector<TMatrixCase> cases;
  for (const TMatrixCase& matrixCase : MatrixCases()) {
    if (matrixCase.Group() == group) cases.push_back(matrixCase);
  }
  return cases;
}

std::string TestName(const TMatrixCase& matrixCase) {
  std::string name;
  for (char c : matrixCase.Name()) {
    name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  }
  return name;
}

}  // namespace

// gtest names a failing row by this rather than by its bytes.
void PrintTo(const TMatrixCase& matrixCase, std::ostream* out) {
  *out << matrixCase.Name();
}

namespace {

class FaultMatrix : public testing::TestWithParam<TMatrixCase> {};

TEST_P(FaultMatrix, EndsAsTheChainIsSpecified) {
  const TMatrixCase& matrixCase = GetParam();
  if (QuickMatrixRequested() && !IsRepresentative(matrixCase)) {
    GTEST_SKIP() << "KV_FAULT_MATRIX=quick: represented by other places";
  }
  const TCaseReport report = RunCase(matrixCase);
  std::string mismatches;
  for (const std::string& mismatch : report.Mismatches) mismatches += "\n  " + mismatch;
  EXPECT_TRUE(report.AsExpected())
      << matrixCase.Name() << mismatches << "\nexpected: " << Describe(matrixCase.Expected)
      << "\nobserved: " << Describe(report.Observed)
      << (report.FirstViolation.empty() ? "" : "\nunit: " + report.FirstViolation);
}

#define KV_MATRIX_GROUP(Suite, group)                        \
  INSTANTIATE_TEST_SUITE_P(                                  \
      Suite, FaultMatrix, testing::ValuesIn(CasesOf(group)), \
      [](const testing::TestParamInfo<TMatrixCase>& info) { return TestName(info.param); })

KV_MATRIX_GROUP(NoReply, "no-reply");
KV_MATRIX_GROUP(BadEcho, "bad-echo");
KV_MATRIX_GROUP(Unplug, "unplug");
KV_MATRIX_GROUP(UnplugReplug, "unplug-replug");
KV_MATRIX_GROUP(Duplicate, "duplicate");
KV_MATRIX_GROUP(Garbage, "garbage");
KV_MATRIX_GROUP(Short, "short");
KV_MATRIX_GROUP(Oversize, "oversize");
KV_MATRIX_GROUP(ReadError, "read-error");
KV_MATRIX_GROUP(Early, "early");
KV_MATRIX_GROUP(Late, "late");
KV_MATRIX_GROUP(Misc, "misc");

// Every row belongs to a group above, and no fault is listed twice.
TEST(FaultMatrixTable, EveryRowIsRunOnce) {
  const std::vector<std::string> groups{"no-reply",   "bad-echo", "unplug", "unplug-replug",
                                        "duplicate",  "garbage",  "short",  "oversize",
                                        "read-error", "early",    "late",   "misc"};
  std::vector<std::string> names;
  for (const TMatrixCase& matrixCase : MatrixCases()) {
    EXPECT_NE(std::find(groups.begin(), groups.end(), matrixCase.Group()), groups.end())
        << matrixCase.Name();
    names.push_back(matrixCase.Name());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
}

}  // namespace
}  // namespace kv::matrix
