// The texts of the store's own failures, in one place.
#pragma once

namespace norvane::store_texts {

// Filled with the revision and the model id.
inline constexpr const char* kRevisionExhausted[] = {"revision ", " of model ", " cannot be raised"};

}  // namespace norvane::store_texts
