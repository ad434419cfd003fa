#include "binding/gil.hpp"
#include "message/calls.hpp"
#include "message/layout.hpp"
#include "message/random.hpp"
#include "modes/byteorder.hpp"
#include "modes/ige.hpp"

#include <climits>

namespace rdz {
namespace {

constexpr Signature<7> pack_message_signature{
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
  auto bound = bind(pack_message_signature, call);
  if (!bound) return fail_from(bound);
  auto msg_id = as_int64((*bound)[0], "msg_id");
  if (!msg_id) return fail_from(msg_id);
  auto seq_no = as_int32((*bound)[1], "seq_no");
  if (!seq_no) return fail_from(seq_no);
  auto body = as_bytes((*bound)[2], "body");
  if (!body) return fail_from(body);
  auto salt = as_int64((*bound)[3], "salt");
  if (!salt) return fail_from(salt);
  auto session_id = as_bytes((*bound)[4], "session_id");
  if (!session_id) return fail_from(session_id);
  auto auth_key = as_bytes((*bound)[5], "auth_key");
  if (!auth_key) return fail_from(auth_key);
  auto auth_key_id = as_bytes((*bound)[6], "auth_key_id");
  if (!auth_key_id) return fail_from(auth_key_id);
  if (auto ok = check_key_material(*auth_key, *auth_key_id); !ok) return fail_from(ok);
  if (auto ok = check_length(*session_id, session_id_size, "session_id must be 8 bytes"); !ok) return fail_from(ok);
  if (body->size() > max_body_size) return fail(Failure::value_error("body too long"));

  // The message is assembled and encrypted in the result object's own storage: no
  // other code can see it before it is returned, so it may be written without the
  // lock, and it needs no copy at the end.
  const std::size_t size = plaintext_size(body->size());
  auto result = new_writable_bytes(packed_header_size + size);
  if (!result) return result;
  std::span<std::uint8_t> packed = writable_storage(*result);
  std::span<std::uint8_t> plaintext = packed.subspan(packed_header_size);
  lay_out(plaintext, {*msg_id, *seq_no, *body, *salt, *session_id});
  if (int error = fill_random(plaintext.subspan(plaintext_at::body + body->size())); error != 0) {
    return fail(Failure::os_error(error));
  }
  const auto key = copy_fixed<auth_key_size>(*auth_key);
  const auto key_id = copy_fixed<auth_key_id_size>(*auth_key_id);

  without_gil([&] {
    const MsgKey msg_key = message_key(key, plaintext, 0);
    const KeyIv derived = derive_key_iv(key, msg_key, 0);
    const Aes256Encrypt cipher(derived.key);
    ige_encrypt_in_place(cipher, plaintext, derived.iv);
    std::memcpy(packed.data(), key_id.data(), auth_key_id_size);
    std::memcpy(packed.data() + auth_key_id_size, msg_key.data(), msg_key_size);
  });

  return result;
}

}  // namespace rdz
