#include "message/derive_calls.hpp"

#include "lib/timing.hpp"
#include "message/derive.hpp"
#include "message/sha256.hpp"

namespace rdz {
namespace {

constexpr Signature<Bytes, Bytes, Bool> kdf_signature{"kdf", {"auth_key", "msg_key", "outgoing"}};
constexpr Signature<Bytes> sha256_digest_signature{"sha256_digest", {"data"}};

}  // namespace

Outcome<Owned> kdf(CallArgs call) {
  auto arguments = bind_arguments(kdf_signature, call);
  if (!arguments) return fail_from(arguments);
  const auto& [auth_key, msg_key, outgoing] = *arguments;
  if (auth_key.size() != auth_key_size) return fail(Failure::value_error("auth_key must be 256 bytes"));

  // Derived straight into the result objects: no copy of the key is left behind.
  auto key = new_writable_bytes(32);
  if (!key) return key;
  auto iv = new_writable_bytes(32);
  if (!iv) return iv;
  {
    const DataIndependentTiming timing;
    derive_key_iv(auth_key.first<auth_key_size>(), msg_key, outgoing ? 0 : 8, writable_storage(*key).first<32>(),
                  writable_storage(*iv).first<32>());
  }
  Owned pair = Owned::steal(PyTuple_New(2));
  if (!pair) return fail(Failure::fetched());
  PyTuple_SET_ITEM(pair.get(), 0, key->release());
  PyTuple_SET_ITEM(pair.get(), 1, iv->release());
  return pair;
}

Outcome<Owned> sha256_of(CallArgs call) {
  auto arguments = bind_arguments(sha256_digest_signature, call);
  if (!arguments) return fail_from(arguments);
  const auto& [data] = *arguments;

  // The digest goes straight into the result: no copy of it stays behind.
  auto digest = new_writable_bytes(sha256_size);
  if (!digest) return digest;
  const DataIndependentTiming timing;
  Sha256().update(data).finish(writable_storage(*digest).first<sha256_size>());
  return digest;
}

}  // namespace rdz
