// The conversion matrix's row with 65536-byte clusters (tests/e2e/convert_test.cpp holds the
// others): FAT32 needs 65,525 clusters, so the volume is a sparse 4400 MiB image, and the
// Sleuth Kit's recursive listing of a FAT volume reads all of it (its search for orphan
// files), which alone takes 10 to 30 seconds.
#include <gtest/gtest.h>

#include "tests/support/ConversionMatrix.h"

namespace {

using testsupport::MatrixCase;

[[maybe_unused]] const std::string& kLog = testsupport::ConversionLogPath();

const MatrixCase kRows[] = {
    // Clusters larger than records and index blocks; sizes around 64 KiB; a hard link.
    {"conv-c65536", 65536, "BIG CLUSTER", "BIG CLUSTER", false},
};

class ConvertBigClusterMatrix : public testing::TestWithParam<MatrixCase> {};

TEST_P(ConvertBigClusterMatrix, ConvertsEveryFileAndWritesLegalFat32) { testsupport::ExpectConversionOf(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Recipes, ConvertBigClusterMatrix, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<MatrixCase>& info) {
                             return testsupport::MatrixCaseName(info.param);
                         });

}  // namespace
