// The module: its definition, the table of its functions, the execution slot that
// publishes them, and the one call boundary every call goes through.
#include "aes/backend.hpp"
#include "binding/body.hpp"
#include "message/derive_calls.hpp"
#include "message/pack.hpp"
#include "message/unpack.hpp"
#include "modes/ctr_calls.hpp"
#include "modes/ige_calls.hpp"

#include <cstdio>
#include <cstdlib>

namespace rdz {
namespace {

// Every call enters here with the lock held and leaves with a new reference, or
// with null and an exception set: the only place that turns a Failure into the
// interpreter's exception. Memory that the module cannot get for its own work is a
// MemoryError, raised before anything of the caller's was modified (writes come last).
template <Body body>
PyObject* boundary(PyObject* /* always null: METH_STATIC */, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
  Outcome<Owned> outcome = body({args, nargs, kwnames});
  if (outcome) return outcome->release();
  std::move(outcome.error()).raise();
  if (!PyErr_Occurred()) {
    std::fputs("rederodidizo: uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  return nullptr;
}

constexpr int call_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

template <Body body>
constexpr PyMethodDef function(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(boundary<body>)), call_flags, doc};
}

// Registration order is the order of __all__. The doc texts carry the text signature
// before the "--" line; the text after it is __doc__ (None where empty).
PyMethodDef functions[] = {
    function<ige256_encrypt>("ige256_encrypt", "ige256_encrypt(data, key, iv)\n--\n\n"),
    function<ige256_decrypt>("ige256_decrypt", "ige256_decrypt(data, key, iv)\n--\n\n"),
    function<ctr256_encrypt>("ctr256_encrypt", "ctr256_encrypt(src, key, iv, state)\n--\n\n"),
    function<ctr256_decrypt>("ctr256_decrypt", "ctr256_decrypt(src, key, iv, state)\n--\n\n"),
    function<ctr256_encrypt_inplace>("ctr256_encrypt_inplace",
                                     "ctr256_encrypt_inplace(data, key, iv, state)\n--\n\n"
                                     "In-place CTR encrypt: copies data out, processes, writes back.\n"
                                     "Saves one allocation vs the returning version."),
    function<ctr256_decrypt_inplace>("ctr256_decrypt_inplace", "ctr256_decrypt_inplace(data, key, iv, state)\n--\n\n"),
    function<ctr256_encrypt_batch>(
        "ctr256_encrypt_batch",
        "ctr256_encrypt_batch(data_flat, sizes, key, ivs, states)\n--\n\n"
        "Batch CTR encrypt: all data passed as a single flat buffer with sizes list.\n"
        "Eliminates per-item Python list indexing (O(1) Python calls regardless of batch size)."),
    function<ctr256_decrypt_batch>("ctr256_decrypt_batch",
                                   "ctr256_decrypt_batch(data_flat, sizes, key, ivs, states)\n--\n\n"),
    function<kdf>("kdf", "kdf(auth_key, msg_key, outgoing)\n--\n\n"),
    function<sha256_of>("sha256_digest", "sha256_digest(data)\n--\n\nReturn the SHA-256 digest of a byte string.\n\n"),
    function<pack_message>("pack_message",
                           "pack_message(msg_id, seq_no, body, salt, session_id, auth_key, auth_key_id)\n--\n\n"),
    function<unpack_message>("unpack_message",
                             "unpack_message(packed, session_id, auth_key, auth_key_id, incoming=True)\n--\n\n"),
};

// The module's __all__ list (new reference), created empty when missing.
Outcome<Owned> all_list(PyObject* module) {
  Owned all;
  if (PyObject_GetOptionalAttrString(module, "__all__", reinterpret_cast<PyObject**>(&all)) < 0) {
    return fail(Failure::fetched());
  }
  if (all) {
    if (!PyList_Check(all.get())) return fail(not_an_instance(all.get(), "list"));
    return all;
  }
  Owned created = Owned::steal(PyList_New(0));
  if (!created) return fail(Failure::fetched());
  if (PyObject_SetAttrString(module, "__all__", created.get()) < 0) return fail(Failure::fetched());
  return created;
}

Outcome<void> publish(PyObject* module, PyMethodDef& record) {
  Owned module_name = Owned::steal(PyModule_GetNameObject(module));
  if (!module_name) return fail(Failure::fetched());
  Owned function = Owned::steal(PyCMethod_New(&record, module, module_name.get(), nullptr));
  if (!function) return fail(Failure::fetched());
  Owned name = Owned::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return fail(Failure::fetched());
  if (!PyUnicode_Check(name.get())) return fail(not_an_instance(name.get(), "str"));
  auto all = all_list(module);
  if (!all) return fail_from(all);
  if (PyList_Append(all->get(), name.get()) < 0) {
    Owned cause = Owned::steal(PyErr_GetRaisedException());
    if (!cause) return fail(Failure::fault("could not append __name__ to __all__"));
    return fail(Failure::fault_formatted(std::source_location::current(), "could not append __name__ to __all__: %R",
                                         cause.get()));
  }
  if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return fail(Failure::fetched());
  return {};
}

Outcome<void> execute(PyObject* module) {
  if (!module) return fail(Failure::fetched());
  if (!PyModule_Check(module)) return fail(not_an_instance(module, "module"));
#ifdef REDERODIDIZO_AES_FORCE
  // A build that forces an AES path exists to test that path: it must not load where
  // the path cannot run, or its tests would quietly test another. (A normal build
  // chooses at the first call that needs AES, not here.)
  if (!chosen_aes_backend()) {
    return fail(Failure::message(PyExc_ImportError, "this build forces an AES path that this processor cannot run"));
  }
#endif
  for (PyMethodDef& record : functions) {
    if (auto published = publish(module, record); !published) return published;
  }
  return {};
}

// The functions are published here rather than listed in `m_methods` because they
// are METH_STATIC, so that their `__self__` reads None and the boundary gets no self
// to ignore, and the interpreter refuses METH_STATIC for `m_methods` entries
// ("module functions cannot set METH_CLASS or METH_STATIC"). Creating them here
// also lets each one take its place in `__all__` as it is published.
int module_exec(PyObject* module) noexcept {
  if (auto done = execute(module); !done) {
    std::move(done.error()).raise();
    return -1;
  }
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "rederodidizo",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace rdz

PyMODINIT_FUNC PyInit_rederodidizo() { return PyModuleDef_Init(&rdz::definition); }
