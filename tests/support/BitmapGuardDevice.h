// BitmapGuardDevice: a FaultyDevice that polices the safety rule of the larger-cluster path
// against the live cluster bitmap. A write is refused (not performed, recorded as a violation)
// when it touches a sector of an NTFS cluster whose bit is set and whose FAT cluster has not
// been handed out for new contents (AllocChain gives a group its FAT entry when it marks it):
// such a cluster holds file data that must survive until it has been copied away.
//
// Before a bitmap is watched, and after Watch(nullptr), nothing is guarded. The destructor
// fails the running test when any write was refused, so every test that converts through it
// checks the rule without saying so.
//
// Ownership: the inner device and the bitmap are not owned; the bitmap must stay alive while
// it is watched. Threads: one test thread.
#pragma once

#include "relocation/NBitmap.h"
#include "tests/support/FaultyDevice.h"

namespace testsupport {

class BitmapGuardDevice : public FaultyDevice {
public:
    explicit BitmapGuardDevice(CVolumeDevice& inner, const NBitmap* bitmap = nullptr);
    ~BitmapGuardDevice() override;

    // The bitmap consulted from now on (null: none).
    void Watch(const NBitmap* bitmap) { bitmap_ = bitmap; }
    // True when a write into this sector would break the rule now.
    bool Protects(uint64_t sector) const;
    // Writes refused so far, counted also after Watch(nullptr).
    size_t Refused() const { return Violations().size(); }

private:
    const NBitmap* bitmap_;
};

}  // namespace testsupport
