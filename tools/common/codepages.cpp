#include "tools/common/codepages.h"

#include <stdint.h>
#include <stdio.h>

namespace {

const uint16_t cp850High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0,
    0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4,
    0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE,
    0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE,
    0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4,
    0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,
};

// Windows-1252 0x80..0x9F; 0 marks the five unassigned bytes. 0xA0..0xFF equal Latin-1.
const uint16_t cp1252Middle[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

// One character of strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF,
// nothing cut short. Such forms would let one name or text pass for another.
bool DecodeUtf8(const std::string& s, size_t* i, uint32_t* cp) {
    unsigned char c = (unsigned char)s[*i];
    int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0 || *i + extra >= s.size() + (extra ? 0 : 1)) return false;
    uint32_t v = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
    for (int k = 1; k <= extra; ++k) {
        unsigned char d = (unsigned char)s[*i + k];
        if ((d & 0xC0) != 0x80) return false;
        v = (v << 6) | (d & 0x3F);
    }
    static const uint32_t kSmallest[4] = {0, 0x80, 0x800, 0x10000};
    if (v < kSmallest[extra] || (v >= 0xD800 && v <= 0xDFFF) || v > 0x10FFFF) return false;
    *i += extra + 1;
    *cp = v;
    return true;
}

void AppendUtf8(std::string* out, uint32_t cp) {
    if (cp < 0x80) {
        *out += (char)cp;
    } else if (cp < 0x800) {
        *out += (char)(0xC0 | (cp >> 6));
        *out += (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += (char)(0xE0 | (cp >> 12));
        *out += (char)(0x80 | ((cp >> 6) & 0x3F));
        *out += (char)(0x80 | (cp & 0x3F));
    } else {
        *out += (char)(0xF0 | (cp >> 18));
        *out += (char)(0x80 | ((cp >> 12) & 0x3F));
        *out += (char)(0x80 | ((cp >> 6) & 0x3F));
        *out += (char)(0x80 | (cp & 0x3F));
    }
}

int ToCp850(uint32_t cp) {
    if (cp < 0x80) return (int)cp;
    for (int b = 0; b < 128; ++b)
        if (cp850High[b] == cp) return 0x80 + b;
    return -1;
}

int ToCp1252(uint32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return (int)cp;
    for (int b = 0; b < 32; ++b)
        if (cp1252Middle[b] && cp1252Middle[b] == cp) return 0x80 + b;
    return -1;
}

// Why `utf8` does not convert: its first invalid byte, or its first character that the
// code page lacks, with its position counted in characters from 1.
std::string Fault(const std::string& utf8, int (*toByte)(uint32_t), const char* codePage) {
    size_t character = 0;
    for (size_t i = 0; i < utf8.size(); ++character) {
        uint32_t cp;
        size_t at = i;
        if (!DecodeUtf8(utf8, &i, &cp)) {
            char text[96];
            snprintf(text, sizeof text, "is not valid UTF-8 at byte %zu (0x%02X)",
                     at + 1, (unsigned char)utf8[at]);
            return text;
        }
        if (toByte(cp) >= 0) continue;
        char text[64];
        snprintf(text, sizeof text, "U+%04X", (unsigned)cp);
        std::string shown = cp >= 0x20 && cp != 0x7F && !(cp >= 0x80 && cp < 0xA0)
                                ? " '" + utf8.substr(at, i - at) + "'"
                                : "";
        return std::string("holds ") + text + shown + " at character " + std::to_string(character + 1) +
               ", which " + codePage + " cannot store";
    }
    return "";
}

template <typename ToByte>
bool Convert(const std::string& utf8, std::string* out, ToByte toByte) {
    out->clear();
    for (size_t i = 0; i < utf8.size();) {
        uint32_t cp;
        if (!DecodeUtf8(utf8, &i, &cp)) return false;
        int b = toByte(cp);
        if (b < 0) return false;
        *out += (char)b;
    }
    return true;
}

}  // namespace

namespace codepages {

bool Utf8ToCp850(const std::string& utf8, std::string* out) { return Convert(utf8, out, ToCp850); }
bool Utf8ToCp1252(const std::string& utf8, std::string* out) { return Convert(utf8, out, ToCp1252); }

std::string Cp850Fault(const std::string& utf8) { return Fault(utf8, ToCp850, "code page 850"); }
std::string Cp1252Fault(const std::string& utf8) { return Fault(utf8, ToCp1252, "Windows-1252"); }

void AppendUtf8(std::string* out, uint32_t cp) { ::AppendUtf8(out, cp); }
bool DecodeUtf8(const std::string& s, size_t* i, uint32_t* cp) { return ::DecodeUtf8(s, i, cp); }

bool ValidUtf8(const std::string& s) {
    uint32_t cp;
    for (size_t i = 0; i < s.size();)
        if (!DecodeUtf8(s, &i, &cp)) return false;
    return true;
}

std::string Cp850ToUtf8(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) AppendUtf8(&out, c < 0x80 ? c : cp850High[c - 0x80]);
    return out;
}

std::string Cp1252ToUtf8(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        uint32_t cp = c;
        if (c >= 0x80 && c < 0xA0) cp = cp1252Middle[c - 0x80] ? cp1252Middle[c - 0x80] : 0xFFFD;
        AppendUtf8(&out, cp);
    }
    return out;
}

// Windows compares file names by upper case, letter by letter: the Latin, Greek and Cyrillic
// small letters of the first pages go to their capitals here, the rest stays as it is.
std::string Utf8Upper(const std::string& utf8) {
    std::string out;
    uint32_t cp;
    for (size_t i = 0; i < utf8.size();) {
        if (!DecodeUtf8(utf8, &i, &cp)) {
            cp = (unsigned char)utf8[i++];  // not UTF-8: taken byte for byte
            out += (char)cp;
            continue;
        }
        if ((cp >= 'a' && cp <= 'z') || (cp >= 0xE0 && cp <= 0xFE && cp != 0xF7) ||
            (cp >= 0x3B1 && cp <= 0x3CB && cp != 0x3C2) || (cp >= 0x430 && cp <= 0x44F))
            cp -= 0x20;
        else if (cp >= 0x450 && cp <= 0x45F)
            cp -= 0x50;
        else if (cp == 0xFF)
            cp = 0x178;
        else if (cp >= 0x100 && cp <= 0x17F && cp != 0x130 && cp != 0x131 && cp != 0x138 && cp != 0x149 &&
                 ((cp < 0x139 || cp > 0x148) && cp < 0x179 ? (cp & 1) : !(cp & 1) && cp != 0x17F))
            cp -= 1;
        AppendUtf8(&out, cp);
    }
    return out;
}

}  // namespace codepages
