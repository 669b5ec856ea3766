// Room src/local/: the local side: entry names as local names and back, the
// local tree as x writes it and u, r, m and i read it, which entry a local
// name means, and extraction. May include platform/, bytes/ and volume/.
//
// Entry names as local file names, and back. A name that a folder can hold
// is its own local name; any other is escaped, so that every entry can be
// extracted and found again, and so that every name that needs no escape
// keeps its local name exactly.
//
// The escape: each byte the folder cannot hold, and then each "%" too,
// becomes "%XX" (two upper-case hex digits); "." and ".." become "%2E" and
// "%2E%2E"; a Windows device name gets a "%" behind its stem ("CON.txt"
// becomes "CON%.txt", "CON." "CON%%2E"). Which bytes cannot stand is the
// platform's to say: "/" nowhere; bytes that are not valid UTF-8 where names are Unicode;
// `< > : " \ | ? *`, control characters and a space or dot at the end on
// Windows.
//
// Reading back, a local name L in a directory means the first entry in walk
// order whose local name is L (local_name_index.h); entryNameOf(L) names a
// new entry that i adds from L. Every front end that maps entries to local
// files (g, a, x, u, r, m, the mount, i) uses these functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace discshell {

/// The local file name of the entry `name`: `name` itself when a folder
/// with `rules` can hold it, else its escape. Empty only for an empty name,
/// which no folder holds.
[[nodiscard]] std::string localName(std::string_view name,
                                    const platform::NameRules& rules = platform::nameRules());

/// The entry name whose escape is the local name `local`; no value when
/// `local` is the escape of no name but itself (it then means only the
/// entry of that exact name).
[[nodiscard]] std::optional<std::string> entryNameOf(
    std::string_view local, const platform::NameRules& rules = platform::nameRules());

}  // namespace discshell
