// Archive extraction: the operations of archive/, by the file that defines them.
#pragma once
#include "startup/state.h"

// ---- crc32.cpp: the ZIP checksum ------------------------------------------------------------
// Every user presets state.crc to 0xFFFFFFFF and complements it after the last update.
void BuildCrcTable(void);
void Crc32Update(const unsigned char* bytes, DWORD count);

// ---- paths.cpp: path and file operations ----------------------------------------------------
char* FileNamePart(char* path);
BOOL PathExists(const char* path);
BOOL CreateFolder(const char* path);
BOOL SetCurrentFolder(const char* path);
BOOL DeleteFileForced(const char* path);

// ---- walker.cpp: the record walker ----------------------------------------------------------
// Walks the archive under a checkpoint of its own: 0 when the end record was reached, else the
// abort code of the failure or cancel that ended the walk.
int RunExtraction(void);

// ---- output.cpp: member output --------------------------------------------------------------
// Writes the member whose local header has just been read; false when it was skipped.
BOOL OutputMember(void);
// Passes a full output buffer on: meter, CRC-32, write, a chance to cancel.
int FlushOutput(void);

// ---- removal.cpp: removal of the extraction folder ------------------------------------------
// Deletes `folder` and everything below it; true when the folder itself went.
BOOL DeleteTree(char* folder);
