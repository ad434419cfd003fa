#include "modes/ige_calls.hpp"

#include "binding/gil.hpp"
#include "lib/timing.hpp"
#include "modes/aes_path.hpp"
#include "modes/ige.hpp"

namespace rdz {
namespace {

using IgeSignature = Signature<Bytes, Bytes, Bytes>;
constexpr IgeSignature ige256_encrypt_signature{"ige256_encrypt", {"data", "key", "iv"}};
constexpr IgeSignature ige256_decrypt_signature{"ige256_decrypt", {"data", "key", "iv"}};

// One pass: the input is read in place and the result written straight into its
// fresh storage, both without the lock. A bytes object never changes, and the
// caller's reference keeps `data` (and `key` and `iv`) alive until the call returns;
// the result is seen by no other code before it is returned. So the lock is held only
// to bind, check and make the (still untouched) result object, whatever the size,
// and the input's bytes are touched once.
template <class Cipher, auto Mode>
Outcome<Owned> ige256_call(const IgeSignature& signature, CallArgs call) {
  auto arguments = bind_arguments(signature, call);
  if (!arguments) return fail_from(arguments);
  const auto& [data, key, iv] = *arguments;
  if (key.size() != aes256_key_size) return fail(Failure::value_error("Key must be 32 bytes"));
  if (iv.size() != ige_iv_size) return fail(Failure::value_error("IV must be 32 bytes"));
  auto aes = aes_path();
  if (!aes) return fail_from(aes);

  auto result = new_writable_bytes(data.size());
  if (!result) return result;
  const std::span<std::uint8_t> out = writable_storage(*result);
  without_gil([&] {
    const DataIndependentTiming timing;
    const Cipher cipher(*aes, key.first<aes256_key_size>());
    Mode(cipher, data, out, iv.first<ige_iv_size>());
  });
  return result;
}

}  // namespace

Outcome<Owned> ige256_encrypt(CallArgs call) {
  return ige256_call<Aes256Encrypt, ige_encrypt>(ige256_encrypt_signature, call);
}

Outcome<Owned> ige256_decrypt(CallArgs call) {
  return ige256_call<Aes256Decrypt, ige_decrypt>(ige256_decrypt_signature, call);
}

}  // namespace rdz
