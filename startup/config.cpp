// The configuration block: the texts, the command and the optional icon of this particular
// self-extracting file, appended right after the stub image as one raw DEFLATE stream.
//
// Its layout is in base/format.h.
//
// The block sits inside the range the header CRC covers, but that check can be switched
// off, so nothing here trusts its sizes:
//   - a packed length of 0, a negative one or one above 1500 bytes is a broken header
//     (HeaderInvalid), like a failed read;
//   - a block that would inflate to more than the 2012-byte output area passes nothing on
//     (the decoder refuses the flush), so it reads as empty: no strings, no icon;
//   - a string longer than its field is cut to the field;
//   - a string that runs past the inflated data ends the walk: what follows it (further
//     strings, the icon) is taken as absent;
//   - an icon is used only when CheckIconFile finds it sound within the inflated data.
#include "archive/archive.h"
#include "inflate/inflate.h"
#include "startup/startup.h"

enum {
    TEMP_FOLDER_LIMIT = 145,     // what GetTempPathW is asked for
    TEMP_NAME_CHARS = MAX_PATH,  // GetTempFileNameW writes up to MAX_PATH characters
};

// Copies the string at `*pos` into `dest` (at most destSize - 1 characters, always
// terminated) and moves `*pos` one past its NUL. Answers false when the string has no NUL
// inside the inflated data; `dest` then holds what there was of it.
static BOOL TakeString(const unsigned char* data, DWORD length, DWORD* pos, char* dest,
                       int destSize) {
    DWORD start = *pos;
    DWORD end = start;
    while (end < length && data[end] != 0) ++end;
    if (dest) {
        int count = 0;
        for (DWORD i = start; i < end && count < destSize - 1; ++i) dest[count++] = (char)data[i];
        dest[count] = 0;
    }
    if (end >= length) {
        *pos = length;
        return FALSE;
    }
    *pos = end + 1;
    return TRUE;
}

