// The FAT directory builder: short names (construction, legality, uniqueness, case flags),
// long-name entries, checksums, the volume label, entry fields, the cluster stream of a
// directory, resident data, and whole trees read from real ntfs-3g images, written into
// memory and, through an NFat, onto an image that fsck.fat and the Sleuth Kit then read.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "device/CVolumeDevice.h"
#include "device/ProgressInforAssist.h"
#include "engine/DirectoryWriter.h"
#include "engine/FileTree.h"
#include "engine/NFat.h"
#include "ntfs/CIndexEntry.h"
#include "ntfs/CNTFSVolume.h"
#include "platform/RawVolume.h"
#include "platform/TextEncoding.h"
#include "tests/support/Command.h"
#include "tests/support/CraftedFiles.h"
#include "tests/support/Fixtures.h"
#include "tests/support/FsckFat.h"
#include "tests/support/SleuthKit.h"

namespace {

namespace crafted = testsupport::crafted;

// ---- Helpers ----------------------------------------------------------------------------

std::string Bytes11(const uint8_t* b) { return std::string(reinterpret_cast<const char*>(b), 11); }

// FILETIME of a UTC calendar time.
uint64_t FileTimeOf(int year, int month, int day, int hour, int minute, int second) {
    // Days from 1970-01-01 (civil-from-days inverse).
    const int y = year - (month <= 2);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = static_cast<int64_t>(era) * 146097 + doe - 719468;
    const int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second;
    return static_cast<uint64_t>(seconds) * 10000000ULL + 116444736000000000ULL;
}

// A $FILE_NAME value with its name, and a CFileName over it.
struct Name {
    Name(const std::u16string& name, uint8_t nameSpace, uint32_t flags = 0x20, uint64_t written = 0,
         uint64_t created = 0, uint64_t accessed = 0)
        : value(sizeof(FILE_NAME_VALUE) + 2 * name.size()) {
        FILE_NAME_VALUE v{};
        v.CreationTime = created;
        v.LastWriteTime = written;
        v.LastAccessTime = accessed;
        v.FileAttributes = flags;
        v.NameLength = static_cast<uint8_t>(name.size());
        v.NameSpace = nameSpace;
        std::memcpy(value.data(), &v, sizeof v);
        std::memcpy(value.data() + sizeof v, name.data(), 2 * name.size());
        attr = std::make_unique<CFileName>(value.data());
    }
    std::vector<uint8_t> value;
    std::unique_ptr<CFileName> attr;
};

// Random numbers from a list (the last one repeats).
class FixedRandom : public ShortNameRandom {
public:
    explicit FixedRandom(std::vector<uint32_t> numbers) : numbers_(std::move(numbers)) {}
    uint32_t Next() override { return numbers_[std::min(next_++, numbers_.size() - 1)]; }

private:
    std::vector<uint32_t> numbers_;
    size_t next_ = 0;
};

// The FAT rules for a short name, written out independently of the builder.
bool IsLegalShortName(const std::string& n) {
    if (n.size() != 11 || n[0] == ' ') return false;
    for (size_t i = 0; i < 11; ++i) {
        const auto b = static_cast<uint8_t>(n[i]);
        if (b == 0x05 && i == 0) continue;
        if (b < 0x20 || b == 0x7F) return false;
        if (std::string("\"*+,./:;<=>?[\\]|").find(static_cast<char>(b)) != std::string::npos) return false;
        if (b >= 'a' && b <= 'z') return false;  // short names are upper case
    }
    // A blank ends its part: only blanks may follow it there.
    for (const auto& [from, size] : {std::pair<size_t, size_t>{0, 8}, {8, 3}}) {
        const std::string part = n.substr(from, size);
        const size_t blank = part.find(' ');
        if (blank != std::string::npos && part.find_first_not_of(' ', blank) != std::string::npos) return false;
    }
    return true;
}

// An IFat over memory: clusters handed out in order from 2, every write recorded.
class MemoryFat : public IFat {
public:
    MemoryFat(uint32_t clusterBytes, uint32_t clusters, int32_t lcnOfCluster2 = 100)
        : clusterBytes_(clusterBytes), data_(static_cast<size_t>(clusters + 2) * clusterBytes),
          limit_(clusters + 2), lcnOfCluster2_(lcnOfCluster2) {}

    uint32_t FatClusterBytes() override { return clusterBytes_; }
    void AllocChain(uint32_t count, uint32_t* clusters) override {
        if (next_ + count > limit_) throw SimpleException(u"cann't find free cluster.", 1);
        std::vector<uint32_t> chain;
        for (uint32_t i = 0; i < count; ++i) chain.push_back(clusters[i] = next_++);
        if (count > 0) chains[chain[0]] = chain;
    }
    void WriteClusters(const void* buffer, uint32_t cluster, uint32_t count) override {
        writes.push_back({cluster, count});
        ASSERT_GE(cluster, 2u);
        ASSERT_LE(cluster + count, limit_);
        std::memcpy(&data_[static_cast<size_t>(cluster) * clusterBytes_], buffer,
                    static_cast<size_t>(count) * clusterBytes_);
    }
    int32_t ClusterOfLcn(uint64_t lcn) override {
        return static_cast<int32_t>(static_cast<uint32_t>(lcn)) - lcnOfCluster2_ + 2;
    }

    // The bytes of one cluster, and of a whole chain.
    std::string Cluster(uint32_t c) const {
        return std::string(reinterpret_cast<const char*>(&data_[static_cast<size_t>(c) * clusterBytes_]), clusterBytes_);
    }
    std::string Chain(uint32_t first) const {
        std::string s;
        for (uint32_t c : chains.at(first)) s += Cluster(c);
        return s;
    }
    uint32_t Allocated() const { return next_ - 2; }

