// Pieces of moving file data that both conversion paths share: device reads and writes that
// log their failures (a failed read of a span is narrowed down to the clusters that cannot be
// read, which become zeros), the counted phase in which the bar follows the sectors written,
// and the closing message that names the files whose data could not be moved whole.
//
// Failures of single reads and writes do not end a conversion: once data moves the volume is
// no longer NTFS, so the paths copy what they can and name the files at the end.
//
// Threads: the conversion thread only; nothing here locks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CVolumeDevice;
class ProgressInforAssist;

// Reads `count` clusters of `sectorsPerCluster` device sectors from volume cluster `lcn` into
// `at` (count * sectorsPerCluster * 512 bytes), in one device call. When that fails the
// clusters are read one by one and each one that cannot be read is logged ("ReadSector err,
// s:%d, n%d") and filled with zeros, so one bad sector costs one cluster of zeros. False when
// any cluster could not be read; true, without a device call, for count 0.
bool ReadClustersOrZeros(CVolumeDevice* device, uint64_t lcn, uint64_t count,
                         uint32_t sectorsPerCluster, uint8_t* at);

// Reads `sectors` device sectors from `sector` into `bytes` in one call; a failure is logged
// ("ReadSector err, s:%d, n%d") and returned as false.
bool ReadSectorsLogged(CVolumeDevice* device, uint8_t* bytes, uint64_t sector, uint64_t sectors);

// Writes `sectors` device sectors from `bytes` at `sector` in one call; a failure is logged
// ("WriteSector err, s:%d, n%d") and returned as false. True, without a device call, for 0.
bool WriteSectorsLogged(CVolumeDevice* device, const uint8_t* bytes, uint64_t sector,
                        uint64_t sectors);

// The counted phase of a conversion: while it lasts the device counts the sectors written
// against `sectors` expected and reports the share done through `scaler`, which maps it onto
// the scaler's current span. Ends with Finish, or with the destructor when the phase is left
// by an exception (counting stops; the bar stays where it is). `device` and `scaler` are not
// owned and must outlive the phase; a null scaler counts nothing.
class CountedWritePhase {
public:
    CountedWritePhase(CVolumeDevice* device, ProgressInforAssist* scaler, uint64_t sectors);
    ~CountedWritePhase() { Stop(); }
    CountedWritePhase(const CountedWritePhase&) = delete;
    CountedWritePhase& operator=(const CountedWritePhase&) = delete;

    // Stops the counting; the bar stays where it is. Safe to call more than once.
    void Stop();
    // Stops the counting and moves the bar to the end of the scaler's span, which becomes
    // its new start (Span 0).
    void Finish();

private:
    CVolumeDevice* Device;
    ProgressInforAssist* Scaler;
};

// The message that ends a conversion whose copies met failures: the conversion finished, but
// the files listed (at most 50 of each list, then how many more) could not be read or written
// completely. With `foldersUnwritten` (a directory or resident file data could not be written,
// so files may be missing without being named) a sentence saying so follows. Empty when both
// lists are empty and nothing else failed.
std::u16string UnreadFilesMessage(const std::vector<std::u16string>& unread,
                                  const std::vector<std::u16string>& unwritten,
                                  bool foldersUnwritten = false);
