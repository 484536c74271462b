#include "tests/support/BitmapGuardDevice.h"

#include <gtest/gtest.h>

namespace testsupport {

BitmapGuardDevice::BitmapGuardDevice(CVolumeDevice& inner, const NBitmap* bitmap)
    : FaultyDevice(inner), bitmap_(bitmap) {
    GuardSectorsWhere([this](uint64_t sector) { return Protects(sector); });
}

BitmapGuardDevice::~BitmapGuardDevice() {
    if (!Violations().empty()) {
        ADD_FAILURE() << "writes into clusters holding file data: " << DescribeViolations();
    }
}

bool BitmapGuardDevice::Protects(uint64_t sector) const {
    if (bitmap_ == nullptr) return false;
    const uint64_t lcn = sector / bitmap_->SectorsPerLcn();
    if (!bitmap_->IsMarked(lcn)) return false;
    // A marked group of the data area with a FAT entry was handed out for new contents.
    if (bitmap_->FatTable != nullptr && bitmap_->InDataRegion(lcn, 1)) {
        const uint64_t cluster = (lcn - bitmap_->DataStartLcn) / bitmap_->GroupSize + 2;
        if (cluster < bitmap_->FatEntries && bitmap_->FatTable[cluster] != 0) return false;
    }
    return true;
}

}  // namespace testsupport
