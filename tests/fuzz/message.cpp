// Fuzz target `message`: unpack_message and pack_message as Python calls them. The
// module's sources are compiled into this program and registered as a built-in
// module of an interpreter it embeds (objects from the C allocator, so that the
// sanitizers see every one), and the functions are called through the interpreter's
// vectorcall, the way a Python caller reaches them.
//
// Every outcome is judged against a reference written here from the MTProto 2.0
// message layout (SHA-256 and AES from Nettle, IGE chained by hand), never against
// the module's own output: the exact ValueError text the module documents for the
// first check that fails, in the documented order, or the exact result tuple. Any
// other exception, or any other text or result, is a finding.
//
// One case per input; its first byte chooses the operation:
//   0  unpack_message of arbitrary bytes (with the right auth_key_id in front, or not)
//   1  unpack_message of a message the reference sealed from fields the input gives
//      (any length field, padding and session id, so every check is reached)
//   2  the same with one byte of it changed and the message cut short
//   3  pack_message of fields the input gives, the result opened by the reference
//      (layout, padding 12 to 27 bytes, whole blocks) and by unpack_message
// The second byte may make one argument the wrong length, chooses one of two fixed
// authorization keys and the direction of unpack_message.
//
// Input: operation | shape | auth_key length | auth_key_id length | session_id length |
//        msg_id (8) | seq_no (4) | salt (8) | length field (4) | sealing (1) |
//        padding (1) | plaintext session_id (8) | change at (2) | change (1) |
//        cut to (2) | body or packed bytes
#include "aes_reference.hpp"
#include "binding/ref.hpp"

#include <nettle/sha2.h>

#include <Python.h>

#include <span>
#include <string>

extern "C" PyObject* PyInit_rederodidizo();

namespace {

using namespace fuzz;
using rdz::Owned;
using Bytes = std::vector<std::uint8_t>;
using View = std::span<const std::uint8_t>;

// ---- the reference ---------------------------------------------------------------

Bytes sha256(std::initializer_list<View> parts) {
  sha256_ctx context;
  sha256_init(&context);
  for (View part : parts) sha256_update(&context, part.size(), part.data());
  Bytes digest(SHA256_DIGEST_SIZE);
  sha256_digest(&context, digest.size(), digest.data());
  return digest;
}

// msg_key = SHA-256(auth_key[88+x .. 120+x] + plaintext)[8 .. 24]; x is 0 for what the
// client sends, 8 for what it receives.
Bytes message_key(View auth_key, View plaintext, std::size_t x) {
  const Bytes large = sha256({auth_key.subspan(88 + x, 32), plaintext});
  return {large.begin() + 8, large.begin() + 24};
}

// a = SHA-256(msg_key + auth_key[x .. x+36]), b = SHA-256(auth_key[40+x .. 76+x] + msg_key);
// key = a[0..8] + b[8..24] + a[24..32], iv = b[0..8] + a[8..24] + b[24..32].
struct Derived {
  Key key;
  std::array<std::uint8_t, 32> iv;
};

Derived derive(View auth_key, View msg_key, std::size_t x) {
  const Bytes a = sha256({msg_key, auth_key.subspan(x, 36)});
  const Bytes b = sha256({auth_key.subspan(40 + x, 36), msg_key});
  Derived d;
  for (std::size_t i = 0; i < 32; ++i) {
    const bool middle = i >= 8 && i < 24;
    d.key[i] = middle ? b[i] : a[i];
    d.iv[i] = middle ? a[i] : b[i];
  }
  return d;
}

std::int64_t le64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return static_cast<std::int64_t>(v);
}

std::int32_t le32(const std::uint8_t* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | p[i];
  return static_cast<std::int32_t>(v);
}

struct Opened {
  std::int64_t msg_id;
  std::int32_t seq_no;
  std::int32_t length;
  Bytes body;
  std::int32_t room;  // len(packed) - 40
  Bytes plaintext;
};

// What unpack_message must answer: the text of the first failed check, or the result.
struct Expected {
  const char* error;  // null: success
  Opened opened;
};

