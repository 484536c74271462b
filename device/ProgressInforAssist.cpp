#include "device/ProgressInforAssist.h"

void ProgressInforAssist::SetProgress(float f) {
    // "!(f <= 1)" also drops NaN, which compares false with everything.
    if (!(f <= 1.0f) || Parent == nullptr) return;
    Parent->SetProgress(Reached + f * Span);
}

void ProgressInforAssist::SetStatusText(const char16_t* text) {
    if (Parent != nullptr) Parent->SetStatusText(text);
}

void AdvanceTo(ProgressInforAssist* assist, float position, const char16_t* text) {
    if (assist == nullptr || !(assist->Reached < position)) return;
    if (assist->Parent != nullptr) {
        assist->Parent->SetProgress(position);
        assist->Parent->SetStatusText(text);
    }
    assist->Reached = position;
}

SimpleException::SimpleException(const char16_t* message, int32_t kind)
    : Kind(kind), Message(std::make_shared<const std::u16string>(message ? message : u"")) {}

SimpleException::SimpleException(const std::u16string& message, int32_t kind)
    : Kind(kind), Message(std::make_shared<const std::u16string>(message)) {}

SimpleException::SimpleException(const char16_t* callName, int32_t kind, int32_t errorCode)
    : Kind(kind),
      Message(std::make_shared<const std::u16string>(callName ? callName : u"")),
      ErrorCode(errorCode) {}

const std::u16string& SimpleException::Text() const {
    static const std::u16string empty;
    return Message ? *Message : empty;
}
