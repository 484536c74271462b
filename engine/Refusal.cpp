#include "engine/Refusal.h"

#include <cstdarg>

#include "device/Log.h"
#include "device/LogFormat.h"
#include "device/ProgressInforAssist.h"

namespace {

[[noreturn]] void LogAndThrow(const std::u16string& text) {
    LogErrorW(u"%s", text.c_str());
    throw SimpleException(text, 1);
}

}  // namespace

void ThrowRefusal(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::u16string text = FormatTextW(kRefusalTextLimit, format, args);
    va_end(args);
    LogAndThrow(text);
}

void ThrowDamaged(const char16_t* format, ...) {
    const std::u16string advice = kCheckVolumeAdvice;
    va_list args;
    va_start(args, format);
    std::u16string text = FormatTextW(kRefusalTextLimit - advice.size(), format, args);
    va_end(args);
    LogAndThrow(text + advice);
}

std::u16string DisplayPath(std::u16string_view path) {
    std::u16string shown;
    size_t from = 0;
    if (path.size() > kDisplayPathLimit) {
        shown = u"...";
        from = path.size() - (kDisplayPathLimit - shown.size());
        // Never start on the second half of a surrogate pair.
        if (path[from] >= 0xDC00 && path[from] <= 0xDFFF) ++from;
    }
    shown.reserve(shown.size() + path.size() - from);
    for (size_t i = from; i < path.size(); ++i) {
        shown.push_back(path[i] < 0x20 ? u'\uFFFD' : path[i]);
    }
    return shown;
}
