#include "crashreport/ReportArchive.h"

#include <sys/stat.h>
#include <zip.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string_view>

#include "platform/LocalTime.h"
#include "platform/TextEncoding.h"

namespace {

// The extended time-stamp extra field (Info-ZIP "UT"): a flags byte, then the 32-bit Unix
// times its flags announce, little-endian. Only the modification time is written, in the local
// and the central header alike.
constexpr zip_uint16_t kExtendedTimestampId = 0x5455;
constexpr uint8_t kExtendedTimestampHasMtime = 0x01;

// Extensions of already compressed formats: deflating them again gains nothing.
constexpr std::array<std::string_view, 8> kStoredExtensions = {".Z",   ".zip", ".zoo", ".arc",
                                                                ".lzh", ".arj", ".gz",  ".tgz"};

bool EndsWithIgnoringCase(std::string_view name, std::string_view suffix) {
    if (name.size() < suffix.size()) return false;
    name.remove_prefix(name.size() - suffix.size());
    for (size_t i = 0; i < suffix.size(); ++i) {
        const unsigned char a = static_cast<unsigned char>(name[i]);
        const unsigned char b = static_cast<unsigned char>(suffix[i]);
        if (std::tolower(a) != std::tolower(b)) return false;
    }
    return true;
}

bool IsStored(std::string_view name) {
    for (std::string_view ext : kStoredExtensions)
        if (EndsWithIgnoringCase(name, ext)) return true;
    return false;
}

std::string FileNameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

struct SourceFree {
    void operator()(zip_source_t* s) const { zip_source_free(s); }
};

// An archive being written; dropped unwritten unless Close succeeds.
struct ArchiveDiscard {
    void operator()(zip_t* z) const { zip_discard(z); }
};
using Archive = std::unique_ptr<zip_t, ArchiveDiscard>;

std::string ZipError(zip_t* archive) { return zip_strerror(archive); }

}  // namespace

std::string ReportApplicationName(const std::string& executablePath) {
    std::string name = FileNameOf(executablePath);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.resize(dot);
    return name;
}

std::string ReportArchivePath(const std::string& executablePath) {
    const size_t slash = executablePath.rfind('/');
    const std::string directory = slash == std::string::npos ? std::string() : executablePath.substr(0, slash + 1);
    return directory + ReportApplicationName(executablePath) + ".zip";
}

ReportArchiveResult BuildReportArchive(const std::vector<ReportEntry>& entries,
                                       const std::string& archivePath) {
    ReportArchiveResult result;
    Archive archive;
    auto fail = [&](std::string error) {
        result.FilesAdded = 0;
        result.Written = false;
        result.Error = std::move(error);
        return result;
    };

    for (const ReportEntry& entry : entries) {
        if (!entry.Send) continue;
        // 1. Open the file now: an open file stays readable until the archive is written,
        //    even if it is removed meanwhile. A file that is gone is skipped.
        const std::string path = platform::Utf16ToUtf8(entry.FullPath);
        std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
        if (!file) continue;
        struct stat st {};
        if (fstat(fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode)) continue;

        // 2. The archive is created with the first file, replacing an older one.
        if (!archive) {
            int error = 0;
            archive.reset(zip_open(archivePath.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error));
            if (!archive) {
                zip_error_t ze;
                zip_error_init_with_code(&ze, error);
                std::string text = "cannot create " + archivePath + ": " + zip_error_strerror(&ze);
                zip_error_fini(&ze);
                return fail(text);
            }
        }

        // 3. The entry, under the file's name without directory; the source takes the file.
        const std::string name = FileNameOf(path);
        std::unique_ptr<zip_source_t, SourceFree> source(zip_source_filep(archive.get(), file.get(), 0, -1));
        if (!source) return fail(name + ": " + ZipError(archive.get()));
        file.release();
        const zip_int64_t index = zip_file_add(archive.get(), name.c_str(), source.get(), ZIP_FL_ENC_UTF_8);
        if (index < 0) return fail(name + ": " + ZipError(archive.get()));
        source.release();  // the archive owns it now
        const auto i = static_cast<zip_uint64_t>(index);

        // 4. Method, time and the time-stamp field.
        const zip_int32_t method = IsStored(name) ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
        // The file's time as the archive keeps it: local years before 1970 become 1970-01-01,
        // years after 2037 become 2037-12-31, so that it fits the extra field's signed 32 bits.
        const auto mtime = static_cast<time_t>(platform::ClampUnixTimeToLocalYears(st.st_mtime, 1970, 2037));
        const auto unixTime = static_cast<uint32_t>(static_cast<int32_t>(mtime));
        const zip_uint8_t field[5] = {kExtendedTimestampHasMtime, static_cast<zip_uint8_t>(unixTime),
                                      static_cast<zip_uint8_t>(unixTime >> 8),
                                      static_cast<zip_uint8_t>(unixTime >> 16),
                                      static_cast<zip_uint8_t>(unixTime >> 24)};
        if (zip_set_file_compression(archive.get(), i, method, 0) != 0 ||
            zip_file_set_mtime(archive.get(), i, mtime, 0) != 0 ||
            zip_file_extra_field_set(archive.get(), i, kExtendedTimestampId, ZIP_EXTRA_FIELD_NEW, field,
                                     sizeof field, ZIP_FL_LOCAL | ZIP_FL_CENTRAL) != 0)
            return fail(name + ": " + ZipError(archive.get()));
        ++result.FilesAdded;
    }

    // 5. Compress and write; the archive replaces its path only when complete.
    if (archive) {
        if (zip_close(archive.get()) != 0) return fail(archivePath + ": " + ZipError(archive.get()));
        archive.release();  // zip_close freed it
    }
    return result;
}
