#include "sync/fs/content_digest.h"

// Inlined, so that no library is needed to link (the Windows build takes the
// header alone).
#define XXH_INLINE_ALL
#include <xxhash.h>

struct ContentDigest::State
{
    XXH3_state_t hash;
};

ContentDigest::ContentDigest()
    : state(std::make_unique<State>())
{
    XXH3_128bits_reset(&state->hash);
}

ContentDigest::~ContentDigest() = default;

void ContentDigest::add(const char *data, size_t size)
{
    XXH3_128bits_update(&state->hash, data, size);
}

QByteArray ContentDigest::result() const
{
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(&state->hash));
    return QByteArray(reinterpret_cast<const char *>(canonical.digest), sizeof canonical.digest);
}
