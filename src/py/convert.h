// The payload codec: Python values to compact JSON bytes and back, shared by
// Node.send_data, the actor delivery loops and the module functions
// encode_payload / decode_payload. All functions need the GIL.
//
// Encoding accepts None, bool (exact type), str, int in [-2^63, 2^64-1],
// finite float, list, tuple and dict with str keys (subclasses included, read
// through their stored values and items: no method of a value's class is
// called). Decoding reads the first JSON value and ignores what follows it.
//
// Nesting: both directions accept at most MAX_PAYLOAD_DEPTH nested containers.
// A deeper value, a container that contains itself included, is refused by the
// encoder with ValueError "payload nested too deeply (more than 127 levels)"
// when it reaches the 128th level, before anything else inside it is looked
// at; the walk is recursive but bounded, so no value can exhaust the stack,
// and no payload that the encoder accepts is one that a decoder refuses.
//
// The encoder is py/encode_payload.cpp, the decoder py/decode_payload.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "py/python.h"

namespace vardimont::py {

inline constexpr int MAX_PAYLOAD_DEPTH = 127;

// The JSON text of `value`, or nullopt with the exception of the first value
// (depth first, in writing order) that cannot be encoded.
std::optional<std::vector<std::uint8_t>> py_to_json_bytes(PyObject* value);

// The checking pass: walks `value` as the writing pass does and raises the
// exception for the first value that cannot be encoded. True (and nothing
// raised) when every value can be encoded.
bool py_to_json(PyObject* value);

// A new object for the first JSON value in `data`, None for empty data, or
// nullptr with ValueError "payload deserialization failed: {}".
PyObject* bytes_to_py(std::span<const std::uint8_t> data);

// The module functions encode_payload(obj) and decode_payload(data).
extern PyMethodDef ENCODE_PAYLOAD_DEF;
extern PyMethodDef DECODE_PAYLOAD_DEF;

}  // namespace vardimont::py
