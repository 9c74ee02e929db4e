// The dialog's icon: reading icon files (.ico, any images) and PNG images, and making the
// one small icon file that the configuration block carries (make.cpp says how it is
// chosen).
#pragma once
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace sfx {

// One image of an icon file: what its own header says, and its bytes (the directory entry's
// copies of size and depth are not trusted).
struct IconEntry {
    int width = 0, height = 0;  // from the bitmap header (height without the mask) or IHDR
    int bitCount = 0;           // bits a pixel; for PNG over all channels (RGBA 8-bit: 32)
    bool png = false;           // a PNG stream rather than a bitmap
    std::string bytes;          // bitmap header onwards, or the whole PNG stream
};

struct IconFile {
    bool plainPng = false;  // the input was a PNG image, taken as an icon of one image
    std::vector<IconEntry> entries;
};

// Reads an icon file or a PNG image and checks the directory and every image's header
// (sizes, depth, the bytes each needs). False with `error` saying what is wrong; PNG pixel
// data is checked only when an image is decoded.
bool ReadIconFile(const std::string& bytes, IconFile* file, std::string* error);

// Pixels as straight (not premultiplied) RGBA, 8 bits a channel, rows from the top.
struct RgbaImage {
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;
};

// A bitmap of at most 256 colours as stored: palette (0xRRGGBB), one index a pixel and the
// AND mask (1: transparent), rows from the top.
struct IndexedImage {
    int width = 0, height = 0, bitCount = 0;
    std::vector<uint32_t> palette;
    std::vector<uint8_t> index, masked;
};

// Decodes one image of a file that ReadIconFile accepted. `indexed`, when given and the
// image is a bitmap of 8 bits or fewer, also receives it as stored.
bool DecodeIconImage(const IconEntry& entry, RgbaImage* image, IndexedImage* indexed,
                     std::string* error);

struct DialogIcon {
    std::string ico;          // a complete icon file holding one image
    std::string description;  // one line: "icon: 32x32, 16 colours, 766 bytes, ..."
};

// Makes the dialog's icon from the bytes of an .ico or .png file. `room` is what the
// configuration block has left for the icon file after the texts and the two marker bytes;
// `fits`, when given, is asked about each candidate that is within `room` (the caller checks
// the packed size there). False with `error` when the input is malformed or nothing fits.
bool MakeDialogIcon(const std::string& input, size_t room, DialogIcon* icon, std::string* error,
                    const std::function<bool(const std::string& ico)>& fits = nullptr);

// A square PNG image of `side` pixels made from one image of a file that ReadIconFile
// accepted, scaled and centred as the dialog's forms are: for the file's own icon when an
// image is too large or not square for an icon resource.
bool MakePngIcon(const IconEntry& entry, int side, std::string* png, std::string* error);

// The icon file of one bitmap image of 1 or 4 bits (palette padded to its full size).
std::string WriteSmallIcon(const IndexedImage& image);

}  // namespace sfx
