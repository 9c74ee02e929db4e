// Reading a finished file's Authenticode signature for list and verify.
//
// The certificate-table entry of the PE header's data directory gives a file offset and a
// size. The table holds WIN_CERTIFICATE entries, each 8-byte aligned: its length (header
// included), revision 2.0, type 2 (PKCS#7 signed data), then the signature itself. Signing
// tools put it at the end of the file, after everything they hash; for us that is after the
// archive's end record, where neither the stub's header check nor its walk reaches.
// Whether the signature holds (its hash, its chain of trust) is the business of
// `osslsigncode verify`; here the table's bounds and structure are checked and the signer
// is named.
#ifndef TESSLY_NO_OPENSSL
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#endif
#include <stdio.h>

#include <memory>

#include "tools/mksfx/report.h"
#include "tools/mksfx/signing.h"

namespace sfx {

namespace {

const uint32_t kRevision = 0x0200, kPkcsSignedData = 0x0002;
const uint64_t kTableMax = 16u << 20;

// The signer's subject from one PKCS#7 signed-data blob; false with `error` when it cannot
// be read. Without OpenSSL (mksfx.exe) the blob is only checked to be one DER sequence that
// fills its entry, and the signer is not named.
#ifdef TESSLY_NO_OPENSSL
bool SignerOf(const std::string& der, std::string* subject, std::string* error) {
    const unsigned char* p = (const unsigned char*)der.data();
    size_t n = der.size(), length = 0, at = 2;
    if (n < 2 || p[0] != 0x30) return Refuse(error, "is not PKCS#7 signed data");
    if (p[1] < 0x80) {
        length = p[1];
    } else {
        size_t bytes = p[1] & 0x7F;
        if (bytes == 0 || bytes > 4 || n < 2 + bytes) return Refuse(error, "is not PKCS#7 signed data");
        for (size_t k = 0; k < bytes; ++k) length = length << 8 | p[2 + k];
        at += bytes;
    }
    if (at + length > n) return Refuse(error, "is not PKCS#7 signed data");
    *subject = "signer not read: this mksfx has no OpenSSL";
    return true;
}
#else
bool SignerOf(const std::string& der, std::string* subject, std::string* error) {
    const unsigned char* p = (const unsigned char*)der.data();
    std::unique_ptr<PKCS7, void (*)(PKCS7*)> p7(d2i_PKCS7(nullptr, &p, (long)der.size()), PKCS7_free);
    if (!p7 || !PKCS7_type_is_signed(p7.get())) return Refuse(error, "is not PKCS#7 signed data");
    STACK_OF(X509)* signers = PKCS7_get0_signers(p7.get(), nullptr, 0);
    *subject = signers && sk_X509_num(signers) > 0 ? SubjectText(sk_X509_value(signers, 0)) : "";
    sk_X509_free(signers);
    return !subject->empty() || Refuse(error, "does not hold its signer's certificate");
}
#endif

}  // namespace

#ifndef TESSLY_NO_OPENSSL
std::string SubjectText(const x509_st* certificate) {
    std::unique_ptr<BIO, int (*)(BIO*)> out(BIO_new(BIO_s_mem()), BIO_free);
    const unsigned long flags = XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_FN_SN | ASN1_STRFLGS_UTF8_CONVERT |
                                ASN1_STRFLGS_ESC_CTRL | ASN1_STRFLGS_ESC_2253;
    if (!out || X509_NAME_print_ex(out.get(), X509_get_subject_name(certificate), 0, flags) < 0) return "";
    char* text = nullptr;
    long n = BIO_get_mem_data(out.get(), &text);
    return Shown(std::string(text, n > 0 ? (size_t)n : 0));
}
#endif

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
