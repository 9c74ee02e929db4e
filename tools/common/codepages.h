// Code-page conversions of the host tools: UTF-8 to code page 850 (names in archives, the
// message table) and to Windows-1252 (texts of the configuration block), and back.
#pragma once
#include <string>

namespace codepages {

// Each answers false when a character has no place in the target code page.
bool Utf8ToCp850(const std::string& utf8, std::string* out);
bool Utf8ToCp1252(const std::string& utf8, std::string* out);
std::string Cp850ToUtf8(const std::string& bytes);
std::string Cp1252ToUtf8(const std::string& bytes);

}  // namespace codepages
