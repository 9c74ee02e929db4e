// Reading a finished file's Authenticode signature for list and verify.
//
// The certificate-table entry of the PE header's data directory gives a file offset and a
// size. The table holds WIN_CERTIFICATE entries, each 8-byte aligned: its length (header
// included), revision 2.0, type 2 (PKCS#7 signed data), then the signature itself. Signing
// tools put it at the end of the file, after everything they hash; for us that is after the
// archive's end record, where neither the stub's header check nor its walk reaches.
// Whether the signature holds (its hash, its chain of trust) is the business of
// `osslsigncode verify`; here the table's bounds and structure are checked and the signer
// is named (SignerOf: signing.cpp, or unsigned.cpp in mksfx.exe, which has no OpenSSL).
#include <stdio.h>

#include <memory>

#include "tools/mksfx/report.h"
#include "tools/mksfx/signing.h"

namespace sfx {

namespace {

const uint32_t kRevision = 0x0200, kPkcsSignedData = 0x0002;
const uint64_t kTableMax = 16u << 20;

}  // namespace

std::string SignatureLine(const Signature& s) { return s.present ? "yes (" + s.subject + ")" : "no"; }

std::vector<std::string> ReadSignature(File* f, size_t pe, Signature* s) {
    *s = Signature();
    std::vector<std::string> faults;
    const std::string& h = f->head;
    uint64_t at = Le32(h, pe + PE_CERTIFICATE_ENTRY), size = Le32(h, pe + PE_CERTIFICATE_ENTRY + 4);
    if (at == 0 && size == 0) return faults;
    s->present = true;
    if (f->block.headerCrc != 0 && !(f->block.optionFlags & OPT_SIGNABLE))
        faults.push_back("the file is signed, but was built without room for a signature: the stub's header "
                         "check covers the fields that signing wrote and refuses it; build it again with this "
                         "mksfx, then sign it");
    const Walk& w = f->walk;
    std::string end((const char*)f->in.Peek(w.endRecordPosition, END_RECORD_BYTES), END_RECORD_BYTES);
    uint64_t archiveEnd = w.endRecordPosition + END_RECORD_BYTES + Le16(end, END_COMMENT_LENGTH);
    std::string table = "the certificate table (" + Hex(at) + ", " + std::to_string(size) + " bytes)";
    if (at < archiveEnd || at + size > f->in.Size() || at % 8 != 0 || size < 8) {
        faults.push_back(table + " does not lie after the archive (which ends at " + Hex(archiveEnd) +
                         "), 8-byte aligned, within the file (" + std::to_string(f->in.Size()) + " bytes)");
        return faults;
    }
    if (size > kTableMax) {
        faults.push_back(table + " is larger than mksfx reads (16 MiB)");
        return faults;
    }
    std::string bytes;
    f->in.Read(at, size, &bytes);
    for (size_t k = 0, n = 1; k < bytes.size(); ++n) {
        std::string entry = "certificate " + std::to_string(n) + " at " + Hex(at + k);
        uint32_t length = k + 8 <= bytes.size() ? Le32(bytes, k) : 0;
        if (length < 8 || length > bytes.size() - k) {
            faults.push_back(entry + ": its length " + std::to_string(length) + " does not fit the table");
            break;
        }
        if (Le16(bytes, k + 4) != kRevision || Le16(bytes, k + 6) != kPkcsSignedData) {
            faults.push_back(entry + " is revision " + Hex(Le16(bytes, k + 4)) + ", type " +
                             std::to_string(Le16(bytes, k + 6)) + ", not revision 0x200, type 2 (PKCS#7 signed data)");
        } else if (n == 1) {
            std::string fault;
            if (!SignerOf(bytes.substr(k + 8, length - 8), &s->subject, &fault))
                faults.push_back(entry + " " + fault);
        }
        k += (length + 7) & ~7u;
    }
    return faults;
}

}  // namespace sfx
