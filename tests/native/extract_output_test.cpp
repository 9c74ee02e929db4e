// Extraction on real files: the archive walker over sound, cut, mislabelled and hostile
// archives, and member output (progress, CRC, times, prompts, every failure of the output).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "archive/archive.h"
#include "tests/support/fresh_state.h"
#include "tests/support/solid_craft.h"
#include "tests/support/zip_craft.h"

using zipcraft::Archive;
using zipcraft::Member;
using zipcraft::Outcome;

namespace {

const std::string kPrefix(700, 'M');

struct Answers {
    int overwrite = IDNO;
    int inUse = IDOK;
    int cancelQuery = IDNO;
};

int AnswerBox(const ShownMessageBox& box, void* context) {
    const Answers* a = (const Answers*)context;
    switch (box.type & 0xF) {
        case MB_YESNOCANCEL: return a->overwrite;
        case MB_OKCANCEL: return a->inUse;
        case MB_YESNO: return a->cancelQuery;
        default: return IDOK;
    }
}

class OutputTest : public ::testing::Test {
protected:
    void SetUp() override { mkdir(out_.c_str(), 0777); }
    void TearDown() override { FreshState(); }

    // Prepares a run over `archive`; `Go` runs it with `answers_`.
    void Load(const std::string& archive, uint32_t totalSize = 0) {
        WriteFile(file_, kPrefix + archive);
        zipcraft::Prepare(file_, kPrefix.size(), out_, totalSize);
        standin::SetMessageBoxAnswer(AnswerBox, &answers_);
    }
    Outcome Go() { return zipcraft::Extract(); }
    Outcome ExtractArchive(const std::string& archive, uint32_t totalSize = 0) {
        Load(archive, totalSize);
        return Go();
    }
    // Extracts into an empty folder, the archive at `offset`; read number `failRead` (0: none) fails.
    Outcome Walk(const std::string& archive, uint32_t offset = kPrefix.size(), int failRead = 0) {
        zipcraft::EmptyFolder(out_);
        Load(archive);
        stubParams.archiveOffset = offset;
        // Start-up's probe of the solid form's signature header first; any other form it
        // answers with FALSE.
        static BOOL solid;
        solid = -1;
        sfxtest::RunUnderCheckpoint([] { solid = ProbeSolidArchive(); });
        if (archive.compare(0, 2, "7z") != 0) EXPECT_EQ(solid, FALSE);
        probeReads_ = standin::ReadCalls();
        standin::FailRead(failRead);
        return Go();
    }
    std::string Path(const std::string& name) { return out_ + "/" + name; }
    std::string Content(const std::string& name) { return ReadFile(Path(name)); }
    std::string ShownPath(const std::string& name) { return zipcraft::Backslashed(Path(name)); }
    std::string ReadFailedText() { return zipcraft::Formatted(MSG_READ_FAILED, file_.c_str()); }
    std::string Overwrite(const std::string& name) {
        return zipcraft::Formatted(MSG_OVERWRITE_QUERY, ShownPath(name).c_str());
    }

