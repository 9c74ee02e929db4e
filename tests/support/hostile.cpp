#include "tests/support/hostile.h"

#include "tests/support/fresh_state.h"
#include "tests/support/inflate_support.h"
#include "tests/support/sfx_files.h"
#include "tests/support/zip_craft.h"

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
        {"dots.../x.txt", false}, {"./here.txt", false}, {"a/./b.txt", false},
        {"a//b.txt", false}, {"", false},
    };
    for (const Name& n : names)
        cases.push_back({std::string("name '") + n.name + "'",
                         zipcraft::Archive().AddStored("first.txt", "first").AddStored(n.name, "evil").Finish().bytes(),
                         "", false, badHeader, "", {"first.txt"}, n.wine});
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
    return sfxtest::BuildSfx(parts);
}

bool EndsWith(const Case& c, const std::string& boxText) {
    return !c.completes && boxText.compare(0, c.text.size(), c.text) == 0 &&
           boxText.find(c.detail) != std::string::npos;
}

}  // namespace hostile
