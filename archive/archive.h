// Archive extraction: the operations of archive/, by the file that defines them.
#pragma once
#include "base/base.h"

// ---- paths.cpp: path and file operations ----------------------------------------------------
// Paths are composed in ANSI, as the texts show them; the calls below take them to the system
// in wide form (WidePath), so that the extraction folder may have any characters.
char* FileNamePart(char* path);
// The wide form of `path` in `out` (WIDE_PATH_CHARS): the extraction folder's own wide name
// where the path starts with it, the rest converted by the ANSI code page; a full path with a
// drive in the "\\?\" form. Answers `out`.
WCHAR* WidePath(const char* path, WCHAR* out);
BOOL PathExists(const char* path);
BOOL CreateFolder(const char* path);
// A file for writing, or HFILE_ERROR: CREATE_NEW makes a new one only, CREATE_ALWAYS also
// empties an existing one.
HFILE OpenNewFile(const char* path, DWORD disposition);
// Deletes a file, clearing a read-only attribute when that is what stands in the way.
BOOL DeleteFileForced(const WCHAR* path);

// ---- names.cpp: the names Windows can take --------------------------------------------------
// What makes a member name unfit for a file below the extraction folder. The name is taken
// as the stub takes it: in the run's code page (ANSI or UTF-8), its one optional leading separator dropped,
// '/' and '\' both separating components, leading "./" components dropped. The stub ends the run with message 31 at any
// fault; mksfx build, verify and extract hold names to the same rules.
enum {
    NAME_SOUND = 0,
    NAME_EMPTY_COMPONENT,        // an empty name or component (two separators in a row)
    NAME_CURRENT_FOLDER,         // a component "."
    NAME_PARENT_FOLDER,          // a component ".."
    NAME_TRAILING_DOT_OR_BLANK,  // Windows drops them and so names another file
    NAME_COLON,                  // a drive or a stream
    NAME_BAD_CHARACTER,          // < > " | * ? or a control character
    NAME_DEVICE,                 // CON, PRN, AUX, NUL, COM1-9, LPT1-9 (also with ¹ ² ³),
                                 // CONIN$, CONOUT$, CLOCK$, with any extension, in any case
};
int MemberNameFault(const char* name);
// The member name just read (state.output.memberName: code page 850, or UTF-8 with
// ZIP_FLAG_UTF8 in `flags`) in place in the run's code page; false for a flagged name that is
// not sound UTF-8 (cut, overlong, a surrogate). An ANSI run reads every name in code page 850,
// as files without UTF-8 texts always have been read.
BOOL TakeMemberName(unsigned flags);
// The name `wide` (NUL-terminated) in the run's code page in state.output.memberName; false
// when it does not convert exactly.
BOOL WideToRunName(const UTF16* wide);
// `name` after its leading "./" (or ".\") components, which name the folder itself.
const char* SkipCurrentFolders(const char* name);

// ---- views.cpp: the local headers and the central directory tell the same -----------------
// The caller sets views->archiveOffset and views->expected to the first record's offset before
// the walk and refuses a local header after a central entry.
// A central entry (its 46 bytes, signature first, at `at`, with its name as stored) against
// the local header it names: that offset must be views->expected, the next local header the
// walk met, and the header there (read again from the file) must have the entry's flags,
// method, CRC-32, sizes and name. The first entry decides whether the offsets count from the
// start of the file or from views->archiveOffset; all others, and the end record, count alike.
BOOL CentralEntryAgrees(ArchiveViews* views, const unsigned char* record, const char* name,
                        DWORD at);
// A data descriptor (its 16 bytes, signature first) that repeats the CRC-32 and both sizes of
// the local header's `fields`.
BOOL DescriptorMatches(const unsigned char* fields, const unsigned char* descriptor);
// The end record (its 22 bytes, signature first, at `endOffset`) against the walk: every local
// header had its central entry, both disk numbers are 0, both entry counts are the number of
// central entries, and the central directory's size and offset are where it lay.
BOOL EndRecordAgrees(const ArchiveViews* views, const unsigned char* record, DWORD endOffset);

