#include "message/derive.hpp"

#include "binding/call.hpp"
#include "message/calls.hpp"

#include <nettle/sha2.h>

#include <cstring>

namespace rdz {
namespace {

using Digest = std::array<std::uint8_t, SHA256_DIGEST_SIZE>;

Digest sha256(std::span<const std::uint8_t> first, std::span<const std::uint8_t> second = {}) noexcept {
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, first.size(), first.data());
  sha256_update(&context, second.size(), second.data());
  Digest digest;
  sha256_digest(&context, digest.size(), digest.data());
  return digest;
}

// Copies digest bytes [from, from + n) to the same place of `out`.
void take(std::array<std::uint8_t, 32>& out, const Digest& digest, std::size_t from, std::size_t n) noexcept {
  std::memcpy(out.data() + from, digest.data() + from, n);
}

constexpr Signature<3> kdf_signature{"kdf", {"auth_key", "msg_key", "outgoing"}};
constexpr Signature<1> sha256_digest_signature{"sha256_digest", {"data"}};

}  // namespace

KeyIv derive_key_iv(AuthKey auth_key, std::span<const std::uint8_t> msg_key, unsigned x) noexcept {
  const Digest a = sha256(msg_key, auth_key.subspan(x, 36));
  const Digest b = sha256(auth_key.subspan(x + 40, 36), msg_key);
  KeyIv out;
  take(out.key, a, 0, 8);
  take(out.key, b, 8, 16);
  take(out.key, a, 24, 8);
  take(out.iv, b, 0, 8);
  take(out.iv, a, 8, 16);
  take(out.iv, b, 24, 8);
  return out;
}

MsgKey message_key(AuthKey auth_key, std::span<const std::uint8_t> plaintext, unsigned x) noexcept {
  const Digest digest = sha256(auth_key.subspan(88 + x, 32), plaintext);
  MsgKey key;
  std::memcpy(key.data(), digest.data() + 8, msg_key_size);
  return key;
}

Outcome<Owned> kdf(CallArgs call) {
  auto bound = bind(kdf_signature, call);
  if (!bound) return fail_from(bound);
  auto auth_key = as_bytes((*bound)[0], "auth_key");
  if (!auth_key) return fail_from(auth_key);
  auto msg_key = as_bytes((*bound)[1], "msg_key");
  if (!msg_key) return fail_from(msg_key);
  auto outgoing = as_bool((*bound)[2], "outgoing");
  if (!outgoing) return fail_from(outgoing);
  if (auto ok = check_length(*auth_key, auth_key_size, "auth_key must be 256 bytes"); !ok) return fail_from(ok);

  const KeyIv derived = derive_key_iv(AuthKey(auth_key->data(), auth_key_size), *msg_key, *outgoing ? 0 : 8);
  auto key = new_bytes(derived.key);
  if (!key) return key;
  auto iv = new_bytes(derived.iv);
  if (!iv) return iv;
  Owned pair = Owned::steal(PyTuple_New(2));
  if (!pair) return fail(Failure::fetched());
  PyTuple_SET_ITEM(pair.get(), 0, key->release());
  PyTuple_SET_ITEM(pair.get(), 1, iv->release());
  return pair;
}

Outcome<Owned> sha256_of(CallArgs call) {
  auto bound = bind(sha256_digest_signature, call);
  if (!bound) return fail_from(bound);
  auto data = as_bytes((*bound)[0], "data");
  if (!data) return fail_from(data);
  return new_bytes(sha256(*data));
}

}  // namespace rdz
