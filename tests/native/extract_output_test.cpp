// Member output on real files: what is written and how (write sizes, progress, CRC, times),
// the prompts, and every failure of the output side.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "tests/support/fresh_state.h"
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
    void SetUp() override {
        file_ = scratch_.File("setup.exe");
        out_ = scratch_.File("out");
        mkdir(out_.c_str(), 0777);
    }
    void TearDown() override { FreshState(); }

    // Prepares a run over `archive`; `Go` runs it with `answers_`.
    void Load(const std::string& archive, uint32_t totalSize = 0) {
        WriteFileBytes(file_, kPrefix + archive);
        zipcraft::Prepare(file_, kPrefix.size(), out_, totalSize);
        standin::SetMessageBoxAnswer(AnswerBox, &answers_);
    }
    Outcome Go() { return zipcraft::Extract(); }
    Outcome ExtractArchive(const std::string& archive, uint32_t totalSize = 0) {
        Load(archive, totalSize);
        return Go();
    }
    std::string Path(const std::string& name) { return out_ + "/" + name; }
    std::string Content(const std::string& name) { return ReadFileBytes(Path(name)); }
    std::string ShownPath(const std::string& name) {
        return zipcraft::Backslashed(out_ + "/" + name);
    }
    void ExpectFailure(const Outcome& run, const std::string& text) {
        EXPECT_EQ(run.code, ABORT_FAILED);
        ASSERT_FALSE(run.boxes.empty());
        EXPECT_EQ(run.boxes.back().text, text);
        EXPECT_EQ(run.boxes.back().type, (UINT)(MB_OK | MB_ICONERROR));
        EXPECT_EQ(state.outputFile, 0);
    }

    ScratchDir scratch_;
    std::string file_, out_;
    Answers answers_;
};

// Stored members come out whole; only a member's whole 2048-byte steps count towards the
// meter, so its last part below 2048 bytes never moves it.
TEST_F(OutputTest, StoredMembersComeOutWholeAndCountWholeSteps) {
    struct Case {
        size_t size;
        DWORD bytesDone;
    } const cases[] = {
        {0, 0}, {1, 0}, {2047, 0}, {2048, 2048}, {2049, 2048}, {5000, 4096}, {6144, 6144},
        {65536 + 700, 65536}, {200000, 198656},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        std::string content = zipcraft::RandomBytes(c.size, (unsigned)c.size);
        Archive archive;
        archive.AddStored("s.bin", content).AddStored("t.txt", "after").Finish();
        Outcome run = ExtractArchive(archive.bytes());
        EXPECT_EQ(run.code, 0);
        EXPECT_TRUE(run.boxes.empty());
        EXPECT_TRUE(FileExists(Path("s.bin")));
        EXPECT_EQ(Content("s.bin"), content);
        EXPECT_EQ(Content("t.txt"), "after");
        EXPECT_EQ(state.bytesDone, c.bytesDone);
        unlink(Path("s.bin").c_str());
        unlink(Path("t.txt").c_str());
    }
}

TEST_F(OutputTest, DeflatedMembersComeOutWhole) {
    const size_t sizes[] = {0, 1, 2047, 2048, 2049, 32767, 32768, 32769, 65536, 200001};
    Archive archive;
    std::vector<std::string> contents;
    for (size_t i = 0; i < sizeof sizes / sizeof *sizes; ++i) {
        contents.push_back(i % 2 ? zipcraft::SampleText(sizes[i], (unsigned)i)
                                 : zipcraft::RandomBytes(sizes[i], (unsigned)i));
        archive.AddDeflated("d" + std::to_string(i), contents.back());
    }
    Member level0;  // stored blocks inside a deflated member
    level0.name = "level0";
    level0.content = zipcraft::SampleText(70000, 99);
    level0.method = 8;
    level0.haveData = true;
    level0.data = zipcraft::Deflate(level0.content, 0);
    archive.Add(level0).Finish();
    Outcome run = ExtractArchive(archive.bytes());
    EXPECT_EQ(run.code, 0);
    EXPECT_TRUE(run.boxes.empty());
    for (size_t i = 0; i < contents.size(); ++i)
        EXPECT_EQ(Content("d" + std::to_string(i)), contents[i]) << i;
    EXPECT_EQ(Content("level0"), level0.content);
    // Only each member's whole 2048-byte steps count in bytesDone.
    contents.push_back(level0.content);
    DWORD wholeSteps = 0;
    for (const std::string& c : contents) wholeSteps += (DWORD)(c.size() - c.size() % 2048);
    EXPECT_EQ(state.bytesDone, wholeSteps);
}

