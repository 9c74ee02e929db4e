// Message tables in their text form (messages/messages.txt, messages/en.txt, or a packager's
// own file): read, checked against ours, and laid out as the stub stores texts. msggen uses
// this for the tables it builds into the stub and into mksfx, mksfx for --language FILE.
#pragma once
#include <string>
#include <vector>

namespace msgfile {

// One message: its name and text (UTF-8, lines joined with line feeds) and the line of its
// "@N NAME" head. An id that the file skips has an empty name.
struct Message {
    std::string name, text;
    int line = 0;
};

struct Table {
    std::string source;    // how errors name the file
    std::string language;  // the code of its "language" line ("de", "en", "fr", ...)
    int languageId = -1;   // the Windows primary language of that code
    std::vector<Message> messages;  // by id
};

// Reads a table. The ids must rise; an id may skip ahead, leaving the ids between it and the
// one before unused. Answers false with one line per fault in `errors`.
bool Parse(const std::string& text, const std::string& source, Table* table, std::vector<std::string>* errors);

// Messages whose texts are the same in every language: the switch words, the log's lines,
// the temporary folder's suffix and the caption's format.
bool IsFixed(const std::string& name);

// The placeholders of a text, in order ("%s", "%08lx", ...; "%%" is not one).
std::vector<std::string> Placeholders(const std::string& text);

// Checks `table` against `reference` (ours): every message of ours is there under its id
// and name (a fixed one may be left out and is then taken from ours, but not changed), no
// other message, the same placeholders in the same order, and every text storable in code
// page 850 and shown in Windows-1252 (with `anyScript`: sound UTF-8). Answers the faults, each naming the file, the line
// and the message; `completed` receives the table with the fixed messages filled in.
std::vector<std::string> Check(const Table& table, const Table& reference, Table* completed, bool anyScript = false);

// The texts as the stub stores them: each in code page 850 (with `utf8`: UTF-8), ended by a
// NUL, one per id of `table` (which Check has completed).
std::string StoredTexts(const Table& table, bool utf8 = false);

// The Windows primary language id of an ISO 639-1 code, -1 when it is not known.
int LanguageId(const std::string& code);

}  // namespace msgfile
