// The archive walker on real files: which records it reads and steps over, where the walk
// ends, and every way an archive can be cut short, mislabelled or hostile.
#include <gtest/gtest.h>
#include <sys/stat.h>

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
        mkdir(out_.c_str(), 0777);
    }
    void TearDown() override { FreshState(); }

    // Extracts into an empty folder.
    Outcome ExtractArchive(const std::string& archive, uint32_t offset = kPrefix.size()) {
        zipcraft::EmptyFolder(out_);
        WriteFileBytes(file_, kPrefix + archive);
        zipcraft::Prepare(file_, offset, out_);
        return zipcraft::Extract();
    }
    std::vector<std::string> Extracted() { return zipcraft::ListTree(out_); }
    std::string Content(const std::string& name) { return ReadFileBytes(out_ + "/" + name); }
    std::string ReadFailedText() { return zipcraft::Formatted(MSG_READ_FAILED, file_.c_str()); }

    void ExpectFailure(const Outcome& run, const std::string& text) {
        EXPECT_EQ(run.code, ABORT_FAILED);
        ASSERT_EQ(run.boxes.size(), 1u);
        EXPECT_EQ(run.boxes[0].text, text);
        EXPECT_EQ(run.boxes[0].type, (UINT)(MB_OK | MB_ICONERROR));
        EXPECT_EQ(run.boxes[0].owner, standin::FakeDialog());
        EXPECT_EQ(run.boxes[0].caption, "Tessly Self-Extractor");
        EXPECT_EQ(state.outputFile, 0);
    }

    ScratchDir scratch_;
    std::string file_, out_;
};

TEST_F(WalkerTest, EndRecordAloneCompletesWithNothingWritten) {
    Outcome run = ExtractArchive(Archive().End().bytes());
    EXPECT_EQ(run.code, 0);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_TRUE(Extracted().empty());
}

TEST_F(WalkerTest, NothingAfterTheEndRecordAndItsCommentIsTaken) {
    Archive tail;
    tail.AddStored("after.txt", "never");
    Archive archive;
    archive.AddStored("a.txt", "alpha").Finish("a comment").Raw(tail.bytes()).Raw("PK\7\x08junk");
    Outcome run = ExtractArchive(archive.bytes());
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(Extracted(), std::vector<std::string>{"a.txt"});
}

TEST_F(WalkerTest, RecordsAreTakenInAnyOrderAndCentralEntriesSkipped) {
    Archive archive;
    archive.Central("ghost.txt", "EXTRA", "a comment on nothing")
        .AddStored("one.txt", "1")
        .Central("one.txt")
        .AddDeflated("two.txt", zipcraft::SampleText(5000, 2))
        .Central("two.txt", std::string(300, 'x'), "c")
        .End();
    Outcome run = ExtractArchive(archive.bytes());
    EXPECT_EQ(run.code, 0);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(Extracted(), (std::vector<std::string>{"one.txt", "two.txt"}));
    EXPECT_EQ(Content("two.txt"), zipcraft::SampleText(5000, 2));
}

TEST_F(WalkerTest, DataDescriptorBytesAreSkippedAndNeverUsed) {
    // The descriptors carry wrong values: the member is checked against its local header.
    std::string junk = std::string("PK\7\x08") + std::string(12, '\xEE');
    Member stored;
    stored.name = "stored.bin";
    stored.content = zipcraft::RandomBytes(3000, 5);
    stored.flags = 0x0008;
    stored.descriptor = junk;
    Member deflated = stored;
    deflated.name = "deflated.txt";
    deflated.content = zipcraft::SampleText(40000, 6);
    deflated.method = 8;
    Archive archive;
    archive.Add(stored).Add(deflated).Add(stored).Finish();  // the second "stored.bin" is declined
    Outcome run = ExtractArchive(archive.bytes());
    EXPECT_EQ(run.code, 0);
    ASSERT_EQ(run.boxes.size(), 1u);  // the overwrite question, answered No
    EXPECT_EQ(Content("stored.bin"), stored.content);
    EXPECT_EQ(Content("deflated.txt"), deflated.content);
}