// packed = auth_key_id (8) | msg_key (16) | IGE(plaintext);
// plaintext = salt (8) | session_id (8) | msg_id (8) | seq_no (4) | length (4) | body | padding.
// IGE turns whole blocks and leaves a shorter tail as it is, as the module's
// ige256 functions do; a tail then still counts in the message key.
Expected reference_unpack(View packed, View session_id, View auth_key, View auth_key_id, bool incoming) {
  if (auth_key.size() != 256) return {"auth_key must be 256 bytes", {}};
  if (auth_key_id.size() != 8) return {"auth_key_id must be 8 bytes", {}};
  if (packed.size() < 24) return {"packed data too short", {}};
  if (!std::ranges::equal(packed.first(8), auth_key_id)) return {"auth_key_id mismatch", {}};
  const std::size_t x = incoming ? 8 : 0;
  const View msg_key = packed.subspan(8, 16);
  const Derived derived = derive(auth_key, msg_key, x);
  const NettleKeys keys(derived.key);
  Bytes plaintext = ige_reference(keys, true, derived.iv.data(), Bytes(packed.begin() + 24, packed.end()));
  if (plaintext.size() < 32 || message_key(auth_key, plaintext, x) != Bytes(msg_key.begin(), msg_key.end())) {
    return {"msg_key mismatch", {}};
  }
  if (!std::ranges::equal(View(plaintext).subspan(8, 8), session_id)) return {"session_id mismatch", {}};
  const std::int32_t length = le32(plaintext.data() + 28);
  if (length < 0) return {"negative body length", {}};
  if (static_cast<std::size_t>(length) > plaintext.size() - 32) return {"body length exceeds decrypted data", {}};
  Opened o{le64(plaintext.data() + 16), le32(plaintext.data() + 24), length,
           Bytes(plaintext.begin() + 32, plaintext.begin() + 32 + length),
           static_cast<std::int32_t>(static_cast<std::uint32_t>(packed.size() - 40)), {}};
  o.plaintext = std::move(plaintext);
  return {nullptr, std::move(o)};
}

Bytes reference_seal(const Bytes& plaintext, View auth_key, View auth_key_id, bool incoming) {
  const std::size_t x = incoming ? 8 : 0;
  const Bytes msg_key = message_key(auth_key, plaintext, x);
  const Derived derived = derive(auth_key, msg_key, x);
  const Bytes encrypted = ige_reference(NettleKeys(derived.key), false, derived.iv.data(), plaintext);
  Bytes packed(auth_key_id.begin(), auth_key_id.end());
  packed.insert(packed.end(), msg_key.begin(), msg_key.end());
  packed.insert(packed.end(), encrypted.begin(), encrypted.end());
  return packed;
}

// ---- the interpreter ---------------------------------------------------------------

struct Module {
  Owned pack, unpack;
};

const Module& module() {
  static const Module m = [] {
    PyPreConfig pre;
    PyPreConfig_InitIsolatedConfig(&pre);
    pre.allocator = PYMEM_ALLOCATOR_MALLOC;
    if (PyStatus s = Py_PreInitialize(&pre); PyStatus_Exception(s)) Py_ExitStatusException(s);
    if (PyImport_AppendInittab("rederodidizo", PyInit_rederodidizo) < 0) finding("could not register the module");
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    const PyStatus s = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(s)) Py_ExitStatusException(s);
    const Owned imported = Owned::steal(PyImport_ImportModule("rederodidizo"));
    if (!imported) {
      PyErr_Print();
      finding("could not import the module");
    }
    // Which path the module's calls take (the ARM64 runs check it).
    const rdz::AesBackend* path = rdz::chosen_aes_backend();
    std::fprintf(stderr, "fuzz: the module's AES path: %s\n", path ? path->name : "none");
    Module found{Owned::steal(PyObject_GetAttrString(imported.get(), "pack_message")),
                 Owned::steal(PyObject_GetAttrString(imported.get(), "unpack_message"))};
    if (!found.pack || !found.unpack) finding("the module lacks pack_message or unpack_message");
    return found;
  }();
  return m;
}

Owned bytes_object(View bytes) {
  return Owned::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size())));
}

// A call through vectorcall; the arguments are released after it.
template <class... Arguments>
Owned call(const Owned& function, const Arguments&... arguments) {
  const std::array<PyObject*, sizeof...(Arguments)> raw{arguments.get()...};
  for (PyObject* a : raw) {
    if (!a) finding("could not make an argument");
  }
  return Owned::steal(PyObject_Vectorcall(function.get(), raw.data(), raw.size(), nullptr));
}

Owned int_object(long long value) { return Owned::steal(PyLong_FromLongLong(value)); }

std::string text_of(PyObject* object) {
  const Owned text = Owned::steal(PyObject_Repr(object));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  return utf8 ? utf8 : "(no repr)";
}

// A call that failed must have raised exactly ValueError(expected_error).
void expect_error(const char* call_name, const char* expected_error) {
  const Owned raised = Owned::steal(PyErr_GetRaisedException());
  if (!raised) finding("%s returned null without an exception", call_name);
  if (!expected_error) finding("%s raised %s, where it must succeed", call_name, text_of(raised.get()).c_str());
  const Owned text = Owned::steal(PyObject_Str(raised.get()));
  const char* message = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (Py_TYPE(raised.get()) != reinterpret_cast<PyTypeObject*>(PyExc_ValueError) || !message ||
      std::strcmp(message, expected_error) != 0) {
    finding("%s raised %s, where it must raise ValueError('%s')", call_name, text_of(raised.get()).c_str(),
            expected_error);
  }
}

