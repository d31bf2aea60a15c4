// lockbox.node: sealed JSON text and sealed files.
//
// A text is sealed by lowering every byte by SEAL_SHIFT (mod 256) and putting
// SEAL_MAGIC in front of it. This is obfuscation kept for compatibility with existing sealed
// files, not encryption: the shift is fixed and public, and anyone can undo it.
// Two sealed forms exist:
//   sealed text : SEAL_MAGIC, then the n sealed bytes (13 + n bytes, no count)
//   sealed file : SEAL_MAGIC, n as signed 32-bit little-endian, then the n
//                 sealed bytes (17 + n bytes, nothing after the body)
//
// Every operation fills a JsonCpp result object:
//   "code"    int     0 success, 1 refused or failed (set first), 2 file not opened
//   "content" string  the text produced, or a message
//   "write"   int     body bytes written by a successful write_sealed_file
// An operation never throws: an exception inside it (memory exhausted) leaves
// the result as it was at that point, i.e. "code" 1 without "content".
//
// This header and seal.cpp need no Node.js headers (library lockbox_core);
// module.cpp binds the four operations to JavaScript.
#ifndef VORAT_ADDON_ADDON_H
#define VORAT_ADDON_ADDON_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <json/json.h>

// The 13 magic bytes "VellumarkJSON", deliberately without a terminator.
constexpr char SEAL_MAGIC[13] = {'V', 'e', 'l', 'l', 'u', 'm', 'a', 'r', 'k', 'J', 'S', 'O', 'N'};
constexpr size_t SEAL_MAGIC_LEN = sizeof SEAL_MAGIC;
// Sealing maps byte b to (b - SEAL_SHIFT) mod 256, unsealing to (b + SEAL_SHIFT) mod 256.
constexpr unsigned SEAL_SHIFT = 31;
// Longest text that can be sealed: the sealed-file count is a signed 32-bit integer.
constexpr size_t SEAL_MAX_TEXT = INT32_MAX;
// Size of the sealed-file header (magic + count), in bytes.
constexpr size_t SEAL_FILE_HEADER = SEAL_MAGIC_LEN + 4;

/// True when text is at least 13 bytes long and begins with SEAL_MAGIC.
bool is_sealed(const std::string &text);

/// Seals content into a new file at filepath (created or truncated).
/// code 0 + "write" n on success; code 1 "String is encrypted" when content is
/// already sealed; code 1 "Input too large" for 2^31 bytes or more; code 2
/// "Cannot open file for writing" when the file cannot be opened; code 1
/// "Cannot write file" when a write or the close fails.
void write_sealed_file(const std::string &filepath, const std::string &content, Json::Value &result);

/// Reads the sealed file at filepath; code 0 with the plain text as "content".
/// code 2 "Cannot open file for writing" when it cannot be opened; code 1
/// "Invalid input" when the magic is wrong, the file ends inside the count or
/// the body, or the count is negative or larger than the rest of the file.
void read_sealed_file(const std::string &filepath, Json::Value &result);

/// Seals content; code 0 with SEAL_MAGIC + sealed bytes as "content".
/// code 1 "String is encrypted" when content is already sealed, code 1
/// "Input too large" for 2^31 bytes or more.
void seal_text(const std::string &content, Json::Value &result);

/// Unseals sealed text; code 0 with the plain bytes after the magic as "content".
/// code 1 "Invalid input format" when content does not begin with SEAL_MAGIC.
void unseal_text(const std::string &content, Json::Value &result);

#endif
