// --language: the tables of ours and a packager's own, checked and laid out as the file
// carries them.
#include "tools/mksfx/languages.h"

#include <stdio.h>

#include <algorithm>

#include "base/format.h"
#include "tools/common/codepages.h"
#include "tools/common/msgfile.h"
#include "tools/mksfx/files.h"
#include "tools/mksfx/report.h"

namespace sfx {

namespace {

// A packager's table is a few kilobytes; anything far larger is not one.
const uint64_t kTableFileMax = 1 << 20;

msgfile::Table ParseOwn(int index) {
    msgfile::Table table;
    std::vector<std::string> errors;
    if (!msgfile::Parse(kOwnTables[index].text, kOwnTables[index].file, &table, &errors))
        Fail("our table " + std::string(kOwnTables[index].file) + " does not read: " + errors[0]);
    return table;
}

LanguageTable Stored(const msgfile::Table& table, const msgfile::Table& reference) {
    msgfile::Table completed;
    std::vector<std::string> faults = msgfile::Check(table, reference, &completed, true);
    for (const std::string& fault : faults) Complain("--language: " + Shown(fault));
    if (!faults.empty())
        Fail("--language: " + Shown(table.source) + " is not a usable table (" + std::to_string(faults.size()) +
             (faults.size() == 1 ? " fault)" : " faults)"));
    LanguageTable t;
    t.languageId = table.languageId;
    t.code = table.language;
    t.stored = msgfile::StoredTexts(completed);
    t.utf8 = msgfile::StoredTexts(completed, true);
    // Texts that code page 850 or Windows-1252 cannot hold: the file needs its UTF-8 form.
    std::string stored;
    for (const msgfile::Message& m : completed.messages)
        t.needsUtf8 |= !codepages::Utf8ToCp850(m.text, &stored) || !codepages::Utf8ToCp1252(m.text, &stored);
    return t;
}

}  // namespace

std::vector<LanguageTable> LanguageTables(const std::string& value) {
    const msgfile::Table reference = ParseOwn(0);
    std::vector<std::string> items;
    for (size_t start = 0;;) {
        size_t comma = value.find(',', start);
        items.push_back(value.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    std::vector<LanguageTable> tables;
    for (const std::string& item : items) {
        std::vector<std::string> codes = {item};
        if (item == "auto") codes = {"en", "de"};
        for (const std::string& code : codes) {
            msgfile::Table table;
            bool own = false;
            for (int k = 0; k < kOwnTableCount && !own; ++k)
                if ((table = ParseOwn(k)).language == code) own = true;
            if (!own) {
                if (item.empty()) UsageFail("--language: an empty item in \"" + Shown(value) + "\"");
                std::string text, error;
                if (!ReadWholeFile(item, &text, &error, kTableFileMax))
                    Fail("--language: " + Shown(error) + " (a language is de, en, auto or a table file)");
                std::vector<std::string> errors;
                table = msgfile::Table();
                if (!msgfile::Parse(text, item, &table, &errors)) {
                    for (const std::string& e : errors) Complain("--language: " + Shown(e));
                    Fail("--language: " + Shown(item) + " is not a usable table");
                }
            }
            for (const LanguageTable& t : tables)
                if (t.languageId == table.languageId)
                    UsageFail("--language: two tables for the language " + Shown(table.language));
            tables.push_back(Stored(table, reference));
        }
    }
    // The stub falls back to the first table: English when there is one.
    std::stable_partition(tables.begin(), tables.end(), [](const LanguageTable& t) { return t.code == "en"; });
    size_t area = 0;
    for (const LanguageTable& t : tables) area += 1 + std::max(t.stored.size(), t.utf8.size());
    if (area > LANGUAGES_UNPACKED_MAX)
        Fail("--language: the tables take " + std::to_string(area) + " bytes, the stub holds " +
             std::to_string(LANGUAGES_UNPACKED_MAX) + "; choose fewer languages");
    // German alone is the stub's own table: the file carries none.
    if (tables.size() == 1 && tables[0].code == "de" && tables[0].stored == msgfile::StoredTexts(reference))
        tables.clear();
    return tables;
}

std::string LanguageArea(const std::vector<LanguageTable>& tables, bool utf8) {
    std::string area;
    for (const LanguageTable& t : tables) area += (char)t.languageId + (utf8 ? t.utf8 : t.stored);
    return area;
}

bool SplitLanguageArea(const std::string& area, size_t count, std::vector<LanguageTable>* tables,
                       std::string* error) {
    for (size_t at = 0; at < area.size();) {
        LanguageTable t;
        t.languageId = (unsigned char)area[at++];
        size_t end = at;
        for (size_t k = 0; k < count; ++k, ++end) {
            end = area.find('\0', end);
            if (end == std::string::npos)
                return Refuse(error, "the table of " + LanguageName(t.languageId) + " (table " +
                                         std::to_string(tables->size() + 1) + ") holds " + std::to_string(k) +
                                         " texts, the stub needs " + std::to_string(count));
        }
        t.stored = area.substr(at, end - at);
        tables->push_back(t);
        at = end;
    }
    if (tables->empty()) return Refuse(error, "the language area holds no table");
    return true;
}

std::string LanguageName(int languageId) {
    for (const char* code : {"de", "en", "fr", "es", "it", "nl", "pt", "pl", "sv", "da", "fi", "nb", "cs", "hu", "tr",
                             "ca", "is", "ro", "sk", "sl", "hr", "et", "lv", "lt", "eu", "gl", "af", "ga", "id", "sq"})
        if (msgfile::LanguageId(code) == languageId) return code;
    char text[32];
    snprintf(text, sizeof text, "language 0x%02X", languageId);
    return text;
}

}  // namespace sfx
