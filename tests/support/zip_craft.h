// The tests' one ZIP writer: records with any field set to any value or, through Finish, a
// sound archive that other tools read; plus a runner that extracts such an archive behind a
// prefix in a file the way the Setup command does.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "posix/standin.h"
#include "tools/common/ziprecords.h"
#include "tests/support/inflate_support.h"

namespace zipcraft {

using ::RandomBytes;

// Contents that compress like real files: text with repetitions and some noise.
std::string SampleText(size_t size, unsigned variant);

const uint16_t kTime = 0x6A3C;  // 13:17:56
const uint16_t kDate = 0x5A96;  // 2025-04-22

// One local header and what follows it. Unset values (-1) are derived: the stored data is
// `content` itself (method 0) or its DEFLATE stream (method 8, other methods too), the CRC
// is that of `content`, the sizes are those of the data and the content.
struct Member {
    std::string name;
    std::string content;
    int method = 8;            // 0 stored, 8 deflated (any other: deflated data, that method in the headers)
    uint16_t flags = 0;
    uint16_t time = kTime, date = kDate;
    int64_t crc = -1, packed = -1, size = -1;
    bool haveData = false;     // `data` holds the raw member data to store as it is
    std::string data;
    std::string descriptor;    // written after the data; with bit 3 and none given, a sound one
    bool zeroSizesInLocal = false;  // CRC and sizes 0 in the local header only (streaming writers)
};

class Archive {
public:
    explicit Archive(uint32_t base = 0) : base_(base) {}  // offsets count from `base`
    Archive& Add(const Member& member);
    Archive& AddStored(const std::string& name, const std::string& content);
    Archive& AddDeflated(const std::string& name, const std::string& content);
    // A sound central entry for every member added so far, then the end record.
    Archive& Finish(const std::string& comment = "");
    // A central entry with all fields zero; the end record counts the members and covers the
    // central entries written so far.
    Archive& Central(const std::string& name, const std::string& extra = "",
                     const std::string& comment = "");
    Archive& End(const std::string& comment = "");
    Archive& Raw(const std::string& bytes);
    const std::string& bytes() const { return bytes_; }
    size_t size() const { return bytes_.size(); }

private:
    std::string bytes_;
    uint32_t base_;
    size_t centralStart_ = std::string::npos;
    struct Entry {
        std::string name;
        sfx::EntryFields fields;
        uint32_t offset;
    };
    std::vector<Entry> entries_;
};

// The result of one extraction run.
struct Outcome {
    int code = -1;                          // RunExtraction's result
    std::vector<ShownMessageBox> boxes;     // every box shown, in order
};

// Sets the program's state as start-up and the Setup command leave it, with `file` as its own
// file, the archive at `archiveOffset` and `folder` as the extraction folder. Message-box
// answers and failure injections are set after this, before `Extract`.
void Prepare(const std::string& file, uint32_t archiveOffset, const std::string& folder,
             uint32_t totalSize = 0);
Outcome Extract();  // RunExtraction, and the boxes it showed

// Message `id` formatted as the program formats it (wsprintfA), e.g. with a path for %s.
std::string Formatted(int id, ...);
// A native path as the program spells it after composing an output path ('\\' throughout).
std::string Backslashed(const std::string& path);

// Removes everything inside `folder` (the folder itself stays, or is made).
void EmptyFolder(const std::string& folder);

// Every file and folder below `root`, as relative paths ("sub/" for a folder), sorted.
std::vector<std::string> ListTree(const std::string& root);

// The extraction fuzz targets' folders: below a fresh scratch root, the program's file
// a/setup.exe and the extraction folder a/b/out.
struct FuzzTree {
    std::string root, file, out;
};
FuzzTree MakeFuzzTree();
// Below the root there may be only the program's file, the extraction folder (with anything
// in it) and the folders that lead to them; the first other entry stops the fuzzer.
void AbortOnEntriesOutside(const FuzzTree& tree);

}  // namespace zipcraft
