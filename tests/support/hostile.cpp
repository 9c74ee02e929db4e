#include "tests/support/hostile.h"

#include <algorithm>

#include "tests/support/fresh_state.h"
#include "tests/support/inflate_support.h"
#include "tests/support/sfx_files.h"
#include "tests/support/solid_craft.h"
#include "tests/support/zip_craft.h"
#include "tools/common/codepages.h"

namespace hostile {

namespace {

// An icon file of `count` entries, the first (and only one written) at `offset` with `size`
// bytes, followed by a bitmap header of `width` x `height` / 2 pixels of `bits` bits and, when
// `pixels`, the palette, image and mask of a 32x32 bitmap of one bit.
std::string Icon(unsigned count, unsigned offset, unsigned size, unsigned width, unsigned height,
                 unsigned bits, bool pixels) {
    using sfx::PutLe16;
    using sfx::PutLe32;
    std::string icon;
    PutLe16(&icon, 0), PutLe16(&icon, 1), PutLe16(&icon, count);
    if (count != 1) return icon;
    icon += std::string("\x20\x20\x02\0", 4);
    PutLe16(&icon, 1), PutLe16(&icon, 1), PutLe32(&icon, size), PutLe32(&icon, offset);
    PutLe32(&icon, 40), PutLe32(&icon, width), PutLe32(&icon, height), PutLe16(&icon, 1), PutLe16(&icon, bits);
    icon += std::string(24, '\0');
    if (pixels) icon += std::string(8 + 2 * 32 * 4, '\0');
    return icon;
}

// The field at `field` (an ENTRY_* offset) of the `index`-th central entry set to `value`.
std::string SetCentral(std::string zip, int index, size_t field, uint32_t value) {
    size_t at = zip.find("PK\x01\x02");
    while (index--) at = zip.find("PK\x01\x02", at + 4);
    sfx::SetLe32(&zip, at + CENTRAL_ENTRY_FIELDS + field, value);
    return zip;
}

// Members that overlap: each one's data is a stored block holding the next one's local header,
// followed by that member's data, down to the last one's: one DEFLATE stream of `kernel` bytes.
// The walk meets only the first local header; the central directory lists them all.
std::string OverlappingMembers(int count, size_t kernel) {
    std::string data = RawDeflate(std::string(kernel, 'k')), output(kernel, 'k'), headers;
    std::vector<sfx::EntryFields> fields(count);
    for (int i = count - 1; i >= 0; --i) {
        fields[i] = {20, 0, 8, zipcraft::kTime, zipcraft::kDate, ZlibCrc(output), (uint32_t)data.size(),
                     (uint32_t)output.size()};
        if (i == 0) break;
        std::string header = sfx::LocalHeader(fields[i], "m" + std::to_string(i));
        std::string block = std::string(1, '\0');
        sfx::PutLe16(&block, header.size()), sfx::PutLe16(&block, ~header.size() & 0xFFFF);
        data = block + header + data;
        output = header + output;
    }
    std::string zip = sfx::LocalHeader(fields[0], "m0") + data, central;
    // Each header but the first stands 5 bytes (the stored block's head) into the one before's data.
    uint32_t offset = 0;
    for (int i = 0; i < count; ++i) {
        central += sfx::CentralEntry(fields[i], "m" + std::to_string(i), 20, 0x20, offset);
        offset += 30 + (uint32_t)std::to_string(i).size() + 1 + 5;
    }
    return zip + central + sfx::EndRecord((uint16_t)count, (uint32_t)central.size(), (uint32_t)zip.size());
}

}  // namespace

std::vector<Case> Cases() {
    std::vector<Case> cases;
    const std::string badHeader = Message(MSG_BAD_HEADER), badCrc = Message(MSG_BAD_CRC);
    // A name after a member that is written: the run ends with message 31 before anything of
    // the named member exists. Names are bytes in code page 850.
    struct Name {
        const char* name;
        bool wine;
    } names[] = {
        // out of the folder
        {"../evil.txt", true}, {"..\\evil.txt", false}, {"a/../../evil.txt", false},
        {"a\\..\\..\\evil.txt", false}, {"a/../b/evil.txt", false}, {"..", false},
        {"x/..", false}, {"C:/evil.txt", false}, {"C:evil.txt", false}, {"c:\\evil.txt", false},
        {"\\\\server\\share\\evil.txt", false}, {"//evil.txt", false}, {"/\\evil.txt", false},
        {"\\/evil.txt", false}, {"ok.txt:stream", false}, {".. /evil.txt", false},
        {"... /evil.txt", false}, {"sub/. ./evil.txt", false}, {"/../evil.txt", false},
        {"../../../../../../../../../../tmp/evil.txt", false},
        // devices, in every form
        {"CON", true}, {"sub/aux.txt", true}, {"Nul .txt", false}, {"PRN.tar.gz", false},
        {"com1", false}, {"LPT9.log", false}, {"COM\xFB.txt", true}, {"lpt\xFC", true},
        {"Com\xFD", false}, {"CONIN$", true}, {"conout$.txt", false}, {"clock$", false},
        // wildcards and characters Windows refuses
        {"a*.txt", true}, {"b?.txt", false}, {"a<b>.txt", false}, {"pipe|.txt", false},
        {"quote\".txt", false}, {"tab\t.txt", false},
        // components that Windows changes
        {"b /x.txt", true}, {". /x.txt", true}, {"x.txt.", false}, {"x.txt ", false},
        {"dots.../x.txt", false}, {"a/./b.txt", false}, {"./../evil.txt", false}, {"././.", false},
        {"a//b.txt", false}, {"", false},
    };
    for (const Name& n : names)
        cases.push_back({std::string("name '") + n.name + "'",
                         zipcraft::Archive().AddStored("first.txt", "first").AddStored(n.name, "evil").Finish().bytes(),
                         "", false, badHeader, "", {"first.txt"}, n.wine});
    // Names flagged as UTF-8 (bit 11) in a file whose texts are UTF-8: the same rules hold for
    // them, and a name that is not strict UTF-8 is a bad name too.
    const Name utf8Names[] = {
        {"../\xC3\xA9vil.txt", true}, {"\xD0\xB4\xD0\xB0/../../evil.txt", false},
        {"C:/\xE6\x97\xA5.txt", false}, {"\xE6\x97\xA5\xE6\x9C\xAC.txt:stream", false},
        {"\xCE\xB1/CON", false}, {"COM\xC2\xB9.txt", true}, {"lpt\xC2\xB3", false},
        {"\xCE\xB1\xCE\xB2 /x.txt", false}, {"\xE6\x97\xA5*.txt", false},
        {"\xC0\xAE\xC0\xAE/evil.txt", true},  // ".." in overlong forms
        {"\xE0\x80\xAE\xE0\x80\xAE/evil.txt", false}, {"bad\xC3\x28.txt", false},
        {"cut\xE6\x97.txt", false}, {"surrogate\xED\xA0\x80.txt", false}, {"\xFF\xFE.txt", false},
    };
    for (const Name& n : utf8Names) {
        zipcraft::Member evil{n.name, "evil", 0, ZIP_FLAG_UTF8};
        Case c{std::string("UTF-8 name '") + n.name + "'",
               zipcraft::Archive().AddStored("first.txt", "first").Add(evil).Finish().bytes(),
               "", false, badHeader, "", {"first.txt"}, n.wine};
        c.utf8 = true;
        cases.push_back(c);
    }
    {
        // Sound names in any script: each as it is given, beside one of code page 850.
        zipcraft::Member greek{"\xCE\x95\xCE\xBB\xCE\xBB\xCE\xAC\xCE\xB4\xCE\xB1/\xE6\x97\xA5\xE6\x9C\xAC.txt", "a", 0,
                               ZIP_FLAG_UTF8};
        zipcraft::Member polish{"Z\xC5\x82oty.txt", "b", 0, ZIP_FLAG_UTF8};
        Case c{"UTF-8 names in Greek, Japanese and Polish",
               zipcraft::Archive().AddStored("caf\x82.txt", "c").Add(greek).Add(polish).Finish().bytes(), "", true,
               "", "", {"Z\xC5\x82oty.txt", "caf\xC3\xA9.txt", "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xAC\xCE\xB4\xCE\xB1/",
                        "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xAC\xCE\xB4\xCE\xB1/\xE6\x97\xA5\xE6\x9C\xAC.txt"}, true};
        c.utf8 = true;
        cases.push_back(c);
    }
    {
        // 127 copies of 258 bytes from 32768 bytes back, at the start of a member: what an
        // earlier stream left in the window must not come out.
        StreamWriter w;
        w.FixedHeader(true);
        for (int i = 0; i < 127; ++i) w.FixedMatch(258, 32768);
        w.FixedLiteral(256);
        const zipcraft::Member leak{"leak.txt", "", 8, 0, zipcraft::kTime, zipcraft::kDate, 0x12345678, -1, 127 * 258,
                                    true, w.Finish()};
        zipcraft::Archive a;
        a.AddDeflated("first.txt", zipcraft::SampleText(40000, 7)).Add(leak).Finish();
        cases.push_back({"distance before the member's first byte", a.bytes(), "", false, badCrc.substr(0, badCrc.find('%')),
                         "leak.txt: Fehlerhafte Pr\xFC" "fsumme 00000000 (sollte 12345678 sein)",
                         {"first.txt", "leak.txt"}, true});
    }
    // Files that other unzip tools read differently from the local headers, which the stub
    // follows: each is refused before the command, at the data descriptor (message 31) or at
    // the end record (message 39).
    const std::string badEnd = Message(MSG_END_RECORD_BAD), benign = "benign text\r\n",
                      hidden = benign + std::string(570, 'X');
    {
        // Local sizes cover 583 bytes; the descriptor and the central entry say 13, which is
        // what the others show.
        zipcraft::Member m{"dual.txt", hidden, 0, ZIP_FLAG_DESCRIPTOR};
        for (uint32_t v : {(uint32_t)ZIP_DESCRIPTOR_SIGNATURE, ZlibCrc(benign), 13u, 13u})
            sfx::PutLe32(&m.descriptor, v);
        std::string zip = zipcraft::Archive().AddStored("first.txt", "first").Add(m).Finish().bytes();
        for (size_t field : {ENTRY_CRC, ENTRY_PACKED, ENTRY_SIZE})
            zip = SetCentral(zip, 1, field, field == ENTRY_CRC ? ZlibCrc(benign) : 13);
        cases.push_back({"descriptor smaller than the local sizes", zip, "", false, badHeader, "",
                         {"dual.txt", "first.txt"}, true});
        zipcraft::Member sound{"dual.txt", hidden, 0, ZIP_FLAG_DESCRIPTOR};
        std::string plain = zipcraft::Archive().AddStored("first.txt", "first").Add(sound).Finish().bytes();
        for (size_t field : {ENTRY_CRC, ENTRY_PACKED, ENTRY_SIZE})
            plain = SetCentral(plain, 1, field, field == ENTRY_CRC ? ZlibCrc(benign) : 13);
        cases.push_back({"central entry smaller than the local sizes", plain, "", false, badEnd, "",
                         {"dual.txt", "first.txt"}, true});
    }
    {
        zipcraft::Archive listed;
        listed.AddStored("first.txt", "first").Finish();
        std::string unlisted = zipcraft::Archive().AddStored("first.txt", "first").AddStored("extra.exe", "run me").bytes();
        unlisted += listed.bytes().substr(listed.bytes().find("PK\x01\x02"));
        // The central directory's offset of the one-member archive, now 42 + 9 bytes further on
        sfx::SetLe32(&unlisted, unlisted.size() - 6, (uint32_t)unlisted.find("PK\x01\x02"));
        cases.push_back({"member that only the local headers list", unlisted, "", false, badEnd, "",
                         {"extra.exe", "first.txt"}, false});
        std::string renamed = zipcraft::Archive().AddStored("first.txt", "first").Finish().bytes();
        renamed.replace(renamed.rfind("first.txt"), 9, "other.txt");
        cases.push_back({"central name other than the local one", renamed, "", false, badEnd, "", {"first.txt"}, false});
        std::string disk = listed.bytes();
        sfx::SetLe16(&disk, disk.size() - 18, 1);
        cases.push_back({"end record on another disk", disk, "", false, badEnd, "", {"first.txt"}, false});
        std::string moved = listed.bytes();
        sfx::SetLe32(&moved, moved.size() - 6, sfx::Le32(moved, moved.size() - 6) + 1);
        cases.push_back({"central directory elsewhere", moved, "", false, badEnd, "", {"first.txt"}, false});
        cases.push_back({"overlapping members sharing one stream", OverlappingMembers(20, 1 << 20), "", false, badEnd,
                         "", {"m0"}, true});
    }
    {
        // Sound records, but the central entries list the members in another order.
        std::string swapped = zipcraft::Archive().AddStored("a.txt", "alpha").AddStored("b.txt", "beta").Finish().bytes();
        size_t first = swapped.find("PK\x01\x02"), second = swapped.find("PK\x01\x02", first + 4);
        std::string entryA = swapped.substr(first, second - first);
        swapped.replace(first, 2 * entryA.size(), swapped.substr(second, entryA.size()) + entryA);
        cases.push_back({"central entries in another order than the members", swapped, "", false, badEnd, "",
                         {"a.txt", "b.txt"}, true});
        // The first member's data holds a whole member that only the central directory names,
        // in place of the second one: as many central entries as local headers.
        std::string inner = zipcraft::Archive().AddStored("run.exe", "evil").bytes();
        zipcraft::Archive outer;
        outer.AddStored("cover.txt", "cover " + inner).AddStored("second.txt", "second").Finish();
        std::string hiddenMember = outer.bytes();
        size_t entry = hiddenMember.rfind("PK\x01\x02");
        hiddenMember.replace(entry, std::string::npos,
                             sfx::CentralEntry(sfx::ReadEntryFields(inner, LOCAL_ENTRY_FIELDS), "run.exe", 20, 0x20,
                                               (uint32_t)hiddenMember.find(inner)));
        std::string central = hiddenMember.substr(hiddenMember.find("PK\x01\x02"));
        hiddenMember += sfx::EndRecord(2, (uint32_t)central.size(), (uint32_t)(hiddenMember.size() - central.size()));
        cases.push_back({"central entry naming a member hidden in another's data", hiddenMember, "", false, badEnd, "",
                         {"cover.txt", "second.txt"}, true});
        // A member after the central directory, which other tools do not list: not written.
        std::string late = zipcraft::Archive().AddStored("a.txt", "alpha").Finish().bytes();
        late.insert(late.size() - END_RECORD_BYTES, zipcraft::Archive().AddStored("late.exe", "run me").bytes());
        cases.push_back({"member after a central entry", late, "", false, badEnd, "", {"a.txt"}, true});
        // One field of the second central entry differs from its local header.
        const struct {
            const char* what;
            size_t field;
            bool wide;  // a 32-bit field
            uint32_t value;
            bool wine;
        } fields[] = {
            {"flags", ENTRY_FLAGS, false, ZIP_FLAG_UTF8, false},
            {"method", ENTRY_METHOD, false, METHOD_DEFLATED, true},
            {"CRC-32", ENTRY_CRC, true, ZlibCrc("beta") ^ 1, false},
            {"compressed size", ENTRY_PACKED, true, 3, false},
            {"size", ENTRY_SIZE, true, 5, false},
        };
        for (const auto& f : fields) {
            std::string zip = zipcraft::Archive().AddStored("a.txt", "alpha").AddStored("b.txt", "beta").Finish().bytes();
            size_t at = zip.rfind("PK\x01\x02") + CENTRAL_ENTRY_FIELDS + f.field;
            f.wide ? sfx::SetLe32(&zip, at, f.value) : sfx::SetLe16(&zip, at, f.value);
            cases.push_back({std::string("central entry with other ") + f.what, zip, "", false, badEnd, "",
                             {"a.txt", "b.txt"}, f.wine});
        }
    }
    // Data the decoder cannot take, or that does not come out at the declared size, is damaged
    // even where the CRC-32 agrees (message 30, with the CRC-32 of what came out).
    {
        const std::string crcText = badCrc.substr(0, badCrc.find('%'));
        const struct {
            const char* what;
            zipcraft::Member member;
            std::string detail;
            bool wine;
        } damaged[] = {
            {"invalid DEFLATE data declaring CRC 0",
             {"bad.txt", "", 8, 0, zipcraft::kTime, zipcraft::kDate, 0, -1, 100, true, "\x07"},
             "bad.txt: Fehlerhafte Pr\xFC" "fsumme 00000000 (sollte 00000000 sein)", true},
            {"stored data shorter than declared",
             {"short.txt", "0123456789", 0, 0, zipcraft::kTime, zipcraft::kDate, -1, -1, 100},
             "short.txt: Fehlerhafte Pr\xFC" "fsumme", false},
            {"DEFLATE stream that decodes to less than declared",
             {"less.txt", "0123456789", 8, 0, zipcraft::kTime, zipcraft::kDate, -1, -1, 11},
             "less.txt: Fehlerhafte Pr\xFC" "fsumme", false},
            {"DEFLATE stream that ends before its data",
             {"early.txt", "", 8, 0, zipcraft::kTime, zipcraft::kDate, 0, -1, 0, true,
              RawDeflate("") + "trailing"},
             "early.txt: Fehlerhafte Pr\xFC" "fsumme 00000000 (sollte 00000000 sein)", false},
            {"DEFLATE stream that runs past its data",
             {"late.txt", "abc", 8, 0, zipcraft::kTime, zipcraft::kDate, -1, -1, -1, true,
              RawDeflate("abc").substr(0, RawDeflate("abc").size() - 1)},
             "late.txt: Fehlerhafte Pr\xFC" "fsumme", false},
        };
        for (const auto& d : damaged) {
            std::vector<std::string> left = {d.member.name, "first.txt"};
            std::sort(left.begin(), left.end());
            cases.push_back({d.what, zipcraft::Archive().AddStored("first.txt", "first").Add(d.member).Finish().bytes(),
                             "", false, crcText, d.detail, left, d.wine});
        }
    }
    // Encrypted members are refused by name (message 44), whatever their CRC-32 says.
    for (bool plain : {true, false}) {
        zipcraft::Member m{"secret.txt", "geheim", 0, ZIP_FLAG_ENCRYPTED};
        if (!plain) m.haveData = true, m.data = zipcraft::RandomBytes(12 + 6, 3), m.size = 6;
        cases.push_back({plain ? "encrypted flag on plain data" : "encrypted member",
                         zipcraft::Archive().AddStored("first.txt", "first").Add(m).Finish().bytes(), "", false,
                         "Datei secret.txt ist verschl\xFCsselt und kann nicht entpackt werden.", "", {"first.txt"}, plain});
    }
    // The solid form: each fault ends with the message of its ZIP twin. A first file is
    // written before the faulty one where the form allows it.
    {
        const std::string crcText = badCrc.substr(0, badCrc.find('%'));
        auto archive = [](const std::string& bad, const std::string& data = "evil") {
            solidcraft::Archive a;
            a.files = {{"first.txt", "first"}, {bad, data}};
            return a;
        };
        struct Solid {
            std::string what;
            solidcraft::Archive archive;
            std::string text, detail;
            std::vector<std::string> left;
            bool wine;
        };
        std::vector<Solid> rows = {
            {"solid: name '../evil.txt'", archive("../evil.txt"), badHeader, "", {"first.txt"}, true},
            {"solid: name 'a\\..\\..\\evil.txt'", archive("a\\..\\..\\evil.txt"), badHeader, "", {"first.txt"}, false},
            {"solid: name 'C:/evil.txt'", archive("C:/evil.txt"), badHeader, "", {"first.txt"}, false},
            {"solid: name 'sub/aux.txt'", archive("sub/aux.txt"), badHeader, "", {"first.txt"}, false},
            // U+0100 has no place in Windows-1252: a name that does not convert exactly
            {"solid: name outside the ANSI code page", archive("\xC4\x80.txt"), badHeader, "", {"first.txt"}, true},
            {"solid: name of 264 characters", archive(std::string(264, 'n')), badHeader, "", {"first.txt"}, false},
        };
        {
            Solid r{"solid: CRC-32 of the last file", archive("second.txt", "second"), crcText,
                    "second.txt: Fehlerhafte Pr\xFC" "fsumme", {"first.txt", "second.txt"}, true};
            r.archive.crcXor = 1;
            rows.push_back(r);
        }
        {
            // the folder says more than its stream holds: the stream ends early (a lying size),
            // and the empty file after it is not made
            Solid r{"solid: unpack size larger than the stream", archive("second.txt", "second"), crcText,
                    "second.txt: Fehlerhafte Pr\xFC" "fsumme", {"first.txt", "second.txt"}, false};
            r.archive.unpackDelta = 100;
            r.archive.files.push_back({"empty.txt", ""});
            rows.push_back(r);
        }
        {
            // the folder says less than its stream holds: no end where it should end (a bomb)
            Solid r{"solid: stream longer than its unpack size", archive("big.txt", std::string(1 << 20, 'b')), crcText,
                    "big.txt: Fehlerhafte Pr\xFC" "fsumme", {"big.txt", "first.txt"}, true};
            r.archive.unpackDelta = -1000;
            rows.push_back(r);
        }
        {
            Solid r{"solid: pack stream cut short", archive("second.txt", zipcraft::SampleText(30000, 3)), crcText,
                    "second.txt: Fehlerhafte Pr\xFC" "fsumme", {"first.txt", "second.txt"}, false};
            r.archive.packCut = 40;
            rows.push_back(r);
        }
        {
            Solid r{"solid: data after the stream's end", archive("second.txt", "second"), crcText,
                    "second.txt: Fehlerhafte Pr\xFC" "fsumme", {"first.txt", "second.txt"}, false};
            r.archive.packTail = "trailing";
            rows.push_back(r);
        }
        {
            // the x86 folder's bind pair (1, 1): LZMA's output bound to its own input
            Solid r{"solid: a bind pair that binds a coder to itself", archive("second.txt", "second"), badHeader, "", {}, false};
            r.archive.files[1].program = true;
            r.archive.editHeader = [](std::string* h) { (*h)[h->find("\x04\x03\x03\x01\x03") + 15] = 1; };
            rows.push_back(r);
        }
        // LZMA's coder with its stream counts given: one in and one out is all the stub takes
        auto streams = [](const char* counts) {
            return [counts](std::string* h) {
                size_t at = h->find("\x23\x03\x01\x01\x05");
                (*h)[at] = 0x33;
                h->insert(at + 4, counts, 2);
            };
        };
        const struct {
            const char* what;
            std::function<void(std::string*)> edit;
        } headers[] = {
            {"header byte changed after its CRC-32", nullptr},
            {"plain header marked as encoded", [](std::string* h) { (*h)[0] = 0x17; }},
            {"another coder", [](std::string* h) { (*h)[h->find("\x03\x01\x01")] = 0x21; }},
            {"three coders in a folder", [](std::string* h) {
                 size_t at = h->find("\x23\x03\x01\x01\x05");
                 (*h)[at - 1] = 3;
                 h->insert(at, h->substr(at, 10) + h->substr(at, 10));  // LZMA and its properties twice more
             }},
            {"a coder with two streams in", streams("\x02\x01")},
            {"a coder with two streams out", streams("\x01\x02")},
            {"the x86 coder alone", [](std::string* h) { h->replace(h->find("\x23\x03\x01\x01\x05"), 10, "\x04\x03\x03\x01\x03"); }},
            {"file sizes beyond their folder's", [](std::string* h) {
                 size_t at = h->find("\x0D\x02\x09");  // the size list: one number, the first file's
                 (*h)[at + 3] = 0x7F;
             }},
            {"more files with data than the folders hold", [](std::string* h) { (*h)[h->find("\x0D\x02") + 1] = 3; }},
            // a second pack stream, of no bytes, that no folder reads
            {"two pack streams for one folder", [](std::string* h) {
                 size_t at = h->find("\x06\x00\x01\x09");
                 (*h)[at + 2] = 2;
                 h->insert(at + 5, 1, '\0');
             }},
        };
        for (const auto& e : headers) {
            Solid r{"solid: " + std::string(e.what), archive("second.txt", "second"), badHeader, "", {}, false};
            if (e.edit) r.archive.editHeader = e.edit;
            rows.push_back(r);
        }
        // The header LZMA-encoded: read as the plain one; each fault of its stream, its sizes or
        // its place is a damaged header, found before any file is written.
        const struct {
            const char* what;
            std::function<void(solidcraft::Archive*)> edit;
            bool wine;
        } encoded[] = {
            {"encoded header", nullptr, true},
            {"encoded header inside an encoded header", [](solidcraft::Archive* a) { a->encodeHeader = 2; }, false},
            {"encoded header's size larger than its stream", [](solidcraft::Archive* a) { a->headerSizeDelta = 7; }, false},
            // the stream holds more than the size says: no end where it should end
            {"encoded header's stream longer than its size", [](solidcraft::Archive* a) { a->headerSizeDelta = -20; }, true},
            {"encoded header's size past the limit", [](solidcraft::Archive* a) { a->headerSizeDelta = 1ll << 30; }, false},
            {"encoded header's size 0", [](solidcraft::Archive* a) { a->headerSizeDelta = -(int64_t)a->header.size(); }, false},
            {"encoded header's stream cut short", [](solidcraft::Archive* a) { a->headerPackCut = 3; }, false},
            {"encoded header's stream outside the archive", [](solidcraft::Archive* a) { a->headerPackAtDelta = 1 << 20; }, false},
            {"encoded header's CRC-32", [](solidcraft::Archive* a) { a->headerCrcXor = 1; }, false},
            {"encoded header in two folders", [](solidcraft::Archive* a) { a->headerTwice = true; }, false},
            {"encoded header through the x86 coder", [](solidcraft::Archive* a) { a->headerX86 = true; }, false},
        };
        for (const auto& e : encoded) {
            Solid r{"solid: " + std::string(e.what), archive("second.txt", "second"), badHeader, "", {}, e.wine};
            r.archive.Build();  // the plain header's size, for the edits that need it
            r.archive.encodeHeader = 1;
            if (e.edit) e.edit(&r.archive);
            if (!e.edit) r.text = "", r.left = {"first.txt", "second.txt"};
            rows.push_back(r);
        }
        for (Solid& r : rows) {
            std::string bytes = r.archive.Build();
            if (r.what == "solid: header byte changed after its CRC-32") bytes[bytes.size() - 3] ^= 1;
            cases.push_back({r.what, bytes, "", r.text.empty(), r.text, r.detail, r.left, r.wine, true});
        }
    }
    // Icons that made the platform's icon loader fault: a 32-bit bitmap 0x7FFFFFFF pixels wide
    // and high, a directory of 0xFFFF entries with none there, an entry at 0x7FFFFFF0. They
    // are not used; the run goes on without an icon.
    for (const std::string& icon :
         {Icon(1, 22, 40, 0x7FFFFFFF, 0x7FFFFFFE, 32, false), Icon(0xFFFF, 0, 0, 0, 0, 0, false),
          Icon(1, 0x7FFFFFF0, 40 + 8 + 256, 32, 64, 1, true)})
        cases.push_back({"icon of " + std::to_string(icon.size()) + " bytes",
                         zipcraft::Archive().AddStored("first.txt", "first").Finish().bytes(), icon, true, "", "",
                         {"first.txt"}, true});
    return cases;
}

std::string File(const Case& c, const std::string& stub) {
    sfxtest::SfxParts parts;
    parts.stub = stub;
    parts.config = sfxtest::ConfigText({"", "", "", "", false, "", !c.icon.empty(), c.icon});
    parts.rawArchive = c.archive;
    if (c.solid) parts.endRecordOffset = 0;
    if (c.utf8) parts.optionFlags |= OPT_UTF8;
    return sfxtest::BuildSfx(parts);
}

bool EndsWith(const Case& c, const std::string& boxText) {
    for (bool utf8 : {false, c.utf8}) {
        std::string text = utf8 ? codepages::Cp1252ToUtf8(c.text) : c.text;
        std::string detail = utf8 ? codepages::Cp1252ToUtf8(c.detail) : c.detail;
        if (!c.completes && boxText.compare(0, text.size(), text) == 0 && boxText.find(detail) != std::string::npos)
            return true;
    }
    return false;
}

}  // namespace hostile