    TempDir scratch_;
    std::string file_ = scratch_.File("setup.exe"), out_ = scratch_.File("out");
    Answers answers_;
    long long probeReads_ = 0;  // the reads of Walk's probe, before the run's own
};

// Each archive: the run's result, every box it showed (the last an error box when it
// failed), and everything in the folder afterwards; nothing appears outside it.
TEST_F(OutputTest, EachArchiveEndsAsItShould) {
    Member stored{"stored.bin", zipcraft::RandomBytes(3000, 5), 0}, deflated, misdescribed;
    stored.flags = 0x0008;  // data descriptors that repeat the local header's values
    deflated = {"deflated.txt", zipcraft::SampleText(40000, 6), 8, stored.flags};
    misdescribed = {"wrong.txt", "wrong", 0, stored.flags};
    misdescribed.descriptor = std::string("PK\7\x08") + std::string(12, '\xEE');
    // The local header counts 5000 bytes more than the stream takes, more than the feed reads
    // past its end: the next record is where the header says, not where reading stopped.
    Member padded{"padded.txt", zipcraft::SampleText(10000, 4), 8};
    padded.haveData = true;
    padded.data = RawDeflate(padded.content) + "PK\3\4" + std::string(4996, 'j');
    // Directory entries that claim 100 bytes of data that are not there: none is skipped.
    Member dir{"made/", "", 0}, backslashDir{"other\\", "", 0};
    dir.packed = backslashDir.packed = 100;
    // A size beyond 2 GiB would seek backwards onto the same header again and again.
    Member huge{"dup.txt", "second", 0};
    huge.haveData = true;
    huge.packed = 0xFFFFFFC0u;
    const std::vector<std::string> odd = {"a..b.txt", "..hidden",    ".x/y.txt", "sp ace/x y.txt", "con-nul.txt",
                                          "comma,com10.txt", "lpt0.txt", "CONIN.txt"};
    Archive oddNames;
    for (const std::string& name : odd) oddNames.AddStored(name, name);
    const std::string badHeader = Message(MSG_BAD_HEADER), text2 = zipcraft::SampleText(5000, 2);
    std::string tooLong = zipcraft::Formatted(MSG_CANNOT_CREATE_FILE, ShownPath(std::string(263, 'n')).c_str());
    const std::string badEnd = Message(MSG_END_RECORD_BAD);
    const std::string twoMembers = Archive().AddStored("a.txt", "a").AddStored("b.txt", "b").Finish().bytes(),
                      allFromFile = Archive((uint32_t)kPrefix.size()).AddStored("a.txt", "a").AddStored("b.txt", "b")
                                        .Finish().bytes();
    const size_t secondEntry = twoMembers.rfind("PK\1\2") + CENTRAL_LOCAL_OFFSET, endOffset = twoMembers.size() - 6;
    std::string fromFile = twoMembers, endFromFile = twoMembers;
    sfx::SetLe32(&fromFile, secondEntry, sfx::Le32(twoMembers, secondEntry) + (uint32_t)kPrefix.size());
    sfx::SetLe32(&endFromFile, endOffset, sfx::Le32(twoMembers, endOffset) + (uint32_t)kPrefix.size());

    struct Row {
        std::string what, archive;
        int code;
        std::vector<std::string> boxes, tree;
        std::vector<std::pair<std::string, std::string>> contents = {};
        uint32_t offset = (uint32_t)kPrefix.size();
    };
    std::vector<Row> rows = {
        {"an end record alone", Archive().End().bytes(), 0, {}, {}},
        {"nothing after the end record and its comment is taken",
         Archive().AddStored("a.txt", "alpha").Finish("a comment").Raw(Archive().AddStored("after.txt", "never").bytes()).Raw("PK\7\x08junk").bytes(), 0,
         {}, {"a.txt"}},
        // Central entries that do not describe the members (other tools would read something
        // else): each is refused where it stands, before any member after it.
        {"a central entry before the members",
         Archive().Central("ghost.txt", "EXTRA", "a comment on nothing").AddStored("one.txt", "1").Central("one.txt")
             .AddDeflated("two.txt", text2).Central("two.txt", std::string(300, 'x'), "c").End().bytes(),
         ABORT_FAILED, {badEnd}, {}},
        {"a central entry of other values between the members",
         Archive().AddStored("one.txt", "1").Central("one.txt").AddDeflated("two.txt", text2).End().bytes(),
         ABORT_FAILED, {badEnd}, {"one.txt"}, {{"one.txt", "1"}}},
        // Offsets count from the archive's start (as here) or from the file's, the same for
        // every entry and the end record.
        {"an entry's offset counting from the file's start", fromFile, ABORT_FAILED, {badEnd}, {"a.txt", "b.txt"}},
        {"the central directory's offset counting from the file's start", endFromFile, ABORT_FAILED, {badEnd},
         {"a.txt", "b.txt"}},
        {"every offset counting from the file's start", allFromFile, 0, {}, {"a.txt", "b.txt"}},
        {"data descriptors checked; the second stored.bin declined",
         Archive().Add(stored).Add(deflated).Add(stored).Finish().bytes(), 0, {Overwrite("stored.bin")},
         {"deflated.txt", "stored.bin"}, {{"stored.bin", stored.content}, {"deflated.txt", deflated.content}}},
        {"a data descriptor that differs from its local header", Archive().Add(misdescribed).Finish().bytes(),
         ABORT_FAILED, {badHeader}, {"wrong.txt"}, {{"wrong.txt", "wrong"}}},
        {"a declined member is stepped over",
         Archive().AddStored("dup.txt", "first").AddDeflated("dup.txt", zipcraft::SampleText(9000, 1))
             .AddStored("next.txt", "next").Finish().bytes(),
         0, {Overwrite("dup.txt")}, {"dup.txt", "next.txt"}, {{"dup.txt", "first"}, {"next.txt", "next"}}},
        // Data that other tools might read as records: a damaged member (message 30).
        {"bytes after a stream inside its member", Archive().Add(padded).AddStored("next.txt", "next").Finish().bytes(),
         ABORT_FAILED, {zipcraft::Formatted(MSG_BAD_CRC, ShownPath("padded.txt").c_str(), ZlibCrc(padded.content),
                                            ZlibCrc(padded.content))},
         {"padded.txt"}, {{"padded.txt", padded.content}}},
        {"directory entries make no folder and skip nothing",
         Archive().Add(dir).Add(backslashDir).AddStored("made2/file.txt", "x").Finish().bytes(), 0, {},
         {"made2/", "made2/file.txt"}},
        {"a directory entry that climbs makes nothing", Archive().Add(Member{"../evil/", "", 0}).Finish().bytes(), 0, {}, {}},
        // "äöü ß.txt" in code page 850, then with a leading slash and in a folder.
        {"names arrive in the ANSI code page",
         Archive().AddStored("\x84\x94\x81 \xE1.txt", "umlauts").AddStored("/lead.txt", "one leading slash")
             .AddStored("\\x\\y/z.txt", "mixed separators").Finish().bytes(),
         0, {}, {"lead.txt", "x/", "x/y/", "x/y/z.txt", "\xE4\xF6\xFC \xDF.txt"}, {{"\xE4\xF6\xFC \xDF.txt", "umlauts"}}},
        {"no signature at all", std::string(4, '\0'), ABORT_FAILED, {badHeader}, {}},
        {"archive offset beyond the end", Archive().AddStored("a.txt", "a").Finish().bytes(), ABORT_FAILED,
         {ReadFailedText()}, {}, {}, (uint32_t)(kPrefix.size() + 200)},
        // Seeks reach anywhere below 4 GiB: past the end, the read fails.
        {"archive offset at 2 GiB, beyond the end", Archive().AddStored("a.txt", "a").Finish().bytes(), ABORT_FAILED,
         {ReadFailedText()}, {}, {}, 0x80000000u},
        // 263 bytes fit the name buffer, but the path does not fit.
        {"name of 263 bytes", Archive().Add(Member{std::string(263, 'n'), "", 0}).Finish().bytes(), ABORT_FAILED,
         {tooLong.substr(0, MESSAGE_BUFFER_BYTES - 1)}, {}},
        {"huge size of a declined member", Archive().AddStored("dup.txt", "first").Add(huge).Finish().bytes(), ABORT_FAILED,
         {Overwrite("dup.txt"), ReadFailedText()}, {"dup.txt"}},
        // As archivers write the names when they pack the folder ".": the prefix is dropped.
        {"leading ./ components name the folder itself",
         Archive().Add(Member{"./", "", 0}).AddStored("./dot.txt", "d").AddStored("././sub/two.txt", "t")
             .AddStored(".\\back.txt", "b")
             .AddStored([] { std::string s; for (int i = 0; i < 120; ++i) s += "./"; return s + "deep.txt"; }(), "p").Finish().bytes(),
         0, {}, {"back.txt", "deep.txt", "dot.txt", "sub/", "sub/two.txt"},
         {{"dot.txt", "d"}, {"sub/two.txt", "t"}, {"deep.txt", "p"}}},
        {"names that only look odd", oddNames.Finish().bytes(), 0, {},
         {".x/", ".x/y.txt", "..hidden", "CONIN.txt", "a..b.txt", "comma,com10.txt", "con-nul.txt", "lpt0.txt", "sp ace/",
          "sp ace/x y.txt"}},
    };
    for (const std::string& name : odd) rows.back().contents.push_back({name, name});
    // The solid form: programs through the x86 folder, the rest through the LZMA-only one,
    // each file cut from its folder's stream, empty files made and folders left out.
    {
        // Code with calls and jumps (E8/E9) every few bytes, ending in one that the converter
        // leaves as it is.
        std::string program = "MZ" + zipcraft::RandomBytes(30000, 7);
        for (size_t i = 2; i + 5 < program.size(); i += 23) program[i] = (char)(i % 2 ? 0xE8 : 0xE9), program[i + 4] = 0;
        program += "è";
        const std::string text = zipcraft::SampleText(70000, 8), random = zipcraft::RandomBytes(200000, 9);
        auto solid = [](std::vector<solidcraft::File> files, std::function<void(solidcraft::Archive*)> edit = nullptr) {
            solidcraft::Archive a;
            a.files = files;
            if (edit) edit(&a);
            return a.Build();
        };
        std::vector<Row> solidRows = {
            {"solid: both folders, an empty file and a folder entry",
             solid({{"setup.exe", program, false, true}, {"docs", "", true}, {"docs/readme.txt", text},
                    {"empty.txt", ""}, {"\xC3\xA4\xC3\xB6\xC3\xBC \xC3\x9F.txt", "umlauts"}, {"bin/tool.dll", program, false, true}}),
             0, {}, {"bin/", "bin/tool.dll", "docs/", "docs/readme.txt", "empty.txt", "setup.exe", "\xE4\xF6\xFC \xDF.txt"},
             {{"setup.exe", program}, {"bin/tool.dll", program}, {"docs/readme.txt", text}, {"empty.txt", ""},
              {"\xE4\xF6\xFC \xDF.txt", "umlauts"}}},
            {"solid: the header LZMA-encoded, both folders",
             solid({{"setup.exe", program, false, true}, {"docs", "", true}, {"docs/readme.txt", text}, {"empty.txt", ""}},
                   [](solidcraft::Archive* a) { a->encodeHeader = 1; }),
             0, {}, {"docs/", "docs/readme.txt", "empty.txt", "setup.exe"},
             {{"setup.exe", program}, {"docs/readme.txt", text}, {"empty.txt", ""}}},
            {"solid: the converter listed after LZMA, as 7-Zip writes it",
             solid({{"a.exe", program, false, true}}, [](solidcraft::Archive* a) { a->bcjFirst = false; }), 0, {},
             {"a.exe"}, {{"a.exe", program}}},
            // The LZMA-only folder first (its bytes hold E8 and E9 too), then the x86 one.
            {"solid: the x86 folder second, its converter after LZMA",
             solid({{"a.exe", program, false, true}, {"data.bin", random}},
                   [](solidcraft::Archive* a) { a->bcjFirst = false, a->programsLast = true; }),
             0, {}, {"a.exe", "data.bin"}, {{"a.exe", program}, {"data.bin", random}}},
            // One file in each folder, so their counts left out of the header (each is 1).
            {"solid: one file a folder, the counts left out",
             solid({{"a.exe", program, false, true}, {"data.bin", random}},
                   [](solidcraft::Archive* a) { a->editHeader = [](std::string* h) { h->erase(h->find("\x08\x0D") + 1, 3); }; }),
             0, {}, {"a.exe", "data.bin"}, {{"a.exe", program}, {"data.bin", random}}},
            // A 4 KiB dictionary: the ring turns over many times, files end anywhere in it.
            {"solid: a small dictionary, files across its turns",
             solid({{"r1.bin", random.substr(0, 4095)}, {"r2.bin", random.substr(4095, 100000)}, {"r3.bin", random.substr(104095)}},
                   [](solidcraft::Archive* a) { a->dictionary = 4096; }),
             0, {}, {"r1.bin", "r2.bin", "r3.bin"},
             {{"r1.bin", random.substr(0, 4095)}, {"r2.bin", random.substr(4095, 100000)}, {"r3.bin", random.substr(104095)}}},
            {"solid: a declined member is decoded past",
             solid({{"dup.txt", "first"}, {"dup.txt", text}, {"next.txt", "next"}}), 0, {Overwrite("dup.txt")},
             {"dup.txt", "next.txt"}, {{"dup.txt", "first"}, {"next.txt", "next"}}},
            {"solid: empty files only", solid({{"a.txt", ""}, {"d", "", true}, {"d/b.txt", ""}}), 0, {}, {"a.txt", "d/", "d/b.txt"}},
            {"solid: no files at all", solid({}), 0, {}, {}},
            {"solid: a folder entry that climbs makes nothing", solid({{"..", "", true}, {"ok.txt", "ok"}}), 0, {}, {"ok.txt"}},
            // U+0100 has no place in Windows-1252; an empty folder of that name is never made
            {"solid: a folder name outside the ANSI code page", solid({{"\xC4\x80", "", true}, {"ok.txt", "ok"}}), 0, {},
             {"ok.txt"}},
        };
        rows.insert(rows.end(), solidRows.begin(), solidRows.end());
    }
    // A data descriptor's signature, near misses of the three, and a foreign one where a
    // record is expected: the members before it are written.
    for (const char* sig : {"PK\7\x08", "PK\5\5", "PK\3\3", "PK\1\1", "PK\6\6", "MZ\x90\x01", "pk\3\4"})
        rows.push_back({std::string("foreign signature ") + sig,
                        Archive().AddStored("ok.txt", "fine").Raw(std::string(sig, 4)).Finish().bytes(), ABORT_FAILED,
                        {badHeader}, {"ok.txt"}, {{"ok.txt", "fine"}}});
    // Names of 264 bytes and more are refused, in local and in central records.
    for (size_t length : {264u, 300u, 65535u}) {
        rows.push_back({"local name of " + std::to_string(length), Archive().Add(Member{std::string(length, 'n'), "x", 0})
                            .Finish().bytes(), ABORT_FAILED, {badHeader}, {}});
        rows.push_back({"central name of " + std::to_string(length),
                        Archive().Central(std::string(length, 'c')).End().bytes(), ABORT_FAILED, {badHeader}, {}});
    }
    Walk(rows[0].archive, rows[0].offset);  // the message table, unpacked once, stays
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ReleaseResources();
        const long long live = standin::LiveBlocks();
        Outcome run = Walk(row.archive, row.offset);
        EXPECT_EQ(run.code, row.code);
        std::vector<std::string> texts;
        for (const ShownMessageBox& box : run.boxes) texts.push_back(box.text);
        EXPECT_EQ(texts, row.boxes);
        if (row.code) {
            ASSERT_FALSE(run.boxes.empty());
            EXPECT_EQ(run.boxes.back().type, (UINT)(MB_OK | MB_ICONERROR));
            EXPECT_EQ(run.boxes.back().owner, standin::FakeDialog());
            EXPECT_EQ(run.boxes.back().caption, "Tessly Self-Extractor");
        }
        EXPECT_EQ(state.output.file, 0);
        std::vector<std::string> tree = zipcraft::ListTree(out_), want = row.tree;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(tree, want);
        for (const auto& [name, content] : row.contents) EXPECT_EQ(ReadFile(out_ + "/" + name), content) << name;
        EXPECT_EQ(zipcraft::ListTree(scratch_.path()).size(), tree.size() + 2);  // setup.exe, out/
        // The end of the run gives back every block the extraction took, the decoders' too.
        ReleaseResources();
        EXPECT_EQ(standin::LiveBlocks(), live);
    }
}

