// Change marks of the bus registry: the file "marks" in the runtime folder holds a 64-bit mark per
// low word (at 8 x low), set to a fresh random value after every change of that word's entry (a
// window registered, retitled, naming other messages, gone, or cleaned up after its dead owner).
//
// A reader reads a word's mark before it reads the entry. While the mark stays the same, the
// entry it read is still the entry there, so a broadcast passes by a window that does not take
// its message without opening its entry again. Marks are random rather than counted, so writers
// need no lock and a slow writer can never bring back a value that a reader remembers. Mark 0
// means "not known" and is never trusted; a missing or unreadable file only costs reading the
// entries again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::detail {

// Sets a fresh mark for the entry at `entryPath` ("<runtime folder>/w<low word in hex>"), after
// the entry has changed.
void raiseMark(const std::string& entryPath);

// The marks of `lows` (in ascending order) in the runtime folder `dir`, read a page of the file
// at a time: 0 for a word whose mark is not known.
std::vector<std::uint64_t> readMarks(const std::string& dir,
                                     const std::vector<std::uint16_t>& lows);

}  // namespace platform::detail
