// The file format of a self-extracting file, written down once for the stub, the builder
// (mksfx), the message-table generator (msggen) and the tests. Plain constants, structures and
// inline helpers only: the stub includes this without a C runtime.
//
// A finished file is, front to back:
//   1. the stub image, with the parameter block (below) somewhere inside its data;
//   2. the configuration block: one raw DEFLATE stream of texts, command and optional icon;
//   3. a ZIP archive whose offsets count from the start of the whole file.
// The builder writes them in that order and fills in the parameter block last
// (tools/mksfx/build.cpp); the stub finds its block by the signature and reads the archive
// front to back from `archiveOffset`, trusting the local headers.
#pragma once

// ---- numbers: little-endian, at any alignment -----------------------------------------------

inline unsigned ReadLe16(const unsigned char* p) { return p[0] | (p[1] << 8); }
inline unsigned ReadLe32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | ((unsigned)p[2] << 16) | ((unsigned)p[3] << 24);
}
inline void WriteLe32(unsigned char* p, unsigned v) {
    p[0] = (unsigned char)v; p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16); p[3] = (unsigned char)(v >> 24);
}

// ---- the stub parameter block ---------------------------------------------------------------
// 52 bytes inside the stub's data, patched by the builder. The header CRC-32 covers bytes 0 to
// archiveOffset - 1 of the finished file (image and configuration block) with the four bytes of
// `headerCrc` taken as zero; a `headerCrc` of 0 means "no check". With OPT_SIGNABLE it also
// takes the PE image checksum and the certificate-table entry of the data directory as zero:
// the two header fields that Authenticode signing writes after the build (the certificate
// table itself goes after the archive, outside the range). The builder leaves both zero, so
// for an unsigned file the CRC is the same either way.

#define PARAMETER_SIGNATURE_BYTES 'r', 'd', 'k', 0x01, 's', 'f', 'x', 0x02

enum {
    PARAMETER_SIGNATURE_LENGTH = 8,
    PB_HEADER_CRC = 8,
    PB_ARCHIVE_OFFSET = 12,
    PB_CONFIG_OFFSET = 16,        // 0: no configuration block
    PB_END_RECORD_OFFSET = 20,    // 0: no end-record probe at start-up
    PB_TOTAL_SIZE = 24,           // the members' sizes added up, for the meter
    PB_OPTION_FLAGS = 28,
    PB_WAIT_FOR_NAME = 32,        // base name of a program to wait for, NUL-terminated
    PB_RESERVED = 42,
    PB_FORMS = 46,                // the forms the stub reads: FORM_ZIP, FORM_SOLID (0: ZIP only)
    PB_LANGUAGES_OFFSET = 48,     // with OPT_LANGUAGES: where the language tables begin
    STUB_PARAMETER_BLOCK_SIZE = 52,
    WAIT_NAME_BYTES = 10,         // 9 characters and the NUL
};

// Option bits; the others are left as the image carries them.
enum {
    OPT_WAIT_FOR_PROGRAM = 0x04,  // after the command, wait while waitForName.exe runs
    OPT_CUSTOM_CAPTION = 0x10,    // the configuration block holds a caption
    OPT_WAIT_MODE = 0x40,         // as the WAIT switch: ask for "&Done" before cleaning up
    OPT_SIGNABLE = 0x100,         // the header CRC skips the two fields that signing writes
    OPT_EXTRACT_ONLY = 0x200,     // no command: extract into the target folder and keep it
    OPT_TARGET = 0x400,           // the configuration block holds a target folder
    OPT_SILENT_COMMAND = 0x800,   // the third string is the command of silent runs
    OPT_HIDE_CONSOLE = 0x1000,    // the command gets no console window in interactive runs too
    OPT_LANGUAGES = 0x10000,      // the file carries language tables (below)
    OPT_CUSTOM_FOOTER = 0x20000,  // the configuration block holds the dialog's footer line
    OPT_CUSTOM_BANNER = 0x40000,  // the configuration block holds the About box's banner
    OPT_UTF8 = 0x80000,           // the texts and language tables are UTF-8, not Windows-1252
                                  // and code page 850 (member names say so by ZIP_FLAG_UTF8)
};

// Where those two fields stand: the MZ header names the PE header's offset at MZ_PE_OFFSET;
// from the PE signature on, the checksum is 4 bytes at PE_CHECKSUM and the certificate
// table's entry (file offset and size) 8 bytes at PE_CERTIFICATE_ENTRY.
enum {
    MZ_PE_OFFSET = 0x3C,
    PE_CHECKSUM = 4 + 20 + 64,
    PE_CERTIFICATE_ENTRY = 4 + 20 + 96 + 4 * 8,
    PE_SIGNED_FIELDS_END = PE_CERTIFICATE_ENTRY + 8,
};

