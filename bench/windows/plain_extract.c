/* The yardstick of the on-target benchmark: a plain extractor for Windows, built with zlib.
   It does the whole job of a self-extracting file as simply as a careful program would:
   finds the archive by its end record and central directory, extracts every member into a
   new folder under the folder for temporary files (64 KiB reads and writes, CRC-32
   checked, all three file times set from the DOS date and time, as they stand), runs the
   command there and waits for it, then deletes the folder. No window.

     plain_extract FILE [COMMAND]

   Prints one line: files=N bytes=N extract=S run=S delete=S (seconds). Exit code 0 on
   success, 1 with a message on standard error otherwise. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

enum { CHUNK = 65536, END_RECORD = 22, MAX_COMMENT = 65535 };

static HANDLE archive;
static unsigned char inBuf[CHUNK], outBuf[CHUNK];
static char root[MAX_PATH];
static DWORD written;

static void Fail(const char* what, const char* name) {
    fprintf(stderr, "plain_extract: %s%s%s (error %lu)\n", what, name ? ": " : "",
            name ? name : "", GetLastError());
    exit(1);
}

static unsigned Le16(const unsigned char* p) { return p[0] | p[1] << 8; }
static DWORD Le32(const unsigned char* p) { return Le16(p) | (DWORD)Le16(p + 2) << 16; }

static void ReadAt(DWORD offset, void* into, DWORD count) {
    DWORD got;
    if (SetFilePointer(archive, (LONG)offset, 0, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !ReadFile(archive, into, count, &got, 0) || got != count)
        Fail("cannot read the archive", 0);
}

static void Read(void* into, DWORD count) {
    DWORD got;
    if (!ReadFile(archive, into, count, &got, 0) || got != count) Fail("short read", 0);
}

static void Write(HANDLE file, const void* data, DWORD count, const char* name) {
    DWORD put;
    if (!WriteFile(file, data, count, &put, 0) || put != count) Fail("cannot write", name);
    written += count;
}

/* Makes every folder on the way to `path` below the extraction folder. */
static void MakeParents(char* path) {
    for (char* p = path + strlen(root) + 1; *p; ++p) {
        if (*p != '\\') continue;
        *p = 0;
        CreateDirectoryA(path, 0);
        *p = '\\';
    }
}

/* Writes one member whose data starts at the current file position; answers its CRC-32. */
static DWORD Extract(HANDLE out, unsigned method, DWORD packed, const char* name) {
    DWORD crc = crc32(0, 0, 0);
    if (method == 0) {
        while (packed) {
            DWORD n = packed < CHUNK ? packed : CHUNK;
            Read(inBuf, n);
            crc = crc32(crc, inBuf, n);
            Write(out, inBuf, n, name);
            packed -= n;
        }
        return crc;
    }
    if (method != 8) Fail("unsupported method", name);
    z_stream z;
    memset(&z, 0, sizeof z);
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) Fail("inflateInit2", name);
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (z.avail_in == 0) {
            if (!packed) Fail("data ends early", name);
            DWORD n = packed < CHUNK ? packed : CHUNK;
            Read(inBuf, n);
            packed -= n;
            z.next_in = inBuf;
            z.avail_in = n;
        }
        z.next_out = outBuf;
        z.avail_out = CHUNK;
        status = inflate(&z, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END) Fail("damaged data", name);
        DWORD n = CHUNK - z.avail_out;
        if (n) {
            crc = crc32(crc, outBuf, n);
            Write(out, outBuf, n, name);
        }
    }
    inflateEnd(&z);
    return crc;
}

