#include "binding/gil.hpp"
#include "message/calls.hpp"
#include "message/layout.hpp"
#include "modes/byteorder.hpp"
#include "modes/ige.hpp"
#include "modes/scratch.hpp"

#include <array>

namespace rdz {
namespace {

constexpr Signature<5> unpack_message_signature{
    "unpack_message", {"packed", "session_id", "auth_key", "auth_key_id", "incoming"}, 4};

struct Opened {
  std::int64_t msg_id;
  std::int32_t seq_no;
  std::int32_t length;
};

// Compares two message keys in time that does not depend on where they differ.
bool same_msg_key(const MsgKey& a, const MsgKey& b) noexcept {
  const std::uint64_t difference = (load_raw<std::uint64_t>(a.data()) ^ load_raw<std::uint64_t>(b.data())) |
                                   (load_raw<std::uint64_t>(a.data() + 8) ^ load_raw<std::uint64_t>(b.data() + 8));
  return difference == 0;
}

// Decrypts and verifies the data in place (no lock held). The checks come in the
// protocol's order: message key, session, body length.
Outcome<Opened> open(std::span<std::uint8_t> data, AuthKey auth_key, const MsgKey& msg_key,
                     const std::array<std::uint8_t, session_id_size>* session_id, unsigned x) {
  const KeyIv derived = derive_key_iv(auth_key, msg_key, x);
  const Aes256Decrypt cipher(derived.key);
  ige_decrypt_in_place(cipher, data, derived.iv);
  if (data.size() < plaintext_at::body) return fail(Failure::value_error("msg_key mismatch"));
  if (!same_msg_key(message_key(auth_key, data, x), msg_key)) return fail(Failure::value_error("msg_key mismatch"));
  if (!session_id || std::memcmp(data.data() + plaintext_at::session_id, session_id->data(), session_id_size) != 0) {
    return fail(Failure::value_error("session_id mismatch"));
  }
  const auto length = static_cast<std::int32_t>(load_le32(data.data() + plaintext_at::length));
  if (length < 0) return fail(Failure::value_error("negative body length"));
  if (static_cast<std::size_t>(length) + plaintext_at::body > data.size()) {
    return fail(Failure::value_error("body length exceeds decrypted data"));
  }
  return Opened{static_cast<std::int64_t>(load_le64(data.data() + plaintext_at::msg_id)),
                static_cast<std::int32_t>(load_le32(data.data() + plaintext_at::seq_no)), length};
}

Outcome<Owned> new_int(long long value) {
  Owned number = Owned::steal(PyLong_FromLongLong(value));
  if (!number) return fail(Failure::fetched());
  return number;
}

}  // namespace

Outcome<Owned> unpack_message(CallArgs call) {
  auto bound = bind(unpack_message_signature, call);
  if (!bound) return fail_from(bound);
  auto packed = as_bytes((*bound)[0], "packed");
  if (!packed) return fail_from(packed);
  auto session_id = as_bytes((*bound)[1], "session_id");
  if (!session_id) return fail_from(session_id);
  auto auth_key = as_bytes((*bound)[2], "auth_key");
  if (!auth_key) return fail_from(auth_key);
  auto auth_key_id = as_bytes((*bound)[3], "auth_key_id");
  if (!auth_key_id) return fail_from(auth_key_id);
  Outcome<bool> incoming = true;
  if ((*bound)[4]) incoming = as_bool((*bound)[4], "incoming");
  if (!incoming) return fail_from(incoming);
  if (auto ok = check_key_material(*auth_key, *auth_key_id); !ok) return fail_from(ok);
  if (packed->size() < packed_header_size) return fail(Failure::value_error("packed data too short"));
  if (std::memcmp(packed->data(), auth_key_id->data(), auth_key_id_size) != 0) {
    return fail(Failure::value_error("auth_key_id mismatch"));
  }

  auto lease = ScratchLease::take();
  if (!lease) return fail_from(lease);
  std::span<std::uint8_t> data = lease->buffer().append(packed->subspan(packed_header_size));
  // Only an 8-byte session id can match, so that is all the copy needs to hold.
  const bool session_fits = session_id->size() == session_id_size;
  std::array<std::uint8_t, session_id_size> session{};
  if (session_fits) std::memcpy(session.data(), session_id->data(), session_id_size);
  const auto key = copy_fixed<auth_key_size>(*auth_key);
  MsgKey msg_key;
  std::memcpy(msg_key.data(), packed->data() + auth_key_id_size, msg_key_size);
  const unsigned x = *incoming ? 8 : 0;

  auto opened = without_gil([&] { return open(data, key, msg_key, session_fits ? &session : nullptr, x); });
  if (!opened) return fail_from(opened);

  auto body = new_bytes(data.subspan(plaintext_at::body, static_cast<std::size_t>(opened->length)));
  if (!body) return body;
  if (auto back = std::move(*lease).give_back(); !back) return fail_from(back);
  auto msg_id = new_int(opened->msg_id);
  if (!msg_id) return msg_id;
  auto seq_no = new_int(opened->seq_no);
  if (!seq_no) return seq_no;
  auto length = new_int(opened->length);
  if (!length) return length;
  auto rest = new_int(static_cast<std::int32_t>(static_cast<std::uint32_t>(data.size() - msg_key_size)));
  if (!rest) return rest;
  Owned tuple = Owned::steal(PyTuple_New(5));
  if (!tuple) return fail(Failure::fetched());
  PyTuple_SET_ITEM(tuple.get(), 0, msg_id->release());
  PyTuple_SET_ITEM(tuple.get(), 1, seq_no->release());
  PyTuple_SET_ITEM(tuple.get(), 2, length->release());
  PyTuple_SET_ITEM(tuple.get(), 3, body->release());
  PyTuple_SET_ITEM(tuple.get(), 4, rest->release());
  return tuple;
}

}  // namespace rdz