// The header of an image's bitmap, as stored (little-endian, as both targets are).
struct BitmapHeader {
    DWORD headerSize, width, height;
    WORD planes, bits;
    DWORD compression, imageSize, xPixelsPerMetre, yPixelsPerMetre, colours, importantColours;
};
static_assert(sizeof(BitmapHeader) == 40 && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the header is copied as it stands");

int CheckIconFile(const unsigned char* icon, DWORD length) {
    if (length < 6 || ReadLe32(icon) != 0x10000) return ICON_NO_DIRECTORY;
    DWORD count = ReadLe16(icon + 4);
    if (count == 0) return ICON_NO_IMAGE;
    DWORD directoryEnd = 6 + 16 * count;
    if (directoryEnd > length) return ICON_DIRECTORY_CUT;
    // The loader may pick any of the images, so every one must hold.
    for (DWORD entry = 6; entry < directoryEnd; entry += 16) {
        DWORD size = ReadLe32(icon + entry + 8), offset = ReadLe32(icon + entry + 12);
        if (offset < directoryEnd || offset > length || size > length - offset)
            return ICON_IMAGE_OUTSIDE;
        BitmapHeader h;
        if (size < sizeof h) return ICON_NOT_BITMAP;
        __builtin_memcpy(&h, icon + offset, sizeof h);
        if (h.headerSize != sizeof h) return ICON_NOT_BITMAP;
        if (h.width - 1 >= 256 || (h.height & 1) || h.height - 2 >= 512) return ICON_BAD_SIZE;
        DWORD depthColours = h.bits <= 8 ? 1u << h.bits : 256;
        if (h.planes != 1 || h.compression != 0 || h.colours > depthColours ||
            (h.bits != 1 && h.bits != 4 && h.bits != 8 && h.bits != 24 && h.bits != 32))
            return ICON_BAD_FORMAT;
        if (h.bits <= 8 && h.colours == 0) h.colours = depthColours;
        // Rows of whole 32-bit words: the colour image, then the one-bit mask.
        DWORD rowBytes = (h.width * h.bits + 31) / 32 * 4 + (h.width + 31) / 32 * 4;
        if (sizeof h + 4 * h.colours + h.height / 2 * rowBytes > size) return ICON_IMAGE_CUT;
    }
    return ICON_SOUND;
}

// Writes the icon file through a temporary file, which is the only way the platform takes an
// icon from bytes in memory, and deletes the file again. Its path is wide from end to end, so
// that a temporary folder of any characters will do. A call of its own (noinline): its names
// would otherwise share the caller's large frame and be reached with longer offsets.
__attribute__((noinline)) static void LoadIcon(const unsigned char* iconStart, DWORD byteCount) {
    WCHAR folder[TEMP_FOLDER_LIMIT];
    WCHAR name[TEMP_NAME_CHARS];
    DWORD folderLength = GetTempPathW(TEMP_FOLDER_LIMIT, folder);
    // 0 is a failure; a value of the limit or more is the size the path would need.
    if (folderLength == 0 || folderLength >= TEMP_FOLDER_LIMIT) return;
    if (GetTempFileNameW(folder, WIDE("QVSE"), 0, name) == 0) return;
    HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    if (file != INVALID_HANDLE_VALUE) {
        _lwrite((HFILE)(INT_PTR)file, (LPCSTR)iconStart, byteCount);
        _lclose((HFILE)(INT_PTR)file);
        HICON icon = ExtractIconW(state.run.instance, name, 0);
        state.dialog.icon = icon == (HICON)1 ? 0 : icon;
    }
    DeleteFileForced(name);
}

void ReadConfiguration(void) {
    if (stubParams.configOffset == 0) return;
    if (stubParams.archiveOffset <= stubParams.configOffset) HeaderInvalid();
    DWORD packedLength = stubParams.archiveOffset - stubParams.configOffset;
    if (packedLength > CONFIG_PACKED_MAX) HeaderInvalid();

    unsigned char packed[CONFIG_PACKED_MAX];
    unsigned char data[CONFIG_UNPACKED_MAX];
    // Zero-filled: bytes the stream does not reach read as NUL, never as stale stack.
    for (int i = 0; i < CONFIG_UNPACKED_MAX; ++i) data[i] = 0;

    ReadSelf(stubParams.configOffset, packed, packedLength);
    // Not looked at: a damaged block reads as the bytes that arrived, which are usually none.
    unsigned char* end = InflateInMemory(packed, packedLength, data, CONFIG_UNPACKED_MAX);

    DWORD length = 0;
    if (end > data) length = (DWORD)(end - data);
    if (length > CONFIG_UNPACKED_MAX) length = CONFIG_UNPACKED_MAX;

    // The strings in their order. The third is the command of silent runs with
    // OPT_SILENT_COMMAND (it replaces the command then), else not used; the caption, the target
    // folder (a folder given by a switch wins), the footer and the banner are there only with
    // their options.
    DWORD flags = stubParams.optionFlags;
    char target[TARGET_BYTES];
    target[0] = 0;
    char* silent = flags & OPT_SILENT_COMMAND && state.run.silentMode ? state.run.command : 0;
    char* const fields[] = {state.texts.aboutText,     state.run.command,
                            silent,                    state.texts.messageText,
                            state.texts.customCaption, target,
                            state.texts.footer,        state.texts.banner};
    static const unsigned short fieldBytes[] = {ABOUT_TEXT_BYTES,     COMMAND_CHARS,
                                                COMMAND_CHARS,        MESSAGE_TEXT_BYTES,
                                                CUSTOM_CAPTION_BYTES, TARGET_BYTES,
                                                FOOTER_TEXT_BYTES,    BANNER_TEXT_BYTES};
    DWORD present = 0xF | (flags & OPT_CUSTOM_CAPTION ? 0x10 : 0) | (flags & OPT_TARGET ? 0x20 : 0) |
                    (flags & OPT_CUSTOM_FOOTER ? 0x40 : 0) | (flags & OPT_CUSTOM_BANNER ? 0x80 : 0);
    DWORD pos = 0;
    for (int i = 0; i < 8; ++i)
        if (present >> i & 1 && !TakeString(data, length, &pos, fields[i], fieldBytes[i])) return;
    if (!state.output.target[0])
        MultiByteToWideChar(RUN_CODE_PAGE, 0, target, -1, state.output.target, PATH_CHARS);

    if (pos + 2 > length || data[pos] != ICON_MARKER || data[pos + 1] != ICON_MARKER) return;
    pos += 2;
    // An icon that is not sound could bring the platform's loader down, and with it the
    // program, before its temporary file is deleted: such an icon is not used at all.
    if (CheckIconFile(data + pos, length - pos) != ICON_SOUND) return;
    // The file's own icon (resource 1, every image of the packager's icon) at the size the
    // screen's scaling asks for, in all its colours; the stored small icon when there is none.
    HICON own = (HICON)LoadImageA(state.run.instance, (LPCSTR)1, IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                  GetSystemMetrics(SM_CYICON), 0);
    if (own) {
        state.dialog.icon = own;
        return;
    }
    // The file gets everything up to the end of the area; the icon's own directory says
    // where its images lie, so the zero bytes after the data do no harm.
    LoadIcon(data + pos, CONFIG_UNPACKED_MAX - pos);
}
