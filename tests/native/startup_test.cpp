// Start-up: the command line, the switches, the self-check of the own file, the end-record
// probe, failures while loading, and the configuration block as LoadStubData reads it.
#include <gtest/gtest.h>
#include <iconv.h>
#include <string.h>

#include <functional>
#include <sstream>

#include "tests/support/fresh_state.h"
#include "tests/support/inflate_support.h"
#include "tests/support/solid_craft.h"
#include "tests/support/zip_craft.h"

extern const unsigned char storedMessageTable[];  // the generated table (one raw DEFLATE stream)
extern const DWORD storedMessageStreamLength;

namespace {

TEST(ProgramEntry, SkipsTheProgramNameOnly) {
    struct Case {
        const char* line;
        const char* arguments;
    } cases[] = {
        {"sfx.exe", ""},
        {"sfx.exe /auto", "/auto"},
        {"sfx.exe  -wait", " -wait"},  // only one blank is stepped over
        {"\"C:\\Program Files\\sfx.exe\" /auto", " /auto"},
        {"\"C:\\a b\\sfx.exe\"-wait", "-wait"},
        {"\"C:\\never closed\\sfx.exe /auto", ""},
        {"\"\" /auto", " /auto"},
        {"", ""},
        {"x", ""},
    };
    for (const Case& c : cases) EXPECT_STREQ(c.arguments, SkipProgramName(c.line)) << c.line;
}

// messages/messages.txt as the test reads it: "@N NAME" starts message N, the lines up to the
// next "@" line are its text (UTF-8), joined with line feeds.
struct FileMessage {
    std::string head, name, text;
};
std::vector<FileMessage> ReadMessageFile(const std::string& content) {
    std::vector<FileMessage> messages;
    std::istringstream in(content);
    bool first = true;
    for (std::string line; std::getline(in, line);) {
        if (line[0] == '@') {
            messages.resize(std::stoul(line.substr(1)));  // the ids skipped are empty texts
            messages.push_back({line, line.substr(line.find(' ') + 1), ""});
            first = true;
        } else if (!messages.empty()) {
            messages.back().text += (first ? "" : "\n") + line;
            first = false;
        }
    }
    return messages;
}

std::string Converted(const std::string& utf8, const char* codePage) {
    iconv_t cd = iconv_open(codePage, "UTF-8");
    std::string out(utf8.size() * 4, '\0');
    char *from = (char*)utf8.data(), *to = &out[0];
    size_t left = utf8.size(), room = out.size();
    EXPECT_NE(iconv(cd, &from, &left, &to, &room), (size_t)-1) << utf8;
    iconv_close(cd);
    out.resize(out.size() - room);
    return out;
}

// The stored table holds exactly the texts of the message file, in code page 850 and in its
// order, each with its NUL, then the dialog template; the program finds each by its id and
// shows it in the ANSI code page. glibc's converters are the reference for both code pages.
TEST(Messages, TheStoredTableIsTheMessageFile) {
    std::vector<FileMessage> file = ReadMessageFile(ReadFile(TESSLY_SOURCE_DIR "/messages/messages.txt"));
    ASSERT_EQ(file.size(), (size_t)MESSAGE_TEXT_COUNT);
    std::string unpacked, texts;
    ASSERT_TRUE(ZlibInflate(std::string((const char*)storedMessageTable, storedMessageStreamLength), &unpacked));
    for (size_t id = 0; id < file.size(); ++id) {
        if (!file[id].head.empty()) {
            EXPECT_EQ(file[id].head.rfind("@" + std::to_string(id) + " ", 0), 0u) << file[id].head;
        }
        texts += Converted(file[id].text, "CP850") + '\0';
        EXPECT_EQ(Message((int)id), Converted(file[id].text, "CP1252")) << file[id].head;
    }
    EXPECT_EQ(unpacked.substr(0, texts.size()), texts);  // byte for byte, German letters included
    EXPECT_GT(unpacked.size(), texts.size());            // the template follows
    EXPECT_EQ(GetMessageText(MSG_DIALOG_TEMPLATE), (char*)state.texts.messageTable + texts.size());
}

// msggen takes the ids from the message file, or refuses it. Each case rewrites the head of
// message 5 of the real file.
TEST(Messages, MsggenNamesTheIdsOrRefusesTheFile) {
    const std::string real = ReadFile(TESSLY_SOURCE_DIR "/messages/messages.txt");
    const std::vector<FileMessage> file = ReadMessageFile(real);
    ASSERT_GT(file.size(), 6u);
    const std::string name1 = file[1].name, name5 = file[5].name;
    struct Case {
        const char* what;
        std::string head5;  // the new head of message 5
        const char* fault;  // in msggen's complaint; null: accepted
        std::string englishFrom = "", englishTo = "";  // a change of en.txt
    } cases[] = {
        {"the file as it is", file[5].head, nullptr},
        {"two blanks before the name", "@5  " + name5, nullptr},
        {"no name", "@5", "has no name"},
        {"a blank and no name", "@5 ", "has no name"},
        {"no blank before the name", "@5" + name5, "a blank must follow the id"},
        {"a name taken by message 1", "@5 " + name1, "names messages 1 and 5"},
        {"a name with a dash", "@5 " + name5 + "-2", "is not an identifier"},
        {"a name starting with a digit", "@5 5" + name5, "is not an identifier"},
        {"two names", "@5 " + name5 + " " + name1, "is not an identifier"},
        {"an id that the next one repeats", "@6 " + name5, "ids must rise"},
        {"an id with a leading zero", "@05 " + name5, "ids must rise without leading zeros"},
        {"an id below the one before", "@3 " + name5, "ids must rise"},
        // The English table is checked against the German one.
        {"English lacks a message", file[5].head, "messages/en.txt: lacks message 44 ENCRYPTED (ours reads",
         "@44 ENCRYPTED\nFile %s is encrypted and cannot be extracted.\n", ""},
        {"English placeholders differ", file[5].head, ": message 30 BAD_CRC has the placeholders %s %08lx %lu where ours",
         "(should be %08lx)", "(should be %lu)"},
        {"English changes a switch word", file[5].head, "message 5 SWITCH_AUTO must read \"AUTO\" in every language",
         "@6 NO_TEMP_FOLDER", "@5 SWITCH_AUTO\nAUTOMATISCH\n@6 NO_TEMP_FOLDER"},
        {"English without its language", file[5].head, "messages/en.txt: has no \"language CODE\" line",
         "language en\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string content = real;
        content.replace(content.find(file[5].head + "\n"), file[5].head.size(), c.head5);
        WriteFile(dir / "messages/messages.txt", content);
        WriteFile(dir / "messages/dialog.txt", ReadFile(TESSLY_SOURCE_DIR "/messages/dialog.txt"));
        std::string english = ReadFile(TESSLY_SOURCE_DIR "/messages/en.txt");
        if (!c.englishFrom.empty()) english.replace(english.find(c.englishFrom), c.englishFrom.size(), c.englishTo);
        WriteFile(dir / "messages/en.txt", english);
        sfxtest::RunResult run = sfxtest::RunProgram({TESSLY_MSGGEN, dir / "messages", dir / "table.cpp", dir / "ids.h"});
        if (c.fault) {
            EXPECT_NE(run.exitCode, 0);
            EXPECT_NE(run.err.find(c.fault), std::string::npos) << run.err;
            EXPECT_FALSE(FileExists(dir / "ids.h"));
            continue;
        }
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const std::string ids = ReadFile(dir / "ids.h");
        for (size_t id = 0; id < file.size(); ++id)
            if (!file[id].name.empty()) {
                EXPECT_NE(ids.find("    MSG_" + file[id].name + " = " + std::to_string(id) + ",\n"), std::string::npos)
                    << file[id].name;
            }
        EXPECT_NE(ids.find("MESSAGE_TEXT_COUNT = " + std::to_string(file.size()) + ","), std::string::npos);
        EXPECT_EQ(ReadFile(dir / "table.cpp"), ReadFile(TESSLY_BINARY_DIR "/generated/message_table.cpp"));
    }
}

// WAIT and AUTO: the first switch only, by prefix. SILENT, S and LOG=FILE: whole words
// anywhere, taken out of the first-switch test.
TEST(Switches, FirstDashOrSlashAndPrefixMatch) {
    FreshState();
    LoadMessages();
    struct Case {
        const char* arguments;
        bool wait, autoMode, silent;
        const char* log;
        const char* target = nullptr;  // of /D=, /T: or /X:
        bool extractOnly = false;
        const char* passed = nullptr;  // what follows "--"
    } cases[] = {
        {"", false, false},
        {"/auto", false, true},
        {" /auto", false, true},
        {"-wait", true, false},
        {"-wait -auto", true, false},
        {"-WAITING", true, false},
        {"/Automatic", false, true},
        {"-au", false, false},
        {"-au to", false, false},  // a blank ends the word
        {"foo/auto", false, true},
        {"-x/auto", false, false},
        {"auto", false, false},
        {"/wai", false, false},
        {"/waiT now", true, false},
        {"/SILENT", false, false, true},
        {"-s -wait", true, false, true},
        {"x /silent /auto", false, true, true},
        {"/silently", false, false, false},
        {"a/s /S/auto", false, false, false},
        {"/LOG=C:\\Log.txt /AUTO", false, true, false, "C:\\Log.txt"},
        {"\"/log=C:\\a b\\x.log\" -s", false, false, true, "C:\\a b\\x.log"},
        {"-Log=\"C:\\a b\\x.log\"", false, false, false, "C:\\a b\\x.log"},
        {"/logfile=x", false, false, false},
        {"/D=C:\\Ziel /auto", false, true, false, nullptr, "C:\\Ziel"},
        {"\"/d=C:\\Mein Ziel\" -s", false, false, true, nullptr, "C:\\Mein Ziel"},
        {"-T:\"%TEMP%\\a b\" /wait", true, false, false, nullptr, "%TEMP%\\a b"},
        {"/DIR=C:\\x /T C:\\y", false, false, false, nullptr, ""},
        {"/x", false, false, false, nullptr, "", true},
        {"/S /X:C:\\Aus", false, false, true, nullptr, "C:\\Aus", true},
        {"/xtract -x:", false, false, false, nullptr, "", true},
        {"/auto -- /wait \"a b\" \"\" /S", false, true, false, nullptr, "", false, "/wait \"a b\" \"\" /S"},
        {"--", false, false, false, nullptr, "", false, ""},
        {"/S \"--\" x", false, false, true, nullptr, "", false, nullptr},
        {"/x --/D=C:\\y", false, false, false, nullptr, "", true},
    };
    for (const Case& c : cases) {
        state.run.waitMode = state.run.autoMode = state.run.silentMode = state.run.extractOnly = 0;
        state.log.path[0] = state.output.target[0] = 0;
        state.run.passThrough = nullptr;
        std::string buffer = c.arguments;
        ParseSwitches(&buffer[0]);
        EXPECT_EQ(c.wait, state.run.waitMode != 0) << c.arguments;
        EXPECT_EQ(c.autoMode, state.run.autoMode != 0) << c.arguments;
        EXPECT_EQ(c.silent, state.run.silentMode != 0) << c.arguments;
        EXPECT_STREQ(c.log ? c.log : "", state.log.path) << c.arguments;
        EXPECT_STREQ(c.target ? c.target : "", state.output.target) << c.arguments;
        EXPECT_EQ(c.extractOnly, state.run.extractOnly != 0) << c.arguments;
        EXPECT_STREQ(c.passed ? c.passed : "(none)", state.run.passThrough ? state.run.passThrough : "(none)")
            << c.arguments;
    }
    FreshState();
}

// A small self-extracting file: an "image" that holds the parameter block, then an end
// record. The program reads the block from its own data, so Load puts the same values there.
class SelfCheck : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.File("setup.exe"), file;
    size_t blockAt = 0;
    bool missing = false;  // the own file is not written

    void SetUp() override {
        FreshState();
        std::string image(700, '\0');
        for (size_t i = 0; i < image.size(); ++i) image[i] = (char)(i * 7 + 1);
        blockAt = 300;
        memcpy(&image[blockAt], &stubData, sizeof stubData);
        file = image + std::string("PK\x05\x06", 4) + std::string(18, '\0');  // an end record alone
        StubData& block = *(StubData*)&file[blockAt];
        block.params.archiveOffset = (DWORD)image.size();
        block.params.endRecordOffset = (DWORD)image.size();
        sfxtest::ResealHeader(&file);
    }
    void TearDown() override { FreshState(); }

    // Loads the file as the program would load itself; answers the abort code (0 = loaded).
    int Load() {
        if (!missing) WriteFile(path, file);
        memcpy(&stubData.params, &file[blockAt], sizeof stubData.params);
        lstrcpyA(state.run.selfPath, path.c_str());
        return sfxtest::RunUnderCheckpoint(LoadStubData);
    }
};

// With OPT_SIGNABLE the PE checksum and the certificate-table entry (placed by the MZ
// header's PE offset, here 0x40, and left zero by the builder) may change; nothing else.
TEST_F(SelfCheck, EveryChangedByteBeforeTheArchiveIsRefused) {
    const DWORD length = ((StubData*)&file[blockAt])->params.archiveOffset;
    std::string signable = file;
    const DWORD pe = 0x40;
    memcpy(&signable[MZ_PE_OFFSET], &pe, 4);
    signable.replace(pe + PE_CHECKSUM, 4, 4, '\0');
    signable.replace(pe + PE_CERTIFICATE_ENTRY, 8, 8, '\0');
    ((StubData*)&signable[blockAt])->params.optionFlags |= OPT_SIGNABLE;
    sfxtest::ResealHeader(&signable);
    const std::string variants[2] = {file, signable};
    for (int v = 0; v < 2; ++v)
    for (DWORD i = 0; i < length; i += (i >= blockAt && i < blockAt + 60) || (i >= pe && i < pe + 200) ? 1 : 5) {
        if (i >= blockAt + 8 && i < blockAt + 12) continue;  // the stored CRC itself
        file = variants[v];
        file[i] ^= 0x20;
        FreshState();
        bool signedField = (i >= pe + PE_CHECKSUM && i < pe + PE_CHECKSUM + 4) ||
                           (i >= pe + PE_CERTIFICATE_ENTRY && i < pe + PE_SIGNED_FIELDS_END);
        if (v == 1 && signedField) {
            ASSERT_EQ(0, Load()) << "signed field byte " << i;
            continue;
        }
        ASSERT_EQ(ABORT_FAILED, Load()) << "byte " << i;
        ASSERT_EQ(1u, standin::MessageBoxes().size());
        const ShownMessageBox& box = standin::MessageBoxes()[0];
        EXPECT_EQ(HEADER_INVALID_TEXT, box.text);
        EXPECT_EQ("Tessly Self-Extractor", box.caption);
        EXPECT_EQ(nullptr, box.owner);  // no dialog yet
        EXPECT_EQ((UINT)(MB_OK | MB_ICONERROR), box.type);
    }
}

TEST_F(SelfCheck, MissingSignatureOrEmptyRangeIsRefused) {
    const DWORD crc = ((StubData*)&file[blockAt])->params.headerCrc;
    const DWORD length = ((StubData*)&file[blockAt])->params.archiveOffset;
    WriteFile(path, file);
    lstrcpyA(state.run.selfPath, path.c_str());
    BuildCrcTable();
    OpenSelf();
    unsigned char other[8];
    memcpy(other, stubData.params.signature, 8);
    other[3] = 0x07;  // a signature the file does not hold
    for (DWORD range : {length, (DWORD)0, (DWORD)7}) {
        int code = ARM_CHECKPOINT();
        if (code == 0) CheckHeader(range, crc, range == length ? other : stubData.params.signature);
        EXPECT_EQ(ABORT_FAILED, code) << range;
    }
    ASSERT_EQ(3u, standin::MessageBoxes().size());
    for (const ShownMessageBox& box : standin::MessageBoxes()) EXPECT_EQ(HEADER_INVALID_TEXT, box.text);
}

// The file as built, and changed: what loads, and the one box of what does not.
TEST_F(SelfCheck, LoadsOrRefusesEachVariant) {
    using Change = std::function<void(std::string*, StubParameterBlock*)>;
    enum { kLoads = -1, kHeaderBox = -2 };
    auto probe = [](long delta) { return [delta](std::string*, StubParameterBlock* p) { p->endRecordOffset += delta; }; };
    // A solid archive (first.txt), changed by `edit` before or after it is built.
    auto solid = [](std::function<void(solidcraft::Archive*, std::string*)> edit) {
        return [edit](std::string* f, StubParameterBlock* p) {
            solidcraft::Archive a;
            a.files = {{"first.txt", "first"}};
            std::string z;
            edit(&a, nullptr);
            z = a.Build();
            edit(nullptr, &z);
            f->resize(p->archiveOffset);
            *f += z;
            p->endRecordOffset = 0;
        };
    };
    auto gone = [&](const std::string& name) {
        return [&, name](std::string*, StubParameterBlock*) { path = dir.File(name), missing = true, AllocateTextBlocks(); };
    };
    const struct {
        const char* what;
        Change change;
        bool reseal;  // the header CRC computed again after the change
        int message;  // the box's message (MSG_READ_FAILED names the own file), or kLoads
    } cases[] = {
        {"as built", [](std::string*, StubParameterBlock*) {}, false, kLoads},
        {"header CRC zero skips the check", [](std::string* f, StubParameterBlock* p) { p->headerCrc = 0, (*f)[10] ^= 0x55; },
         false, kLoads},
        {"changed byte after the covered range", [](std::string* f, StubParameterBlock*) { (*f)[f->size() - 3] ^= 1; },
         false, kLoads},
        {"no end record offset, no archive", [](std::string* f, StubParameterBlock* p) {
             f->resize(p->archiveOffset), p->endRecordOffset = 0; }, true, kLoads},
        // An own file that cannot be opened is a read failure, named in full even at the longest path.
        {"own file missing", gone("gone.exe"), false, MSG_READ_FAILED},
        {"own file missing at the longest path", gone(std::string(SELF_PATH_CHARS - 2 - dir.path().size(), 'g')), false,
         MSG_READ_FAILED},
        {"end record one byte late", probe(1), true, MSG_END_RECORD_BAD},
        {"end record beyond the end of the file", probe(1000), true, MSG_END_RECORD_BAD},
        {"end record three bytes before the end", probe(19), true, MSG_END_RECORD_BAD},
        // Language tables the option names: none, or bytes that are no stream (the header
        // check off), which read as empty texts.
        {"languages named at offset 0", [](std::string*, StubParameterBlock* p) { p->optionFlags |= OPT_LANGUAGES; },
         true, kHeaderBox},
        {"languages after the configuration", [](std::string*, StubParameterBlock* p) {
             p->optionFlags |= OPT_LANGUAGES, p->configOffset = 200, p->languagesOffset = 201; }, true, kHeaderBox},
        {"languages of junk, no header check", [](std::string*, StubParameterBlock* p) {
             p->optionFlags |= OPT_LANGUAGES, p->headerCrc = 0, p->languagesOffset = 100, p->configOffset = 200; },
         false, kLoads},
        {"end record signature damaged", [](std::string* f, StubParameterBlock* p) { (*f)[p->endRecordOffset + 3] = 7; },
         true, MSG_END_RECORD_BAD},
        // A signable file whose PE header offset leaves no room for the signed fields in the range.
        {"signable, PE header in the range's last bytes", [](std::string* f, StubParameterBlock* p) {
             DWORD pe = p->archiveOffset - 4;
             p->optionFlags |= OPT_SIGNABLE, memcpy(&(*f)[MZ_PE_OFFSET], &pe, 4); }, true, kHeaderBox},
        {"signable, PE header past the range", [](std::string* f, StubParameterBlock* p) {
             DWORD pe = 0xFFFFFFF0;
             p->optionFlags |= OPT_SIGNABLE, memcpy(&(*f)[MZ_PE_OFFSET], &pe, 4); }, true, kHeaderBox},
        // The solid form in place of the ZIP archive: its signature header is checked instead.
        {"solid archive", solid([](solidcraft::Archive*, std::string*) {}), true, kLoads},
        {"solid: start header CRC-32", solid([](solidcraft::Archive* a, std::string*) { if (a) a->badStartCrc = true; }), true,
         MSG_END_RECORD_BAD},
        {"solid: version 1", solid([](solidcraft::Archive*, std::string* z) { if (z) (*z)[6] = 1; }), true, MSG_END_RECORD_BAD},
        {"solid: header one byte past the file's end",
         solid([](solidcraft::Archive* a, std::string*) { if (a) a->nextOffsetDelta = 1; }), true, MSG_END_RECORD_BAD},
        {"solid: header offset wrapping around",
         solid([](solidcraft::Archive* a, std::string*) { if (a) a->nextOffsetDelta = -(1ll << 62); }), true,
         MSG_END_RECORD_BAD},
        {"solid: cut inside the header", solid([](solidcraft::Archive*, std::string* z) { if (z) z->pop_back(); }), true,
         MSG_END_RECORD_BAD},
        // A signature header cut short is no solid archive: the ZIP walk will refuse it.
        {"solid: signature header cut short", solid([](solidcraft::Archive*, std::string* z) { if (z) z->resize(20); }), true,
         kLoads},
    };
    const std::string good = file, goodPath = path;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        file = good, path = goodPath, missing = false;
        FreshState();
        StubParameterBlock& block = ((StubData*)&file[blockAt])->params;
        c.change(&file, &block);
        if (c.reseal) sfxtest::ResealHeader(&file);
        int code = Load();
        if (c.message == kLoads) {
            EXPECT_EQ(0, code);
            EXPECT_TRUE(standin::MessageBoxes().empty());
            EXPECT_NE(0, state.reader.file);
            continue;
        }
        EXPECT_EQ(ABORT_FAILED, code);
        EXPECT_TRUE(c.message != MSG_READ_FAILED || state.reader.file == 0);
        ASSERT_EQ(1u, standin::MessageBoxes().size());
        std::string want = c.message == kHeaderBox ? HEADER_INVALID_TEXT : Message(c.message);
        if (c.message == MSG_READ_FAILED) want.replace(want.find("%s"), 2, path);
        EXPECT_EQ(want, standin::MessageBoxes()[0].text);
    }
}

