// Code-page conversions of the host tools: UTF-8 to code page 850 (names in archives, the
// message table) and to Windows-1252 (texts of the configuration block), and back.
#pragma once
#include <stdint.h>

#include <string>

namespace codepages {

// Each answers false when a character has no place in the target code page, or when the
// input is not strict UTF-8 (overlong forms, surrogates and cut sequences are refused).
bool Utf8ToCp850(const std::string& utf8, std::string* out);
bool Utf8ToCp1252(const std::string& utf8, std::string* out);
// Why the conversion fails, for a message: "holds U+20AC '€' at character 5, which
// Windows-1252 cannot store" or "is not valid UTF-8 at byte 2 (0xC0)";
// empty when it succeeds.
std::string Cp850Fault(const std::string& utf8);
std::string Cp1252Fault(const std::string& utf8);
bool ValidUtf8(const std::string& s);
std::string Cp850ToUtf8(const std::string& bytes);
std::string Cp1252ToUtf8(const std::string& bytes);
// One character's UTF-8 bytes, appended to `out`.
void AppendUtf8(std::string* out, uint32_t cp);
// The character at `*i` of strict UTF-8, with `*i` moved past it; false for a cut, overlong
// or surrogate form.
bool DecodeUtf8(const std::string& s, size_t* i, uint32_t* cp);
// The UTF-8 name as Windows compares names: small Latin, Greek and Cyrillic letters as capitals.
std::string Utf8Upper(const std::string& utf8);

}  // namespace codepages
