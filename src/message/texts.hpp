// The texts of the message layer's own failures, in one place.
#pragma once

namespace norvane::message_texts {

// A codec value outside the enumeration (cannot come from a name).
inline constexpr const char* kUnknownCodec = "unknown codec";
// What a field of each type is expected to be, in "invalid type" and
// "invalid value" texts.
inline constexpr const char* kExpectedU64 = "u64";
inline constexpr const char* kExpectedText = "a string";
inline constexpr const char* kExpectedList = "a sequence";
// Asking for the fields or the typed form of an unknown message.
inline constexpr const char* kUnknownHasNoFields =
    "internal error: entered unreachable code: unknown messages serialize through their raw value";

}  // namespace norvane::message_texts