#pragma pack(push, 1)
struct StubParameterBlock {
    unsigned char signature[PARAMETER_SIGNATURE_LENGTH];
    unsigned int headerCrc;
    unsigned int archiveOffset;
    unsigned int configOffset;
    unsigned int endRecordOffset;
    unsigned int totalSize;
    unsigned int optionFlags;
    char waitForName[WAIT_NAME_BYTES];
    unsigned char reserved[6];
    unsigned int languagesOffset;
};
#pragma pack(pop)

static_assert(sizeof(StubParameterBlock) == STUB_PARAMETER_BLOCK_SIZE, "block size");
static_assert(__builtin_offsetof(StubParameterBlock, headerCrc) == PB_HEADER_CRC &&
                  __builtin_offsetof(StubParameterBlock, archiveOffset) == PB_ARCHIVE_OFFSET &&
                  __builtin_offsetof(StubParameterBlock, configOffset) == PB_CONFIG_OFFSET &&
                  __builtin_offsetof(StubParameterBlock, endRecordOffset) == PB_END_RECORD_OFFSET &&
                  __builtin_offsetof(StubParameterBlock, totalSize) == PB_TOTAL_SIZE &&
                  __builtin_offsetof(StubParameterBlock, optionFlags) == PB_OPTION_FLAGS &&
                  __builtin_offsetof(StubParameterBlock, waitForName) == PB_WAIT_FOR_NAME &&
                  __builtin_offsetof(StubParameterBlock, reserved) == PB_RESERVED &&
                  __builtin_offsetof(StubParameterBlock, languagesOffset) == PB_LANGUAGES_OFFSET,
              "block fields");

// The forms of archive a stub reads (PB_FORMS): the ZIP form, and the solid form (a 7z
// archive of LZMA streams), which only the stub built with TESSLY_SOLID reads; FORM_UTF8: the
// stub reads UTF-8 texts and names (OPT_UTF8, ZIP_FLAG_UTF8), as both stubs do now. A stub
// without the bit (an older one named by --stub) is given no file with UTF-8 texts.
enum { FORM_ZIP = 0x01, FORM_SOLID = 0x02, FORM_UTF8 = 0x04 };
#if TESSLY_SOLID
#define STUB_FORMS (FORM_ZIP | FORM_SOLID | FORM_UTF8)
#else
#define STUB_FORMS (FORM_ZIP | FORM_UTF8)
#endif

// The block as a freshly built stub carries it, before the builder fills it in.
#define FRESH_PARAMETER_BLOCK                                            \
    {{PARAMETER_SIGNATURE_BYTES}, 0, 0, 0, 0, 0, 0x02,                   \
     {'_', 'I', 'S', 'D', 'E', 'L', 0, 0, 0, 0},                         \
     {0xFF, 0xFF, 0x02, 0x00, STUB_FORMS, 0}, 0}

// ---- the configuration block ----------------------------------------------------------------
// Stored packed between configOffset and archiveOffset. Inflated, it holds, each NUL-terminated:
// the about text, the command, a third string (with OPT_SILENT_COMMAND the command of silent
// runs, else unused), the dialog's text, with OPT_CUSTOM_CAPTION the caption, with OPT_TARGET
// the target folder (environment variables as %NAME%), with OPT_CUSTOM_FOOTER the footer line
// (empty: none) and with OPT_CUSTOM_BANNER the About box's banner (empty: none); then either
// ICON_MARKER twice followed by an icon file up to the end of the data, or two zero bytes. The
// field sizes count the NUL: a field holds one character less.
enum {
    CONFIG_PACKED_MAX = 1500,
    CONFIG_UNPACKED_MAX = 2012,
    ABOUT_TEXT_BYTES = 516,
    COMMAND_CHARS = 100,
    MESSAGE_TEXT_BYTES = 256,
    CUSTOM_CAPTION_BYTES = 65,
    TARGET_BYTES = 200,
    FOOTER_TEXT_BYTES = 81,
    BANNER_TEXT_BYTES = 256,
    ICON_MARKER = 0x1F,
};

