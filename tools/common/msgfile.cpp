// Message tables in their text form: reading, the checks against our own table, and the
// stored layout of the texts.
#include "tools/common/msgfile.h"

#include <ctype.h>
#include <string.h>

#include <algorithm>

#include <sstream>

#include "tools/common/codepages.h"

namespace msgfile {

namespace {

bool IsIdentifier(const std::string& name) {
    if (name.empty() || isdigit((unsigned char)name[0])) return false;
    for (char c : name)
        if (!isalnum((unsigned char)c) && c != '_') return false;
    return true;
}

std::string At(const std::string& source, int line) { return source + ":" + std::to_string(line) + ": "; }

std::string Joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items) out += (out.empty() ? "" : " ") + item;
    return out.empty() ? "none" : out;
}

}  // namespace

int LanguageId(const std::string& code) {
    static const struct { const char* code; int id; } kLanguages[] = {
        {"ar", 0x01}, {"bg", 0x02}, {"ca", 0x03}, {"zh", 0x04}, {"cs", 0x05}, {"da", 0x06}, {"de", 0x07},
        {"el", 0x08}, {"en", 0x09}, {"es", 0x0A}, {"fi", 0x0B}, {"fr", 0x0C}, {"he", 0x0D}, {"hu", 0x0E},
        {"is", 0x0F}, {"it", 0x10}, {"ja", 0x11}, {"ko", 0x12}, {"nl", 0x13}, {"nb", 0x14}, {"no", 0x14},
        {"pl", 0x15}, {"pt", 0x16}, {"ro", 0x18}, {"ru", 0x19}, {"hr", 0x1A}, {"sk", 0x1B}, {"sq", 0x1C},
        {"sv", 0x1D}, {"th", 0x1E}, {"tr", 0x1F}, {"id", 0x21}, {"uk", 0x22}, {"sl", 0x24}, {"et", 0x25},
        {"lv", 0x26}, {"lt", 0x27}, {"vi", 0x2A}, {"eu", 0x2D}, {"af", 0x36}, {"ga", 0x3C}, {"gl", 0x56},
    };
    for (const auto& l : kLanguages)
        if (code == l.code) return l.id;
    return -1;
}

bool Parse(const std::string& text, const std::string& source, Table* table, std::vector<std::string>* errors) {
    table->source = source;
    const size_t faultsBefore = errors->size();
    std::vector<std::vector<std::string>> bodies(table->messages.size());
    std::istringstream in(text);
    std::string line;
    int number = 0;
    bool inMessage = false;
    while (std::getline(in, line)) {
        ++number;
        if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] == '@') {
            size_t digits = 1;
            while (digits < line.size() && isdigit((unsigned char)line[digits])) ++digits;
            const size_t next = table->messages.size();
            if (digits == 1 || digits > 6 || (line[1] == '0' && digits > 2) ||
                std::stoul(line.substr(1, digits - 1)) < next) {
                errors->push_back(At(source, number) + "message ids must rise without leading zeros (expected @" +
                                  std::to_string(next) + " or higher, found " + line + ")");
                return false;
            }
            const size_t id = std::stoul(line.substr(1, digits - 1));
            const std::string which = At(source, number) + "message " + std::to_string(id);
            size_t at = line.find_first_not_of(' ', digits);
            std::string name = at == std::string::npos ? "" : line.substr(at);
            while (!name.empty() && name.back() == ' ') name.pop_back();
            std::string fault = name.empty()               ? " has no name: "
                                : line[digits] != ' '      ? ": a blank must follow the id: "
                                : !IsIdentifier(name)      ? ": the name '" + name + "' is not an identifier: "
                                                           : "";
            if (!fault.empty()) {
                errors->push_back(which + fault + line);
                return false;
            }
            for (size_t k = 0; k < next; ++k)
                if (table->messages[k].name == name)
                    errors->push_back(At(source, number) + "the name " + name + " names messages " +
                                      std::to_string(k) + " and " + std::to_string(id));
            table->messages.resize(id + 1);
            bodies.resize(id + 1);
            table->messages[id].name = name;
            table->messages[id].line = number;
            inMessage = true;
        } else if (inMessage) {
            bodies.back().push_back(line);
        } else if (line.compare(0, 9, "language ") == 0) {
            table->language = line.substr(9);
            table->languageId = LanguageId(table->language);
            if (table->languageId < 0)
                errors->push_back(At(source, number) + "unknown language code '" + table->language +
                                  "' (an ISO 639-1 code such as en, fr, es)");
        } else if (!line.empty() && line[0] != '#') {
            errors->push_back(At(source, number) + "text before the first message: " + line);
        }
    }
    if (table->messages.empty()) errors->push_back(source + ": holds no message");
    if (table->language.empty()) errors->push_back(source + ": has no \"language CODE\" line before its messages");
    for (size_t id = 0; id < bodies.size(); ++id) {
        std::string joined;
        for (size_t k = 0; k < bodies[id].size(); ++k) joined += (k ? "\n" : "") + bodies[id][k];
        table->messages[id].text = joined;
    }
    return errors->size() == faultsBefore;
}

