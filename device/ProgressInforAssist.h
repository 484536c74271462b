// Progress reporting and the conversion's one exception.
//
// Progress flows one way: the engine calls an IProgressInfor that a front end implements.
// ProgressInforAssist lets each phase report its own 0..1 while the user sees one bar over
// the whole conversion. Failure flows the other way: every condition that ends a conversion
// is thrown as a SimpleException and caught once by the front end.
//
// Threads: all of this is used on the conversion thread only; nothing here locks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// Receiver of progress reports, implemented by the front ends.
class IProgressInfor {
public:
    virtual ~IProgressInfor() = default;
    // New position of the bar: 0 = empty, 1 = full.
    virtual void SetProgress(float position) = 0;
    // New status line (UTF-16; null is taken as empty).
    virtual void SetStatusText(const char16_t* text) = 0;
};

// Maps the current phase's 0..1 onto [Reached, Reached + Span] of the parent's bar.
class ProgressInforAssist : public IProgressInfor {
public:
    explicit ProgressInforAssist(IProgressInfor* parent = nullptr) : Parent(parent) {}

    // Forwards Reached + f * Span when f <= 1; values above 1 and NaN are dropped.
    void SetProgress(float f) override;
    // Forwards the text unchanged.
    void SetStatusText(const char16_t* text) override;

    float Span = 0.0f;                 // width of the current phase on the parent's bar
    float Reached = 0.0f;              // where the current phase starts; last milestone
    IProgressInfor* Parent = nullptr;  // not owned; may be null (reports vanish)
};

// Moves the bar to a milestone and shows its text, but only when the milestone lies ahead
// of assist->Reached: bar first, then text, then Reached = position.
void AdvanceTo(ProgressInforAssist* assist, float position, const char16_t* text);

// The one exception of a conversion. Kind 1: Message is shown to the user unchanged.
// Kind 4: a failed system call; Message names it and ErrorCode holds its error code.
class SimpleException {
public:
    SimpleException() = default;
    // Kind-1 style: a message and a kind. A null text gives an empty message.
    SimpleException(const char16_t* message, int32_t kind);
    SimpleException(const std::u16string& message, int32_t kind);
    // Kind 4: the name of the failed call and its error code.
    SimpleException(const char16_t* callName, int32_t kind, int32_t errorCode);
    virtual ~SimpleException() = default;

    SimpleException(const SimpleException&) = default;
    SimpleException& operator=(const SimpleException&) = default;

    const std::u16string& Text() const;  // the message (empty when none)

    int32_t Kind = 0;
    std::shared_ptr<const std::u16string> Message;  // shared between copies
    int32_t ErrorCode = 0;
};
