#include "tests/support/FatImage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string_view>

#include "platform/TextEncoding.h"

namespace testsupport {
namespace {

constexpr uint32_t kEntryMask = 0x0FFFFFFF;
constexpr uint32_t kFirstEndOfChain = 0x0FFFFFF8;
constexpr uint32_t kBadCluster = 0x0FFFFFF7;
constexpr uint8_t kDeleted = 0xE5;

class Reader {
public:
    explicit Reader(const std::string& image) : file_(image, std::ios::binary), image_(image) {
        if (!file_) throw std::runtime_error("cannot open " + image);
    }
    void Read(uint64_t offset, void* out, size_t bytes) {
        file_.clear();
        file_.seekg(static_cast<std::streamoff>(offset));
        file_.read(static_cast<char*>(out), static_cast<std::streamsize>(bytes));
        if (static_cast<size_t>(file_.gcount()) != bytes)
            throw std::runtime_error("short read at " + std::to_string(offset) + " of " + image_);
    }

private:
    std::ifstream file_;
    std::string image_;
};

// The whole walk: the table in memory, directories read cluster by cluster.
class Walk {
public:
    Walk(const std::string& image, FatImage* out) : reader_(image), out_(out) {}

    void Run() {
        reader_.Read(0, &out_->boot, sizeof out_->boot);
        reader_.Read(512ULL * kFat32BackupBootSector, &out_->backup, sizeof out_->backup);
        const FAT32_BOOT_SECTOR& b = out_->boot;
        if (b.Signature != 0xAA55 || b.BytesPerSector != 512 || b.SectorsPerCluster == 0 ||
            b.NumberOfFats == 0 || b.FatSize32 == 0 || b.TotalSectors32 == 0)
            throw std::runtime_error("not a FAT32 boot sector");
        clusterBytes_ = out_->ClusterBytes();
        firstDataSector_ = uint64_t{b.ReservedSectors} + uint64_t{b.NumberOfFats} * b.FatSize32;
        if (firstDataSector_ >= b.TotalSectors32) throw std::runtime_error("no data area");
        clusters_ = (b.TotalSectors32 - firstDataSector_) / b.SectorsPerCluster;
        const uint64_t entries = std::min<uint64_t>(clusters_ + 2, uint64_t{b.FatSize32} * 128);
        fat_.resize(entries);
        reader_.Read(512ULL * b.ReservedSectors, fat_.data(), fat_.size() * 4);

        std::vector<uint32_t> rootChain = Chain(b.RootCluster, "the root directory");
        ReadDirectory(rootChain, "", b.RootCluster, 0, true);
    }

private:
    void Problem(const std::string& text) { out_->problems.push_back(text); }

    // The clusters of a chain from `first`; problems are noted, the chain is cut there.
    std::vector<uint32_t> Chain(uint32_t first, const std::string& what) {
        std::vector<uint32_t> chain;
        uint32_t c = first;
        while (true) {
            if (c < 2 || c >= clusters_ + 2) {
                Problem(what + ": the chain reaches cluster " + std::to_string(c) + ", outside the table");
                break;
            }
            chain.push_back(c);
            if (chain.size() > clusters_) {
                Problem(what + ": the chain loops");
                break;
            }
            const uint32_t next = fat_[c] & kEntryMask;
            if (next >= kFirstEndOfChain) break;
            if (next == 0 || next == kBadCluster) {
                Problem(what + ": cluster " + std::to_string(c) + " of the chain leads to " +
                        (next == 0 ? "a free cluster" : "a bad cluster"));
                break;
            }
            c = next;
        }
        return chain;
    }

