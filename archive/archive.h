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
// as the stub takes it: in the ANSI code page, its one optional leading separator dropped,
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
// anywhere below 4 GiB.
BOOL SeekFile(HFILE file, DWORD offset);
void SeekArchive(DWORD offset);
void ReadArchive(void* to, DWORD count);
void ReadArchiveAt(DWORD offset, void* to, DWORD count);
void SkipArchive(DWORD count);

// ---- walker.cpp: the record walker ----------------------------------------------------------
// Walks the archive under a checkpoint of its own: 0 when the end record was reached, else the
// abort code of the failure or cancel that ended the walk.
int RunExtraction(void);

// ---- output.cpp: member output --------------------------------------------------------------
// Writes the member whose local header has just been read; false when it was skipped. It
// defines the sink of base/feed.h (WriteOutput).
BOOL OutputMember(void);

// ---- removal.cpp: removal of the extraction folder ------------------------------------------
// Deletes `folder` and everything below it; true when the folder itself went.
BOOL DeleteTree(const char* folder);