// Every read of a clean run fails in turn, whether it brings records or member data; in the
// solid form also the header and, behind an encoded header, its packed stream.
TEST_F(OutputTest, EveryShortReadEndsTheRunWithMessage36) {
    const std::string big = zipcraft::RandomBytes(140000, 8), text = zipcraft::SampleText(400000, 7);
    solidcraft::Archive solid;
    solid.files = {{"a/b.txt", big}, {"big.txt", text}};
    solid.encodeHeader = 1;
    for (const std::string& archive :
         {Archive().AddStored("a/b.txt", big).AddDeflated("big.txt", text).Finish("c").bytes(), solid.Build()}) {
        SCOPED_TRACE(archive.substr(0, 2));
        Outcome clean = Walk(archive);
        ASSERT_EQ(clean.code, 0);
        long long reads = standin::ReadCalls() - probeReads_;
        ASSERT_GE(reads, 4);
        for (int n = 1; n <= reads; ++n) {
            SCOPED_TRACE(n);
            Outcome run = Walk(archive, kPrefix.size(), n);
            EXPECT_EQ(run.code, ABORT_FAILED);
            ASSERT_EQ(run.boxes.size(), 1u);
            EXPECT_EQ(run.boxes[0].text, ReadFailedText());
            EXPECT_EQ(state.output.file, 0);
        }
    }
}

