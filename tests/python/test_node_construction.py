"""The class Node as Python sees it, its constructor (binding, conversions,
checks and their order), PanicException and the exclusive use of a node."""
import gc
import inspect
import weakref

import pytest

from vardimont._core import Node

SIGNATURE = ("(node_id, reconnect_interval=None, reconnect_max_attempts=30, cluster_secret=None, "
             "heartbeat_interval=None, peer_timeout=None, peer_queue_capacity=None)")


def panic_of(call):
    """The BaseException that `call` raises, which must not be an Exception."""
    try:
        call()
    except Exception as e:  # noqa: BLE001 - this is what must not happen
        pytest.fail(f"caught as Exception: {e!r}")
    except BaseException as e:  # noqa: BLE001
        return e
    pytest.fail("nothing raised")


class TestClass:
    def test_identity(self):
        assert Node.__name__ == "Node" and Node.__qualname__ == "Node"
        assert Node.__module__ == "builtins"
        assert Node.__bases__ == (object,)
        assert Node.__text_signature__ == SIGNATURE
        assert str(inspect.signature(Node)) == SIGNATURE
        first, second = Node.__doc__.split("\n\n")
        assert first and second and "--" not in Node.__doc__

    def test_cannot_be_subclassed(self):
        with pytest.raises(TypeError):
            type("Sub", (Node,), {})

    def test_instances_have_no_attributes_of_their_own_and_no_weak_references(self):
        node = Node("a@h:1")
        with pytest.raises(AttributeError):
            node.anything = 1
        with pytest.raises(TypeError):
            weakref.ref(node)

    def test_only_new_constructs(self):
        assert "__init__" not in Node.__dict__
        node = Node.__new__(Node, "a@h:1")
        assert node.local_id() == "a@h:1"

    def test_instances_take_part_in_garbage_collection(self):
        node = Node("a@h:1")
        assert gc.is_tracked(node)
        assert gc.get_referents(node) == [Node]

    @pytest.mark.parametrize("method, signature", [
        ("start", "($self)"),
        ("stop", "($self)"),
        ("local_id", "($self)"),
        ("connect_peer", "($self, peer_id)"),
        ("forget_peer", "($self, peer_id)"),
        ("has_peer", "($self, peer_id)"),
        ("peer_count", "($self)"),
        ("register_actor", "($self, name, event_loop, callback)"),
        ("unregister_actor", "($self, name)"),
        ("set_event_handler", "($self, event_loop, callback)"),
        ("send_data", "($self, peer_id, dst_actor, payload, reply_to, correlation_id)"),
        ("notify_peer_error", "($self, peer_id, detail, correlation_id)"),
    ])
    def test_methods_and_their_text_signatures(self, method, signature):
        assert getattr(Node, method).__text_signature__ == signature

    def test_methods_are_declared_in_order(self):
        methods = [name for name, v in Node.__dict__.items() if callable(v) and not name.startswith("__")]
        assert methods == ["start", "stop", "local_id", "connect_peer", "forget_peer", "has_peer", "peer_count",
                           "register_actor", "unregister_actor", "set_event_handler", "send_data",
                           "notify_peer_error"]

    @pytest.mark.parametrize("method, doc", [
        ("stop", "Shuts down the background runtime."),
        ("local_id", "Actual node id, with the resolved port."),
        ("has_peer", "Whether a peer is currently connected."),
        ("peer_count", "Number of connected peers."),
        ("send_data", "Sends a `Data` message to an actor on a connected peer."),
        ("connect_peer", "Asynchronously connects to a peer; returns before the connection is\n"
                         "established. Poll `has_peer` to wait for it."),
        ("unregister_actor", "Removes a local actor mailbox. See `register_actor` for why this\n"
                             "blocks until the removal is applied."),
    ])
    def test_method_docstrings(self, method, doc):
        assert getattr(Node, method).__doc__ == doc

    def test_long_method_docstrings(self):
        assert Node.register_actor.__doc__.startswith("Registers a local actor mailbox.")
        assert Node.register_actor.__doc__.endswith("(e.g. `Supervisor` restarting a crashed actor).")
        assert "\u2014 whatever the\nsender passed" in Node.register_actor.__doc__
        assert Node.set_event_handler.__doc__.endswith("full id, and \u2014 for `\"error\"` \u2014 a `\"detail\"` key.")
        assert Node.forget_peer.__doc__.endswith("for the automatic give-up after repeated failed reconnects.")
        assert Node.notify_peer_error.__doc__.endswith("silently does nothing if `peer_id` isn't connected.")


