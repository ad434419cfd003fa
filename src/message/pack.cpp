#include "message/pack.hpp"

#include "binding/gil.hpp"
#include "lib/byteorder.hpp"
#include "lib/timing.hpp"
#include "message/derive.hpp"
#include "message/layout.hpp"
#include "message/random.hpp"
#include "modes/aes_path.hpp"
#include "modes/ige.hpp"

#include <climits>
#include <cstring>

namespace rdz {
namespace {

constexpr Signature<Int64, Int32, Bytes, Int64, Bytes, Bytes, Bytes> pack_message_signature{
    "pack_message", {"msg_id", "seq_no", "body", "salt", "session_id", "auth_key", "auth_key_id"}};

// The body length travels in a signed 32-bit field.
constexpr std::size_t max_body_size = INT32_MAX;

struct Fields {
  std::int64_t msg_id;
  std::int32_t seq_no;
  ByteView body;
  std::int64_t salt;
  ByteView session_id;
};

void lay_out(std::span<std::uint8_t> plaintext, const Fields& f) noexcept {
  std::uint8_t* p = plaintext.data();
  store_le64(p + plaintext_at::salt, static_cast<std::uint64_t>(f.salt));
  std::memcpy(p + plaintext_at::session_id, f.session_id.data(), session_id_size);
  store_le64(p + plaintext_at::msg_id, static_cast<std::uint64_t>(f.msg_id));
  store_le32(p + plaintext_at::seq_no, static_cast<std::uint32_t>(f.seq_no));
  store_le32(p + plaintext_at::length, static_cast<std::uint32_t>(f.body.size()));
  if (!f.body.empty()) std::memcpy(p + plaintext_at::body, f.body.data(), f.body.size());
}

}  // namespace

Outcome<Owned> pack_message(CallArgs call) {
  auto arguments = bind_arguments(pack_message_signature, call);
  if (!arguments) return fail_from(arguments);
  const auto& [msg_id, seq_no, body, salt, session_id, auth_key, auth_key_id] = *arguments;
  if (auto ok = check_key_material(auth_key, auth_key_id); !ok) return fail_from(ok);
  if (session_id.size() != session_id_size) return fail(Failure::value_error("session_id must be 8 bytes"));
  if (body.size() > max_body_size) return fail(Failure::value_error("body too long"));
  auto aes = aes_path();
  if (!aes) return fail_from(aes);

  // The message is assembled and encrypted in the result object's own storage: no
  // other code can see it before it is returned, so it may be written without the
  // lock, and it needs no copy at the end.
  auto result = new_writable_bytes(packed_header_size + plaintext_size(body.size()));
  if (!result) return result;
  std::span<std::uint8_t> packed = writable_storage(*result);
  std::span<std::uint8_t> plaintext = packed.subspan(packed_header_size);
  lay_out(plaintext, {msg_id, seq_no, body, salt, session_id});
  if (int error = fill_random(plaintext.subspan(plaintext_at::body + body.size())); error != 0) {
    return fail(Failure::os_error(error));
  }

  // The keys are read in place, without the lock: a bytes object never changes, and
  // the caller's reference keeps it alive until the call returns. So no copy of the
  // authorization key is made that would have to be wiped.
  const AuthKey key = auth_key.first<auth_key_size>();
  without_gil([&] {
    const DataIndependentTiming timing;
    const MsgKey msg_key = message_key(key, plaintext, 0);
    const KeyIv derived(key, msg_key, 0);
    const Aes256Encrypt cipher(*aes, derived.key());
    ige_encrypt_in_place(cipher, plaintext, derived.iv());
    std::memcpy(packed.data(), auth_key_id.data(), auth_key_id_size);
    std::memcpy(packed.data() + auth_key_id_size, msg_key.data(), msg_key_size);
  });

  return result;
}

}  // namespace rdz