    std::map<uint32_t, std::vector<uint32_t>> chains;     // by first cluster
    std::vector<std::pair<uint32_t, uint32_t>> writes;    // cluster, count

private:
    uint32_t clusterBytes_;
    std::vector<uint8_t> data_;
    uint32_t limit_;
    int32_t lcnOfCluster2_;
    uint32_t next_ = 2;
};

// One entry of a directory as a reader sees it: the long name its long-name entries spell
// (checked for order and checksum) and the short entry.
struct ReadEntry {
    std::u16string longName;
    FAT_DIR_ENTRY entry{};
    std::string shortName() const { return Bytes11(entry.Name); }
    uint32_t firstCluster() const { return uint32_t{entry.FirstClusterHigh} << 16 | entry.FirstClusterLow; }
};

// Parses directory bytes up to the end entry. Fails the test on a broken long-name run.
std::vector<ReadEntry> ParseDirectory(const std::string& bytes, bool* sawEnd = nullptr) {
    std::vector<ReadEntry> out;
    std::vector<FAT_LFN_ENTRY> pending;
    if (sawEnd != nullptr) *sawEnd = false;
    for (size_t at = 0; at + 32 <= bytes.size(); at += 32) {
        if (bytes[at] == 0) {
            if (sawEnd != nullptr) *sawEnd = true;
            EXPECT_TRUE(pending.empty());
            break;
        }
        if (static_cast<uint8_t>(bytes[at + 11]) == kFatAttrLongName) {
            FAT_LFN_ENTRY l;
            std::memcpy(&l, bytes.data() + at, 32);
            pending.push_back(l);
            continue;
        }
        ReadEntry r;
        std::memcpy(&r.entry, bytes.data() + at, 32);
        if (!pending.empty()) {
            const uint8_t checksum = ShortNameChecksum(r.entry.Name);
            const size_t n = pending.size();
            EXPECT_EQ(static_cast<size_t>(pending[0].Order), kLfnLastOrder | n) << "first long entry of " << r.shortName();
            std::u16string name;
            for (size_t k = n; k-- > 0;) {
                const FAT_LFN_ENTRY& l = pending[k];
                EXPECT_EQ(static_cast<size_t>(l.Order & 0x3F), n - k);
                EXPECT_EQ(l.Checksum, checksum) << r.shortName();
                EXPECT_EQ(l.Attributes, kFatAttrLongName);
                EXPECT_EQ(l.FirstCluster, 0);
                char16_t units[13];
                std::memcpy(units, l.Name1, 10);
                std::memcpy(units + 5, l.Name2, 12);
                std::memcpy(units + 11, l.Name3, 4);
                for (char16_t u : units) {
                    if (u == 0) break;
                    name += u;
                }
            }
            r.longName = name;
            pending.clear();
        }
        out.push_back(r);
    }
    return out;
}

// ---- Short names ------------------------------------------------------------------------

struct ShortCase {
    const char16_t* name;
    uint32_t random;      // the number drawn on the long path
    const char* expected; // the 11 name bytes (code page 437)
    uint8_t caseFlags;
    bool exact;
};

TEST(ShortName, ConstructionLegalityAndCase) {
    const ShortCase cases[] = {
        // The fitting path.
        {u"REPORT.TXT", 0, "REPORT  TXT", 0, true},
        {u"ABCDEFGHI.TX", 0, "ABCDEFGHTX ", 0, false},  // the ninth base byte gives way to the extension
        {u"NOEXT", 0, "NOEXT      ", 0, true},
        {u"ABCDEFGHIJ", 0, "ABCDEFGHIJ ", 0, false},     // runs on into the extension field
        // The long path: first 11 bytes, the number over the end, blanks kept.
        {u"Annual Report 2009.xlsx", 12345, "ANNUAL12345", 0, false},
        {u"Annual Report 2009.xlsx", 123, "ANNUAL_R123", 0, false},  // no blank inside a part
        {u"a.abcd", 123, "A_ABCD  123", 0, false},      // blanks, not zero bytes, before the digits
        {u".profile", 123, "_PROFILE123", 0, false},
        {u".profile", 12345, "_PROFI12345", 0, false},
        // Made legal: dots, blanks in front, forbidden and control characters.
        {u".ab", 0, "_       AB ", 0, false},
        {u"a.b.c.d", 0, "A_B_C   D  ", 0, false},
        {u"  lead.txt", 0, "__LEAD  TXT", 0, false},
        {u"Sub Dir", 0, "SUB_DIR    ", 0, false},
        {u"ab.c d", 0, "AB      C_D", 0, false},
        {u"ab .c", 0, "AB      C  ", kFatCaseLowerExt, false},  // trailing blanks of a part stay
        {u"a+b=c.t;t", 0, "A_B_C   T_T", 0, false},
        {u"x.[y]", 0, "X       _Y_", 0, false},
        {u"a\u0001b.txt", 0, "A_B     TXT", 0, false},
        {u"\u0005x", 0, "_X         ", 0, false},
        {u"\u007F", 0, "_          ", 0, false},
        // Case flags only where the short name is exactly the name upper-cased.
        {u"readme.txt", 0, "README  TXT", kFatCaseLowerBase | kFatCaseLowerExt, true},
        {u"README.txt", 0, "README  TXT", kFatCaseLowerExt, true},
        {u"readme.TXT", 0, "README  TXT", kFatCaseLowerBase, true},
        {u"ReadMe.txt", 0, "README  TXT", kFatCaseLowerExt, false},
        {u"Makefile", 0, "MAKEFILE   ", 0, false},
        {u"1234.txt", 0, "1234    TXT", kFatCaseLowerExt, true},
        {u"a.b.c", 0, "A_B     C  ", 0, false},   // changed: no flags
        // Letters of code page 437 (the OEM code page) are upper-cased too where 437 has the
        // capital; such names are never shown from the short entry alone.
        {u"\u00e9t\u00e9.txt", 0, "\x90T\x90     TXT", kFatCaseLowerBase | kFatCaseLowerExt, false},
        {u"\u00e5sa", 0, "\x8FSA        ", kFatCaseLowerBase, false},
        {u"\u00dfx", 0, "\xE1X         ", kFatCaseLowerBase, false},  // ß has no capital
        {u"\u03c3.txt", 0, "\xE4       TXT", kFatCaseLowerBase | kFatCaseLowerExt, false},  // σ: Σ
        {u"\u65e5\u672c.txt", 0, "__      TXT", kFatCaseLowerExt, false},  // not in 437
        {u"\u00c0\u0160.txt", 0, "__      TXT", kFatCaseLowerExt, false},  // in 1252, not in 437
    };
    for (const ShortCase& c : cases) {
        const std::string label = platform::Utf16ToUtf8(c.name);
        FixedRandom random({c.random});
        const SHORT_NAME s = MakeShortName(c.name, &random);
        EXPECT_EQ(Bytes11(s.Bytes), std::string(c.expected)) << label;
        EXPECT_TRUE(IsLegalShortName(Bytes11(s.Bytes))) << label;
        EXPECT_EQ(s.CaseFlags, c.caseFlags) << label;
        EXPECT_EQ(s.Exact, c.exact) << label;
    }
}

// What a DOS-era reader (or Linux's vfat with its default code page 437) shows for the short
// name of a Latin name: the OEM bytes decoded in 437 are the name upper-cased, a letter whose
// capital 437 lacks kept small, a character 437 lacks as '_'.
TEST(ShortName, LatinNamesReadBackInTheOemCodePage) {
    const struct {
        const char16_t* name;
        const char16_t* shown;  // the 11 bytes decoded in code page 437
    } cases[] = {
        {u"Gr\u00fc\u00dfe.txt", u"GR\u00dc\u00dfE   TXT"},
        {u"\u00e4rger.doc", u"\u00c4RGER   DOC"},
        {u"Se\u00f1or.mp3", u"SE\u00d1OR   MP3"},
        {u"gar\u00e7on", u"GAR\u00c7ON     "},
        {u"\u00e6ble.jpg", u"\u00c6BLE    JPG"},
        {u"k\u00f6ln", u"K\u00d6LN       "},
        {u"\u00c5ngstr\u00f6m", u"\u00c5NGSTR\u00d6M   "},
        {u"na\u00efve.txt", u"NA\u00efVE   TXT"},  // ï: 437 has no capital
        {u"Cr\u00e8me.txt", u"CR\u00e8ME   TXT"},
        {u"\u00a3100.txt", u"\u00a3100    TXT"},
        {u"\u00dcber", u"\u00dcBER       "},
        {u"\u00c6r\u00f8.txt", u"\u00c6R_     TXT"},  // ø: not in 437
        {u"\u0141\u00f3d\u017a", u"_\u00f3D_       "},  // Ł ź: not in 437; ó kept small
    };
    for (const auto& c : cases) {
        const SHORT_NAME s = MakeShortName(c.name, nullptr);
        const std::string bytes = Bytes11(s.Bytes);
        EXPECT_EQ(platform::Cp437ToUtf16(bytes), std::u16string(c.shown)) << platform::Utf16ToUtf8(c.name);
        EXPECT_TRUE(IsLegalShortName(bytes)) << platform::Utf16ToUtf8(c.name);
    }
}

TEST(ShortName, Checksums) {
    const struct {
        const char* name;
        uint8_t checksum;
    } cases[] = {{"REPORT  TXT", 0xA3}, {"ANNUAL~1XLS", 0x52}, {"ABC        ", 0x74}};
    for (const auto& c : cases) {
        EXPECT_EQ(ShortNameChecksum(reinterpret_cast<const uint8_t*>(c.name)), c.checksum) << c.name;
    }
}

TEST(ShortName, GeneratorIsTheSeededLcg) {
    ShortNameRandom a(1);
    EXPECT_EQ(a.Next(), 41u);  // the C runtime's first numbers for seed 1
    EXPECT_EQ(a.Next(), 18467u);
    EXPECT_EQ(a.Next(), 6334u);
    ShortNameRandom b(77), c(77);
    for (int i = 0; i < 1000; ++i) {
        const uint32_t x = b.Next();
        ASSERT_LE(x, 32767u);
        ASSERT_EQ(x, c.Next());
    }
}

// ---- Naming one directory ---------------------------------------------------------------

// Entries named from a list of (name, namespace); a DOS name may be paired with a long one.
struct DirectoryNames {
    struct Source {
        std::u16string shortName;
        uint8_t shortNs;
        std::u16string longName;  // empty: none
    };
    explicit DirectoryNames(const std::vector<Source>& sources, ShortNameRandom* random) {
        for (const Source& s : sources) {
            names.push_back(std::make_unique<Name>(s.shortName, s.shortNs));
            ENTRY_NAMES e;
            e.ShortSource = names.back()->attr.get();
            if (s.shortNs == kNamespaceWin32 || s.shortNs == kNamespacePosix) e.LongSource = e.ShortSource;
            if (!s.longName.empty()) {
                names.push_back(std::make_unique<Name>(s.longName, kNamespaceWin32));
                e.LongSource = names.back()->attr.get();
            }
            entries.push_back(e);
        }
        NameDirectory(&entries, random);
    }
    std::string ShortOf(size_t i) const { return Bytes11(entries[i].Short.Bytes); }
    std::vector<std::unique_ptr<Name>> names;
    std::vector<ENTRY_NAMES> entries;
};

TEST(NameDirectory, CollisionsGetNumericTailsAndLongNames) {
    ShortNameRandom random(1);
    DirectoryNames d({{u"case.txt", kNamespacePosix, u""},
                      {u"Case.txt", kNamespacePosix, u""},
                      {u"CASE.txt", kNamespacePosix, u""}},
                     &random);
    EXPECT_EQ(d.ShortOf(0), "CASE    TXT");
    EXPECT_EQ(d.ShortOf(1), "CASE~1  TXT");
    EXPECT_EQ(d.ShortOf(2), "CASE~2  TXT");
    for (const ENTRY_NAMES& e : d.entries) EXPECT_EQ(e.LongNameFrom, e.ShortSource);
    EXPECT_EQ(d.entries[0].Short.CaseFlags, kFatCaseLowerBase | kFatCaseLowerExt);
    EXPECT_EQ(d.entries[1].Short.CaseFlags, 0) << "a renamed name carries no case flag";
    EXPECT_EQ(d.entries[2].Short.CaseFlags, 0);
}

TEST(NameDirectory, DosNamesAreReservedBeforeGeneratedOnes) {
    ShortNameRandom random(1);
    // The POSIX name comes first but must not take the DOS name of the entry after it.
    DirectoryNames d({{u"readme.txt", kNamespacePosix, u""},
                      {u"README.TXT", kNamespaceWin32AndDos, u""},
                      {u"ANNUAL~1.XLS", kNamespaceDos, u"Annual Report 2009.xlsx"}},
                     &random);
    EXPECT_EQ(d.ShortOf(0), "README~1TXT");
    EXPECT_EQ(d.ShortOf(1), "README  TXT");
    EXPECT_EQ(d.entries[1].LongNameFrom, nullptr) << "an exact 8.3 name needs no long-name entry";
    EXPECT_EQ(EntryGroupBytes(d.entries[1]), 32u);
    EXPECT_EQ(d.ShortOf(2), "ANNUAL~1XLS");
    EXPECT_EQ(d.entries[2].LongNameFrom, d.entries[2].LongSource);
    EXPECT_EQ(EntryGroupBytes(d.entries[2]), 96u);
}

TEST(NameDirectory, ShortOnlyNamesKeepTheirCaseThroughLongEntries) {
    ShortNameRandom random(1);
    DirectoryNames d({{u"Makefile", kNamespaceWin32AndDos, u""},
                      {u"notes.txt", kNamespaceWin32AndDos, u""},
                      {u"R\u00c9SUM\u00c9.DOC", kNamespaceWin32AndDos, u""},
                      {u"README.TXT", kNamespaceWin32AndDos, u""},
                      {u"README.TXT", kNamespaceWin32AndDos, u""}},  // a damaged duplicate
                     &random);
    EXPECT_EQ(d.entries[0].LongNameFrom, d.entries[0].ShortSource);  // mixed case
    EXPECT_EQ(d.entries[1].LongNameFrom, nullptr);                   // case flags suffice
    EXPECT_EQ(d.entries[2].LongNameFrom, d.entries[2].ShortSource);  // not ASCII
    EXPECT_EQ(d.entries[3].LongNameFrom, nullptr);
    EXPECT_EQ(d.ShortOf(4), "README~1TXT");
    EXPECT_EQ(d.entries[4].LongNameFrom, d.entries[4].ShortSource);  // renamed: the name lives on
}

TEST(NameDirectory, TakenRandomNamesAreDrawnAgainThenTailed) {
    FixedRandom sameNumber({12345});
    DirectoryNames a({{u"Annual Report A.xlsx", kNamespaceWin32, u""},
                      {u"Annual Report B.xlsx", kNamespaceWin32, u""},
                      {u"Annual Report C.xlsx", kNamespaceWin32, u""}},
                     &sameNumber);
    EXPECT_EQ(a.ShortOf(0), "ANNUAL12345");
    EXPECT_EQ(a.ShortOf(1), "ANNUAL~1345");
    EXPECT_EQ(a.ShortOf(2), "ANNUAL~2345");

    FixedRandom secondDraw({12345, 12345, 222});
    DirectoryNames b({{u"Annual Report A.xlsx", kNamespaceWin32, u""},
                      {u"Annual Report B.xlsx", kNamespaceWin32, u""}},
                     &secondDraw);
    EXPECT_EQ(b.ShortOf(1), "ANNUAL_R222");
}

TEST(NameDirectory, HundredThousandEntriesAreUniqueAndFast) {
    std::vector<DirectoryNames::Source> sources;
    for (int i = 0; i < 100000; ++i) {
        char buf[32];
        std::snprintf(buf, sizeof buf, i % 2 ? "file%06d.txt" : "F%d.TXT", i);
        std::u16string n;
        for (const char* p = buf; *p; ++p) n += static_cast<char16_t>(*p);
        sources.push_back({n, i % 2 ? kNamespacePosix : kNamespaceWin32AndDos, u""});
    }
    ShortNameRandom random(1);
    const auto start = std::chrono::steady_clock::now();
    DirectoryNames d(sources, &random);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::set<std::string> seen;
    for (size_t i = 0; i < d.entries.size(); ++i) {
        ASSERT_TRUE(seen.insert(d.ShortOf(i)).second) << d.ShortOf(i);
        ASSERT_TRUE(IsLegalShortName(d.ShortOf(i))) << d.ShortOf(i);
    }
    EXPECT_EQ(d.ShortOf(0), "F0      TXT");  // DOS names stay as they are
#if defined(__SANITIZE_ADDRESS__)
    constexpr double kLimit = 30.0;  // the sanitizers slow every allocation down
#else
    constexpr double kLimit = 1.0;
#endif
    EXPECT_LT(seconds, kLimit);
}

// ---- Long-name entries and groups -------------------------------------------------------

TEST(EntryGroup, LongNamesAreChunkedLastChunkFirst) {
    const struct {
        std::u16string name;
        std::vector<uint8_t> orders;  // in directory order
    } cases[] = {
        {u"Annual Report 2009.xlsx", {0x42, 0x01}},
        {u"ABCDEFGHIJKLM", {0x41}},        // 13 units: one entry, no terminator
        {u"ABCDEFGHIJKLMN", {0x42, 0x01}}, // 14 units: one unit, 0x0000, then 0xFFFF
        {std::u16string(255, u'L'), {}},
    };
    for (const auto& c : cases) {
        Name longName(c.name, kNamespaceWin32);
        Name dosName(u"ANNUAL~1.XLS", kNamespaceDos);
        ENTRY_NAMES e;
        e.ShortSource = dosName.attr.get();
        e.LongSource = e.LongNameFrom = longName.attr.get();
        std::memcpy(e.Short.Bytes, "ANNUAL~1XLS", 11);
        const uint32_t bytes = EntryGroupBytes(e);
        ASSERT_EQ(bytes, 32 * (1 + (c.name.size() + 12) / 13));
        std::string group(bytes, '\0');
        BuildEntryGroup(e, reinterpret_cast<uint8_t*>(group.data()), 7, 1234);
        bool sawEnd = false;
        const std::vector<ReadEntry> read = ParseDirectory(group + std::string(32, '\0'), &sawEnd);
        ASSERT_EQ(read.size(), 1u);
        EXPECT_TRUE(sawEnd);
        EXPECT_EQ(read[0].longName, c.name);
        EXPECT_EQ(read[0].shortName(), "ANNUAL~1XLS");
        EXPECT_EQ(read[0].firstCluster(), 7u);
        EXPECT_EQ(read[0].entry.FileSize, 1234u);
        for (size_t i = 0; i < c.orders.size(); ++i) {
            EXPECT_EQ(static_cast<uint8_t>(group[32 * i]), c.orders[i]);
            EXPECT_EQ(static_cast<uint8_t>(group[32 * i + 0x0D]), 0x52);
        }
    }
}

TEST(EntryGroup, LongEntrySlotsAfterTheTerminatorStayFF) {
    FAT_LFN_ENTRY e;
    const char16_t one[] = {u'N'};
    BuildLongEntry(&e, 0x42, one, 1, 0x52);
    const auto* b = reinterpret_cast<const uint8_t*>(&e);
    EXPECT_EQ(b[0], 0x42);
    EXPECT_EQ(b[1], 'N');
    EXPECT_EQ(b[2], 0);
    EXPECT_EQ(b[3], 0);  // the terminator
    EXPECT_EQ(b[4], 0);
    for (size_t at : {5, 6, 7, 8, 9, 10, 0x0E, 0x0F, 0x18, 0x19, 0x1C, 0x1D, 0x1E, 0x1F}) {
        EXPECT_EQ(b[at], 0xFF) << at;
    }
    EXPECT_EQ(b[0x0B], 0x0F);
    EXPECT_EQ(b[0x0C], 0);
    EXPECT_EQ(b[0x0D], 0x52);
    EXPECT_EQ(b[0x1A], 0);
    EXPECT_EQ(b[0x1B], 0);

    const char16_t full[13] = {u'A', u'B', u'C', u'D', u'E', u'F', u'G', u'H', u'I', u'J', u'K', u'L', u'M'};
    BuildLongEntry(&e, 0x41, full, 13, 0);
    EXPECT_EQ(b[0x1E], 'M');
    EXPECT_EQ(b[0x1F], 0);
    EXPECT_EQ(b[0x18], 'K');
}

// ---- Entry fields -----------------------------------------------------------------------

TEST(ShortEntry, AttributesTimesClusterAndSize) {
    const uint64_t created = FileTimeOf(2009, 6, 15, 12, 34, 56);
    const uint64_t written = FileTimeOf(2010, 1, 2, 3, 4, 7);  // odd second: rounds down
    const uint64_t accessed = FileTimeOf(2011, 7, 8, 9, 10, 11);
    // Read-only, hidden, system, NTFS's 0x08, archive, device, normal.
    Name n(u"REPORT.TXT", kNamespaceWin32AndDos, 0x01 | 0x02 | 0x04 | 0x08 | 0x20 | 0x40 | 0x80, written,
           created, accessed);
    const SHORT_NAME s = MakeShortName(u"REPORT.TXT", nullptr);
    FAT_DIR_ENTRY e;
    const uint8_t checksum = BuildShortEntry(n.attr.get(), &e, 0x12345678, 4000, s, false);
    EXPECT_EQ(checksum, 0xA3);
    EXPECT_EQ(Bytes11(e.Name), "REPORT  TXT");
    EXPECT_EQ(e.Attributes, 0x27) << "0x08 would make a label, 0x0F a long-name piece";
    EXPECT_EQ(e.CreationTenths, 0);
    EXPECT_EQ(e.CreationDate, (2009 - 1980) << 9 | 6 << 5 | 15);
    EXPECT_EQ(e.CreationTime, 12 << 11 | 34 << 5 | 28);
    EXPECT_EQ(e.WriteDate, (2010 - 1980) << 9 | 1 << 5 | 2);
    EXPECT_EQ(e.WriteTime, 3 << 11 | 4 << 5 | 3);
    EXPECT_EQ(e.LastAccessDate, (2011 - 1980) << 9 | 7 << 5 | 8);
    EXPECT_EQ(e.FirstClusterHigh, 0x1234);
    EXPECT_EQ(e.FirstClusterLow, 0x5678);
    EXPECT_EQ(e.FileSize, 4000u);

    BuildShortEntry(n.attr.get(), &e, 5, 0, s, true);
    EXPECT_EQ(e.Attributes, 0x37);

    // A time the DOS form cannot hold gives zero fields.
    Name old(u"OLD", kNamespaceWin32AndDos, 0x20, FileTimeOf(1975, 1, 1, 0, 0, 0),
             FileTimeOf(2200, 1, 1, 0, 0, 0), 0);
    BuildShortEntry(old.attr.get(), &e, 0, 0, MakeShortName(u"OLD", nullptr), false);
    EXPECT_EQ(e.WriteDate, 0);
    EXPECT_EQ(e.WriteTime, 0);
    EXPECT_EQ(e.CreationDate, 0);
    EXPECT_EQ(e.CreationTime, 0);
    EXPECT_EQ(e.LastAccessDate, 0);
}

// ---- The volume label -------------------------------------------------------------------

TEST(VolumeLabel, FollowsTheShortNameRules) {
    const struct {
        const char* label;
        const char* expected;
        bool hasLabel;
    } cases[] = {
        {nullptr, "NO NAME    ", false},
        {"", "NO NAME    ", false},
        {"Velundra", "VELUNDRA   ", true},
        {"BIG CLUSTER", "BIG CLUSTER", true},
        {"a very long label", "A VERY LONG", true},
        {"my.disk*1", "MY_DISK_1  ", true},
        {" lead", "_LEAD      ", true},
        {"a\"b:c|d?", "A_B_C_D_   ", true},
        {"caf\x82", "CAF\x90       ", true},  // é in code page 437
    };
    for (const auto& c : cases) {
        uint8_t out[11];
        EXPECT_EQ(VolumeLabelBytes(c.label, out), c.hasLabel) << (c.label ? c.label : "(null)");
        EXPECT_EQ(Bytes11(out), std::string(c.expected)) << (c.label ? c.label : "(null)");
    }
    uint8_t out[11];
    EXPECT_TRUE(VolumeLabelBytes(std::u16string_view(u"\u00e9t\u00e9 \u65e5"), out));
    EXPECT_EQ(Bytes11(out), "\x90T\x90 _      ");
    EXPECT_FALSE(VolumeLabelBytes(std::u16string_view(u""), out));
    EXPECT_EQ(Bytes11(out), "NO NAME    ");
}

// ---- The cluster stream of one directory ------------------------------------------------

TEST(DirectoryWriterStream, OneWritePerClusterAndEmptyClustersZeroed) {
    MemoryFat fat(512, 16);
    {
        DirectoryWriter w(&fat, 4);
        std::string entries;
        for (int i = 0; i < 20; ++i) entries += std::string(32, static_cast<char>('A' + i));
        w.Append(entries.data(), 16 * 32);  // exactly one cluster: written by the next append
        EXPECT_TRUE(fat.writes.empty());
        w.Append(entries.data() + 16 * 32, 4 * 32);
        ASSERT_EQ(fat.writes.size(), 1u);
        w.Finish();
        ASSERT_EQ(fat.writes.size(), 4u);  // the part-filled cluster, two empty ones
        for (const auto& [cluster, count] : fat.writes) EXPECT_EQ(count, 1u);
        EXPECT_EQ(fat.Chain(w.FirstCluster()), entries + std::string(4 * 512 - entries.size(), '\0'));
    }
    {
        DirectoryWriter w(&fat, 1);
        std::string big(513, 'x');
        w.Append(big.data(), 513);
        EXPECT_THROW(w.Finish(), SimpleException) << "more bytes than the chain holds";
    }
}

// ---- Trees from real NTFS images --------------------------------------------------------

// The reader opened on an image.
struct OpenedNtfs {
    explicit OpenedNtfs(const std::string& image) {
        int error = 0;
        handle = platform::OpenVolume(image, platform::VolumeAccess::Shared, &error);
        EXPECT_NE(handle, platform::kInvalidVolume) << error;
        device = std::make_unique<CVolumeDevice>(handle);
        volume = std::make_unique<CNTFSVolume>(device.get());
        EXPECT_TRUE(volume->IsVolumeOK());
    }
    ~OpenedNtfs() {
        volume.reset();
        device.reset();
        platform::CloseVolume(handle);
    }
    platform::VolumeHandle handle = platform::kInvalidVolume;
    std::unique_ptr<CVolumeDevice> device;
    std::unique_ptr<CNTFSVolume> volume;
};

// A tree of records loaded straight from the directory indexes (every name the FAT side
// will see: records from 16, no DOS-only keys), freed with the test.
class LoadedTree {
public:
    explicit LoadedTree(CNTFSVolume* volume) : volume_(volume) {
        root = NewItem(5, 0x707);
        Load(root);
    }
    ~LoadedTree() {
        for (FILE_ITEM* item : all_) delete item;
    }
    // The item of a path below the root ("a/b/c").
    FILE_ITEM* Find(const std::u16string& path) const {
        FILE_ITEM* dir = root;
        size_t from = 0;
        while (dir != nullptr) {
            const size_t slash = path.find(u'/', from);
            const std::u16string part = path.substr(from, slash == std::u16string::npos ? slash : slash - from);
            FILE_ITEM* found = nullptr;
            for (FILE_ITEM* c = dir->FirstChild; c != nullptr; c = c->NextSibling) {
                if (NameOf(c) == part) found = c;
            }
            if (slash == std::u16string::npos || found == nullptr) return found;
            dir = found;
            from = slash + 1;
        }
        return nullptr;
    }
    static std::u16string NameOf(FILE_ITEM* item) {
        const ENTRY_NAMES n = NameSourcesOf(item->FileRecord.get());
        return n.LongSource != nullptr ? n.LongSource->Name() : n.ShortSource->Name();
    }
    FILE_ITEM* root = nullptr;

private:
    FILE_ITEM* NewItem(uint64_t record, uint32_t mask) {
        auto* item = new FILE_ITEM;
        all_.push_back(item);
        item->FileRecord = std::make_unique<CFileRecord>(volume_);
        EXPECT_TRUE(item->FileRecord->LoadRecord(record)) << record;
        item->FileRecord->TypeMask = mask;
        EXPECT_TRUE(item->FileRecord->BuildAttributes()) << record;
        return item;
    }
    void Load(FILE_ITEM* dir) {
        std::vector<uint64_t> records;
        EnumerateDirectory(dir->FileRecord.get(), [&](CSList<CIndexEntry>* entries) {
            for (CIndexEntry* e = entries->First(); e != nullptr; e = entries->Next()) {
                if (e->IsLast() || e->NameValue == nullptr || e->NameChars == 0) continue;
                if (e->RecordNumber() < 16 || e->NameSpace() == kNamespaceDos) continue;
                records.push_back(e->RecordNumber());
            }
            return true;
        });
        FILE_ITEM* last = nullptr;
        for (uint64_t r : records) {
            FILE_ITEM* item = NewItem(r, 0x787);
            (last != nullptr ? last->NextSibling : dir->FirstChild) = item;
            last = item;
            if (item->FileRecord->RecordFlags() & kRecordDirectory) Load(item);
        }
    }
    CNTFSVolume* volume_;
    std::vector<FILE_ITEM*> all_;
};

TEST(WriteDirectoryTree, EmptyRootAndEmptySubdirectory) {
    OpenedNtfs ntfs(testsupport::FixtureImage("c4096"));
    LoadedTree tree(ntfs.volume.get());
    MemoryFat fat(4096, 1000);

    // A root without a label and without files: one cluster of zeros.
    FILE_ITEM bare;
    bare.FileRecord = std::move(tree.root->FileRecord);
    const uint32_t root = WriteDirectory(&bare, &fat, nullptr, nullptr, nullptr);
    tree.root->FileRecord = std::move(bare.FileRecord);
    EXPECT_EQ(root, 2u);
    EXPECT_EQ(fat.Chain(root), std::string(4096, '\0'));
    EXPECT_EQ(fat.writes.size(), 1u);

    // An empty subdirectory: one cluster, dot, dot-dot, zeros.
    FILE_ITEM* empty = tree.Find(u"emptydir");
    ASSERT_NE(empty, nullptr);
    const uint32_t first = WriteDirectory(empty->FirstChild, &fat, empty->FileRecord.get(),
                                          tree.root->FileRecord.get(), nullptr);
    const std::string bytes = fat.Chain(first);
    ASSERT_EQ(bytes.size(), 4096u);
    const std::vector<ReadEntry> read = ParseDirectory(bytes);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].shortName(), ".          ");
    EXPECT_EQ(read[1].shortName(), "..         ");
    EXPECT_EQ(read[0].firstCluster(), first);
    EXPECT_EQ(read[1].firstCluster(), 0u);
    EXPECT_EQ(read[0].entry.Attributes & kFatAttrDirectory, kFatAttrDirectory);
    EXPECT_EQ(read[0].entry.CaseFlags, 0);
    EXPECT_EQ(bytes.substr(64), std::string(4096 - 64, '\0'));
}