// ---- the stored message table (inside the stub) ---------------------------------------------
// One raw DEFLATE stream. Messages 0 to MESSAGE_TEXT_COUNT - 1 are NUL-terminated texts in code
// page 850, back to back and without NULs of their own, so message n starts after the n-th NUL;
// message MESSAGE_TEXT_COUNT is the dialog template, which the stub copies out in
// TEMPLATE_COPY_BYTES and so must start that far before the end of the table's block. The ids
// (MSG_*) and MESSAGE_TEXT_COUNT come from messages/messages.txt: msggen writes them into the
// build tree as generated/messages.h.
enum {
    MESSAGE_TABLE_BYTES = 5544,
    TEMPLATE_COPY_BYTES = 1024,
};

// ---- the language tables (with OPT_LANGUAGES) ---------------------------------------------------
// One raw DEFLATE stream from languagesOffset up to configOffset (the configuration block
// follows it). Inflated, it holds one table after another: a byte with the table's Windows
// primary language id, then the MESSAGE_TEXT_COUNT texts of messages 0 to MESSAGE_TEXT_COUNT - 1
// in code page 850, each ended by its NUL, as the stored message table holds them. The stub
// takes the table of the user's UI language, or the first one (English when the file carries
// it) when none matches; the dialog template stays the stub's own. A file without the option
// uses the stub's own table, as files always have.
enum {
    LANGUAGES_PACKED_MAX = 16384,
    LANGUAGES_UNPACKED_MAX = 16384,
};

// ---- ZIP records ----------------------------------------------------------------------------
// Offsets count from the record's signature.
enum {
    ZIP_SIGNATURE_BYTES = 4,
    ZIP_LOCAL_SIGNATURE = 0x04034B50,
    ZIP_CENTRAL_SIGNATURE = 0x02014B50,
    ZIP_END_SIGNATURE = 0x06054B50,
    ZIP_DESCRIPTOR_SIGNATURE = 0x08074B50,
    ZIP64_LOCATOR_SIGNATURE = 0x07064B50,  // stands right before a ZIP64 archive's end record
    ZIP64_LOCATOR_BYTES = 20,
};

// The entry fields: the 26 bytes that a local header and a central entry share.
enum {
    ENTRY_VERSION_NEEDED = 0,
    ENTRY_FLAGS = 2,
    ENTRY_METHOD = 4,
    ENTRY_TIME = 6,               // DOS time and date
    ENTRY_DATE = 8,
    ENTRY_CRC = 10,
    ENTRY_PACKED = 14,            // compressed size
    ENTRY_SIZE = 18,
    ENTRY_NAME_LENGTH = 22,
    ENTRY_EXTRA_LENGTH = 24,
    ENTRY_FIELDS_BYTES = 26,
};

// Local header: signature, entry fields, then the name and the extra field; the member's data
// follows, and with ZIP_FLAG_DESCRIPTOR a data descriptor (signature, CRC, both sizes) after it.
enum {
    LOCAL_ENTRY_FIELDS = 4,
    LOCAL_HEADER_BYTES = LOCAL_ENTRY_FIELDS + ENTRY_FIELDS_BYTES,
    DESCRIPTOR_BYTES = 16,
};

// Central entry: signature, version made by, entry fields, then the fields below; then the
// name, the extra field and the comment.
enum {
    CENTRAL_MADE_BY = 4,
    CENTRAL_ENTRY_FIELDS = 6,
    CENTRAL_COMMENT_LENGTH = 32,
    CENTRAL_DISK = 34,
    CENTRAL_INTERNAL_ATTRIBUTES = 36,
    CENTRAL_EXTERNAL_ATTRIBUTES = 38,
    CENTRAL_LOCAL_OFFSET = 42,
    CENTRAL_HEADER_BYTES = 46,
};

// End of central directory record, then its comment.
enum {
    END_DISK = 4,
    END_CENTRAL_DISK = 6,
    END_ENTRIES_HERE = 8,
    END_ENTRIES = 10,
    END_CENTRAL_SIZE = 12,
    END_CENTRAL_OFFSET = 16,
    END_COMMENT_LENGTH = 20,
    END_RECORD_BYTES = 22,
};

enum {
    ZIP_FLAG_ENCRYPTED = 0x0001,
    ZIP_FLAG_DESCRIPTOR = 0x0008,
    ZIP_FLAG_STRONG_ENCRYPTION = 0x0040,
    ZIP_FLAG_UTF8 = 0x0800,
};

// Compression methods. The stub extracts these two; a new one needs its case in the stub's
// member output (archive/output.cpp) and here.
enum { METHOD_STORED = 0, METHOD_DEFLATED = 8 };
inline bool MethodSupported(unsigned method) {
    return method == METHOD_STORED || method == METHOD_DEFLATED;
}