    // Reads every 32-byte entry of a directory's chain and recurses into subdirectories.
    void ReadDirectory(const std::vector<uint32_t>& chain, const std::string& path,
                       uint32_t ownCluster, uint32_t parentCluster, bool isRoot) {
        const std::string where = isRoot ? std::string("/") : "/" + path + "/";
        std::vector<uint8_t> bytes(chain.size() * uint64_t{clusterBytes_});
        for (size_t i = 0; i < chain.size(); ++i) {
            reader_.Read((firstDataSector_ + uint64_t{chain[i] - 2} * out_->boot.SectorsPerCluster) * 512,
                         bytes.data() + i * clusterBytes_, clusterBytes_);
        }
        std::vector<FAT_LFN_ENTRY> pending;  // long-name entries read since the last short one
        std::vector<std::pair<std::string, std::vector<uint32_t>>> subdirectories;
        size_t index = 0;
        for (size_t at = 0; at + 32 <= bytes.size(); at += 32, ++index) {
            FAT_DIR_ENTRY e;
            std::memcpy(&e, bytes.data() + at, sizeof e);
            if (e.Name[0] == 0) break;  // the end of the directory
            if (e.Name[0] == kDeleted) {
                Problem(where + ": a deleted entry at " + std::to_string(index));
                pending.clear();
                continue;
            }
            if ((e.Attributes & 0x3F) == kFatAttrLongName) {
                FAT_LFN_ENTRY l;
                std::memcpy(&l, bytes.data() + at, sizeof l);
                pending.push_back(l);
                continue;
            }
            // Dot entries first in every folder but the root.
            if (!isRoot && index < 2) {
                if (!pending.empty()) Problem(where + ": long-name entries before a dot entry");
                CheckDot(e, index, where, ownCluster, parentCluster);
                pending.clear();
                continue;
            }
            if ((e.Attributes & kFatAttrVolumeId) != 0 && (e.Attributes & kFatAttrDirectory) == 0) {
                if (!isRoot) Problem(where + ": a volume-label entry outside the root");
                if (!pending.empty()) Problem(where + ": long-name entries before the label");
                if (out_->labelEntries++ == 0) {
                    out_->hasLabelEntry = true;
                    out_->labelEntry = e;
                }
                pending.clear();
                continue;
            }
            FatDirEntry d;
            d.entry = e;
            d.directory = path;
            d.longName = LongName(pending, e, where);
            pending.clear();
            const std::string shown = d.longName.empty() ? ShownShortName(e)
                                                         : platform::Utf16ToUtf8(d.longName);
            d.path = path.empty() ? shown : path + "/" + shown;
            std::vector<uint32_t> dataChain;
            if (d.FirstCluster() != 0) dataChain = Chain(d.FirstCluster(), "/" + d.path);
            d.chainClusters = dataChain.size();
            if (d.IsDirectory()) {
                if (d.FirstCluster() == 0) Problem("/" + d.path + ": a folder without clusters");
                else subdirectories.emplace_back(d.path, std::move(dataChain));
            }
            out_->entries.push_back(std::move(d));
        }
        if (!pending.empty()) Problem(where + ": long-name entries without a short entry at the end");
        if (!isRoot && index < 2) Problem(where + ": fewer than two dot entries");

        for (auto& [sub, subChain] : subdirectories) {
            const uint32_t first = subChain.front();
            ReadDirectory(subChain, sub, first, isRoot ? 0 : ownCluster, false);
        }
    }