TEST_F(WalkerTest, DeclinedMemberIsSteppedOverAndTheWalkGoesOn) {
    Archive archive;
    archive.AddStored("dup.txt", "first")
        .AddDeflated("dup.txt", zipcraft::SampleText(9000, 1))
        .AddStored("next.txt", "next")
        .Finish();
    Outcome run = ExtractArchive(archive.bytes());
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(Content("dup.txt"), "first");
    EXPECT_EQ(Content("next.txt"), "next");
}

TEST_F(WalkerTest, BytesAfterADeflateStreamInsideItsMemberAreSteppedOver) {
    // The local header counts 5000 bytes more than the stream takes, more than the feed
    // reads past its end: the next record is where the header says, not where reading
    // stopped.
    Member padded;
    padded.name = "padded.txt";
    padded.content = zipcraft::SampleText(10000, 4);
    padded.method = 8;
    padded.haveData = true;
    padded.data = zipcraft::Deflate(padded.content) + "PK\3\4" + std::string(4996, 'j');
    Archive archive;
    archive.Add(padded).AddStored("next.txt", "next").Finish();
    Outcome run = ExtractArchive(archive.bytes());
    EXPECT_EQ(run.code, 0);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(Content("padded.txt"), padded.content);
    EXPECT_EQ(Content("next.txt"), "next");
}

TEST_F(WalkerTest, DirectoryEntriesMakeNoFolderAndSkipNothing) {
    // The directory entries claim 100 bytes of data that are not there: none is skipped.
    Member dir;
    dir.name = "made/";
    dir.packed = 100;
    Member backslashDir = dir;
    backslashDir.name = "other\\";
    Archive archive;
    archive.Add(dir).Add(backslashDir).AddStored("made2/file.txt", "x").Finish();
    Outcome run = ExtractArchive(archive.bytes());
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(Extracted(), (std::vector<std::string>{"made2/", "made2/file.txt"}));
}

TEST_F(WalkerTest, NamesArriveInTheAnsiCodePage) {
    // "äöü ß.txt" in code page 850, then with a leading slash and in a folder.
    Archive archive;
    archive.AddStored("\x84\x94\x81 \xE1.txt", "umlauts")
        .AddStored("/lead.txt", "one leading slash")
        .AddStored("\\x\\y/z.txt", "mixed separators")
        .Finish();
    Outcome run = ExtractArchive(archive.bytes());
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(Extracted(), (std::vector<std::string>{"lead.txt", "x/", "x/y/", "x/y/z.txt",
                                                      "\xE4\xF6\xFC \xDF.txt"}));
    EXPECT_EQ(Content("\xE4\xF6\xFC \xDF.txt"), "umlauts");
}

TEST_F(WalkerTest, ForeignSignaturesWhereARecordIsExpected) {
    // A data descriptor's signature, near misses of the three, and no signature at all.
    for (const char* sig : {"PK\7\x08", "PK\5\5", "PK\3\3", "PK\1\1", "PK\6\6", "MZ\x90\x01",
                            "pk\3\4"}) {
        SCOPED_TRACE(sig);
        Archive archive;
        archive.AddStored("ok.txt", "fine").Raw(std::string(sig, 4)).Finish();
        Outcome run = ExtractArchive(archive.bytes());
        ExpectFailure(run, Message(MSG_BAD_HEADER));
        EXPECT_EQ(Content("ok.txt"), "fine");  // the members before it are written
    }
    Outcome run = ExtractArchive(std::string(4, '\0'));
    ExpectFailure(run, Message(MSG_BAD_HEADER));
}

// Every read of a clean run, failed in turn: each is checked, whether it brings records or
// member data.
TEST_F(WalkerTest, EveryShortReadEndsTheRunWithMessage36) {
    Archive archive;
    Member deflated;
    deflated.name = "big.txt";
    deflated.content = zipcraft::SampleText(400000, 7);
    deflated.method = 8;
    archive.AddStored("a/b.txt", zipcraft::RandomBytes(140000, 8)).Add(deflated).Finish("c");
    Outcome clean = ExtractArchive(archive.bytes());
    ASSERT_EQ(clean.code, 0);
    long long reads = standin::ReadCalls();
    ASSERT_GE(reads, 4);
    for (int n = 1; n <= reads; ++n) {
        SCOPED_TRACE(n);
        zipcraft::EmptyFolder(out_);
        WriteFileBytes(file_, kPrefix + archive.bytes());
        zipcraft::Prepare(file_, kPrefix.size(), out_);
        standin::FailRead(n);
        Outcome run = zipcraft::Extract();
        ExpectFailure(run, ReadFailedText());
    }
}

