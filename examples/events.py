"""Transport events as an event handler sees them.

Node "a" watches its events while it connects to "b", sends to an actor that
"b" does not have, is told of an error by "b", loses "b" when "b" stops, and
finally tries a peer where nothing listens, which it gives up after two
attempts. Ends by itself in well under a second.
"""
import asyncio
import socket
from typing import Any

from vardimont import Node


def unused_port() -> int:
    """A loopback port where nothing listens: connections to it are refused."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port: int = s.getsockname()[1]
        return port


async def main() -> None:
    loop = asyncio.get_running_loop()
    a = Node("a@127.0.0.1:0", heartbeat_interval=0.1, peer_timeout=1.0, reconnect_interval=0.1,
             reconnect_max_attempts=2)
    b = Node("b@127.0.0.1:0", heartbeat_interval=0.1, peer_timeout=1.0)
    a.start()
    b.start()
    events: asyncio.Queue[dict[str, Any]] = asyncio.Queue()
    a.set_event_handler(loop, events.put_nowait)

    async def next_event() -> dict[str, Any]:
        event = await asyncio.wait_for(events.get(), 5)
        print(f"  event: {event}")
        return event

    b_id = b.local_id()
    print(f"a ({a.local_id()}) connects to b ({b_id})")
    a.connect_peer(b_id)
    await next_event()                      # peer_connected

    print("a sends to an actor that b does not have")
    a.send_data(b_id, "nobody", {"hello": "?"}, None, 42)
    await next_event()                      # error: actor_not_found:nobody

    print("b reports an error to a")
    b.notify_peer_error(a.local_id(), "your request was dropped", 7)
    await next_event()                      # error with b's detail

    print("b stops; a sees it go and stops wanting it")
    b.stop()
    await next_event()                      # peer_disconnected
    a.forget_peer(b_id)

    gone = f"gone@127.0.0.1:{unused_port()}"
    print(f"a connects to {gone}, where nothing listens")
    a.connect_peer(gone)
    await next_event()                      # reconnect_gave_up, after two refused attempts

    a.stop()
    print("done")


if __name__ == "__main__":
    asyncio.run(main())