// ---- reader.cpp: reading the archive --------------------------------------------------------
// The archive is read through one buffer: records with ReadArchive (ReadFailed when the file
// ends first), data that is not looked at with SkipArchive, a member's compressed data in
// runs with TakeMemberRun (the feed, base/feed.h). SeekArchive starts afresh at an offset of
// the file; the walk's position is state.reader.end - state.reader.left. ReadArchiveAt: `count`
// bytes at `offset`, read past the buffer, which stays as it was. SeekFile: an absolute seek
// (past 4 GiB too, which only the solid form reaches).
BOOL SeekFile(HFILE file, ULONGLONG offset);
void SeekArchive(ULONGLONG offset);
void ReadArchive(void* to, DWORD count);
void ReadArchiveAt(DWORD offset, void* to, DWORD count);
void SkipArchive(DWORD count);

// ---- walker.cpp: the record walker ----------------------------------------------------------
// Walks the archive under a checkpoint of its own: 0 when the end record was reached, else the
// abort code of the failure or cancel that ended the walk.
int RunExtraction(void);

// ---- output.cpp: member output --------------------------------------------------------------
// Writes the member whose local header has just been read; false when it was skipped. It
// defines the sink of base/feed.h (WriteOutput), which in the solid form hands the bytes to
// SolidOutput.
BOOL OutputMember(void);
// The member named by state.output.memberName (ANSI): its name checked and made a path below
// the extraction folder, its folders made and its file created (state.output.file); false when
// it is skipped (in use, or not to be overwritten).
BOOL OpenMember(void);
// Only the name's checks and path of OpenMember (mksfx verify, which checks without writing).
void CheckMemberName(void);
// Message 30 for the member in state.output.displayName: its data came out with CRC-32
// `found`, or damaged.
[[noreturn]] void BadCrc(DWORD found, DWORD expected);
// A run of the open member's bytes: the meter moves by `meterCount`, the CRC-32 takes them,
// the file gets them, and now and then the user may cancel.
void WriteMemberBytes(const unsigned char* bytes, DWORD count, DWORD meterCount);

// ---- solidheader.cpp, solid.cpp: the solid form ---------------------------------------------
// A 7z archive at archiveOffset: its signature header is checked at start-up, its plain header
// read and checked when the extraction starts, then each folder's LZMA stream is decoded and
// split among the folder's files, which go through the same member output as ZIP members.
// True when the archive starts with the 7z signature, whose header is then checked (start
// header CRC, the header inside the file; message 39 when not) and noted in state.solid.
BOOL ProbeSolidArchive(void);
// Reads and checks the header (message 31 for any fault), filling state.solid.
void ReadSolidHeader(void);
// Advances the header's name cursor past the next file name and, with `convert`, puts the
// name as ANSI in state.output.memberName (message 31 when it does not convert exactly). A
// folder's name is passed over unconverted: folders are made only for the files in them.
void TakeSolidName(BOOL convert);
// The next size of the header's list of file sizes (ReadSolidHeader has checked them all).
ULONGLONG TakeSolidSize(void);
// Extracts every member of the solid form (under RunExtraction's checkpoint).
void ExtractSolid(void);
// The sink of the solid form: decoded bytes of the current folder.
void SolidOutput(const unsigned char* bytes, DWORD count);
// Decodes the LZMA stream the feed holds (the current pack stream) into `to`, `size` bytes
// at most, for an encoded header: DecodeLzma's answer (lzma/lzma.h).
int UnpackSolid(unsigned char* to, const unsigned char* props, ULONGLONG size);

// ---- removal.cpp: removal of the extraction folder ------------------------------------------
// Deletes `folder` and everything below it; true when the folder itself went.
BOOL DeleteTree(const char* folder);