TEST(WriteDirectoryTree, WholeTreeInMemory) {
    OpenedNtfs ntfs(testsupport::FixtureImage("c4096"));
    LoadedTree tree(ntfs.volume.get());
    MemoryFat fat(4096, 4000);

    const uint64_t residentEstimate = ResidentDataClusters(tree.root, 4096);
    const uint64_t directoryEstimate = DirectoryClusters(tree.root, 4096, true);
    WriteResidentData(tree.root, &fat);
    EXPECT_EQ(fat.Allocated(), residentEstimate);
    const uint32_t before = fat.Allocated();
    const uint32_t root = WriteDirectory(tree.root, &fat, nullptr, nullptr, "Velundra");
    EXPECT_LE(fat.Allocated() - before, directoryEstimate);

    // The root: the label first, then one entry per child, in the tree's order.
    const std::vector<ReadEntry> top = ParseDirectory(fat.Chain(root));
    ASSERT_FALSE(top.empty());
    EXPECT_EQ(top[0].shortName(), "VELUNDRA   ");
    EXPECT_EQ(top[0].entry.Attributes, kFatAttrVolumeId);
    EXPECT_NE(top[0].entry.WriteDate, 0);
    std::vector<std::u16string> expected;
    for (FILE_ITEM* c = tree.root->FirstChild; c != nullptr; c = c->NextSibling) {
        expected.push_back(LoadedTree::NameOf(c));
    }
    ASSERT_EQ(top.size(), expected.size() + 1);
    std::set<std::string> shorts;
    for (size_t i = 1; i < top.size(); ++i) {
        EXPECT_EQ(top[i].longName.empty() ? platform::Cp437ToUtf16(top[i].shortName()) : top[i].longName,
                  expected[i - 1]);
        EXPECT_TRUE(IsLegalShortName(top[i].shortName())) << top[i].shortName();
        EXPECT_TRUE(shorts.insert(top[i].shortName()).second);
    }

    // Resident data: an empty file has no cluster; a small one its bytes, then zeros.
    auto entryOf = [&](const std::vector<ReadEntry>& dir, const std::u16string& name) -> const ReadEntry* {
        for (const ReadEntry& r : dir)
            if (r.longName == name) return &r;
        return nullptr;
    };
    const ReadEntry* empty = entryOf(top, u"empty.txt");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->firstCluster(), 0u);
    EXPECT_EQ(empty->entry.FileSize, 0u);
    const ReadEntry* tiny = entryOf(top, u"tiny.txt");
    ASSERT_NE(tiny, nullptr);
    ASSERT_EQ(tiny->entry.FileSize, 14u);
    const std::string tinyBytes = fat.Cluster(tiny->firstCluster());
    EXPECT_EQ(tinyBytes.substr(0, 14), "hello, volume\n");
    EXPECT_EQ(tinyBytes.substr(14), std::string(4096 - 14, '\0'));

    // Subdirectories: a/b's dot-dot holds a's first cluster, a's holds 0 (the root).
    const ReadEntry* a = entryOf(top, u"a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->entry.Attributes & kFatAttrDirectory, kFatAttrDirectory);
    EXPECT_EQ(a->entry.FileSize, 0u);
    const std::vector<ReadEntry> inA = ParseDirectory(fat.Chain(a->firstCluster()));
    ASSERT_GE(inA.size(), 3u);
    EXPECT_EQ(inA[0].firstCluster(), a->firstCluster());
    EXPECT_EQ(inA[1].firstCluster(), 0u);
    const ReadEntry* b = entryOf(inA, u"b");
    ASSERT_NE(b, nullptr);
    const std::vector<ReadEntry> inB = ParseDirectory(fat.Chain(b->firstCluster()));
    ASSERT_GE(inB.size(), 2u);
    EXPECT_EQ(inB[0].firstCluster(), b->firstCluster());
    EXPECT_EQ(inB[1].firstCluster(), a->firstCluster());

    // A non-resident file starts at the FAT cluster of its first run; its size is its length.
    FILE_ITEM* bigItem = tree.Find(u"data/size_1048576.bin");
    ASSERT_NE(bigItem, nullptr);
    auto* big = dynamic_cast<CAttrNonResident*>(bigItem->FileRecord->FirstUnnamedData());
    ASSERT_NE(big, nullptr);
    const ReadEntry* data = entryOf(top, u"data");
    ASSERT_NE(data, nullptr);
    const std::vector<ReadEntry> inData = ParseDirectory(fat.Chain(data->firstCluster()));
    const ReadEntry* bigEntry = entryOf(inData, u"size_1048576.bin");
    ASSERT_NE(bigEntry, nullptr);
    EXPECT_EQ(bigEntry->firstCluster(), static_cast<uint32_t>(fat.ClusterOfLcn(big->Runs.First()->Lcn)));
    EXPECT_EQ(bigEntry->entry.FileSize, 1048576u);
}