static unsigned ExtractAll(void) {
    /* The end record: the last "PK\5\6" within reach of the file's end. */
    DWORD size = GetFileSize(archive, 0);
    if (size < END_RECORD) Fail("no archive", 0);
    DWORD tail = size < END_RECORD + MAX_COMMENT ? size : END_RECORD + MAX_COMMENT;
    unsigned char* end = malloc(tail);
    ReadAt(size - tail, end, tail);
    long at = (long)tail - END_RECORD;
    while (at >= 0 && Le32(end + at) != 0x06054B50) --at;
    if (at < 0) Fail("no end record", 0);
    unsigned entries = Le16(end + at + 10);
    DWORD dirSize = Le32(end + at + 12), dirOffset = Le32(end + at + 16);
    free(end);

    unsigned char* dir = malloc(dirSize);
    ReadAt(dirOffset, dir, dirSize);
    unsigned files = 0;
    const unsigned char* e = dir;
    for (unsigned i = 0; i < entries; ++i) {
        if (e + 46 > dir + dirSize || Le32(e) != 0x02014B50) Fail("damaged directory", 0);
        unsigned method = Le16(e + 10), nameLength = Le16(e + 28);
        DWORD crc = Le32(e + 16), packed = Le32(e + 20), offset = Le32(e + 42);
        char name[MAX_PATH], path[2 * MAX_PATH];
        if (nameLength >= MAX_PATH) Fail("name too long", 0);
        memcpy(name, e + 46, nameLength);
        name[nameLength] = 0;
        WORD time = (WORD)Le16(e + 12), date = (WORD)Le16(e + 14);
        e += 46 + nameLength + Le16(e + 30) + Le16(e + 32);
        if (nameLength == 0 || name[nameLength - 1] == '/') continue;

        OemToCharA(name, name);
        for (char* p = name; *p; ++p)
            if (*p == '/') *p = '\\';
        snprintf(path, sizeof path, "%s\\%s", root, name);

        unsigned char local[30];
        ReadAt(offset, local, sizeof local);
        if (Le32(local) != 0x04034B50) Fail("damaged local header", name);
        SetFilePointer(archive, (LONG)(Le16(local + 26) + Le16(local + 28)), 0, FILE_CURRENT);

        HANDLE out = CreateFileA(path, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
        if (out == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND) {
            MakeParents(path);
            out = CreateFileA(path, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
        }
        if (out == INVALID_HANDLE_VALUE) Fail("cannot create", path);
        if (Extract(out, method, packed, name) != crc) Fail("CRC error", name);
        FILETIME ft;
        if (DosDateTimeToFileTime(date, time, &ft)) SetFileTime(out, &ft, &ft, &ft);
        CloseHandle(out);
        ++files;
    }
    free(dir);
    return files;
}

static void DeleteTree(const char* folder) {
    char pattern[2 * MAX_PATH], path[2 * MAX_PATH];
    snprintf(pattern, sizeof pattern, "%s\\*", folder);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const char* n = found.cFileName;
            if (n[0] == '.' && (!n[1] || (n[1] == '.' && !n[2]))) continue;
            snprintf(path, sizeof path, "%s\\%s", folder, n);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) DeleteTree(path);
            else if (!DeleteFileA(path)) Fail("cannot delete", path);
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    /* A program that the command started may hold the folder for a moment after the
       command has ended. */
    for (int tries = 0; !RemoveDirectoryA(folder); ++tries) {
        if (tries == 100) Fail("cannot remove", folder);
        Sleep(10);
    }
}

static double Seconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency) {
    return (double)(to.QuadPart - from.QuadPart) / (double)frequency.QuadPart;
}

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: plain_extract FILE [COMMAND]\n");
        return 2;
    }
    LARGE_INTEGER frequency, t0, t1, t2, t3;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&t0);

    archive = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    if (archive == INVALID_HANDLE_VALUE) Fail("cannot open", argv[1]);
    char temp[MAX_PATH];
    DWORD length = GetTempPathA(sizeof temp, temp);
    if (length == 0 || length >= sizeof temp) Fail("no folder for temporary files", 0);
    for (unsigned n = 0;; ++n) {
        snprintf(root, sizeof root, "%sPLN%u.tmp", temp, n);
        if (CreateDirectoryA(root, 0)) break;
        if (n == 999) Fail("cannot create a folder", root);
    }
    unsigned files = ExtractAll();
    CloseHandle(archive);
    QueryPerformanceCounter(&t1);

    if (argc == 3) {
        STARTUPINFOA startup = {sizeof startup};
        PROCESS_INFORMATION process;
        if (!CreateProcessA(0, argv[2], 0, 0, FALSE, 0, 0, root, &startup, &process))
            Fail("cannot run", argv[2]);
        WaitForSingleObject(process.hProcess, INFINITE);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    QueryPerformanceCounter(&t2);

    DeleteTree(root);
    QueryPerformanceCounter(&t3);
    printf("files=%u bytes=%lu extract=%.3f run=%.3f delete=%.3f\n", files, written,
           Seconds(t0, t1, frequency), Seconds(t1, t2, frequency), Seconds(t2, t3, frequency));
    return 0;
}