// Every allocation of loading that fails is reported in one box, at the start-up checkpoint.
TEST_F(SelfCheck, EachAllocationFailureDuringLoadingIsReported) {
    int allocations = 0;
    for (int n = 1; n <= 5000; ++n) {
        FreshState();
        standin::FailAllocation(n);
        int code = Load();
        if (code == 0) {
            allocations = n - 1;
            break;
        }
        EXPECT_EQ(ABORT_FAILED, code) << "allocation " << n;
        ASSERT_EQ(1u, standin::MessageBoxes().size()) << "allocation " << n;
        EXPECT_TRUE(standin::MessageBoxes()[0].text == HEADER_INVALID_TEXT ||
                    standin::MessageBoxes()[0].purpose == BOX_OUT_OF_MEMORY)
            << "allocation " << n << ": " << standin::MessageBoxes()[0].text;
    }
    // header block, three decoder blocks, the table block, and the decoder's own tables
    EXPECT_GE(allocations, 5);
}

// An interactive run ends with 0 whatever happened; a silent one shows no box and ends with
// the code of its failure (here an end record that is not where the block says). Two runs
// append their events to one log, whole lines each.
TEST(StartUp, WaitOptionSwitchesAndExitCodeWithoutDialog) {
    struct Case {
        std::string arguments;
        bool damaged;
        int code;
        size_t boxes;
        int failAllocation = 0;  // the text blocks come first: without one nothing more is done
    } cases[] = {
        // Without a dialog (there is none here) nothing is set up: the user's code.
        {" /auto", false, EXIT_USER_EXIT, 0},
        {" /auto", true, EXIT_DAMAGED_FILE, 1},
        {" /auto /s", true, EXIT_DAMAGED_FILE, 0},
        {" /auto", true, EXIT_OUT_OF_MEMORY, 0, 1},
        {" /auto /s /LOG=", true, EXIT_DAMAGED_FILE, 0},
        {" /auto /LOG=", false, EXIT_USER_EXIT, 0},
    };
    TempDir logDir;
    const std::string log = logDir.File("run.log");
    for (Case& c : cases) {
        if (c.arguments.back() == '=') c.arguments += log;
        FreshState();
        TempDir dir;
        std::string path = dir.File("s.exe"), image(400, 'x');
        memcpy(&image[50], &stubData, sizeof stubData);
        StubData& block = *(StubData*)&image[50];
        block.params.archiveOffset = (DWORD)image.size();
        block.params.endRecordOffset = c.damaged ? 10 : 0;
        block.params.optionFlags |= OPT_WAIT_MODE;
        WriteFile(path, image);
        memcpy(&stubData, &block, sizeof stubData);
        standin::SetModulePath(path);
        standin::FailAllocation(c.failAllocation);
        EXPECT_EQ(c.code, StartUp(nullptr, &c.arguments[0])) << c.arguments;
        EXPECT_EQ(c.boxes, standin::MessageBoxes().size());
        if (state.log.file) _lclose(state.log.file);
        if (c.damaged) continue;
        EXPECT_EQ(1, state.run.waitMode);
        EXPECT_EQ(1, state.run.autoMode);
        EXPECT_EQ(path, state.run.selfPath);
        EXPECT_EQ(0, state.reader.file);  // released at the end
    }
    FreshState();
    std::string written = ReadFile(log), lines;
    for (size_t at = 0, end; (end = written.find("\r\n", at)) != std::string::npos; at = end + 2) {
        size_t event = written.find("] ", at);
        ASSERT_LT(event, end) << written;
        lines += written.substr(event + 2, written.find(' ', event + 2) - event - 2) + ";";
    }
    EXPECT_EQ("start;error;end;start;end;", lines) << written;
    EXPECT_EQ(std::string::npos, written.find('\0')) << "a gap in the log";
    EXPECT_NE(std::string::npos, written.find("] end 1392\r\n")) << written;
    EXPECT_NE(std::string::npos, written.find("] end 1602\r\n")) << written;
}