TEST_F(OutputTest, UnsupportedMethodsFailAfterAnEmptyFile) {
    for (int method : {6, 9, 12, 1, 14, 99}) {
        SCOPED_TRACE(method);
        Member m;
        m.name = "packed.bin";
        m.content = zipcraft::SampleText(3000, 1);
        m.method = method;
        Outcome run = ExtractArchive(Archive().Add(m).Finish().bytes());
        ExpectFailure(run, Message(MSG_BAD_METHOD));
        EXPECT_TRUE(FileExists(Path("packed.bin")));
        EXPECT_EQ(Content("packed.bin"), "");
        unlink(Path("packed.bin").c_str());
    }
}

TEST_F(OutputTest, DamagedDataIsReportedWithBothChecksums) {
    Member m;
    m.name = "sub/data.txt";
    m.content = "abc";  // CRC-32 352441c2
    m.crc = 0x0000ABCD;
    Outcome run = ExtractArchive(Archive().Add(m).Finish().bytes());
    char text[600];
    wsprintfA(text, Message(MSG_BAD_CRC).c_str(), ShownPath("sub/data.txt").c_str(), 0x352441c2u,
              0x0000abcdu);
    ExpectFailure(run, text);
    EXPECT_NE(std::string(text).find("352441c2 (sollte 0000abcd"), std::string::npos);
    EXPECT_EQ(Content("sub/data.txt"), "abc");  // the file stays, closed

    // A deflated member with one byte changed in its data: a damaged stream or a wrong CRC,
    // reported either way.
    Member d;
    d.name = "d.txt";
    d.content = zipcraft::SampleText(20000, 3);
    d.method = 8;
    d.haveData = true;
    d.data = zipcraft::Deflate(d.content);
    for (size_t at : {d.data.size() / 2, d.data.size() - 2}) {
        SCOPED_TRACE(at);
        Member bad = d;
        bad.data[at] ^= 0x10;
        run = ExtractArchive(Archive().Add(bad).Finish().bytes());
        EXPECT_EQ(run.code, ABORT_FAILED);
        EXPECT_EQ(run.boxes.size(), 1u);
        EXPECT_EQ(state.outputFile, 0);
        unlink(Path("d.txt").c_str());
    }
}

TEST_F(OutputTest, FoldersAreMadeOuterFirstAndOnlyForFiles) {
    Archive archive;
    archive.AddStored("a/b/c/d.txt", "deep").AddStored("a/b/e.txt", "e").Finish();
    Outcome run = ExtractArchive(archive.bytes());
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(zipcraft::ListTree(out_), (std::vector<std::string>{"a/", "a/b/", "a/b/c/",
                                                                  "a/b/c/d.txt", "a/b/e.txt"}));
}

TEST_F(OutputTest, FolderThatCannotBeMadeIsMessage32) {
    WriteFileBytes(Path("plain"), "a file");
    Outcome run = ExtractArchive(Archive().AddStored("plain/inner/x.txt", "x").Finish().bytes());
    ExpectFailure(run, zipcraft::Formatted(MSG_CANNOT_CREATE_FOLDER, ShownPath("plain\\inner").c_str()));
}

TEST_F(OutputTest, OutputFileThatCannotBeCreatedIsMessage28) {
    // A path component that is a file; the output path taken by a folder (Yes to the
    // question); an existing read-only file (Yes: no attribute is cleared).
    WriteFileBytes(Path("file"), "a file");
    Outcome run = ExtractArchive(Archive().AddStored("file/x.txt", "x").Finish().bytes());
    ExpectFailure(run, zipcraft::Formatted(MSG_CANNOT_CREATE_FILE, ShownPath("file\\x.txt").c_str()));

    mkdir(Path("taken").c_str(), 0777);
    answers_.overwrite = IDYES;
    run = ExtractArchive(Archive().AddStored("taken", "x").Finish().bytes());
    ASSERT_EQ(run.boxes.size(), 2u);
    EXPECT_EQ(run.boxes[0].text, zipcraft::Formatted(MSG_OVERWRITE_QUERY, ShownPath("taken").c_str()));
    ExpectFailure(run, zipcraft::Formatted(MSG_CANNOT_CREATE_FILE, ShownPath("taken").c_str()));

    WriteFileBytes(Path("ro.txt"), "old");
    chmod(Path("ro.txt").c_str(), 0444);
    run = ExtractArchive(Archive().AddStored("ro.txt", "new").Finish().bytes());
    ASSERT_EQ(run.boxes.size(), 2u);
    ExpectFailure(run, zipcraft::Formatted(MSG_CANNOT_CREATE_FILE, ShownPath("ro.txt").c_str()));
    EXPECT_EQ(Content("ro.txt"), "old");
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
        mkdir(Path("f").c_str(), 0777);
        WriteFileBytes(Path("f/exists.txt"), "the old, longer content");
        unlink(Path("next.txt").c_str());
        answers_.overwrite = c.answer;
        Archive archive;
        archive.AddStored("f/exists.txt", "new").AddStored("next.txt", "next").Finish();
        Load(archive.bytes());
        state.silentMode = !c.answer;
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
    WriteFileBytes(Path("next.txt"), "old");
    Archive archive;
    archive.AddStored("f/exists.txt", "1").AddStored("next.txt", "2").Finish();
    Outcome run = ExtractArchive(archive.bytes());
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.boxes.size(), 2u);
}

