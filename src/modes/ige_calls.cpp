#include "modes/ige_calls.hpp"

#include "binding/gil.hpp"
#include "lib/scratch.hpp"
#include "modes/ige.hpp"

namespace rdz {
namespace {

using IgeSignature = Signature<Bytes, Bytes, Bytes>;
constexpr IgeSignature ige256_encrypt_signature{"ige256_encrypt", {"data", "key", "iv"}};
constexpr IgeSignature ige256_decrypt_signature{"ige256_decrypt", {"data", "key", "iv"}};

template <class Cipher, auto Loop>
Outcome<Owned> ige256_call(const IgeSignature& signature, CallArgs call) {
  auto arguments = bind_arguments(signature, call);
  if (!arguments) return fail_from(arguments);
  const auto& [data, key, iv] = *arguments;
  if (key.size() != aes256_key_size) return fail(Failure::value_error("Key must be 32 bytes"));
  if (iv.size() != ige_iv_size) return fail(Failure::value_error("IV must be 32 bytes"));

  auto lease = ScratchLease::take();
  if (!lease) return fail_from(lease);
  auto text = lease->buffer().append(data);
  if (!text) return fail_from(text);

  // The key and the vector are read in place, without the lock: a bytes object never
  // changes, and the caller's reference keeps it alive until the call returns. So
  // no copy of them is made that would have to be wiped.
  without_gil([&] {
    const Cipher cipher(key.first<aes256_key_size>());
    Loop(cipher, *text, iv.first<ige_iv_size>());
  });

  auto result = new_bytes(*text);
  if (!result) return result;
  if (auto back = std::move(*lease).give_back(); !back) return fail_from(back);
  return result;
}

}  // namespace

Outcome<Owned> ige256_encrypt(CallArgs call) {
  return ige256_call<Aes256Encrypt, ige_encrypt_in_place>(ige256_encrypt_signature, call);
}

Outcome<Owned> ige256_decrypt(CallArgs call) {
  return ige256_call<Aes256Decrypt, ige_decrypt_in_place>(ige256_decrypt_signature, call);
}

}  // namespace rdz
