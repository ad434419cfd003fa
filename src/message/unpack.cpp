#include "message/unpack.hpp"

#include "binding/gil.hpp"
#include "lib/byteorder.hpp"
#include "lib/scratch.hpp"
#include "lib/timing.hpp"
#include "message/derive.hpp"
#include "message/layout.hpp"
#include "modes/aes_path.hpp"
#include "modes/ige.hpp"

#include <array>
#include <cstring>

namespace rdz {
namespace {

constexpr Signature<Bytes, Bytes, Bytes, Bytes, OptionalBool<true>> unpack_message_signature{
    "unpack_message", {"packed", "session_id", "auth_key", "auth_key_id", "incoming"}, 4};

using SessionId = std::array<std::uint8_t, session_id_size>;

struct Opened {
  std::int64_t msg_id;
  std::int32_t seq_no;
  std::int32_t length;
};

// Decrypts and verifies the data in place (no lock held). The checks come in the
// protocol's order: message key, session, body length.
Outcome<Opened> open(const AesBackend& aes, std::span<std::uint8_t> data, AuthKey auth_key, const MsgKey& msg_key,
                     const SessionId* session_id, unsigned x) {
  const KeyIv derived(auth_key, msg_key, x);
  const Aes256Decrypt cipher(aes, derived.key());
  ige_decrypt_in_place(cipher, data, derived.iv());
  // Data too short to hold the 32-byte header cannot have come from a sender that
  // knows the key. It is reported as the forgery it is, with the same text as a
  // wrong message key: callers (and attackers) learn nothing more from it, and code
  // that treats "msg_key mismatch" as "drop the message" needs no second case.
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

// The fifth item of the result looks like a second, wrong body length, but it is
// not about the body: it is the length of what follows the salt and the session id
// in the plaintext (message id, sequence number, length, body and padding), that is,
// the length of `packed` less 40. Callers that parse the inner message themselves
// take it as the size of what they were given, padding included; item 2 is the
// body's own length. It is a 32-bit value like the length field beside it.
std::int32_t room_after_session(std::size_t encrypted_size) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(encrypted_size - msg_key_size));
}

Outcome<Owned> result_tuple(const Opened& opened, Owned body, std::size_t encrypted_size) {
  auto msg_id = new_int(opened.msg_id);
  if (!msg_id) return msg_id;
  auto seq_no = new_int(opened.seq_no);
  if (!seq_no) return seq_no;
  auto length = new_int(opened.length);
  if (!length) return length;
  auto room = new_int(room_after_session(encrypted_size));
  if (!room) return room;
  Owned tuple = Owned::steal(PyTuple_New(5));
  if (!tuple) return fail(Failure::fetched());
  PyTuple_SET_ITEM(tuple.get(), 0, msg_id->release());
  PyTuple_SET_ITEM(tuple.get(), 1, seq_no->release());
  PyTuple_SET_ITEM(tuple.get(), 2, length->release());
  PyTuple_SET_ITEM(tuple.get(), 3, body.release());
  PyTuple_SET_ITEM(tuple.get(), 4, room->release());
  return tuple;
}

}  // namespace

Outcome<Owned> unpack_message(CallArgs call) {
  auto arguments = bind_arguments(unpack_message_signature, call);
  if (!arguments) return fail_from(arguments);
  const auto& [packed, session_id, auth_key, auth_key_id, incoming] = *arguments;
  if (auto ok = check_key_material(auth_key, auth_key_id); !ok) return fail_from(ok);
  if (packed.size() < packed_header_size) return fail(Failure::value_error("packed data too short"));
  if (std::memcmp(packed.data(), auth_key_id.data(), auth_key_id_size) != 0) {
    return fail(Failure::value_error("auth_key_id mismatch"));
  }
  auto aes = aes_path();
  if (!aes) return fail_from(aes);

  auto lease = ScratchLease::take();
  if (!lease) return fail_from(lease);
  auto data = lease->buffer().append(packed.subspan(packed_header_size));
  if (!data) return fail_from(data);
  // Only an 8-byte session id can match, so that is all the copy needs to hold.
  const bool session_fits = session_id.size() == session_id_size;
  SessionId session{};
  if (session_fits) std::memcpy(session.data(), session_id.data(), session_id_size);
  // The authorization key is read in place, without the lock (as in pack.cpp).
  const AuthKey key = auth_key.first<auth_key_size>();
  MsgKey msg_key;
  std::memcpy(msg_key.data(), packed.data() + auth_key_id_size, msg_key_size);
  const unsigned x = incoming ? 8 : 0;

  auto opened = without_gil([&] {
    const DataIndependentTiming timing;
    return open(*aes, *data, key, msg_key, session_fits ? &session : nullptr, x);
  });
  if (!opened) return fail_from(opened);

  auto body = new_bytes(data->subspan(plaintext_at::body, static_cast<std::size_t>(opened->length)));
  if (!body) return body;
  if (auto back = std::move(*lease).give_back(); !back) return fail_from(back);
  return result_tuple(*opened, std::move(*body), data->size());
}

}  // namespace rdz
