"""The payload codec: encode_payload / decode_payload, their texts, their
errors and the order in which a value's failures are found."""
import collections
import enum
import json
import math

import pytest

from vardimont._core import decode_payload, encode_payload

I64_MIN, U64_MAX = -(2**63), 2**64 - 1


class Colour(enum.IntEnum):
    RED = 3


class Text(str):
    def __str__(self):
        raise AssertionError("the codec must not call methods of the value's class")


class Whole(int):
    def __index__(self):
        raise AssertionError("the codec must not call methods of the value's class")


class Real(float):
    def __float__(self):
        raise AssertionError("the codec must not call methods of the value's class")


class Items(list):
    def __iter__(self):
        raise AssertionError("the codec must not call methods of the value's class")


class Mapping(dict):
    def items(self):
        raise AssertionError("the codec must not call methods of the value's class")


Point = collections.namedtuple("Point", "x y")


def nested_lists(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


@pytest.mark.parametrize("value, text", [
    (None, b"null"),
    (True, b"true"),
    (False, b"false"),
    (0, b"0"),
    (-7, b"-7"),
    (I64_MIN, b"-9223372036854775808"),
    (U64_MAX, b"18446744073709551615"),
    (2**63, b"9223372036854775808"),
    (0.0, b"0.0"),
    (-0.0, b"-0.0"),
    (1.0, b"1.0"),
    (100.0, b"100.0"),
    (1e15, b"1000000000000000.0"),
    (12.5, b"12.5"),
    (123456.789, b"123456.789"),
    (0.5, b"0.5"),
    (0.0001, b"0.0001"),
    (1e-5, b"0.00001"),
    (1e-6, b"1e-6"),
    (1e-7, b"1e-7"),
    (1.25e-7, b"1.25e-7"),
    (1e16, b"1e+16"),
    (1e20, b"1e+20"),
    (1.5e300, b"1.5e+300"),
    (5e-324, b"5e-324"),
    (0.1 + 0.2, b"0.30000000000000004"),
    ("", b'""'),
    ("tab\t quote\" backslash\\ one\x01 esc\x1b", b'"tab\\t quote\\" backslash\\\\ one\\u0001 esc\\u001b"'),
    ("\b\f\n\r", b'"\\b\\f\\n\\r"'),
    ("\u00e9/\x7f\U0001f600", "\"\u00e9/\x7f\U0001f600\"".encode()),
    ([], b"[]"),
    ((), b"[]"),
    ({}, b"{}"),
    ((1, 2), b"[1,2]"),
    ([1, 2], b"[1,2]"),
    ({"b": 1, "a": [1.0, None, "x"]}, b'{"b":1,"a":[1.0,null,"x"]}'),
    ({"k\n": {"": []}}, b'{"k\\n":{"":[]}}'),
    # Subclasses are read through their stored values; no hook is called.
    (Colour.RED, b"3"),
    (Text("hi"), b'"hi"'),
    (Whole(5), b"5"),
    (Real(2.5), b"2.5"),
    (Items([1, [2]]), b"[1,[2]]"),
    (Mapping(a=1), b'{"a":1}'),
    (Point(1, 2), b"[1,2]"),
    ({Text("k"): Whole(1)}, b'{"k":1}'),
    (nested_lists(127), b"[" * 127 + b"]" * 127),
])
def test_encoding(value, text):
    assert encode_payload(value) == text
    assert type(encode_payload(value)) is bytes


@pytest.mark.parametrize("value, error, message", [
    (I64_MIN - 1, TypeError, "integer out of range: must fit in i64 or u64"),
    (U64_MAX + 1, TypeError, "integer out of range: must fit in i64 or u64"),
    (-(10**40), TypeError, "integer out of range: must fit in i64 or u64"),
    (float("nan"), ValueError, "non-finite floats are not supported"),
    (float("inf"), ValueError, "non-finite floats are not supported"),
    (-math.inf, ValueError, "non-finite floats are not supported"),
    ({1: 2}, TypeError, "payload dict keys must be strings"),
    ({None: 2}, TypeError, "payload dict keys must be strings"),
    ({"\ud800": 1}, TypeError, "payload dict keys must be strings"),
    ({"a": {1, 2}}, TypeError, "value of type set is not JSON-compatible"),
    (b"x", TypeError, "value of type bytes is not JSON-compatible"),
    (bytearray(b"x"), TypeError, "value of type bytearray is not JSON-compatible"),
    ("\ud800", TypeError, "value of type str is not JSON-compatible"),
    (Text("\udfff"), TypeError, "value of type Text is not JSON-compatible"),
    (object(), TypeError, "value of type object is not JSON-compatible"),
    (1j, TypeError, "value of type complex is not JSON-compatible"),
    # The first failing value in writing order decides.
    ([float("nan"), {1: 2}], ValueError, "non-finite floats are not supported"),
    ([{1: 2}, float("nan")], TypeError, "payload dict keys must be strings"),
    ({"a": set(), 1: 2}, TypeError, "value of type set is not JSON-compatible"),
    ({1: set()}, TypeError, "payload dict keys must be strings"),
    ([1, "ok", (2, [3, 2**64])], TypeError, "integer out of range: must fit in i64 or u64"),
    (nested_lists(128), ValueError, "payload nested too deeply (more than 127 levels)"),
    ([nested_lists(127), set()], ValueError, "payload nested too deeply (more than 127 levels)"),
    ([set(), nested_lists(128)], TypeError, "value of type set is not JSON-compatible"),
])
def test_encoding_errors(value, error, message):
    with pytest.raises(error) as info:
        encode_payload(value)
    assert type(info.value) is error
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)
    assert info.value.__context__ is None  # nothing of a discarded UTF-8 error is left