// Stored and deflated members of many sizes come out whole, in folders made for their files
// only; only each member's whole 2048-byte steps count towards the meter.
TEST_F(OutputTest, MembersComeOutWholeAndCountWholeSteps) {
    Archive archive;
    std::vector<std::pair<std::string, std::string>> files;
    auto add = [&](const std::string& name, const std::string& content, int method, int level = 9) {
        Member m{name, content, method};
        m.haveData = true, m.data = method ? RawDeflate(content, level) : content;
        archive.Add(m);
        files.push_back({name, content});
    };
    int n = 0;
    for (size_t size : {0, 1, 2047, 2048, 2049, 5000, 6144, 65536 + 700, 200000})
        add("s" + std::to_string(size), zipcraft::RandomBytes(size, (unsigned)size), 0);
    for (size_t size : {0, 1, 2047, 2048, 2049, 32767, 32768, 32769, 65536, 200001}) {
        ++n;
        add("d" + std::to_string(n), n % 2 ? zipcraft::SampleText(size, n) : zipcraft::RandomBytes(size, n), 8);
    }
    add("level0", zipcraft::SampleText(70000, 99), 8, 0);
    add("a/b/c/d.txt", "deep", 0);
    add("a/b/e.txt", "e", 8);
    // 263 characters are the longest path that fits.
    add(std::string(263 - out_.size() - 1, 'n'), "fits", 0);
    Outcome run = ExtractArchive(archive.Finish().bytes());
    EXPECT_EQ(run.code, 0);
    EXPECT_TRUE(run.boxes.empty());
    DWORD wholeSteps = 0;
    for (const auto& [name, content] : files) {
        EXPECT_EQ(Content(name), content) << name;
        wholeSteps += (DWORD)(content.size() - content.size() % 2048);
    }
    EXPECT_EQ(state.progress.bytesDone, wholeSteps);
    std::vector<std::string> tree = zipcraft::ListTree(out_);
    EXPECT_EQ(std::vector<std::string>(tree.begin(), tree.begin() + 5),
              (std::vector<std::string>{"a/", "a/b/", "a/b/c/", "a/b/c/d.txt", "a/b/e.txt"}));
    EXPECT_EQ(tree.size(), files.size() + 3);
}

