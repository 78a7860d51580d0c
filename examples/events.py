"""Transport events as an event handler sees them.

Node "a" watches its events while it connects to "b", sends to an actor that
"b" does not have, is told of an error by "b", and then loses "b", which it
tries to reach again twice before it gives up. Ends by itself in about a
second.
"""
import asyncio

from vardimont._core import Node


async def main():
    loop = asyncio.get_running_loop()
    a = Node("a@127.0.0.1:0", heartbeat_interval=0.1, peer_timeout=1.0, reconnect_interval=0.1,
             reconnect_max_attempts=2)
    b = Node("b@127.0.0.1:0", heartbeat_interval=0.1, peer_timeout=1.0)
    a.start()
    b.start()
    events = asyncio.Queue()
    a.set_event_handler(loop, events.put_nowait)

    async def next_event():
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

    print("b stops; a loses it and tries to reconnect")
    b.stop()
    await next_event()                      # peer_disconnected
    await next_event()                      # reconnect_gave_up, after two attempts

    a.stop()
    print("done")


if __name__ == "__main__":
    asyncio.run(main())