TEST(WriteDirectoryTree, ResidentDataEndsInZerosWhateverTheBufferHeldBefore) {
    // Every other cluster is handed out, so each file's cluster is a write of its own and
    // takes the place in the write buffer where the file before it was.
    struct GappedFat : MemoryFat {
        using MemoryFat::MemoryFat;
        void AllocChain(uint32_t count, uint32_t* clusters) override {
            uint32_t gap = 0;
            MemoryFat::AllocChain(1, &gap);
            MemoryFat::AllocChain(count, clusters);
        }
    };
    std::vector<crafted::FileSpec> files;
    const size_t sizes[] = {600, 200, 1, 450};
    for (size_t i = 0; i < std::size(sizes); ++i) {
        crafted::FileSpec f;
        f.name = std::u16string(u"FILE") + static_cast<char16_t>(u'A' + i) + u".TXT";
        f.record = 16 + i;
        f.resident = std::string(sizes[i], static_cast<char>('a' + i));
        f.dataSize = sizes[i];
        files.push_back(f);
    }
    crafted::FileVolume volume(crafted::Geometry{}, files);
    GappedFat fat(4096, 100);
    WriteResidentData(volume.Root(), &fat);
    ASSERT_EQ(fat.writes.size(), std::size(sizes));
    for (size_t i = 0; i < std::size(sizes); ++i) {
        auto* data = static_cast<CAttrResident*>(volume.Item(i)->FileRecord->FirstUnnamedData());
        ASSERT_FALSE(data->IsNonResident());
        EXPECT_EQ(fat.Cluster(data->FirstDataCluster), files[i].resident + std::string(4096 - sizes[i], '\0')) << i;
    }
}

