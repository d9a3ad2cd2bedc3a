#pragma once

#include <cstdint>
#include <vector>

namespace tarvel_fuzz {

// Restores `input` into a session of every catalogue model that already holds state, under the
// small fuzzing limits, and aborts unless the restore keeps its promises:
// - a refusal is a std::invalid_argument with a documented message and leaves the session
//   saving to exactly its bytes from before;
// - after a success, the saved snapshot restores into a fresh session that saves identically,
//   and a following one-token step either succeeds, is refused with TransformerKvError, or
//   (for finite cache values large enough to overflow) fails its value check with
//   std::domain_error; alike on both sessions, a failure leaving the session unchanged.
void checkRestore(const std::vector<std::uint8_t>& input);

}  // namespace tarvel_fuzz