bool IsFixed(const std::string& name) {
    return name.compare(0, 4, "LOG_") == 0 || name.compare(0, 7, "SWITCH_") == 0 || name == "TEMP_SUFFIX" ||
           name == "CAPTION_FORMAT";
}

std::vector<std::string> Placeholders(const std::string& text) {
    std::vector<std::string> found;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') continue;
        size_t end = i + 1;
        while (end < text.size() && strchr("-+ #0123456789.l", text[end])) ++end;
        if (end < text.size() && text[end] == '%' && end == i + 1) {
            i = end;
            continue;
        }
        found.push_back(text.substr(i, end + 1 - i));
        i = end;
    }
    return found;
}

std::vector<std::string> Check(const Table& table, const Table& reference, Table* completed, bool anyScript) {
    std::vector<std::string> faults;
    *completed = table;
    completed->messages.resize(std::max(table.messages.size(), reference.messages.size()));
    for (size_t id = 0; id < completed->messages.size(); ++id) {
        Message& m = completed->messages[id];
        const Message* ours = id < reference.messages.size() ? &reference.messages[id] : nullptr;
        const std::string which = "message " + std::to_string(id) + " " + (ours ? ours->name : m.name);
        if (!ours || ours->name.empty()) {
            if (!m.name.empty())
                faults.push_back(At(table.source, m.line) + "message " + std::to_string(id) + " " + m.name +
                                 " is not one of ours (ids and names must be as in our table)");
            continue;
        }
        if (m.name.empty()) {
            if (IsFixed(ours->name)) {
                m = *ours;
                continue;
            }
            faults.push_back(table.source + ": lacks " + which + " (ours reads \"" + ours->text + "\")");
            continue;
        }
        const std::string where = At(table.source, m.line) + which;
        if (m.name != ours->name) {
            faults.push_back(where.substr(0, where.size() - ours->name.size()) + m.name + " should be " + ours->name +
                             " (ids and names must be as in our table)");
            continue;
        }
        if (IsFixed(m.name) && m.text != ours->text) {
            faults.push_back(where + " must read \"" + ours->text + "\" in every language (or be left out)");
            continue;
        }
        std::vector<std::string> theirs = Placeholders(m.text), wanted = Placeholders(ours->text);
        if (theirs != wanted)
            faults.push_back(where + " has the placeholders " + Joined(theirs) + " where ours has " + Joined(wanted) +
                             ", in this order");
        std::string stored;
        // A packager's table may be in any script: a file that carries it stores its texts in UTF-8.
        if (anyScript && !codepages::ValidUtf8(m.text))
            faults.push_back(where + ": the text " + codepages::Cp1252Fault(m.text));
        else if (!anyScript && !codepages::Utf8ToCp850(m.text, &stored))
            faults.push_back(where + ": the text " + codepages::Cp850Fault(m.text) + " (the stub stores code page 850)");
        else if (!anyScript && !codepages::Utf8ToCp1252(m.text, &stored))
            faults.push_back(where + ": the text " + codepages::Cp1252Fault(m.text));
        else if (m.text.find('\0') != std::string::npos)
            faults.push_back(where + ": the text holds a NUL");
    }
    return faults;
}

std::string StoredTexts(const Table& table, bool utf8) {
    std::string out;
    for (const Message& m : table.messages) {
        std::string stored = m.text;
        if (!utf8) codepages::Utf8ToCp850(m.text, &stored);
        out += stored;
        out += '\0';
    }
    return out;
}

}  // namespace msgfile