TEST(WriteDirectoryTree, DeepChainOfDirectories) {
    // Written from an explicit stack: every level's dot-dot entry holds its parent's cluster.
    OpenedNtfs ntfs(testsupport::FixtureImage("c4096"));
    LoadedTree tree(ntfs.volume.get());
    FILE_ITEM* emptydir = tree.Find(u"emptydir");
    ASSERT_NE(emptydir, nullptr);
    const uint64_t record = emptydir->FileRecord->RecordNumber;
    constexpr int kDepth = 400;
    std::vector<std::unique_ptr<FILE_ITEM>> chain;
    FILE_ITEM root;
    root.FileRecord = std::move(tree.root->FileRecord);
    FILE_ITEM* parent = &root;
    for (int i = 0; i < kDepth; ++i) {
        chain.push_back(std::make_unique<FILE_ITEM>());
        chain.back()->FileRecord = std::make_unique<CFileRecord>(ntfs.volume.get());
        ASSERT_TRUE(chain.back()->FileRecord->LoadRecord(record));
        chain.back()->FileRecord->TypeMask = 0x787;
        ASSERT_TRUE(chain.back()->FileRecord->BuildAttributes());
        parent->FirstChild = chain.back().get();
        parent = chain.back().get();
    }
    MemoryFat fat(512, 2000);
    EXPECT_EQ(DirectoryClusters(&root, 512, true), kDepth + 1u);
    EXPECT_EQ(LargestDirectoryEntries(&root), 5u);  // dot, dot-dot, one group of two, end
    const uint32_t first = WriteDirectory(&root, &fat, nullptr, nullptr, nullptr);
    EXPECT_EQ(first, 2u);
    EXPECT_EQ(fat.Allocated(), kDepth + 1u);
    uint32_t dirCluster = first;
    uint32_t parentCluster = 0;
    for (int level = 0; level <= kDepth; ++level) {
        const std::vector<ReadEntry> read = ParseDirectory(fat.Chain(dirCluster));
        const size_t at = level == 0 ? 0 : 2;
        if (level > 0) {
            ASSERT_GE(read.size(), 2u);
            EXPECT_EQ(read[0].firstCluster(), dirCluster) << level;
            EXPECT_EQ(read[1].firstCluster(), level == 1 ? 0 : parentCluster) << level;
        }
        if (level == kDepth) {
            EXPECT_EQ(read.size(), 2u);
            break;
        }
        ASSERT_EQ(read.size(), at + 1) << level;
        EXPECT_EQ(read[at].longName, u"emptydir");
        parentCluster = dirCluster;
        dirCluster = read[at].firstCluster();
    }
    tree.root->FileRecord = std::move(root.FileRecord);
}