TEST_F(WalkerTest, ArchiveOffsetBeyondTheEndIsAShortRead) {
    Archive archive;
    archive.AddStored("a.txt", "a").Finish();
    Outcome run = ExtractArchive(archive.bytes(), (uint32_t)(kPrefix.size() + archive.size() + 10));
    ExpectFailure(run, ReadFailedText());
    EXPECT_TRUE(Extracted().empty());
}

TEST_F(WalkerTest, SeekThatCannotReachTheArchiveIsMessage37) {
    Archive archive;
    archive.AddStored("a.txt", "a").Finish();
    Outcome run = ExtractArchive(archive.bytes(), 0x80000000u);
    ExpectFailure(run, Message(MSG_SEEK_FAILED));
}

TEST_F(WalkerTest, LongNamesAreRefusedBeforeTheyAreRead) {
    // 263 bytes fit the name buffer (the path then does not fit: message 28); 264 and more
    // are refused with message 31, in local and in central records, without a read.
    for (size_t length : {264u, 300u, 65535u}) {
        SCOPED_TRACE(length);
        Member member;
        member.name = std::string(length, 'n');
        member.content = "x";
        Outcome run = ExtractArchive(Archive().Add(member).Finish().bytes());
        ExpectFailure(run, Message(MSG_BAD_HEADER));

        run = ExtractArchive(Archive().Central(std::string(length, 'c')).End().bytes());
        ExpectFailure(run, Message(MSG_BAD_HEADER));
    }
    Member member;
    member.name = std::string(263, 'n');
    Outcome run = ExtractArchive(Archive().Add(member).Finish().bytes());
    std::string path = out_ + "\\" + member.name;
    std::string text = zipcraft::Formatted(MSG_CANNOT_CREATE_FILE, path.c_str());
    ExpectFailure(run, text.substr(0, MESSAGE_BUFFER_BYTES - 1));
    EXPECT_TRUE(Extracted().empty());
}

TEST_F(WalkerTest, HugeSizeOfADeclinedMemberEndsTheRunInsteadOfWalkingBack) {
    // A size beyond 2 GiB would seek backwards onto the same header again and again.
    Member again;
    again.name = "dup.txt";
    again.content = "second";
    again.haveData = true;
    again.packed = 0xFFFFFFC0u;
    Archive archive;
    archive.AddStored("dup.txt", "first").Add(again).Finish();
    Outcome run = ExtractArchive(archive.bytes());
    EXPECT_EQ(run.code, ABORT_FAILED);
    ASSERT_EQ(run.boxes.size(), 2u);  // the overwrite question, then the failure
    EXPECT_EQ(run.boxes[1].text, ReadFailedText());
}

// Hostile names are rows of the hostile suite (extract_damage_test.cpp); these are not.
TEST_F(WalkerTest, NamesThatOnlyLookOddStayAllowed) {
    const char* const names[] = {"a..b.txt", "..hidden", ".x/y.txt", "sp ace/x y.txt",
                                 "con-nul.txt", "comma,com10.txt", "lpt0.txt", "CONIN.txt"};
    Archive archive;
    for (const char* name : names) archive.AddStored(name, name);
    Outcome run = ExtractArchive(archive.Finish().bytes());
    EXPECT_EQ(run.code, 0);
    EXPECT_TRUE(run.boxes.empty());
    for (const char* name : names) EXPECT_EQ(Content(name), name);
    // A directory entry that climbs makes nothing, so it needs no check.
    run = ExtractArchive(Archive().Add(Member{"../evil/"}).Finish().bytes());
    EXPECT_EQ(run.code, 0);
    EXPECT_FALSE(FileExists(scratch_.File("evil")));
}

}  // namespace
