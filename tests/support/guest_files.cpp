#include "guest_files.h"

#include <md5.h>

void md5_of(const std::vector<unsigned char> &bytes, uint8_t digest[16]) {
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, bytes.data(), bytes.size());
    MD5Final(digest, &context);
}

static const Redirect no_redirects[] = {{end_of_list, HostRoutine::none, 0}};
static const RedirectGroup no_redirect_groups[] = {{0, nullptr}};
static const StubGroup no_stub_groups[] = {{0, nullptr}};
static GuestSymbol no_symbols[] = {{0, 0}};

GuestRelease release_for(const std::vector<unsigned char> &bytes) {
    (void)no_redirects;
    GuestRelease release = {
        no_redirect_groups, no_symbols, no_stub_groups, {}, nullptr, 0, nullptr};
    md5_of(bytes, release.digest);
    return release;
}

std::vector<unsigned char> dos_stub_with_signature(uint32_t signature) {
    std::vector<unsigned char> file(68, 0);
    file[0] = 'M';
    file[1] = 'Z';
    file[24] = 64;
    file[60] = 64;
    for (int i = 0; i < 4; i++) {
        file[64 + i] = static_cast<unsigned char>(signature >> (8 * i));
    }
    return file;
}