// ---- Onto a FAT32 volume ----------------------------------------------------------------

// Links each non-resident file's clusters where they lie, as the same-cluster conversion
// does before the directories are written.
void ChainFilesInPlace(FILE_ITEM* items, NFat* fat) {
    for (FILE_ITEM* item = items; item != nullptr; item = item->NextSibling) {
        ChainFilesInPlace(item->FirstChild, fat);
        auto* data = dynamic_cast<CAttrNonResident*>(item->FileRecord->FirstUnnamedData());
        if (data == nullptr || item->FileRecord->RecordFlags() & kRecordDirectory) continue;
        const uint64_t needed = (data->DataLength() + fat->FatClusterBytes() - 1) / fat->FatClusterBytes();
        uint32_t previous = 0;
        uint64_t linked = 0;
        for (tagDataRun_Entry* r = data->Runs.First(); r != nullptr && linked < needed; r = data->Runs.Next()) {
            for (uint64_t k = 0; k < r->ClusterCount && linked < needed; ++k, ++linked) {
                const int32_t c = fat->ClusterOfLcn(static_cast<uint64_t>(r->Lcn) + k);
                ASSERT_GT(c, 2) << "file data under the FAT area";
                ASSERT_EQ(fat->Entries[c], 0u);
                if (previous != 0) fat->Entries[previous] = static_cast<uint32_t>(c);
                fat->Entries[c] = kFat32EndOfChain;
                previous = static_cast<uint32_t>(c);
            }
        }
    }
}

