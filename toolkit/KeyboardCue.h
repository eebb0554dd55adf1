#pragma once

// What the keyboard-cue fix needs of its host beyond Toolkit.h: a window seen
// as its control tree plus its message queue, and a way to make its own timer.

#include "toolkit/Toolkit.h"

#include <cstdint>
#include <memory>

namespace korvalis {

// Key-down notifications carry the desktop's virtual-key codes, whatever the
// toolkit's own key numbers are. 0 means a key without a code.
namespace vk {
inline constexpr uint16_t None = 0;
inline constexpr uint16_t Back = 8;
inline constexpr uint16_t Tab = 9;
inline constexpr uint16_t Clear = 12;
inline constexpr uint16_t Return = 13;
inline constexpr uint16_t Shift = 16;
inline constexpr uint16_t Control = 17;
inline constexpr uint16_t Alt = 18; // "menu" key in the desktop's own naming
inline constexpr uint16_t Pause = 19;
inline constexpr uint16_t Capital = 20;
inline constexpr uint16_t Escape = 27;
inline constexpr uint16_t Space = 32;
inline constexpr uint16_t Prior = 33;
inline constexpr uint16_t Next = 34;
inline constexpr uint16_t End = 35;
inline constexpr uint16_t Home = 36;
inline constexpr uint16_t Left = 37;
inline constexpr uint16_t Up = 38;
inline constexpr uint16_t Right = 39;
inline constexpr uint16_t Down = 40;
inline constexpr uint16_t Print = 42;
inline constexpr uint16_t Snapshot = 44;
inline constexpr uint16_t Insert = 45;
inline constexpr uint16_t Delete = 46;
inline constexpr uint16_t Help = 47;
inline constexpr uint16_t Digit0 = 0x30;  // '0'..'9' follow
inline constexpr uint16_t LetterA = 0x41; // 'A'..'Z' follow
inline constexpr uint16_t LWin = 0x5B;
inline constexpr uint16_t Apps = 0x5D;
inline constexpr uint16_t Numpad0 = 0x60; // numpad 0..9 follow
inline constexpr uint16_t Multiply = 0x6A;
inline constexpr uint16_t Add = 0x6B;
inline constexpr uint16_t Subtract = 0x6D;
inline constexpr uint16_t Decimal = 0x6E;
inline constexpr uint16_t Divide = 0x6F;
inline constexpr uint16_t F1 = 0x70; // F1..F24 follow
inline constexpr uint16_t NumLock = 0x90;
inline constexpr uint16_t Scroll = 0x91;
} // namespace vk

// Makes one-shot timers for components that own one. A new timer is disabled.
class ITimerFactory {
  public:
    virtual ~ITimerFactory() = default;
    virtual std::unique_ptr<IOneShotTimer> CreateTimer() = 0;
};

// A top-level window: the root of its control walk and the queue of its
// private messages.
class IFormWindow {
  public:
    virtual ~IFormWindow() = default;
    virtual IControl& FormControl() = 0;
    virtual IMessagePoster& FormMessages() = 0;
};

} // namespace korvalis