// Each failure of the output side: its one error box (after any question, answered Yes).
TEST_F(OutputTest, OutputFailuresEndWithTheirMessage) {
    auto shown = [&](int id, const std::string& name) { return zipcraft::Formatted(id, ShownPath(name).c_str()); };
    auto member = [](const std::string& name, const std::string& content, int method, int64_t crc = -1) {
        return Member{name, content, method, 0, zipcraft::kTime, zipcraft::kDate, crc};
    };
    Member deflated = member("d.txt", zipcraft::SampleText(20000, 3), 8);
    deflated.haveData = true;
    deflated.data = RawDeflate(deflated.content);
    std::string longName(263 - out_.size(), 'n');  // one more than a path may have
    char badCrc[600];  // "abc" has the CRC-32 352441c2
    wsprintfA(badCrc, Message(MSG_BAD_CRC).c_str(), ShownPath("sub/data.txt").c_str(), 0x352441c2u, 0x0000abcdu);
    ASSERT_NE(std::string(badCrc).find("352441c2 (sollte 0000abcd"), std::string::npos);
    struct Row {
        std::string what;
        Member m;
        std::function<void()> before;                            // what the folder holds already
        std::vector<std::string> boxes;                          // "" where any text will do
        std::vector<std::pair<std::string, std::string>> after;  // files and their contents
        long long writeLimit = -1;
    };
    std::vector<Row> rows = {
        {"bad CRC", member("sub/data.txt", "abc", 0, 0xABCD), [] {}, {badCrc}, {{"sub/data.txt", "abc"}}},
        {"a folder where a folder cannot be made", member("plain/inner/x.txt", "x", 0),
         [&] { WriteFile(Path("plain"), "a file"); }, {shown(MSG_CANNOT_CREATE_FOLDER, "plain\\inner")}},
        {"a file in the path", member("file/x.txt", "x", 0), [&] { WriteFile(Path("file"), "a file"); },
         {shown(MSG_CANNOT_CREATE_FILE, "file\\x.txt")}},
        {"the output path taken by a folder", member("taken", "x", 0), [&] { mkdir(Path("taken").c_str(), 0777); },
         {shown(MSG_OVERWRITE_QUERY, "taken"), shown(MSG_CANNOT_CREATE_FILE, "taken")}},
        {"a read-only file: no attribute is cleared", member("ro.txt", "new", 0),
         [&] { WriteFile(Path("ro.txt"), "old"), chmod(Path("ro.txt").c_str(), 0444); },
         {shown(MSG_OVERWRITE_QUERY, "ro.txt"), shown(MSG_CANNOT_CREATE_FILE, "ro.txt")}, {{"ro.txt", "old"}}},
        // Refused with the path as it would have been, separators turned.
        {"a path that does not fit", member(longName, "x", 0), [] {},
         {zipcraft::Formatted(MSG_CANNOT_CREATE_FILE, zipcraft::Backslashed(out_ + "/" + longName).c_str())}},
    };
    for (int method : {6, 9, 12, 1, 14, 99})
        rows.push_back({"method " + std::to_string(method), member("packed.bin", zipcraft::SampleText(3000, 1), method),
                        [] {}, {Message(MSG_BAD_METHOD)}, {{"packed.bin", ""}}});
    // One byte of the data changed: a damaged stream or a wrong CRC, reported either way.
    for (size_t at : {deflated.data.size() / 2, deflated.data.size() - 2}) {
        rows.push_back({"damaged stream at " + std::to_string(at), deflated, [] {}, {""}});
        rows.back().m.data[at] ^= 0x10;
    }
    for (long long limit : {0ll, 100ll, 2048ll, 5000ll}) {
        rows.push_back({"writes stop after " + std::to_string(limit), member("w.txt", zipcraft::SampleText(9000, 2), 8),
                        [] {}, {shown(MSG_WRITE_FAILED, "w.txt")}});
        rows.back().writeLimit = limit;
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        zipcraft::EmptyFolder(out_);
        row.before();
        answers_.overwrite = IDYES;
        Load(Archive().Add(row.m).AddStored("later.txt", "never").Finish().bytes());
        standin::LimitWrites(row.writeLimit);
        Outcome run = Go();
        ASSERT_EQ(run.boxes.size(), row.boxes.size());
        for (size_t i = 0; i < run.boxes.size(); ++i)
            EXPECT_TRUE(row.boxes[i].empty() || run.boxes[i].text == row.boxes[i]) << i << ": " << run.boxes[i].text;
        EXPECT_EQ(run.code, ABORT_FAILED);
        EXPECT_EQ(run.boxes.back().type, (UINT)(MB_OK | MB_ICONERROR));
        EXPECT_EQ(state.output.file, 0);
        for (const auto& [name, content] : row.after) EXPECT_EQ(Content(name), content) << name;
        EXPECT_FALSE(FileExists(Path("later.txt")));
    }
}