void ConvertCopy(const std::string& recipe, const char* label, const std::string& image) {
    testsupport::CopyFixture(recipe, image);
    OpenedNtfs ntfs(image);
    LoadedTree tree(ntfs.volume.get());
    const uint64_t sectors = ntfs.device->SectorCount();
    const uint32_t sectorsPerCluster = ntfs.volume->ClusterBytes / 512;
    FAT32_BOOT_SECTOR boot;
    ASSERT_TRUE(BuildFat32BootSector(sectorsPerCluster, &boot, static_cast<uint32_t>(sectors), 63, 255, 512, 0));
    VolumeLabelBytes(label, reinterpret_cast<uint8_t*>(boot.VolumeLabel));
    NFat fat(boot, ntfs.device.get());
    ChainFilesInPlace(tree.root->FirstChild, &fat);
    if (::testing::Test::HasFatalFailure()) return;
    // Cluster 2 is kept for the root while resident data takes its clusters.
    ASSERT_EQ(fat.Entries[2], 0u);
    fat.Entries[2] = kFat32EndOfChain;
    WriteResidentData(tree.root, &fat);
    fat.Entries[2] = 0;
    fat.SearchHint = 2;
    ASSERT_EQ(WriteDirectory(tree.root, &fat, nullptr, nullptr, label), boot.RootCluster);
    ASSERT_TRUE(fat.FlushFat());
    ASSERT_TRUE(fat.FlushBootSector());
}

