// Signing in the Windows build of mksfx (mksfx.exe), which has neither OpenSSL (Debian has
// no Windows build of it) nor osslsigncode: `sign` and the --sign-* options of `build` say so
// and fail before any work. Signed files are still listed and verified (signature.cpp).
#include <stdio.h>

#include "tools/mksfx/commands.h"
#include "tools/mksfx/report.h"
#include "tools/mksfx/signing.h"

namespace sfx {

namespace {
const char kNoSigning[] =
    "signing is not available in mksfx.exe (it has no OpenSSL and no osslsigncode): build the "
    "file here and sign it with the Linux mksfx ('mksfx sign'), or with another Authenticode tool";
}

void CheckSigner(const SignOptions&) { Fail(kNoSigning); }

// Without OpenSSL a signature's blob is only checked to be one DER sequence that fills its
// entry; the signer is not named.
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

Signature SignFile(const SignOptions&, const std::string&, const std::string&, const std::string&) {
    Fail(kNoSigning);
}

}  // namespace sfx

int CommandSign(int, char**) {
    fprintf(stderr, "mksfx: %s\n", sfx::kNoSigning);
    return 1;
}