    void CheckDot(const FAT_DIR_ENTRY& e, size_t index, const std::string& where, uint32_t own,
                  uint32_t parent) {
        static const uint8_t kDot[11] = {'.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
        static const uint8_t kDotDot[11] = {'.', '.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
        const uint32_t cluster = uint32_t{e.FirstClusterHigh} << 16 | e.FirstClusterLow;
        const bool dot = index == 0;
        if (std::memcmp(e.Name, dot ? kDot : kDotDot, 11) != 0 || (e.Attributes & kFatAttrDirectory) == 0) {
            Problem(where + ": entry " + std::to_string(index) + " is not the " + (dot ? "dot" : "dot-dot") +
                    " entry but " + ShowNameBytes(e.Name));
            return;
        }
        const uint32_t want = dot ? own : parent;
        if (cluster != want) {
            Problem(where + ": the " + std::string(dot ? "dot" : "dot-dot") + " entry names cluster " +
                    std::to_string(cluster) + ", not " + std::to_string(want));
        }
    }

    // The long name of the entries read before a short entry (the last one read holds the
    // name's start), checked against the rules; empty with a problem noted when broken.
    std::u16string LongName(const std::vector<FAT_LFN_ENTRY>& entries, const FAT_DIR_ENTRY& e,
                            const std::string& where) {
        if (entries.empty()) return {};
        const std::string shown = where + ShowNameBytes(e.Name);
        const size_t n = entries.size();
        const uint8_t sum = ShortNameSum(e.Name);
        for (size_t i = 0; i < n; ++i) {
            const uint8_t order = static_cast<uint8_t>(n - i);
            const uint8_t want = i == 0 ? static_cast<uint8_t>(order | kLfnLastOrder) : order;
            if (entries[i].Order != want) {
                Problem(shown + ": long-name entry " + std::to_string(i) + " has order " +
                        std::to_string(entries[i].Order) + ", not " + std::to_string(want));
                return {};
            }
            if (entries[i].Checksum != sum) {
                Problem(shown + ": long-name entry " + std::to_string(i) + " has checksum " +
                        std::to_string(entries[i].Checksum) + ", not " + std::to_string(sum));
                return {};
            }
            if (entries[i].Type != 0 || entries[i].FirstCluster != 0) {
                Problem(shown + ": long-name entry " + std::to_string(i) + " has a type or cluster");
                return {};
            }
        }
        std::u16string units;
        bool ended = false;
        for (size_t i = n; i-- > 0;) {
            const FAT_LFN_ENTRY& l = entries[i];
            char16_t chunk[13];
            std::memcpy(chunk, l.Name1, sizeof l.Name1);
            std::memcpy(chunk + 5, l.Name2, sizeof l.Name2);
            std::memcpy(chunk + 11, l.Name3, sizeof l.Name3);
            for (size_t k = 0; k < 13; ++k) {
                if (ended) {
                    if (chunk[k] != 0xFFFF) {
                        Problem(shown + ": a long name goes on after its end");
                        return {};
                    }
                } else if (chunk[k] == 0) {
                    ended = true;
                } else {
                    units.push_back(chunk[k]);
                }
            }
            if (ended && i != 0) {
                Problem(shown + ": a long name ends before its last entry");
                return {};
            }
        }
        return units;
    }

    // The short name as a reader of it alone shows it: base, ".", extension, the case flags
    // applied, code page 437 read as Unicode.
    static std::string ShownShortName(const FAT_DIR_ENTRY& e) {
        auto part = [](const uint8_t* bytes, size_t n, bool lower) {
            std::string s(reinterpret_cast<const char*>(bytes), n);
            while (!s.empty() && s.back() == ' ') s.pop_back();
            if (!s.empty() && static_cast<uint8_t>(s[0]) == 0x05) s[0] = static_cast<char>(0xE5);
            if (lower) {
                for (char& c : s) {
                    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
                }
            }
            return platform::Utf16ToUtf8(platform::Cp437ToUtf16(s));
        };
        std::string base = part(e.Name, 8, (e.CaseFlags & kFatCaseLowerBase) != 0);
        const std::string ext = part(e.Name + 8, 3, (e.CaseFlags & kFatCaseLowerExt) != 0);
        return ext.empty() ? base : base + "." + ext;
    }

    Reader reader_;
    FatImage* out_;
    uint32_t clusterBytes_ = 0;
    uint64_t firstDataSector_ = 0;
    uint64_t clusters_ = 0;
    std::vector<uint32_t> fat_;
};

}  // namespace

uint32_t FatDirEntry::FirstCluster() const {
    return uint32_t{entry.FirstClusterHigh} << 16 | entry.FirstClusterLow;
}

FatImage ReadFatImage(const std::string& image) {
    FatImage out;
    Walk(image, &out).Run();
    return out;
}

uint8_t ShortNameSum(const uint8_t name[11]) {
    uint8_t s = 0;
    for (int i = 0; i < 11; ++i) s = static_cast<uint8_t>(((s & 1) << 7 | s >> 1) + name[i]);
    return s;
}

std::string ShortNameFault(const uint8_t name[11], bool label) {
    static constexpr std::string_view kForbidden = "\"*+,./:;<=>?[\\]|";
    for (int i = 0; i < 11; ++i) {
        const uint8_t c = name[i];
        if (c < 0x20 && !(i == 0 && c == 0x05)) return "a control byte at " + std::to_string(i);
        if (c == 0x7F) return "0x7F at " + std::to_string(i);
        if (kForbidden.find(static_cast<char>(c)) != std::string_view::npos)
            return std::string("'") + static_cast<char>(c) + "' at " + std::to_string(i);
        if (c >= 'a' && c <= 'z') return "a small letter at " + std::to_string(i);
        if (c >= 0x80) {
            // A small letter of code page 437 whose capital it has too.
            static constexpr std::string_view kSmallWithCapital = "\x81\x82\x84\x86\x87\x91\x94\xA4\xE5\xED";
            if (kSmallWithCapital.find(static_cast<char>(c)) != std::string_view::npos)
                return "a small letter at " + std::to_string(i);
        }
    }
    if (name[0] == ' ') return "a blank first";
    if (label) return "";
    for (const auto& [from, to] : {std::pair{0, 8}, std::pair{8, 11}}) {
        bool blank = false;
        for (int i = from; i < to; ++i) {
            if (name[i] == ' ') blank = true;
            else if (blank) return "a blank inside at " + std::to_string(i);
        }
    }
    return "";
}

std::string ShowNameBytes(const uint8_t name[11]) {
    std::string s = "\"";
    for (int i = 0; i < 11; ++i) {
        if (name[i] >= 0x20 && name[i] < 0x7F && name[i] != '"' && name[i] != '\\') {
            s += static_cast<char>(name[i]);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", name[i]);
            s += hex;
        }
    }
    return s + "\"";
}

}  // namespace testsupport
