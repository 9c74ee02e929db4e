// The stub's parameter block in a file: where it stands, its fields, and the header CRC
// that covers the stub image with it.
#include <string.h>
#include <zlib.h>

#include "tools/mksfx/sfxfile.h"

namespace sfx {

const unsigned char kSignature[PARAMETER_SIGNATURE_LENGTH] = {PARAMETER_SIGNATURE_BYTES};

size_t CountSignature(const std::string& bytes, size_t limit, size_t* first) {
    size_t count = 0;
    if (limit > bytes.size()) limit = bytes.size();
    const size_t n = PARAMETER_SIGNATURE_LENGTH;
    for (size_t at = 0; at + n <= limit; ++at) {
        at = bytes.find((const char*)kSignature, at, n);
        if (at == std::string::npos || at + n > limit) break;
        if (count++ == 0 && first) *first = at;
    }
    return count;
}

// The block is copied as it stands: the file's numbers are little-endian, as the hosts' are.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the block is read by copying it");

Block ReadBlock(const std::string& bytes, size_t position) {
    StubParameterBlock fields;
    memcpy(&fields, bytes.data() + position, sizeof fields);
    Block b;
    static_cast<StubParameterBlock&>(b) = fields;
    b.position = position;
    b.waitName.assign(b.waitForName, strnlen(b.waitForName, WAIT_NAME_BYTES));
    return b;
}

void WriteBlock(std::string* bytes, const Block& b) {
    StubParameterBlock fields = b;
    for (size_t k = 0; k < WAIT_NAME_BYTES; ++k)
        fields.waitForName[k] = k < b.waitName.size() ? b.waitName[k] : '\0';
    bytes->replace(b.position + PB_HEADER_CRC, PB_RESERVED - PB_HEADER_CRC,
                   (const char*)&fields + PB_HEADER_CRC, PB_RESERVED - PB_HEADER_CRC);
    bytes->replace(b.position + PB_LANGUAGES_OFFSET, 4, (const char*)&fields.languagesOffset, 4);
}

uint32_t Crc32(const void* data, size_t size, uint32_t crc) {
    const Bytef* p = (const Bytef*)data;
    while (size > 0) {
        uInt piece = size > 0x40000000 ? 0x40000000 : (uInt)size;
        crc = (uint32_t)crc32(crc, p, piece);
        p += piece;
        size -= piece;
    }
    return crc;
}

size_t SignedFieldsBase(const std::string& bytes, size_t length) {
    if (length > bytes.size()) length = bytes.size();
    size_t pe = length >= MZ_PE_OFFSET + 4 ? Le32(bytes, MZ_PE_OFFSET) : length;
    return pe <= length && length - pe >= PE_SIGNED_FIELDS_END ? pe : std::string::npos;
}

uint32_t HeaderCrc(const std::string& bytes, const Block& block, size_t length) {
    std::string covered = bytes.substr(0, length);
    for (size_t k = block.position + PB_HEADER_CRC; k < block.position + PB_HEADER_CRC + 4 && k < covered.size(); ++k)
        covered[k] = 0;
    size_t pe = SignedFieldsBase(covered, covered.size());
    if ((block.optionFlags & OPT_SIGNABLE) && pe != std::string::npos) {
        covered.replace(pe + PE_CHECKSUM, 4, 4, '\0');
        covered.replace(pe + PE_CERTIFICATE_ENTRY, 8, 8, '\0');
    }
    return Crc32(covered.data(), covered.size());
}

}  // namespace sfx