TEST(StartUp, OldHostsAreRecognised) {
    struct Case {
        DWORD version;
        bool win32s, win95;
    } cases[] = {
        {0x80000A03, true, false}, {0xC0005F03, false, true}, {0x04000004, false, true},
        {0x0A280105, false, false}, {0x00000A04, false, false},
    };
    for (const Case& c : cases) {
        FreshState();
        standin::SetVersion(c.version);
        standin::SetModulePath("/nonexistent/s.exe");  // loading fails after the host test
        char none[] = "";
        StartUp(nullptr, none);
        EXPECT_EQ(c.win32s, state.run.win32sHost != 0) << std::hex << c.version;
        EXPECT_EQ(c.win95, state.run.win95Host != 0) << std::hex << c.version;
    }
    FreshState();
}

// ---- the configuration block ----------------------------------------------------------------

using namespace sfxtest;

struct Loaded {
    int code = 0;
    std::string about, command, text, caption;
    bool icon = false;
    std::string target;
};

std::string Shown(const Loaded& l) {
    return std::to_string(l.code) + "|" + l.about + "|" + l.command + "|" + l.text + "|" + l.caption + "|" +
           (l.icon ? "icon" : "") + "|" + l.target;
}

SfxParts WithConfig(const std::string& inflated, uint32_t flags = 0x02) {
    SfxParts p;
    p.config = inflated;
    p.optionFlags = flags;
    p.members = {{"a.txt", "alpha"}};
    return p;
}

