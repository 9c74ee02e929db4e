// The layout of a self-extracting file as the builder writes it and as list, verify and
// extract read it: the stub's parameter block, the configuration block and the archive's
// records, walked front to back from the archive offset the way the stub walks them.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "tools/common/ziprecords.h"
#include "tools/mksfx/pe/resources.h"
#include "tools/mksfx/files.h"
#include "tools/mksfx/languages.h"

namespace sfx {

// ---- block.cpp: the parameter block ------------------------------------------------------------

extern const unsigned char kSignature[PARAMETER_SIGNATURE_LENGTH];
// The longest text each field of the configuration block takes (its NUL aside).
const size_t kAboutMax = ABOUT_TEXT_BYTES - 1, kCommandMax = COMMAND_CHARS - 1, kTargetMax = TARGET_BYTES - 1,
             kTextMax = MESSAGE_TEXT_BYTES - 1, kCaptionMax = CUSTOM_CAPTION_BYTES - 1,
             kWaitNameMax = WAIT_NAME_BYTES - 1, kFooterMax = FOOTER_TEXT_BYTES - 1,
             kBannerMax = BANNER_TEXT_BYTES - 1;
const size_t kNameMax = 200;  // see SafeName

// The parameter block as it stands in a file (base/format.h), where it stands, and the name
// to wait for up to its NUL. WriteBlock rewrites the fields from headerCrc to the name from
// `waitName`, and the languages' offset; the signature and the reserved bytes stay as they are.
struct Block : StubParameterBlock {
    Block() : StubParameterBlock() {}
    size_t position = 0;   // of the signature in the file
    std::string waitName;  // waitForName up to its first NUL
};

// Occurrences of the signature in bytes [0, limit); `first` receives the first position.
size_t CountSignature(const std::string& bytes, size_t limit, size_t* first);
Block ReadBlock(const std::string& bytes, size_t position);
void WriteBlock(std::string* bytes, const Block& block);  // headerCrc included
// Where the PE header stands when the two fields that signing writes (base/format.h) lie
// inside bytes [0, length) as the stub's header check finds them; npos when they do not
// (the stub then refuses a file with OPT_SIGNABLE).
size_t SignedFieldsBase(const std::string& bytes, size_t length);
// CRC-32 of bytes [0, length) as the stub's header check computes it: the four headerCrc
// bytes after the block's signature taken as 0, and with OPT_SIGNABLE in the block's
// options the PE checksum and the certificate-table entry too.
uint32_t HeaderCrc(const std::string& bytes, const Block& block, size_t length);

uint32_t Crc32(const void* data, size_t size, uint32_t crc = 0);

// ---- decode.cpp --------------------------------------------------------------------------------

// Raw DEFLATE decode of `size` bytes in memory (the configuration block). Answers false with
// `error` set when the stream is broken, does not end inside the input, or decodes to more
// than `limit` bytes. `consumed` receives the input bytes the stream took.
bool InflateRaw(const void* data, size_t size, size_t limit, std::string* out, size_t* consumed,
                std::string* error);

// A member's data decoded in pieces from `file` at `offset`: `packed` bytes, stored or
// deflated. Answers false with `error` for a broken stream or more than `limit` bytes.
struct Decoded {
    uint64_t size = 0;      // decoded bytes
    uint32_t crc = 0;       // their CRC-32
    uint64_t consumed = 0;  // input bytes the stream took (all of them when stored)
};
bool DecodeData(InputFile* file, uint64_t offset, uint64_t packed, unsigned method, uint64_t limit,
                Decoded* decoded, std::string* error);

// ---- configblock.cpp: the configuration block --------------------------------------------------

// The inflated configuration block, split as the stub splits it.
struct Config {
    std::string about, command, silentCommand, text, caption, target, footer, banner;  // Windows-1252 bytes
    bool hasIcon = false;
    std::string icon;  // the icon file's bytes, to the end of the inflated data
};
// Answers the faults of the layout (empty when sound); fills `config` as far as it goes. The
// option flags say which fields are there and what they must hold.
std::vector<std::string> ParseConfig(const std::string& inflated, uint32_t optionFlags, Config* config);
// An icon file as the stub's platform reads it: `description` receives what it holds
// ("32x32, 16 colours, 766 bytes"); false with `error` saying why it is unusable.
bool DescribeIcon(const std::string& icon, std::string* description, std::string* error);
// Checks an icon file as the stub does before it uses one (CheckIconFile, startup/config.cpp);
// false with `error` saying why it is unusable.
bool CheckStubIcon(const std::string& icon, std::string* error);

// ---- walk.cpp: the archive's records -----------------------------------------------------------

// One local-header record met by the walk.
struct Member : EntryFields {
    uint64_t headerOffset = 0, dataOffset = 0;
    std::string name;  // raw bytes (code page 850, or UTF-8 with ZIP_FLAG_UTF8)
    uint16_t peerField = 0;  // the id of an extra field that other unzip tools read (Zip64, UTF-8 path)
    // With bit 3: whether its data descriptor begins with the signature, and its values.
    bool descriptorSigned = false;
    EntryFields descriptor;
    bool IsDirectory() const {
        return !name.empty() && (name.back() == '/' || name.back() == '\\');
    }
};

// One central-directory entry met by the walk: what other unzip tools take a member from.
struct Central : EntryFields {
    uint64_t position = 0, end = 0;  // where the entry stands and where it ends
    uint32_t localOffset = 0;        // of its local header
    uint16_t disk = 0;               // the disk its local header is on
    uint16_t madeBy = 0;             // host (high byte) and version of the writer
    uint32_t attributes = 0;         // external: DOS attributes, a Unix mode in the high half
    uint16_t peerField = 0;          // as in Member
    std::string name;
};

// The most local headers and central entries the walk takes: what an end record can count.
const size_t kEntriesMax = 65535;

struct Walk {
    std::vector<Member> members;
    std::vector<Central> central;
    uint64_t endRecordPosition = 0;
    std::string endRecord;               // its fixed bytes
    bool localAfterCentral = false;      // a local header follows a central entry
    bool complete = false;               // the end record was reached
    std::vector<std::string> faults;     // the walk stops at the first structural one
};
// Walks records of `file` from `offset` as the stub does: local headers, central entries and
// the end record in any order, data descriptors skipped by bit 3, until the end record. More
// than kEntriesMax local headers or central entries end the walk with a fault.
Walk WalkRecords(InputFile* file, uint64_t offset);

// ---- names.cpp: member names and times ---------------------------------------------------------

// Whether a member name (bytes, '/' between components, a trailing '/' for a folder) is
// safe: false with `why` when it could write outside the extraction folder or cannot be
// created there.
// The stub's own rules (archive/names.cpp) apply to the name as the stub reads it, in
// Windows-1252, or with `utf8` (ZIP_FLAG_UTF8) as it stands once it is sound UTF-8; mksfx also
// refuses a leading '/' and a backslash, which the stub would take apart differently. Names
// are held to 200 bytes: the stub joins them to a temporary folder of about 60 characters in
// 264-byte buffers.
bool SafeName(const std::string& name, std::string* why, bool utf8 = false);

// The name (bytes, code page 850, or UTF-8 with `utf8`) as Windows compares names, in UTF-8:
// converted to Windows-1252 as the stub converts it, then upper-cased wherever Windows takes
// two letters for the same (not only ASCII: 'ä' and 'Ä', 'ł' and 'Ł', 'я' and 'Я'; a name
// that Windows would change otherwise is unsafe already).
std::string WindowsFoldedName(const std::string& name, bool utf8 = false);
// A text of the configuration block in UTF-8: as stored with OPT_UTF8 in `flags`, else from
// Windows-1252.
std::string TextUtf8(const std::string& text, uint32_t flags);
// Whether the stub reads a member's name as UTF-8: flagged (ZIP_FLAG_UTF8) in a file whose
// texts are UTF-8 (OPT_UTF8 in `optionFlags`); any other name it reads in code page 850.
bool NameIsUtf8(const Member& m, uint32_t optionFlags);
// A member's name in UTF-8, as the stub reads it.
std::string NameUtf8(const Member& m, uint32_t optionFlags);
// The faults among the files of one archive (folders not included): two that are one file
// on Windows, and a file where another one needs a folder.
std::vector<std::string> NameClashes(const std::vector<const Member*>& files, uint32_t optionFlags);

std::string DosTimeText(uint16_t date, uint16_t time);

// ---- sfxfile.cpp: a whole file (verify.cpp checks it) ------------------------------------------

// An Authenticode signature as list and verify report it (signing.h).
struct Signature {
    bool present = false;  // the certificate-table entry is set
    std::string subject;   // the signer's, as "CN=..., O=..."
};

// A whole self-extracting file, read for list, verify and extract. Only the part before the
// archive is held in memory; the archive and a certificate table after it are read in pieces.
struct File {
    std::string path;
    InputFile in;
    bool solid = false;  // the archive is the solid form (a 7z archive): no ZIP walk
    std::string head;  // bytes [0, archiveOffset): the stub image and the configuration block
    Block block;
    Config config;
    std::string inflatedConfig;
    bool hasConfig = false;
    std::vector<LanguageTable> languages;  // with OPT_LANGUAGES, as far as they read
    Walk walk;
    ResourceSummary resources;  // filled by CheckFile
    Signature signature;        // filled by CheckFile once the walk is complete
};
// The most that is read before the archive (the stub's image is some 23 KB).
const uint64_t kHeadMax = 64ull << 20;
// Locates the block and reads the configuration and the records. `faults` gets one line
// per problem; answers false when the file cannot be understood at all (no block, a broken
// configuration, a walk that fails).
bool ReadFile(const std::string& path, File* file, std::vector<std::string>* faults);

// Every fault of a file that ReadFile read: the stub image and its resources, then in the
// order the stub meets them, then what other unzip tools rely on, then the signature (the
// resources and the signature are filled in).
// With `memberData`, each member is decoded and its CRC-32 compared (verify); without, only
// the structure is checked (list). The solid form is checked by the stub's own code: start-up's
// checks, the header, and with `memberData` every member decoded and checked, nothing written.
// verify.cpp.
std::vector<std::string> CheckFile(File* file, bool memberData);

}  // namespace sfx