bool int_is(PyObject* object, long long expected) {
  if (!PyLong_CheckExact(object)) return false;
  const long long value = PyLong_AsLongLong(object);
  return !PyErr_Occurred() && value == expected;
}

bool bytes_are(PyObject* object, View expected) {
  return PyBytes_CheckExact(object) &&
         std::ranges::equal(View(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(object))),
                            expected);
}

// (msg_id, seq_no, body_length, body, len(packed) - 40), each of its exact type.
void expect_opened(PyObject* result, const Opened& o) {
  if (!PyTuple_CheckExact(result) || PyTuple_GET_SIZE(result) != 5 ||
      !int_is(PyTuple_GET_ITEM(result, 0), o.msg_id) || !int_is(PyTuple_GET_ITEM(result, 1), o.seq_no) ||
      !int_is(PyTuple_GET_ITEM(result, 2), o.length) || !bytes_are(PyTuple_GET_ITEM(result, 3), o.body) ||
      !int_is(PyTuple_GET_ITEM(result, 4), o.room)) {
    finding("unpack_message returned %s, where it must return (%lld, %d, %d, <%zu bytes>, %d)",
            text_of(result).c_str(), static_cast<long long>(o.msg_id), o.seq_no, o.length, o.body.size(), o.room);
  }
}

// ---- the cases -----------------------------------------------------------------------

// Two fixed authorization keys and their ids (the module compares the id; it does
// not derive it from the key).
struct AuthKey {
  Bytes key, id;
};

AuthKey fixed_key(std::uint8_t seed) {
  AuthKey k{Bytes(256), Bytes(8)};
  for (std::size_t i = 0; i < 256; ++i) k.key[i] = static_cast<std::uint8_t>(seed + 37 * i + (i >> 3));
  for (std::size_t i = 0; i < 8; ++i) k.id[i] = static_cast<std::uint8_t>(seed ^ (0x5a + 11 * i));
  return k;
}

const Bytes call_session = {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe};

// The arguments of one call: shape's low three bits at 1, 2 or 3 make auth_key,
// auth_key_id or session_id the length the input gives (any but the right one), bit 4
// picks the key, bit 5 sets incoming, bit 6 puts the key's id in front of raw bytes.
struct Arguments {
  Bytes auth_key, auth_key_id, session_id;
  bool incoming, id_in_front;
};

Bytes resized(const Bytes& bytes, std::size_t size) {
  Bytes out(size, 0xee);
  std::copy_n(bytes.begin(), std::min(size, bytes.size()), out.begin());
  return out;
}

Arguments read_arguments(Input& input) {
  const std::uint8_t shape = input.byte();
  const std::uint8_t key_size = input.byte(), id_size = input.byte(), session_size = input.byte();
  const AuthKey key = fixed_key(shape & 0x10 ? 0xc3 : 0x17);
  Arguments a{key.key, key.id, call_session, (shape & 0x20) != 0, (shape & 0x40) != 0};
  switch (shape % 8) {
    case 1:
      a.auth_key = resized(a.auth_key, key_size);  // 0..255: never 256
      break;
    case 2:
      a.auth_key_id = resized(a.auth_key_id, id_size == 8 ? 9 : id_size);
      break;
    case 3:
      a.session_id = resized(a.session_id, session_size == 8 ? 9 : session_size);
      break;
  }
  return a;
}

struct Fields {
  std::int64_t msg_id;
  std::int32_t seq_no;
  std::int64_t salt;
  std::uint32_t length_field;
  std::uint8_t sealing, padding;
  std::array<std::uint8_t, 8> plaintext_session;
  std::uint16_t change_at;
  std::uint8_t change;
  std::uint16_t cut_to;
};

Fields read_fields(Input& input) {
  Fields f;
  f.msg_id = input.number<std::int64_t>();
  f.seq_no = input.number<std::int32_t>();
  f.salt = input.number<std::int64_t>();
  f.length_field = input.number<std::uint32_t>();
  f.sealing = input.byte();
  f.padding = input.byte();
  f.plaintext_session = input.array<8>();
  f.change_at = input.number<std::uint16_t>();
  f.change = input.byte();
  f.cut_to = input.number<std::uint16_t>();
  return f;
}