TEST_F(OutputTest, OverwriteQuestionPerMember) {
    struct Case {
        int answer;
        int code;
        const char* expected;
        bool nextWritten;
    } const cases[] = {
        {IDYES, 0, "new", true},
        {IDNO, 0, "the old, longer content", true},
        {IDCANCEL, ABORT_CANCELLED, "the old, longer content", false},
        {0, 0, "new", true},  // a silent run: Yes, and no box
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        zipcraft::EmptyFolder(out_);
        WriteFile(Path("f/exists.txt"), "the old, longer content");
        answers_.overwrite = c.answer;
        Load(Archive().AddStored("f/exists.txt", "new").AddStored("next.txt", "next").Finish().bytes());
        state.run.silentMode = !c.answer;
        Outcome run = Go();
        EXPECT_EQ(run.code, c.code);
        ASSERT_EQ(run.boxes.size(), c.answer ? 1u : 0u);  // Cancel shows no error box
        if (c.answer) {
            EXPECT_EQ(run.boxes[0].text,
                      zipcraft::Formatted(MSG_OVERWRITE_QUERY, ShownPath("f\\exists.txt").c_str()));
            EXPECT_EQ(run.boxes[0].type, (UINT)MB_YESNOCANCEL);
            EXPECT_EQ(run.boxes[0].owner, standin::FakeDialog());
        }
        EXPECT_EQ(Content("f/exists.txt"), c.expected);
        EXPECT_EQ(FileExists(Path("next.txt")), c.nextWritten);
    }
    // Asked anew for every member.
    answers_.overwrite = IDNO;
    WriteFile(Path("next.txt"), "old");
    Outcome run = ExtractArchive(Archive().AddStored("f/exists.txt", "1").AddStored("next.txt", "2").Finish().bytes());
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.boxes.size(), 2u);
}