// A stored DEFLATE block of n bytes is n + 5 bytes long.
std::string StoredStream(const std::string& data) {
    StreamWriter w;
    w.Stored(data, true);
    return w.Finish();
}

TEST(ReadConfiguration, TakesWhatTheBlockHoldsAndRefusesImpossibleBlocks) {
    const std::string icon = SampleIcon(), about = "\xDC" "ber dieses Paket";  // Windows-1252 passes unchanged
    const ConfigFields plain{about, "setup.exe /q", "", "Willkommen"};
    const ConfigFields third{about, "setup.exe /q", "not used", "Willkommen"};
    const ConfigFields silent{about, "setup.exe /q", "setup.exe /quiet", "Willkommen"};
    const ConfigFields target{about, "setup.exe /q", "", "Willkommen", false, "", false, "", "%ProgramFiles%\\Beispiel"};
    const ConfigFields captionTarget{about, "setup.exe /q", "", "Willkommen", true, "Mein Setup", true, icon,
                                     "C:\\Ziel"};
    const ConfigFields noCommand{about, "", "", "Willkommen"};
    const ConfigFields caption{about, "setup.exe /q", "", "Willkommen", true, "Mein Setup"};
    const ConfigFields iconOnly{about, "setup.exe /q", "", "Willkommen", false, "", true, icon};
    const ConfigFields both{about, "setup.exe /q", "", "Willkommen", true, "Mein Setup", true, icon};
    const ConfigFields notIcon{about, "setup.exe /q", "", "Willkommen", false, "", true, "not an icon file at all"};
    // A caption that starts like the icon marker.
    const ConfigFields markerCaption{about, "setup.exe /q", "", "Willkommen", true, "\x1F\x1Fxyz"};
    const ConfigFields longest{std::string(600, 'a'), std::string(150, 'c'), "", std::string(300, 't'), true,
                               std::string(100, 'k')};
    // The icon marker is two bytes: one of them alone is no marker.
    std::string firstMarker = ConfigText(iconOnly), secondMarker = firstMarker;
    firstMarker[firstMarker.find("\x1F\x1F") + 1] = 'x';
    secondMarker[secondMarker.find("\x1F\x1F")] = 'x';
    // More than the 2012 bytes the block may inflate to: nothing is written past the area and
    // the block reads as empty. At exactly 2012 bytes everything is taken.
    std::string head = std::string("about") + '\0' + "cmd" + '\0' + '\0' + "text" + '\0';
    std::string full = head + std::string(2012 - head.size(), '\0');

    std::string text = ConfigText({"about", "run.exe"});
    SfxParts fits = WithConfig("");
    fits.packedConfig = StoredStream(text + std::string(1495 - text.size(), '\0'));  // 1500 bytes
    fits.headerCheck = false;  // the configuration read is then the first read of the file
    SfxParts tooLong = fits, empty = fits, negative = fits, cut = fits, noBlock = WithConfig("");
    tooLong.packedConfig = StoredStream(text + std::string(1496 - text.size(), '\0'));
    empty.configOffset = 8192 + 1500;  // configuration offset equal to the archive offset
    negative.configOffset = 8192 + 1500 + 10;
    cut.members.clear();  // the file ends inside the block
    cut.archiveOffset = 8192 + 1500;
    cut.packedConfig = fits.packedConfig.substr(0, 700);
    noBlock.hasConfig = false;
    SfxParts unseekable = fits;  // a negative offset to the seek: nothing is read elsewhere instead
    unseekable.configOffset = 0x80000000u, unseekable.archiveOffset = 0x80000000u + 1500;

    TempDir dir;
    const std::string longTemp = dir / std::string(150, 'd');  // longer than 144: not used
    const Loaded taken{0, plain.about, plain.command, plain.text, "", false};
    Loaded withCaption = taken, withIcon = taken, withBoth = taken, silentTaken = taken, withTarget = taken,
           all = taken, withArguments = taken, switchTarget = taken;
    silentTaken.command = "setup.exe /quiet";
    withTarget.target = "%ProgramFiles%\\Beispiel";
    all.caption = "Mein Setup", all.icon = true, all.target = "C:\\Ziel";
    withArguments.command = "setup.exe /q eins \"zwei drei\" \"\"";
    switchTarget.target = "D:\\Admin";
    withCaption.caption = withBoth.caption = "Mein Setup";
    withIcon.icon = withBoth.icon = true;
    const Loaded refused{ABORT_FAILED, "", "", "", "", false};
    struct Case {
        const char* what;
        SfxParts parts;
        Loaded want;
        int failRead = 0;
        std::string temp = "";
        bool silent = false;
        std::string arguments = "", switchTarget = "";  // after "--"; of a /D= switch
        long long writeLimit = -1;
    } cases[] = {
        {"four strings and two zeros", WithConfig(ConfigText(plain)), taken},
        {"a non-empty third string is skipped", WithConfig(ConfigText(third)), taken},
        {"... also in a silent run", WithConfig(ConfigText(third)), taken, 0, "", true},
        {"silent command in a silent run", WithConfig(ConfigText(silent), 0x802), silentTaken, 0, "", true},
        {"silent command not in an interactive run", WithConfig(ConfigText(silent), 0x802), taken},
        {"target with its option bit", WithConfig(ConfigText(target), 0x402), withTarget},
        {"target without its option bit is not taken", WithConfig(ConfigText(target)), taken},
        {"target after the caption, icon after it", WithConfig(ConfigText(captionTarget), 0x412), all},
        {"a switch's target wins", WithConfig(ConfigText(target), 0x402), switchTarget, 0, "", false, "", "D:\\Admin"},
        {"arguments follow the command", WithConfig(ConfigText(plain)), withArguments, 0, "", false,
         "eins \"zwei drei\" \"\""},
        {"... the silent one too", WithConfig(ConfigText(silent), 0x802),
         {0, about, "setup.exe /quiet x", "Willkommen"}, 0, "", true, "x"},
        {"no command, no arguments", WithConfig(ConfigText(noCommand)), {0, about, "", "Willkommen"}, 0, "", false,
         "x"},
        {"caption with its option bit", WithConfig(ConfigText(caption), 0x12), withCaption},
        {"caption without its option bit is not taken", WithConfig(ConfigText(caption)), taken},
        {"icon after the message text", WithConfig(ConfigText(iconOnly)), withIcon},
        {"icon after the caption", WithConfig(ConfigText(both), 0x12), withBoth},
        {"caption read as an icon marker without the bit", WithConfig(ConfigText(markerCaption)), taken},
        {"first marker byte alone", WithConfig(firstMarker), taken},
        {"second marker byte alone", WithConfig(secondMarker), taken},
        {"not an icon", WithConfig(ConfigText(notIcon)), taken},
        {"temporary folder too long for the icon", WithConfig(ConfigText(iconOnly)), taken, 0, longTemp},
        {"icon file that cannot be written (a full disk)", WithConfig(ConfigText(iconOnly)), taken, 0, "", false, "", "", 0},
        {"data ends right after the last string", WithConfig(ConfigText(plain).substr(0, ConfigText(plain).size() - 2)),
         taken},
        {"no block", noBlock, {}},
        {"strings cut to their fields", WithConfig(ConfigText(longest), 0x12),
         {0, std::string(515, 'a'), std::string(99, 'c'), std::string(255, 't'), std::string(64, 'k'), false}},
        {"no NUL after the command", WithConfig(std::string("about\0comm", 10), 0x12), {0, "about", "comm"}},
        {"target without its NUL is not taken", WithConfig(ConfigText(target).substr(0, ConfigText(target).size() - 3), 0x402),
         taken},
        {"2012 bytes", WithConfig(full), {0, "about", "cmd", "text"}},
        {"2013 bytes", WithConfig(full + '\0'), {}},
        {"1500 bytes", fits, {0, "about", "run.exe"}},
        {"1501 bytes", tooLong, refused},
        {"0 bytes", empty, refused},
        {"archive before configuration", negative, refused},
        {"short file", cut, refused},
        {"failed read", fits, refused, 1},
        {"configuration offset the file cannot seek to", unseekable, refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string self = dir / "setup.exe", bytes = BuildSfx(c.parts);
        std::string temp = c.temp.empty() ? dir / "tmp" : c.temp;
        WriteFile(self, bytes);
        WriteFile(temp + "/.keep", "");
        ResetStubState(self);
        standin::SetTempPath(temp);
        ASSERT_TRUE(LoadStubParams(bytes));
        standin::FailRead(c.failRead);
        standin::LimitWrites(c.writeLimit);
        std::string arguments = c.arguments;
        state.run.silentMode = c.silent;
        state.run.passThrough = c.arguments.empty() ? nullptr : &arguments[0];
        snprintf(state.output.target, sizeof state.output.target, "%s", c.switchTarget.c_str());
        Loaded r{
            RunUnderCheckpoint(LoadStubData), state.texts.aboutText,     state.run.command,
            state.texts.messageText,          state.texts.customCaption, state.dialog.icon != 0,
            state.output.target};
        EXPECT_EQ(Shown(c.want), Shown(r));
        std::vector<ShownMessageBox> boxes = standin::MessageBoxes();
        ASSERT_EQ(boxes.size(), r.code ? 1u : 0u);
        // A read that fails is the own file that cannot be read, not a damaged one.
        if (r.code) {
            EXPECT_EQ(boxes[0].text, c.failRead ? zipcraft::Formatted(MSG_READ_FAILED, self.c_str())
                                                : std::string(HEADER_INVALID_TEXT));
        }
        EXPECT_EQ(ListFolder(temp), std::vector<std::string>{".keep"});  // no icon file left
        ReleaseStubState();
    }
}

}  // namespace
