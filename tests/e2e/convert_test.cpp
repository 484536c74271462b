// The conversion matrix end to end through the conversion driver (ConvertNtfsToFat32 on a
// handle from platform::OpenVolume, as the front ends call it), on ntfs-3g volumes large
// enough for FAT32 with their own cluster size: names of every namespace and every rule of
// the short names; empty, resident and cluster-boundary sizes; a folder whose index has many
// blocks; a deep tree and empty folders; fragmented files; data under the future FAT area;
// hard links; with and without a volume label, and a label FAT cannot take as it is.
//
// Each row is judged by ExpectConversionOf (tests/support/ConversionMatrix.h): fsck.fat, The
// Sleuth Kit and mtools against a snapshot of the NTFS volume (every name, byte and
// modification time, TZ=UTC), and the test's own FAT reader for what those do not show.
//
// Elsewhere through the same driver: 65536-byte clusters (convert_bigcluster_slow_test), the
// preallocated, uninitialized and hard-link cases of the same-cluster path and 4096-byte
// clusters with the common file set (sameclusterconvert_test), 512-byte clusters with data
// under the FAT area (sameclusterconvert_test) and velundra-convert on "convert512" (cli_test).
#include <gtest/gtest.h>

#include "tests/support/ConversionMatrix.h"

namespace {

using testsupport::MatrixCase;

[[maybe_unused]] const std::string& kLog = testsupport::ConversionLogPath();

// The recipes (tests/fixtures/make_ntfs.py) and what their conversion must give.
const MatrixCase kRows[] = {
    // 512-byte clusters. Short-name rules, namespaces, a deep tree, empty folders; the label
    // holds a blank, small letters and characters a label may not hold, and is longer than 11.
    {"conv-names", 512, "my vol*?.x+y", "MY VOL___X_", false},
    // 2048-byte clusters. The common file set (sizes, fragments, streams, flags); a fragmented
    // file partly under the future FAT area; no label.
    {"conv-c2048", 2048, "", nullptr, true},
    // 4096-byte clusters. A folder whose index has many blocks; a hard link across folders.
    {"conv-index", 4096, "Index", "INDEX      ", false},
};

class ConvertMatrix : public testing::TestWithParam<MatrixCase> {};

TEST_P(ConvertMatrix, ConvertsEveryFileAndWritesLegalFat32) { testsupport::ExpectConversionOf(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Recipes, ConvertMatrix, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<MatrixCase>& info) {
                             return testsupport::MatrixCaseName(info.param);
                         });

}  // namespace