TEST_F(OutputTest, ModuleInUseIsAskedOnlyOnOldHosts) {
    std::string path = ShownPath("mod.dll");
    const std::string module = "module" + std::string(70000, 'm');  // a skip past the read buffer
    for (int host = 0; host < 3; ++host) {
        for (int answer : {IDOK, IDCANCEL, 0}) {  // 0: a silent run, which answers OK
            SCOPED_TRACE(host * 10 + answer);
            zipcraft::EmptyFolder(out_);
            Load(Archive().AddStored("mod.dll", module).AddStored("z.txt", "z").Finish().bytes());
            state.run.win32sHost = host == 1;
            state.run.win95Host = host == 2;
            standin::SetModulePath(path);
            answers_.inUse = answer;
            state.run.silentMode = !answer;
            Outcome run = Go();
            if (host == 0) {
                EXPECT_EQ(run.code, 0);
                EXPECT_TRUE(run.boxes.empty());
                EXPECT_EQ(Content("mod.dll"), module);
                continue;
            }
            ASSERT_EQ(run.boxes.size(), answer ? 1u : 0u);
            if (answer) {
                EXPECT_EQ(run.boxes[0].text, zipcraft::Formatted(MSG_MODULE_IN_USE, path.c_str()));
                EXPECT_EQ(run.boxes[0].type, (UINT)MB_OKCANCEL);
            }
            EXPECT_FALSE(FileExists(Path("mod.dll")));  // skipped either way
            EXPECT_EQ(run.code, answer != IDCANCEL ? 0 : ABORT_CANCELLED);
            EXPECT_EQ(FileExists(Path("z.txt")), answer != IDCANCEL);
        }
    }
}