@pytest.mark.parametrize("make", [
    lambda: (lambda v: v.append(v) or v)([]),
    lambda: (lambda v: v.__setitem__("self", v) or v)({}),
    lambda: (lambda v: v.append({"k": (v,)}) or v)([]),
], ids=["list", "dict", "through a dict and a tuple"])
def test_a_value_that_contains_itself_is_refused_at_the_depth_limit(make):
    with pytest.raises(ValueError, match=r"^payload nested too deeply \(more than 127 levels\)$"):
        encode_payload(make())


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "encode_payload() missing 1 required positional argument: 'obj'"),
    ((1, 2), {}, "encode_payload() takes 1 positional arguments but 2 were given"),
    ((), {"value": 1}, "encode_payload() got an unexpected keyword argument 'value'"),
    ((1,), {"obj": 1}, "encode_payload() got multiple values for argument 'obj'"),
])
def test_encode_payload_binding(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        encode_payload(*args, **kwargs)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


def test_encode_payload_by_keyword():
    assert encode_payload(obj=5) == b"5"


@pytest.mark.parametrize("text, value", [
    (b"", None),
    (b"null", None),
    (b" \t\r\n true \n", True),
    (b"false", False),
    (b"0", 0),
    (b"18446744073709551615", U64_MAX),
    (b"18446744073709551616", 18446744073709551616.0),
    (b"-9223372036854775808", I64_MIN),
    (b"-9223372036854775809", -9223372036854775809.0),
    (b"-0", -0.0),
    (b"1e2", 100.0),
    (b"1.0", 1.0),
    (b"1E-2", 0.01),
    (b"1e-400", 0.0),
    (b"-1e-400", -0.0),
    (b"123456789012345678901234567890", 1.2345678901234568e29),
    (b'"\\ud83d\\ude00"', "\U0001f600"),
    (b'"\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9"', "\"\\/\b\f\n\r\t\u00e9"),
    ("\"\u00e9\U0001f600\"".encode(), "\u00e9\U0001f600"),
    (b'{"b":1,"a":[1.0,null,"x"]}', {"b": 1, "a": [1.0, None, "x"]}),
    (b'{"a":1,"b":2,"a":3}', {"a": 3, "b": 2}),
    (b"[" * 127 + b"]" * 127, nested_lists(127)),
    # Only the first value is read.
    (b"1 2", 1),
    (b"[1]]", [1]),
    (b"nullx", None),
    (b"{} and more", {}),
])
def test_decoding(text, value):
    decoded = decode_payload(text)
    assert decoded == value
    assert repr(decoded) == repr(value)  # types, key order and float signs too


def test_a_repeated_key_keeps_its_first_position():
    assert list(decode_payload(b'{"a":1,"b":2,"a":3}')) == ["a", "b"]


@pytest.mark.parametrize("text, reason", [
    (b" ", "EOF while parsing a value at line 1 column 1"),
    (b"[1,", "EOF while parsing a value at line 1 column 3"),
    (b"[1", "EOF while parsing a list at line 1 column 2"),
    (b'{"a":1', "EOF while parsing an object at line 1 column 6"),
    (b'"abc', "EOF while parsing a string at line 1 column 4"),
    (b"nul", "EOF while parsing a value at line 1 column 3"),
    (b"NaN", "expected value at line 1 column 1"),
    (b"nulL", "expected ident at line 1 column 4"),
    (b'{"a" 1}', "expected `:` at line 1 column 6"),
    (b"[1 2]", "expected `,` or `]` at line 1 column 4"),
    (b'{"a":1 "b":2}', "expected `,` or `}` at line 1 column 8"),
    (b"{1:2}", "key must be a string at line 1 column 2"),
    (b"[1,]", "trailing comma at line 1 column 4"),
    (b"01", "invalid number at line 1 column 2"),
    (b"1e400", "number out of range at line 1 column 5"),
    (b'"\\x"', "invalid escape at line 1 column 3"),
    (b'"\\ude00"', "lone leading surrogate in hex escape at line 1 column 7"),
    (b'"\\ud83d"', "unexpected end of hex escape at line 1 column 8"),
    (b'"\xff"', "invalid unicode code point at line 1 column 3"),
    (b'"\x01"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"),
    (b"\n\n  [,", "expected value at line 3 column 4"),
    (b"[" * 128 + b"]" * 128, "recursion limit exceeded at line 1 column 128"),
    (b'{"a":' * 128 + b"1" + b"}" * 128, "recursion limit exceeded at line 1 column 636"),
])
def test_decoding_errors(text, reason):
    with pytest.raises(ValueError) as info:
        decode_payload(text)
    assert type(info.value) is ValueError
    assert str(info.value) == f"payload deserialization failed: {reason}"


class Blob(bytes):
    pass


@pytest.mark.parametrize("data, message", [
    (bytearray(b"1"), "'bytearray' object is not an instance of 'bytes'"),
    (memoryview(b"1"), "'memoryview' object is not an instance of 'bytes'"),
    ("1", "'str' object is not an instance of 'bytes'"),
    (None, "'None' is not an instance of 'bytes'"),
])
def test_decode_payload_accepts_only_bytes(data, message):
    with pytest.raises(TypeError) as info:
        decode_payload(data)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'data'"]


def test_decode_payload_accepts_bytes_subclasses_and_keywords():
    assert decode_payload(Blob(b"[1]")) == [1]
    assert decode_payload(data=b"2") == 2


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "decode_payload() missing 1 required positional argument: 'data'"),
    ((b"1", b"2"), {}, "decode_payload() takes 1 positional arguments but 2 were given"),
    ((), {"obj": b"1"}, "decode_payload() got an unexpected keyword argument 'obj'"),
])
def test_decode_payload_binding(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        decode_payload(*args, **kwargs)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


def test_the_same_keys_in_many_documents_stay_correct():
    # Keys are shared between decodes; distinct keys must never be confused.
    keys = [f"k{i}" for i in range(3000)] + ["\u00e9", "a" * 64, "a" * 65, ""]
    for round_ in range(2):
        doc = {k: i + round_ for i, k in enumerate(keys)}
        assert decode_payload(encode_payload(doc)) == doc
        assert decode_payload(json.dumps(doc).encode()) == doc
