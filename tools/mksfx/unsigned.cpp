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

Signature SignFile(const SignOptions&, const std::string&, const std::string&, const std::string&) {
    Fail(kNoSigning);
}

}  // namespace sfx

int CommandSign(int, char**) {
    fprintf(stderr, "mksfx: %s\n", sfx::kNoSigning);
    return 1;
}