// The Sleuth Kit drops the first long-name entry (the name's last 13-unit chunk) of a name of
// 16 entries or more, on volumes made by mtools too; the builder's own long names are checked
// whole by ParseDirectory above. Paths of an NTFS listing, cut the same way.
testsupport::Tree AsSleuthKitReadsFat(const testsupport::Tree& tree) {
    testsupport::Tree out;
    for (const auto& [path, entry] : tree) {
        std::string cut;
        size_t from = 0;
        while (from <= path.size()) {
            size_t slash = path.find('/', from);
            if (slash == std::string::npos) slash = path.size();
            std::u16string part = platform::Utf8ToUtf16(path.substr(from, slash - from));
            const size_t entries = (part.size() + 12) / 13;
            if (entries >= 16) part.resize((entries - 1) * 13);
            if (from != 0) cut.push_back('/');
            cut.append(platform::Utf16ToUtf8(part));
            from = slash + 1;
        }
        testsupport::TreeEntry e = entry;
        e.path = cut;
        out[cut] = e;
    }
    return out;
}

TEST(WriteDirectoryTree, FsckAndSleuthKitReadTheConvertedNames) {
    for (const char* recipe : {"c4096", "names", "bigdir"}) {
        SCOPED_TRACE(recipe);
        testsupport::TempDir dir("dirwriter");
        const std::string image = dir.File("v.img");
        const testsupport::Tree ntfsBefore = testsupport::NtfsTree(testsupport::FixtureImage(recipe));
        ConvertCopy(recipe, "Velundra", image);
        if (HasFatalFailure()) return;

        // The fixtures are small: fsck.fat warns about the cluster count of the layout, which
        // is not what is judged here. Nothing else may appear.
        const testsupport::FsckResult fsck = testsupport::FsckSmallFat(image);
        EXPECT_EQ(fsck.exitCode, 0) << fsck.output;
        EXPECT_TRUE(fsck.findings.empty()) << fsck.output;

        // Every name and size comes back, nothing else.
        const testsupport::Tree after = testsupport::FatTree(image);
        const testsupport::Tree before = AsSleuthKitReadsFat(ntfsBefore);
        for (const auto& [path, entry] : before) {
            auto it = after.find(path);
            if (it == after.end()) {
                ADD_FAILURE() << "missing: " << path;
                continue;
            }
            EXPECT_EQ(it->second.isDir, entry.isDir) << path;
            EXPECT_EQ(it->second.size, entry.size) << path;
        }
        for (const auto& [path, entry] : after) {
            EXPECT_TRUE(before.count(path)) << "extra: " << path;
        }

        // The label in the boot sector, its backup and the root's label entry agree.
        const std::string bytes = testsupport::ReadFileBytes(image);
        EXPECT_EQ(bytes.substr(0x47, 11), "VELUNDRA   ");
        EXPECT_EQ(bytes.substr(6 * 512 + 0x47, 11), "VELUNDRA   ");
        const testsupport::CommandResult fls = testsupport::RunCommand({"fls", "-f", "fat32", image});
        EXPECT_NE(fls.out.find("VELUNDRA    (Volume Label Entry)"), std::string::npos) << fls.out;
    }
}

}  // namespace