TEST_F(OutputTest, TimesComeFromTheDosDateAndTime) {
    Member m{"t.txt", "time", 0}, bad{"bad-date.txt", "time", 0};
    bad.date = 0;  // no valid date: the times are left alone
    Outcome run = ExtractArchive(Archive().Add(m).Add(bad).Finish().bytes());
    EXPECT_EQ(run.code, 0);
    struct tm t = {};  // 2025-04-22 13:17:56
    t.tm_year = 125, t.tm_mon = 3, t.tm_mday = 22, t.tm_hour = 13, t.tm_min = 17, t.tm_sec = 56;
    struct stat st;
    ASSERT_EQ(stat(Path("t.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, timegm(&t));
    EXPECT_EQ(st.st_atime, timegm(&t));
    ASSERT_EQ(stat(Path("bad-date.txt").c_str(), &st), 0);
    EXPECT_NE(st.st_mtime, timegm(&t));
}

// The meter moves once per 64 KiB of full buffers; the position is bytesDone * 100 /
// totalSize kept within 0..100 (the largest totals in the test after this one), sent again
// only for a new member (whose name it shows), and then without the repaint at once. The
// meter is invalidated at the first mark; while nothing paints, that stands for the later ones.
TEST_F(OutputTest, MeterMovesOncePer64KiB) {
    struct Case {
        uint32_t totalSize;
        DWORD meterShown;
        std::vector<std::pair<WPARAM, LPARAM>> sent;  // position, repaint left to the pump
    } const cases[] = {
        {1000000, 1, {{6, 0}, {13, 0}, {19, 0}, {26, 0}}},
        {1000000, 0, {}},
        {0, 1, {{100, 0}, {100, 1}}},  // no total at all
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.totalSize);
        unlink(Path("big.bin").c_str()), unlink(Path("next.bin").c_str());
        Load(Archive().AddStored("big.bin", zipcraft::RandomBytes(200000, 4)).AddStored("next.bin", std::string(70000, 'n')).Finish().bytes(), c.totalSize);
        state.meter.shown = c.meterShown;
        Outcome run = Go();
        EXPECT_EQ(run.code, 0);
        std::vector<std::pair<WPARAM, LPARAM>> sent;
        for (const standin::SentMessage& m : standin::SentMessages())
            if (m.id == ID_METER && m.message == METER_SETPOS) sent.emplace_back(m.wParam, m.lParam);
        EXPECT_EQ(sent, c.sent);
        EXPECT_EQ(standin::Invalidations(ID_METER), 1);
    }
}

TEST_F(OutputTest, MeterPositionIsExactWithoutOverflow) {
    Load(Archive().End().bytes());
    state.output.file = _lopen("/dev/null", OF_WRITE);
    state.meter.shown = 1;
    static const unsigned char step[2048] = {};
    const uint32_t totals[] = {1, 7, 100, 65536, 131072, 1000000, 0x7FFFFFFF, 0x80000001, 0xFFFFFFFF};
    for (uint32_t total : totals) {
        const uint64_t dones[] = {65536, 65537, 1000000, 0x40000000, 0xFFFF0000, total, (uint64_t)total - 1};
        for (uint64_t done : dones) {
            if (done < 65536) continue;  // no meter update below 64 KiB
            SCOPED_TRACE(std::to_string(total) + " " + std::to_string(done));
            stubParams.totalSize = total;
            state.progress.bytesDone = (DWORD)(done - 2048);
            state.progress.lastMark = (DWORD)(done - 65536);
            state.output.memberBytes = state.meter.sent = 0;
            size_t before = standin::SentMessages().size();
            WriteOutput(step, sizeof step);
            ASSERT_EQ(standin::SentMessages().size(), before + 1);
            uint64_t expected = done * 100 / total;
            EXPECT_EQ(standin::SentMessages().back().wParam, expected > 100 ? 100 : expected);
        }
    }
    _lclose(state.output.file);
    state.output.file = 0;
}

// The status line names each member (cut to the 99 characters it holds) unless the meter is
// shown; the overwrite question is cut to its 119.
TEST_F(OutputTest, StatusLineNamesTheMemberUnlessTheMeterIsShown) {
    const std::string name = std::string(200, 'n') + ".txt";
    const std::string archive = Archive().AddStored("dir/first.txt", "1").AddDeflated(name, "2").Finish().bytes();
    Outcome run = ExtractArchive(archive);
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(standin::ControlText(ID_STATUS), zipcraft::Formatted(MSG_UNZIPPING, name.c_str()).substr(0, 99));
    EXPECT_EQ(standin::Invalidations(ID_STATUS), 2);

    Load(archive);
    state.meter.shown = 1;
    run = Go();
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(standin::ControlText(ID_STATUS), "");
    EXPECT_EQ(standin::Invalidations(ID_STATUS), 0);

    state.meter.shown = 0;
    run = ExtractArchive(Archive().AddStored(name, "new").AddStored("z", "").Finish().bytes());
    EXPECT_EQ(run.code, 0);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, zipcraft::Formatted(MSG_OVERWRITE_QUERY, ShownPath(name).c_str()).substr(0, 119));
}

// A click or key aimed at the dialog during extraction asks message 11 after the next write;
// what was written stays until the folder goes.
TEST_F(OutputTest, CancelQueryAfterAWrite) {
    std::string content = zipcraft::RandomBytes(10000, 9);
    for (int answer : {IDYES, IDNO}) {
        SCOPED_TRACE(answer);
        unlink(Path("c.bin").c_str());
        Load(Archive().AddStored("c.bin", content).AddStored("d.txt", "d").Finish().bytes());
        answers_.cancelQuery = answer;
        standin::PostInput(standin::FakeControl(ID_CLOSE), WM_LBUTTONDOWN, 0, 0);
        Outcome run = Go();
        ASSERT_EQ(run.boxes.size(), 1u);
        EXPECT_EQ(run.boxes[0].text, Message(MSG_CANCEL_QUERY));
        EXPECT_EQ(run.boxes[0].type, (UINT)(MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2));
        EXPECT_EQ(state.output.file, 0);
        if (answer == IDYES) {
            EXPECT_EQ(run.code, ABORT_FAILED);
            std::string written = Content("c.bin");  // stays until the folder goes
            EXPECT_FALSE(written.empty());
            EXPECT_EQ(written, content.substr(0, written.size()));
            EXPECT_FALSE(FileExists(Path("d.txt")));
        } else {
            EXPECT_EQ(run.code, 0);
            EXPECT_EQ(Content("c.bin"), content);
        }
    }
}

}  // namespace
