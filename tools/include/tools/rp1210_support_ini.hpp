#pragma once
// The list of installed RP1210 implementations in RP121032.INI: the names in
// [RP1210Support] APIImplementations=, separated by commas. Every RP1210 application finds
// its adapters through that one line, so an edit changes that line only and keeps every
// other byte of the file: the other makers' names and their order, other keys and
// sections, comments, blank lines and the file's line ends.

#include <string>
#include <string_view>
#include <vector>

namespace tools::rp1210_ini {

struct EditResult {
    std::string text;      // the whole file after the edit
    bool changed = false;  // false: text is the input unchanged
};

// The names listed, trimmed, in file order (empty names left out).
std::vector<std::string> implementations(std::string_view text);

// Adds `name` at the end of the list unless it is there already (names compare without
// regard to case). Creates the key after the section's header, or the section at the end of
// the file, when missing; an empty text becomes a new file.
EditResult add_implementation(std::string_view text, std::string_view name);

// Removes every entry equal to `name`; the other entries keep their text and order.
EditResult remove_implementation(std::string_view text, std::string_view name);

// A name that may stand in the list: a file base name without separators, spaces or the
// characters that INI syntax gives a meaning.
bool valid_implementation_name(std::string_view name);

}  // namespace tools::rp1210_ini