TEST_F(OutputTest, ModuleInUseIsAskedOnlyOnOldHosts) {
    std::string path = ShownPath("mod.dll");
    for (int host = 0; host < 3; ++host) {
        for (int answer : {IDOK, IDCANCEL, 0}) {  // 0: a silent run, which answers OK
            SCOPED_TRACE(host * 10 + answer);
            unlink(Path("mod.dll").c_str());
            unlink(Path("z.txt").c_str());
            Load(Archive().AddStored("mod.dll", "module").AddStored("z.txt", "z").Finish().bytes());
            state.win32sHost = host == 1;
            state.win95Host = host == 2;
            standin::SetModulePath(path);
            answers_.inUse = answer;
            state.silentMode = !answer;
            Outcome run = Go();
            if (host == 0) {
                EXPECT_EQ(run.code, 0);
                EXPECT_TRUE(run.boxes.empty());
                EXPECT_EQ(Content("mod.dll"), "module");
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
    Member m;
    m.name = "t.txt";
    m.content = "time";
    Member bad = m;
    bad.name = "bad-date.txt";
    bad.date = 0;  // no valid date: the times are left alone
    Outcome run = ExtractArchive(Archive().Add(m).Add(bad).Finish().bytes());
    EXPECT_EQ(run.code, 0);
    struct tm t = {};
    t.tm_year = 2025 - 1900;
    t.tm_mon = 3;
    t.tm_mday = 22;
    t.tm_hour = 13;
    t.tm_min = 17;
    t.tm_sec = 56;
    struct stat st;
    ASSERT_EQ(stat(Path("t.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, timegm(&t));
    EXPECT_EQ(st.st_atime, timegm(&t));
    ASSERT_EQ(stat(Path("bad-date.txt").c_str(), &st), 0);
    EXPECT_NE(st.st_mtime, timegm(&t));
}

// The meter moves once per 64 KiB of full buffers; the position is bytesDone * 100 /
// totalSize, whole-numbered and kept within 0..100.
TEST_F(OutputTest, MeterMovesOncePer64KiB) {
    struct Case {
        uint32_t totalSize;
        DWORD meterShown;
        std::vector<WPARAM> positions;
    } const cases[] = {
        {1000000, 1, {6, 13, 19}},
        {1000000, 0, {}},
        {100000, 1, {65, 100, 100}},   // a total smaller than the output
        {0, 1, {100, 100, 100}},       // no total at all
        {0xFFFFFFFFu, 1, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.totalSize);
        unlink(Path("big.bin").c_str());
        Load(Archive().AddStored("big.bin", zipcraft::RandomBytes(200000, 4)).Finish().bytes(),
             c.totalSize);
        state.meterShown = c.meterShown;
        Outcome run = Go();
        EXPECT_EQ(run.code, 0);
        std::vector<WPARAM> positions;
        for (const standin::SentMessage& m : standin::SentMessages()) {
            if (m.id == ID_METER && m.message == METER_SETPOS) {
                positions.push_back(m.wParam);
                EXPECT_EQ(m.lParam, 0);
            }
        }
        EXPECT_EQ(positions, c.positions);
        EXPECT_EQ(standin::Invalidations(ID_METER), 3);
    }
}

TEST_F(OutputTest, MeterPositionIsExactWithoutOverflow) {
    Load(Archive().End().bytes());
    state.outputFile = _lopen("/dev/null", OF_WRITE);
    state.meterShown = 1;
    static const unsigned char step[2048] = {};
    const uint32_t totals[] = {1, 7, 100, 65536, 1000000, 0x7FFFFFFF, 0x80000001, 0xFFFFFFFF};
    for (uint32_t total : totals) {
        const uint64_t dones[] = {65536, 65537, 1000000, 0x40000000, 0xFFFF0000, total,
                                  (uint64_t)total - 1};
        for (uint64_t done : dones) {
            if (done < 65536) continue;  // no meter update below 64 KiB
            SCOPED_TRACE(std::to_string(total) + " " + std::to_string(done));
            stubParams.totalSize = total;
            state.bytesDone = (DWORD)(done - 2048);
            state.lastMeterBytes = (DWORD)(done - 65536);
            state.memberBytes = 0;
            size_t before = standin::SentMessages().size();
            WriteOutput(step, sizeof step);
            ASSERT_EQ(standin::SentMessages().size(), before + 1);
            uint64_t expected = done * 100 / total;
            EXPECT_EQ(standin::SentMessages().back().wParam, expected > 100 ? 100 : expected);
        }
    }
    _lclose(state.outputFile);
    state.outputFile = 0;
}

TEST_F(OutputTest, StatusLineNamesTheMemberUnlessTheMeterIsShown) {
    Archive archive;
    archive.AddStored("dir/first.txt", "1").AddDeflated("second.txt", "2").Finish();
    Outcome run = ExtractArchive(archive.bytes());
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(standin::ControlText(ID_STATUS), zipcraft::Formatted(MSG_UNZIPPING, "second.txt"));
    EXPECT_EQ(standin::Invalidations(ID_STATUS), 2);

    Load(archive.bytes());
    state.meterShown = 1;
    run = Go();
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(standin::ControlText(ID_STATUS), "");
    EXPECT_EQ(standin::Invalidations(ID_STATUS), 0);
}

TEST_F(OutputTest, TextsLongerThanTheirBuffersAreCut) {
    std::string name = std::string(200, 'n') + ".txt";
    WriteFileBytes(Path(name), "old");
    Outcome run = ExtractArchive(Archive().AddStored(name, "new").AddStored("z", "").Finish().bytes());
    EXPECT_EQ(run.code, 0);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text.size(), 119u);
    EXPECT_EQ(run.boxes[0].text,
              zipcraft::Formatted(MSG_OVERWRITE_QUERY, ShownPath(name).c_str()).substr(0, 119));

    unlink(Path(name).c_str());
    run = ExtractArchive(Archive().AddStored(name, "new").Finish().bytes());
    EXPECT_EQ(standin::ControlText(ID_STATUS),
              zipcraft::Formatted(MSG_UNZIPPING, name.c_str()).substr(0, 99));
}

TEST_F(OutputTest, PathsThatDoNotFitAreMessage28) {
    // 263 characters fit; 264 are one more than a path may have.
    std::string name(263 - out_.size() - 1, 'n');
    for (int extra : {0, 1}) {
        SCOPED_TRACE(extra);
        std::string n = name + std::string(extra, 'x');
        Outcome run = ExtractArchive(Archive().AddStored(n, "fits").Finish().bytes());
        if (!extra) {
            EXPECT_EQ(run.code, 0);
            EXPECT_EQ(Content(n), "fits");
        } else {
            // Refused before the separators are turned: the folder is shown as it was given.
            std::string path = out_ + "\\" + n;
            ExpectFailure(run, zipcraft::Formatted(MSG_CANNOT_CREATE_FILE, path.c_str()));
            EXPECT_FALSE(FileExists(Path(n)));
        }
    }
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
        EXPECT_EQ(state.outputFile, 0);
        if (answer == IDYES) {
            EXPECT_EQ(run.code, ABORT_FAILED);
            std::string written = Content("c.bin");
            EXPECT_FALSE(written.empty());
            EXPECT_EQ(written, content.substr(0, written.size()));
            EXPECT_FALSE(FileExists(Path("d.txt")));
        } else {
            EXPECT_EQ(run.code, 0);
            EXPECT_EQ(Content("c.bin"), content);
        }
    }
}

TEST_F(OutputTest, ShortWriteIsMessage35) {
    for (long long limit : {0ll, 100ll, 2048ll, 5000ll}) {
        SCOPED_TRACE(limit);
        Load(Archive().AddDeflated("w.txt", zipcraft::SampleText(9000, 2)).Finish().bytes());
        standin::LimitWrites(limit);
        Outcome run = Go();
        ExpectFailure(run, zipcraft::Formatted(MSG_WRITE_FAILED, ShownPath("w.txt").c_str()));
        unlink(Path("w.txt").c_str());
    }
}

// A real full disk: a 64 KiB file system mounted for the test.
TEST_F(OutputTest, FullDiskIsMessage35) {
    std::string mountPoint = scratch_.File("small");
    mkdir(mountPoint.c_str(), 0777);
    if (mount("tessly-test", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs CAP_SYS_ADMIN): " << strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{mountPoint};

    out_ = mountPoint;
    std::string content = zipcraft::RandomBytes(200000, 3);
    Outcome run = ExtractArchive(Archive().AddStored("big.bin", content).Finish().bytes());
    ExpectFailure(run, zipcraft::Formatted(MSG_WRITE_FAILED, ShownPath("big.bin").c_str()));
    EXPECT_LT(ReadFileBytes(mountPoint + "/big.bin").size(), content.size());
}

}  // namespace
