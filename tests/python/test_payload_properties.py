"""Properties of the payload codec over generated values and documents."""
import json
import math

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vardimont._core import decode_payload, encode_payload

I64_MIN, U64_MAX = -(2**63), 2**64 - 1

scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=I64_MIN, max_value=U64_MAX)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text()
)
payloads = st.recursive(
    scalars,
    lambda inner: (
        st.lists(inner, max_size=6)
        | st.lists(inner, max_size=6).map(tuple)
        | st.dictionaries(st.text(max_size=8), inner, max_size=6)
    ),
    max_leaves=25,
)


def same(a, b):
    """Equal with the same types, dict key order and float bits (so -0.0 != 0.0)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return math.copysign(1.0, a) == math.copysign(1.0, b) and a == b
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def as_decoded(value):
    """What a value becomes through the codec: tuples come back as lists."""
    if isinstance(value, (list, tuple)):
        return [as_decoded(v) for v in value]
    if isinstance(value, dict):
        return {k: as_decoded(v) for k, v in value.items()}
    return value


@given(payloads)
@settings(max_examples=150, deadline=None)
def test_every_encodable_value_comes_back_equal(value):
    assert same(decode_payload(encode_payload(value)), as_decoded(value))


@given(payloads)
@settings(max_examples=100, deadline=None)
def test_the_encoding_is_what_the_standard_library_reads_back(value):
    text = encode_payload(value)
    assert same(json.loads(text), as_decoded(value))


def stdlib_int(digits):
    """json.loads' parse_int hook giving our integer rules: -0 is a float,
    integers outside i64/u64 become floats."""
    number = int(digits)
    if number == 0 and digits.startswith("-"):
        return -0.0
    if I64_MIN <= number <= U64_MAX:
        return number
    return float(digits)


def refuse_constant(name):
    raise ValueError(name)  # NaN and Infinity are not JSON


def stdlib_loads(data):
    return json.loads(data.decode("utf-8"), parse_int=stdlib_int, parse_constant=refuse_constant)


# Documents: the standard library's rendering of generated values (with big
# integers, escapes and surrogate pairs), laid out in several ways, and short
# texts over JSON's own alphabet, most of which are not valid.
documents = st.one_of(
    st.builds(
        lambda v, indent, ascii_only: json.dumps(v, indent=indent, ensure_ascii=ascii_only).encode(),
        st.recursive(
            st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(),
            lambda inner: st.lists(inner, max_size=5) | st.dictionaries(st.text(max_size=5), inner, max_size=5),
            max_leaves=30,
        ),
        st.sampled_from([None, 0, 2, "\t"]),
        st.booleans(),
    ),
    st.text(alphabet='[]{}",:-+.eE0123456789 \t\n\\untrufalsx\u00e9', max_size=24).map(str.encode),
)


@given(documents)
@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
def test_decoding_agrees_with_the_standard_library_on_documents_both_accept(data):
    try:
        expected = stdlib_loads(data)
    except ValueError:
        return
    try:
        decoded = decode_payload(data)
    except ValueError:
        return
    assert same(decoded, expected)
