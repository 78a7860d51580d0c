"""Native module `vardimont._core`.

Exposes the actor runtime and its multiplexed TCP transport to Python
without blocking the Python GIL.
"""

from collections.abc import Callable, Mapping, Sequence
from typing import Any, Final, Protocol, TypeAlias, final

__version__: Final[str]
__all__ = ["__version__", "Node", "encode_payload", "decode_payload"]

#: What encode_payload and send_data accept: None, bool, str, int in
#: [-2**63, 2**64 - 1], finite float, and lists, tuples and str-keyed dicts of
#: these (at most 127 levels of nesting); decode_payload gives back lists for
#: tuples. Containers are typed by the read-only Sequence and Mapping, whose
#: item types are covariant, so that a list[float] or a dict[str, int] passes;
#: their items are typed as object so that a TypedDict, or a dict literal with
#: mixed values that a type checker infers as dict[str, object], passes too.
#: What the types can't express is checked when the value is encoded: items
#: that are not payloads, and sequences and mappings other than list, tuple and
#: dict (bytes, for example), raise TypeError.
_Payload: TypeAlias = None | bool | int | float | str | Sequence[object] | Mapping[str, object]

class _EventLoop(Protocol):
    """What a callback is scheduled on: an asyncio event loop, or anything
    with its call_soon_threadsafe."""

    def call_soon_threadsafe(self, callback: Callable[..., object], *args: Any) -> object: ...

#: The dictionary scheduled for an actor's callback with each message:
#: "src" (str), "reply_to" (str | None), "correlation_id" (int | None),
#: "msg_id" (int).
_MetaDict: TypeAlias = dict[str, Any]

#: The dictionary scheduled for an event handler: "kind" first, one of
#: "peer_connected", "peer_disconnected", "error", "reconnect_gave_up",
#: "mailbox_full"; then "peer" (str), or "peer", "detail" (str) and
#: "correlation_id" (int | None) for "error", or "actor" (str) for
#: "mailbox_full".
_EventDict: TypeAlias = dict[str, Any]

@final
class Node:
    """A distributed node owned by Python, backed by a background runtime thread.

    Every method takes exclusive use of the node for the length of the call: the
    node's runtime must not be used by two threads at once, so a call made while
    another is running raises RuntimeError instead of waiting.
    """

    def __new__(
        cls,
        node_id: str,
        reconnect_interval: float | None = None,
        reconnect_max_attempts: int | None = 30,
        cluster_secret: str | None = None,
        heartbeat_interval: float | None = None,
        peer_timeout: float | None = None,
        peer_queue_capacity: int | None = None,
    ) -> Node: ...
    def start(self) -> None:
        """Starts the background runtime and binds the listener.

        Raises RuntimeError "failed to bind {id}: {reason}" or "failed to start
        runtime: {reason}", and ValueError for settings that no transport
        accepts (a zero interval, a peer queue capacity of 0 or above 2**61-1).
        Blocking methods called on a runtime worker thread (from an event loop
        whose call_soon_threadsafe runs code at once) raise RuntimeError
        "blocking call refused on a runtime worker thread"."""
    def stop(self) -> None:
        """Shuts down the background runtime."""
    def local_id(self) -> str:
        """Actual node id, with the resolved port."""
    def connect_peer(self, peer_id: str) -> None:
        """Asynchronously connects to a peer; returns before the connection is
        established. Poll `has_peer` to wait for it."""
    def forget_peer(self, peer_id: str) -> None:
        """Stops treating `peer_id` as desired (no further auto-reconnect
        attempts) and drops the connection now if one is currently open.
        Use this once you know you're done with a peer, instead of waiting
        for the automatic give-up after repeated failed reconnects."""
    def has_peer(self, peer_id: str) -> bool:
        """Whether a peer is currently connected."""
    def peer_count(self) -> int:
        """Number of connected peers."""
    def register_actor(
        self,
        name: str,
        event_loop: _EventLoop,
        callback: Callable[[Any, _MetaDict], object],
    ) -> None:
        """Registers a local actor mailbox. Inbound messages for `name` are
        scheduled as `callback(payload, meta_dict)` on `event_loop` via
        `call_soon_threadsafe`."""
    def unregister_actor(self, name: str) -> None:
        """Removes a local actor mailbox. See `register_actor` for why this
        blocks until the removal is applied."""
    def set_event_handler(
        self,
        event_loop: _EventLoop,
        callback: Callable[[_EventDict], object],
    ) -> None:
        """Registers a handler for system events; `callback(event_dict)` is
        scheduled on `event_loop` via `call_soon_threadsafe`."""
    def send_data(
        self,
        peer_id: str,
        dst_actor: str,
        payload: _Payload,
        reply_to: str | None,
        correlation_id: int | None,
    ) -> None:
        """Sends a `Data` message to an actor on a connected peer."""
    def notify_peer_error(self, peer_id: str, detail: str, correlation_id: int | None) -> None:
        """Tells `peer_id` that a send of theirs failed, the same way an
        unknown-actor send does. Best-effort: silently does nothing if
        `peer_id` isn't connected."""

def encode_payload(obj: _Payload) -> bytes:
    """Serializes a JSON-compatible Python object into wire payload bytes."""

def decode_payload(data: bytes) -> Any:
    """Deserializes wire payload bytes into a Python object."""
