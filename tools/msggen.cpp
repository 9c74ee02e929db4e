// Build-time generator of the stored message table: reads messages/messages.txt and
// messages/dialog.txt, lays out the texts in code page 850 followed by the dialog template
// (the last message), compresses the whole as one raw DEFLATE stream and writes a C++ source
// with the offset table and the stream, as startup/format.h describes the table.
//
//   msggen MESSAGES_DIR OUTPUT.cpp [UNPACKED.bin]
#include <libdeflate.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "startup/format.h"
#include "tools/common/codepages.h"
#include "tools/common/ziprecords.h"

using sfx::PutLe16;
using sfx::PutLe32;

namespace {

[[noreturn]] void Fail(const std::string& why) {
    fprintf(stderr, "msggen: %s\n", why.c_str());
    exit(1);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Fail("cannot read " + path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> ReadMessages(const std::string& path) {
    std::vector<std::string> texts;
    std::vector<std::vector<std::string>> bodies;
    for (const std::string& line : SplitLines(ReadFile(path))) {
        if (!line.empty() && line[0] == '@') {
            int id = atoi(line.c_str() + 1);
            if (id != (int)bodies.size()) Fail("message ids must run 0, 1, 2, ... (at @" + line.substr(1) + ")");
            bodies.emplace_back();
        } else if (bodies.empty()) {
            if (!line.empty() && line[0] != '#') Fail("text before the first message: " + line);
        } else {
            bodies.back().push_back(line);
        }
    }
    if (bodies.size() != MESSAGE_TEXT_COUNT)
        Fail("expected messages 0 to " + std::to_string(MESSAGE_TEXT_COUNT - 1) + ", found " +
             std::to_string(bodies.size()));
    for (size_t id = 0; id < bodies.size(); ++id) {
        std::string joined;
        for (size_t k = 0; k < bodies[id].size(); ++k) joined += (k ? "\n" : "") + bodies[id][k];
        std::string oem;
        if (!codepages::Utf8ToCp850(joined, &oem))
            Fail("message " + std::to_string(id) + " has a character outside code page 850");
        if (oem.find('\0') != std::string::npos) Fail("message " + std::to_string(id) + " holds a NUL");
        texts.push_back(oem);
    }
    return texts;
}

// ---- dialog template ---------------------------------------------------------------------

struct Fields {
    std::string kind;
    std::vector<std::pair<std::string, std::string>> values;
    const std::string& Get(const std::string& key) const {
        for (const auto& kv : values)
            if (kv.first == key) return kv.second;
        Fail(kind + " line lacks " + key);
    }
    uint32_t Number(const std::string& key) const { return (uint32_t)strtoul(Get(key).c_str(), nullptr, 0); }
};

Fields ParseLine(const std::string& line) {
    Fields f;
    size_t i = 0;
    auto skip = [&] { while (i < line.size() && line[i] == ' ') ++i; };
    skip();
    while (i < line.size() && line[i] != ' ') f.kind += line[i++];
    for (skip(); i < line.size(); skip()) {
        std::string key, value;
        while (i < line.size() && line[i] != '=') key += line[i++];
        if (i++ >= line.size()) Fail("bad field in: " + line);
        if (i < line.size() && line[i] == '"') {
            value = "\"";
            for (++i; i < line.size() && line[i] != '"'; ++i) value += line[i];
            ++i;
        } else {
            while (i < line.size() && line[i] != ' ') value += line[i++];
        }
        f.values.emplace_back(key, value);
    }
    return f;
}

// A UTF-8 text as UTF-16 units (the template's texts are all in the Basic Multilingual Plane).
void PutUnicode(std::string* out, const std::string& utf8) {
    std::string latin;
    if (!codepages::Utf8ToCp1252(utf8, &latin)) Fail("dialog text outside Windows-1252: " + utf8);
    std::string back = codepages::Cp1252ToUtf8(latin);
    for (size_t i = 0; i < back.size();) {
        unsigned char c = (unsigned char)back[i];
        uint32_t cp;
        if (c < 0x80) { cp = c; i += 1; }
        else if ((c & 0xE0) == 0xC0) { cp = ((c & 0x1F) << 6) | (back[i + 1] & 0x3F); i += 2; }
        else { cp = ((c & 0x0F) << 12) | ((back[i + 1] & 0x3F) << 6) | (back[i + 2] & 0x3F); i += 3; }
        PutLe16(out, cp);
    }
    PutLe16(out, 0);
}

void PutText(std::string* out, const std::string& value) {
    if (!value.empty() && value[0] == '#') {
        PutLe16(out, 0xFFFF);
        PutLe16(out, (uint32_t)strtoul(value.c_str() + 1, nullptr, 0));
    } else if (!value.empty() && value[0] == '"') {
        PutUnicode(out, value.substr(1));
    } else {
        PutLe16(out, 0xFFFF);
        PutLe16(out, (uint32_t)strtoul(value.c_str(), nullptr, 0));
    }
}

std::string BuildTemplate(const std::string& path) {
    std::vector<Fields> items;
    Fields dialog;
    bool haveDialog = false;
    for (const std::string& line : SplitLines(ReadFile(path))) {
        if (line.empty() || line[0] == '#') continue;
        Fields f = ParseLine(line);
        if (f.kind == "dialog") {
            dialog = f;
            haveDialog = true;
        } else if (f.kind == "item") {
            items.push_back(f);
        } else {
            Fail("unknown line in " + path + ": " + line);
        }
    }
    if (!haveDialog) Fail(path + " has no dialog line");
    std::string t;
    PutLe32(&t, dialog.Number("style"));
    PutLe32(&t, 0);
    PutLe16(&t, (uint32_t)items.size());
    for (const char* k : {"x", "y", "cx", "cy"}) PutLe16(&t, dialog.Number(k));
    PutLe16(&t, 0);  // no menu
    PutLe16(&t, 0);  // the standard dialog class
    PutLe16(&t, 0);  // empty title
    PutLe16(&t, dialog.Number("pointsize"));
    PutUnicode(&t, dialog.Get("font").substr(1));
    for (const Fields& item : items) {
        while (t.size() % 4) t += '\0';
        PutLe32(&t, item.Number("style"));
        PutLe32(&t, 0);
        for (const char* k : {"x", "y", "cx", "cy", "id"}) PutLe16(&t, item.Number(k));
        PutText(&t, item.Get("class"));
        PutText(&t, item.Get("text"));
        PutLe16(&t, 0);  // no creation data
    }
    t.append(8, '\0');
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) Fail("usage: msggen MESSAGES_DIR OUTPUT.cpp [UNPACKED.bin]");
    std::string dir = argv[1];
    std::vector<std::string> texts = ReadMessages(dir + "/messages.txt");
    std::string dialogTemplate = BuildTemplate(dir + "/dialog.txt");

    std::string unpacked;
    std::vector<uint32_t> offsets;
    for (const std::string& text : texts) {
        offsets.push_back((uint32_t)unpacked.size());
        unpacked += text;
        unpacked += '\0';
    }
    offsets.push_back((uint32_t)unpacked.size());
    unpacked += dialogTemplate;
    if (offsets.size() != (size_t)MESSAGE_COUNT) Fail("internal: wrong offset count");
    const uint32_t templateAt = offsets[MESSAGE_TEXT_COUNT];
    if (unpacked.size() > MESSAGE_TABLE_BYTES)
        Fail("the unpacked table (" + std::to_string(unpacked.size()) + " bytes) exceeds " +
             std::to_string(MESSAGE_TABLE_BYTES));
    if (templateAt > MESSAGE_TABLE_BYTES - TEMPLATE_COPY_BYTES)
        Fail("the dialog template starts at " + std::to_string(templateAt) + ", past " +
             std::to_string(MESSAGE_TABLE_BYTES - TEMPLATE_COPY_BYTES));

    libdeflate_compressor* c = libdeflate_alloc_compressor(12);
    std::vector<unsigned char> packed(unpacked.size() + 1024);
    size_t n = libdeflate_deflate_compress(c, unpacked.data(), unpacked.size(), packed.data(), packed.size());
    libdeflate_free_compressor(c);
    if (n == 0) Fail("compression failed");
    packed.resize(n);

    std::string out;
    out += "// Generated by msggen from messages/: do not edit.\n";
    out += "#include \"startup/platform.h\"\n\n";
    out += "// The messages back to back, each ended by a NUL, then the dialog template: one raw\n";
    out += "// DEFLATE stream. The stub finds message n after the n-th NUL.\n";
    out += "extern const unsigned char storedMessageTable[] = {\n";
    std::string bytes((const char*)packed.data(), packed.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        char cell[16];
        snprintf(cell, sizeof cell, "%s0x%02X,", i % 16 ? " " : "    ", (unsigned char)bytes[i]);
        out += cell;
        if (i % 16 == 15 || i + 1 == bytes.size()) out += "\n";
    }
    out += "};\n";
    out += "extern const DWORD storedMessageStreamLength = " + std::to_string(packed.size()) + ";\n";

    std::ofstream(argv[2], std::ios::binary) << out;
    if (argc > 3) std::ofstream(argv[3], std::ios::binary) << unpacked;
    printf("message table: %zu bytes packed, %zu unpacked, template at %u (%zu bytes)\n",
           packed.size(), unpacked.size(), templateAt, dialogTemplate.size());
    return 0;
}
