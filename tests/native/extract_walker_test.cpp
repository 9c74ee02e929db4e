// The archive walker on real files: which records it reads and steps over, where the walk
// ends, and every way an archive can be cut short, mislabelled or hostile.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "tests/support/fresh_state.h"
#include "tests/support/zip_craft.h"

using zipcraft::Archive;
using zipcraft::Member;
using zipcraft::Outcome;

namespace {

const std::string kPrefix(1500, 'M');  // stands for the stub's image

class WalkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        file_ = scratch_.File("setup.exe");
        out_ = scratch_.File("out");
    }
    void TearDown() override { FreshState(); }

    // Extracts into an empty folder; read number `failRead` fails (0: none).
    Outcome ExtractArchive(const std::string& archive, uint32_t offset = kPrefix.size(), int failRead = 0) {
        zipcraft::EmptyFolder(out_);
        WriteFile(file_, kPrefix + archive);
        zipcraft::Prepare(file_, offset, out_);
        standin::FailRead(failRead);
        return zipcraft::Extract();
    }
    std::string Shown(const std::string& name) { return zipcraft::Backslashed(out_ + "/" + name); }
    std::string ReadFailedText() { return zipcraft::Formatted(MSG_READ_FAILED, file_.c_str()); }
    std::string Overwrite(const std::string& name) {
        return zipcraft::Formatted(MSG_OVERWRITE_QUERY, Shown(name).c_str());
    }

    TempDir scratch_;
    std::string file_, out_;
};

Member Make(const std::string& name, const std::string& content, int method = 0) {
    Member m;
    m.name = name, m.content = content, m.method = method;
    return m;
}

