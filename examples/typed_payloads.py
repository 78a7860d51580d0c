"""Typed payloads: values a typed program holds, sent as they are.

A program checked with `mypy --strict` (or pyright) keeps its data in typed
containers: a dict[str, int], a list[float], a TypedDict, nested containers,
a tuple. Each is sent from node "a" to an actor "echo" on node "b", which
returns it; the program prints what came back (tuples come back as lists).
Ends by itself in well under a second.
"""
import asyncio
from typing import Any, TypedDict

from vardimont import Node, decode_payload, encode_payload


class Reading(TypedDict):
    sensor: str
    values: list[float]
    calibrated: bool


async def main() -> None:
    loop = asyncio.get_running_loop()
    a = Node("a@127.0.0.1:0")
    b = Node("b@127.0.0.1:0")
    a.start()
    b.start()

    def echo(payload: Any, meta: dict[str, Any]) -> None:
        b.send_data(meta["src"], meta["reply_to"], payload, None, meta["correlation_id"])

    b.register_actor("echo", loop, echo)
    replies: dict[int, asyncio.Future[Any]] = {cid: loop.create_future() for cid in range(5)}

    def inbox(payload: Any, meta: dict[str, Any]) -> None:
        replies[meta["correlation_id"]].set_result(payload)

    a.register_actor("inbox", loop, inbox)

    connected: asyncio.Future[None] = loop.create_future()

    def on_event(event: dict[str, Any]) -> None:
        if event["kind"] == "peer_connected" and not connected.done():
            connected.set_result(None)

    a.set_event_handler(loop, on_event)
    a.connect_peer(b.local_id())
    await asyncio.wait_for(connected, 5)

    stock: dict[str, int] = {"apples": 3, "pears": 0}
    temperatures: list[float] = [21.5, 22.0, 19.75]
    reading: Reading = {"sensor": "t1", "values": temperatures, "calibrated": True}
    by_room: dict[str, list[float]] = {"kitchen": [21.5], "hall": []}
    point: tuple[int, int] = (3, 4)

    b_id = b.local_id()
    a.send_data(b_id, "echo", stock, "inbox", 0)
    a.send_data(b_id, "echo", temperatures, "inbox", 1)
    a.send_data(b_id, "echo", reading, "inbox", 2)
    a.send_data(b_id, "echo", by_room, "inbox", 3)
    a.send_data(b_id, "echo", point, "inbox", 4)
    sent = ["dict[str, int]", "list[float]", "Reading", "dict[str, list[float]]", "tuple[int, int]"]
    for cid, what in enumerate(sent):
        print(f"{what} -> {await asyncio.wait_for(replies[cid], 5)}")

    # The codec on its own: the same values as bytes, and back.
    data = encode_payload(reading)
    print(data.decode(), decode_payload(data) == reading)

    a.stop()
    b.stop()


if __name__ == "__main__":
    asyncio.run(main())