class TestBinding:
    @pytest.mark.parametrize("args, kwargs, message", [
        ((), {}, "Node.__new__() missing 1 required positional argument: 'node_id'"),
        (("a@h:1",) + (None,) * 7, {},
         "Node.__new__() takes from 1 to 7 positional arguments but 8 were given"),
        ((), {"foo": 1}, "Node.__new__() got an unexpected keyword argument 'foo'"),
        (("a@h:1",), {"node_id": "a@h:1"}, "Node.__new__() got multiple values for argument 'node_id'"),
        (("a@h:1", None), {"reconnect_interval": 1}, "Node.__new__() got multiple values for argument "
                                                     "'reconnect_interval'"),
        # Keywords are taken in the order given; the first bad one decides.
        ((), {"bar": 1, "node_id": "a@h:1"}, "Node.__new__() got an unexpected keyword argument 'bar'"),
        (("a@h:1",), {"node_id": "x", "foo": 1}, "Node.__new__() got multiple values for argument 'node_id'"),
        ((), {"peer_timeout": 1}, "Node.__new__() missing 1 required positional argument: 'node_id'"),
    ])
    def test_binding_errors(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            Node(*args, **kwargs)
        assert str(info.value) == message
        assert not getattr(info.value, "__notes__", None)

    def test_every_parameter_by_keyword(self):
        node = Node(peer_queue_capacity=1, peer_timeout=1, heartbeat_interval=1, cluster_secret="s",
                    reconnect_max_attempts=1, reconnect_interval=1, node_id="a@h:1")
        assert node.local_id() == "a@h:1"


class TestConversions:
    @pytest.mark.parametrize("kwargs, error, message, param", [
        ({"node_id": 5}, TypeError, "'int' object is not an instance of 'str'", "node_id"),
        ({"node_id": None}, TypeError, "'None' is not an instance of 'str'", "node_id"),
        ({"node_id": b"a@h:1"}, TypeError, "'bytes' object is not an instance of 'str'", "node_id"),
        ({"node_id": "a@h:1\udc00"}, UnicodeEncodeError, None, "node_id"),
        ({"node_id": "a@h:1", "cluster_secret": b"s"}, TypeError,
         "'bytes' object is not an instance of 'str'", "cluster_secret"),
        ({"node_id": "a@h:1", "cluster_secret": "\ud800"}, UnicodeEncodeError, None, "cluster_secret"),
        ({"node_id": "a@h:1", "reconnect_max_attempts": -1}, OverflowError,
         "out of range integral type conversion attempted", "reconnect_max_attempts"),
        ({"node_id": "a@h:1", "reconnect_max_attempts": 2**32}, OverflowError,
         "out of range integral type conversion attempted", "reconnect_max_attempts"),
        ({"node_id": "a@h:1", "reconnect_max_attempts": 2**63}, OverflowError, None, "reconnect_max_attempts"),
        ({"node_id": "a@h:1", "reconnect_max_attempts": 1.5}, TypeError, None, "reconnect_max_attempts"),
        ({"node_id": "a@h:1", "reconnect_max_attempts": "3"}, TypeError, None, "reconnect_max_attempts"),
        ({"node_id": "a@h:1", "peer_queue_capacity": -1}, OverflowError, None, "peer_queue_capacity"),
        ({"node_id": "a@h:1", "peer_queue_capacity": 2**64}, OverflowError, None, "peer_queue_capacity"),
        ({"node_id": "a@h:1", "peer_queue_capacity": 2.0}, TypeError, None, "peer_queue_capacity"),
        ({"node_id": "a@h:1", "reconnect_interval": "1"}, TypeError, None, "reconnect_interval"),
        ({"node_id": "a@h:1", "heartbeat_interval": 10**400}, OverflowError, None, "heartbeat_interval"),
        ({"node_id": "a@h:1", "peer_timeout": []}, TypeError, None, "peer_timeout"),
        # Parameters are converted in order: the first failure decides.
        ({"node_id": 5, "reconnect_max_attempts": -1}, TypeError, None, "node_id"),
        ({"node_id": "a@h:1", "peer_queue_capacity": -1, "reconnect_interval": "x"}, TypeError, None,
         "reconnect_interval"),
        ({"node_id": "nohost", "cluster_secret": 5}, TypeError, None, "cluster_secret"),
    ])
    def test_conversion_errors_carry_the_parameter_in_a_note(self, kwargs, error, message, param):
        with pytest.raises(error) as info:
            Node(**kwargs)
        assert type(info.value) is error
        if message is not None:
            assert str(info.value) == message
        assert info.value.__notes__ == [f"while processing '{param}'"]

    @pytest.mark.parametrize("kwargs", [
        {"reconnect_max_attempts": 0},
        {"reconnect_max_attempts": 2**32 - 1},
        {"reconnect_max_attempts": None},
        {"reconnect_max_attempts": True},
        {"peer_queue_capacity": 0},
        {"peer_queue_capacity": 2**64 - 1},
        {"peer_queue_capacity": True},
        {"cluster_secret": ""},
        {"cluster_secret": "s\u00e9cret"},
        {"reconnect_interval": 0, "heartbeat_interval": -0.0, "peer_timeout": 1e-10},
        {"reconnect_interval": 2, "heartbeat_interval": 0.25, "peer_timeout": 0.9999999999},
        {"peer_timeout": 1.8e19},
        {"peer_timeout": 18446744073709549568.0},  # the largest float below 2**64 s
        {"heartbeat_interval": True},
    ])
    def test_accepted_settings(self, kwargs):
        assert Node("a@h:0", **kwargs).local_id() == "a@h:0"

    def test_objects_with_index_or_float_are_numbers(self):
        class Index:
            def __index__(self):
                return 3

        class Seconds:
            def __float__(self):
                return 0.5

        Node("a@h:0", reconnect_max_attempts=Index(), peer_queue_capacity=Index(), reconnect_interval=Seconds(),
             heartbeat_interval=Index())

    @pytest.mark.parametrize("node_id, reason", [
        ("nohost", "expected 'name@host:port'"),
        ("a@h", "expected 'host:port' in node id"),
        ("@h:1", "node name must not be empty"),
        ("a@:1", "host must not be empty"),
        ("a@h:x", "port must be a number"),
        ("a@h:65536", "port must be a number"),
    ])
    def test_an_invalid_node_id(self, node_id, reason):
        with pytest.raises(ValueError) as info:
            Node(node_id)
        assert str(info.value) == f"invalid node id: {reason}"
        assert not getattr(info.value, "__notes__", None)

    @pytest.mark.parametrize("param", ["reconnect_interval", "heartbeat_interval", "peer_timeout"])
    @pytest.mark.parametrize("value, text", [
        (-1, "cannot convert float seconds to Duration: value is negative"),
        (-5e-324, "cannot convert float seconds to Duration: value is negative"),
        (float("-inf"), "cannot convert float seconds to Duration: value is negative"),
        (float("nan"), "cannot convert float seconds to Duration: value is either too big or NaN"),
        (float("inf"), "cannot convert float seconds to Duration: value is either too big or NaN"),
        (1e20, "cannot convert float seconds to Duration: value is either too big or NaN"),
        (2.0**64, "cannot convert float seconds to Duration: value is either too big or NaN"),
    ])
    def test_an_interval_no_duration_can_hold_panics(self, param, value, text):
        panic = panic_of(lambda: Node("a@h:1", **{param: value}))
        assert type(panic).__module__ == "pyo3_runtime" and type(panic).__name__ == "PanicException"
        assert type(panic).__bases__ == (BaseException,)
        assert panic.args == (text,)
        assert not getattr(panic, "__notes__", None)

    def test_the_panic_class_is_made_once(self):
        first = panic_of(lambda: Node("a@h:1", peer_timeout=-1))
        second = panic_of(lambda: Node("a@h:1", heartbeat_interval=float("nan")))
        assert type(first) is type(second)

    @pytest.mark.parametrize("kwargs, error, text", [
        ({"node_id": "nohost", "reconnect_interval": -1}, ValueError, "invalid node id: expected 'name@host:port'"),
        ({"node_id": "a@h:1", "reconnect_interval": -1, "heartbeat_interval": float("nan")}, BaseException,
         "cannot convert float seconds to Duration: value is negative"),
        ({"node_id": "a@h:1", "heartbeat_interval": float("nan"), "peer_timeout": -1}, BaseException,
         "cannot convert float seconds to Duration: value is either too big or NaN"),
        ({"node_id": "a@h:1", "peer_timeout": -1, "peer_queue_capacity": -1}, OverflowError, None),
    ])
    def test_the_order_of_the_checks(self, kwargs, error, text):
        with pytest.raises(error) as info:
            Node(**kwargs)
        if text is not None:
            assert str(info.value) == text

    def test_local_id_before_any_start(self):
        assert Node("a@h:0").local_id() == "a@h:0"
        assert Node("n@[::1]:80").local_id() == "n@[::1]:80"
        assert Node("a@b@c:007").local_id() == "a@b@c:7"


class TestExclusiveUse:
    def test_a_call_made_from_inside_a_call_on_the_same_node_is_refused(self):
        node, other = Node("a@h:1"), Node("b@h:2")
        seen = []

        class Reentrant:
            def __index__(self):
                for target in (node, other):
                    try:
                        seen.append(target.local_id())
                    except RuntimeError as e:
                        seen.append(e)
                return 1

        with pytest.raises(RuntimeError, match="^node has not been started$"):
            node.notify_peer_error("p@h:3", "x", Reentrant())
        refused, allowed = seen
        assert type(refused) is RuntimeError and str(refused) == "Already borrowed"
        assert allowed == "b@h:2"
        assert node.local_id() == "a@h:1"  # free again afterwards

    @pytest.mark.parametrize("call", [
        lambda n, evil: n.send_data("p@h:3", "x", 1, None, evil),
        lambda n, evil: n.has_peer(evil),
        lambda n, evil: n.register_actor(evil, None, None),
    ], ids=["send_data", "has_peer", "register_actor"])
    def test_the_flag_is_freed_when_a_call_fails(self, call):
        node = Node("a@h:1")

        class Failing:
            def __index__(self):
                raise ZeroDivisionError

        for _ in range(3):
            with pytest.raises((ZeroDivisionError, TypeError)):
                call(node, Failing())
            assert node.local_id() == "a@h:1"
        assert node.stop() is None
        assert node.local_id() == "a@h:1"