// Each archive: the run's result, every box it showed (the last an error box when it
// failed), and everything in the folder afterwards; nothing appears outside it.
TEST_F(WalkerTest, EachArchiveEndsAsItShould) {
    Member stored = Make("stored.bin", zipcraft::RandomBytes(3000, 5)), deflated;
    stored.flags = 0x0008;  // the descriptors carry wrong values: the local header counts
    stored.descriptor = std::string("PK\7\x08") + std::string(12, '\xEE');
    deflated = stored;
    deflated.name = "deflated.txt";
    deflated.content = zipcraft::SampleText(40000, 6);
    deflated.method = 8;
    // The local header counts 5000 bytes more than the stream takes, more than the feed reads
    // past its end: the next record is where the header says, not where reading stopped.
    Member padded = Make("padded.txt", zipcraft::SampleText(10000, 4), 8);
    padded.haveData = true;
    padded.data = zipcraft::Deflate(padded.content) + "PK\3\4" + std::string(4996, 'j');
    // Directory entries that claim 100 bytes of data that are not there: none is skipped.
    Member dir = Make("made/", ""), backslashDir = Make("other\\", "");
    dir.packed = backslashDir.packed = 100;
    // A size beyond 2 GiB would seek backwards onto the same header again and again.
    Member huge = Make("dup.txt", "second");
    huge.haveData = true;
    huge.packed = 0xFFFFFFC0u;
    Archive tail;
    tail.AddStored("after.txt", "never");
    const std::vector<std::string> odd = {"a..b.txt", "..hidden",    ".x/y.txt", "sp ace/x y.txt", "con-nul.txt",
                                          "comma,com10.txt", "lpt0.txt", "CONIN.txt"};
    Archive oddNames;
    for (const std::string& name : odd) oddNames.AddStored(name, name);
    const std::string badHeader = Message(MSG_BAD_HEADER), text2 = zipcraft::SampleText(5000, 2);
    std::string tooLong = zipcraft::Formatted(MSG_CANNOT_CREATE_FILE, (out_ + "\\" + std::string(263, 'n')).c_str());

    struct Row {
        std::string what, archive;
        int code;
        std::vector<std::string> boxes;
        std::vector<std::string> tree;
        std::vector<std::pair<std::string, std::string>> contents = {};
        uint32_t offset = (uint32_t)kPrefix.size();
    };
    std::vector<Row> rows = {
        {"an end record alone", Archive().End().bytes(), 0, {}, {}},
        {"nothing after the end record and its comment is taken",
         Archive().AddStored("a.txt", "alpha").Finish("a comment").Raw(tail.bytes()).Raw("PK\7\x08junk").bytes(), 0,
         {}, {"a.txt"}},
        {"records in any order, central entries skipped",
         Archive().Central("ghost.txt", "EXTRA", "a comment on nothing").AddStored("one.txt", "1").Central("one.txt")
             .AddDeflated("two.txt", text2).Central("two.txt", std::string(300, 'x'), "c").End().bytes(),
         0, {}, {"one.txt", "two.txt"}, {{"two.txt", text2}}},
        {"data descriptors skipped and never used; the second stored.bin declined",
         Archive().Add(stored).Add(deflated).Add(stored).Finish().bytes(), 0, {Overwrite("stored.bin")},
         {"deflated.txt", "stored.bin"}, {{"stored.bin", stored.content}, {"deflated.txt", deflated.content}}},
        {"a declined member is stepped over",
         Archive().AddStored("dup.txt", "first").AddDeflated("dup.txt", zipcraft::SampleText(9000, 1))
             .AddStored("next.txt", "next").Finish().bytes(),
         0, {Overwrite("dup.txt")}, {"dup.txt", "next.txt"}, {{"dup.txt", "first"}, {"next.txt", "next"}}},
        {"bytes after a stream inside its member", Archive().Add(padded).AddStored("next.txt", "next").Finish().bytes(), 0,
         {}, {"next.txt", "padded.txt"}, {{"padded.txt", padded.content}, {"next.txt", "next"}}},
        {"directory entries make no folder and skip nothing",
         Archive().Add(dir).Add(backslashDir).AddStored("made2/file.txt", "x").Finish().bytes(), 0, {},
         {"made2/", "made2/file.txt"}},
        {"a directory entry that climbs makes nothing", Archive().Add(Make("../evil/", "")).Finish().bytes(), 0, {}, {}},
        // "äöü ß.txt" in code page 850, then with a leading slash and in a folder.
        {"names arrive in the ANSI code page",
         Archive().AddStored("\x84\x94\x81 \xE1.txt", "umlauts").AddStored("/lead.txt", "one leading slash")
             .AddStored("\\x\\y/z.txt", "mixed separators").Finish().bytes(),
         0, {}, {"lead.txt", "x/", "x/y/", "x/y/z.txt", "\xE4\xF6\xFC \xDF.txt"}, {{"\xE4\xF6\xFC \xDF.txt", "umlauts"}}},
        {"no signature at all", std::string(4, '\0'), ABORT_FAILED, {badHeader}, {}},
        {"archive offset beyond the end", Archive().AddStored("a.txt", "a").Finish().bytes(), ABORT_FAILED,
         {ReadFailedText()}, {}, {}, (uint32_t)(kPrefix.size() + 200)},
        {"a seek that cannot reach the archive", Archive().AddStored("a.txt", "a").Finish().bytes(), ABORT_FAILED,
         {Message(MSG_SEEK_FAILED)}, {}, {}, 0x80000000u},
        // 263 bytes fit the name buffer, but the path does not fit.
        {"name of 263 bytes", Archive().Add(Make(std::string(263, 'n'), "")).Finish().bytes(), ABORT_FAILED,
         {tooLong.substr(0, MESSAGE_BUFFER_BYTES - 1)}, {}},
        {"huge size of a declined member", Archive().AddStored("dup.txt", "first").Add(huge).Finish().bytes(), ABORT_FAILED,
         {Overwrite("dup.txt"), ReadFailedText()}, {"dup.txt"}},
        {"names that only look odd", oddNames.Finish().bytes(), 0, {},
         {".x/", ".x/y.txt", "..hidden", "CONIN.txt", "a..b.txt", "comma,com10.txt", "con-nul.txt", "lpt0.txt", "sp ace/",
          "sp ace/x y.txt"}},
    };
    for (const std::string& name : odd) rows.back().contents.push_back({name, name});
    // A data descriptor's signature, near misses of the three, and a foreign one where a
    // record is expected: the members before it are written.
    for (const char* sig : {"PK\7\x08", "PK\5\5", "PK\3\3", "PK\1\1", "PK\6\6", "MZ\x90\x01", "pk\3\4"})
        rows.push_back({std::string("foreign signature ") + sig,
                        Archive().AddStored("ok.txt", "fine").Raw(std::string(sig, 4)).Finish().bytes(), ABORT_FAILED,
                        {badHeader}, {"ok.txt"}, {{"ok.txt", "fine"}}});
    // Names of 264 bytes and more are refused, in local and in central records.
    for (size_t length : {264u, 300u, 65535u}) {
        rows.push_back({"local name of " + std::to_string(length), Archive().Add(Make(std::string(length, 'n'), "x"))
                            .Finish().bytes(), ABORT_FAILED, {badHeader}, {}});
        rows.push_back({"central name of " + std::to_string(length),
                        Archive().Central(std::string(length, 'c')).End().bytes(), ABORT_FAILED, {badHeader}, {}});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Outcome run = ExtractArchive(row.archive, row.offset);
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
        EXPECT_EQ(state.outputFile, 0);
        std::vector<std::string> tree = zipcraft::ListTree(out_), want = row.tree;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(tree, want);
        for (const auto& [name, content] : row.contents) EXPECT_EQ(ReadFile(out_ + "/" + name), content) << name;
        EXPECT_EQ(zipcraft::ListTree(scratch_.path()).size(), tree.size() + 2);  // setup.exe, out/
    }
}

// Every read of a clean run, failed in turn: each is checked, whether it brings records or
// member data.
TEST_F(WalkerTest, EveryShortReadEndsTheRunWithMessage36) {
    Member deflated = Make("big.txt", zipcraft::SampleText(400000, 7), 8);
    Archive archive;
    archive.AddStored("a/b.txt", zipcraft::RandomBytes(140000, 8)).Add(deflated).Finish("c");
    Outcome clean = ExtractArchive(archive.bytes());
    ASSERT_EQ(clean.code, 0);
    long long reads = standin::ReadCalls();
    ASSERT_GE(reads, 4);
    for (int n = 1; n <= reads; ++n) {
        SCOPED_TRACE(n);
        Outcome run = ExtractArchive(archive.bytes(), kPrefix.size(), n);
        EXPECT_EQ(run.code, ABORT_FAILED);
        ASSERT_EQ(run.boxes.size(), 1u);
        EXPECT_EQ(run.boxes[0].text, ReadFailedText());
        EXPECT_EQ(state.outputFile, 0);
    }
}

}  // namespace