void put_le(Bytes& out, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// A plaintext from the fields: the length field is the body's length (sealing bit 0)
// or the input's; the session id the call's (bit 1) or the input's; 0 to 63 bytes of
// padding, so that a plaintext need not be whole blocks.
Bytes plaintext_of(const Fields& f, const Arguments& a, View body) {
  Bytes p;
  put_le(p, static_cast<std::uint64_t>(f.salt), 8);
  if (f.sealing & 2 && a.session_id.size() == 8) {
    p.insert(p.end(), a.session_id.begin(), a.session_id.end());
  } else {
    p.insert(p.end(), f.plaintext_session.begin(), f.plaintext_session.end());
  }
  put_le(p, static_cast<std::uint64_t>(f.msg_id), 8);
  put_le(p, static_cast<std::uint32_t>(f.seq_no), 4);
  put_le(p, f.sealing & 1 ? body.size() : f.length_field, 4);
  p.insert(p.end(), body.begin(), body.end());
  for (std::size_t i = 0; i < f.padding % 64u; ++i) p.push_back(static_cast<std::uint8_t>(0x3c ^ i));
  return p;
}

void check_unpack(View packed, const Arguments& a, bool incoming) {
  const Expected expected = reference_unpack(packed, a.session_id, a.auth_key, a.auth_key_id, incoming);
  const Owned result = call(module().unpack, bytes_object(packed), bytes_object(a.session_id),
                            bytes_object(a.auth_key), bytes_object(a.auth_key_id),
                            Owned::take(incoming ? Py_True : Py_False));
  if (!result) return expect_error("unpack_message", expected.error);
  if (expected.error) {
    finding("unpack_message returned %s, where it must raise ValueError('%s')", text_of(result.get()).c_str(),
            expected.error);
  }
  expect_opened(result.get(), expected.opened);
}

// Raw bytes, with the key's id in front or not.
void unpack_raw(const Arguments& a, View rest) {
  Bytes packed;
  if (a.id_in_front) packed = a.auth_key_id;
  packed.insert(packed.end(), rest.begin(), rest.end());
  check_unpack(packed, a, a.incoming);
}

// A message the reference sealed for the call's direction; changed, one byte XORed
// at a place the input chooses and then cut to a length it chooses (when shorter).
void unpack_sealed(const Arguments& a, const Fields& f, View body, bool changed) {
  if (a.auth_key.size() != 256) return check_unpack(body, a, a.incoming);  // nothing to seal with
  Bytes packed = reference_seal(plaintext_of(f, a, body), a.auth_key, a.auth_key_id, a.incoming);
  if (changed) {
    packed[f.change_at % packed.size()] ^= f.change;
    packed.resize(std::min<std::size_t>(packed.size(), f.cut_to));
  }
  check_unpack(packed, a, a.incoming);
}

// pack_message, then the result opened by the reference (it must be a client's
// message: x = 0, whole blocks, 12 to 27 bytes of padding, the fields as given) and
// by unpack_message both ways (incoming=True must fail: the wrong direction).
void pack_and_open(const Arguments& a, const Fields& f, View body) {
  const Owned packed = call(module().pack, int_object(f.msg_id), int_object(f.seq_no), bytes_object(body),
                            int_object(f.salt), bytes_object(a.session_id), bytes_object(a.auth_key),
                            bytes_object(a.auth_key_id));
  const char* error = a.auth_key.size() != 256    ? "auth_key must be 256 bytes"
                      : a.auth_key_id.size() != 8 ? "auth_key_id must be 8 bytes"
                      : a.session_id.size() != 8  ? "session_id must be 8 bytes"
                                                  : nullptr;
  if (!packed) return expect_error("pack_message", error);
  if (error) {
    finding("pack_message returned %s, where it must raise ValueError('%s')", text_of(packed.get()).c_str(), error);
  }
  if (!PyBytes_CheckExact(packed.get())) finding("pack_message returned %s", text_of(packed.get()).c_str());
  const View bytes(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(packed.get())),
                   static_cast<std::size_t>(PyBytes_GET_SIZE(packed.get())));

  const Expected opened = reference_unpack(bytes, a.session_id, a.auth_key, a.auth_key_id, false);
  if (opened.error) finding("the reference cannot open what pack_message made: %s", opened.error);
  const Opened& o = opened.opened;
  const std::size_t padding = o.plaintext.size() - 32 - body.size();
  if (o.msg_id != f.msg_id || o.seq_no != f.seq_no || le64(o.plaintext.data()) != f.salt ||
      !std::ranges::equal(o.body, body) || o.plaintext.size() % 16 != 0 || padding < 12 || padding > 27) {
    finding("pack_message of a %zu-byte body: the fields, body or padding (%zu bytes) are not what was given",
            body.size(), padding);
  }
  check_unpack(bytes, a, false);
  check_unpack(bytes, a, true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  module();
  Input input(data, size);
  const std::uint8_t operation = input.byte() % 4;
  const Arguments a = read_arguments(input);
  const Fields f = read_fields(input);
  const View rest = input.rest();
  switch (operation) {
    case 0:
      unpack_raw(a, rest);
      break;
    case 1:
    case 2:
      unpack_sealed(a, f, rest, operation == 2);
      break;
    case 3:
      pack_and_open(a, f, rest);
      break;
  }
  return 0;
}
