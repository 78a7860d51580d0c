"""Request and reply between two nodes in one process.

The server node runs an actor "calc" that answers every request by sending
the result back to the actor that the request names in `reply_to`, with the
request's `correlation_id`. The client keeps one future per correlation id
and resolves it when the reply arrives. Ends by itself in well under a second.
"""
import asyncio
import itertools
from collections.abc import Callable
from typing import Any

from vardimont import Node


def make_node(node_id: str) -> Node:
    return Node(node_id, heartbeat_interval=0.2, peer_timeout=2.0, reconnect_interval=0.1)


async def wait_for(predicate: Callable[[], bool], timeout: float = 5.0) -> None:
    deadline = asyncio.get_running_loop().time() + timeout
    while not predicate():
        if asyncio.get_running_loop().time() > deadline:
            raise TimeoutError("condition not met in time")
        await asyncio.sleep(0.01)


async def main() -> None:
    loop = asyncio.get_running_loop()
    server = make_node("server@127.0.0.1:0")
    client = make_node("client@127.0.0.1:0")
    server.start()
    client.start()
    print(f"server listens as {server.local_id()}")
    print(f"client listens as {client.local_id()}")

    # The server's actor: callbacks run on this loop, scheduled by the node.
    def calc(request: Any, meta: dict[str, Any]) -> None:
        op, args = request["op"], request["args"]
        result = sum(args) if op == "sum" else max(args)
        print(f"  server: {op}{tuple(args)} from {meta['src']} (correlation {meta['correlation_id']})"
              f" -> {result}")
        server.send_data(meta["src"], meta["reply_to"], {"result": result}, None, meta["correlation_id"])

    server.register_actor("calc", loop, calc)

    # The client's inbox: replies resolve the pending futures.
    pending: dict[int, asyncio.Future[int]] = {}

    def inbox(reply: Any, meta: dict[str, Any]) -> None:
        future = pending.pop(meta["correlation_id"], None)
        if future is not None and not future.done():
            future.set_result(reply["result"])

    client.register_actor("client.inbox", loop, inbox)

    client.connect_peer(server.local_id())
    await wait_for(lambda: client.has_peer(server.local_id()) and server.has_peer(client.local_id()))
    print("connected")

    ids = itertools.count(1)

    async def request(op: str, *args: int) -> int:
        cid = next(ids)
        pending[cid] = loop.create_future()
        client.send_data(server.local_id(), "calc", {"op": op, "args": list(args)}, "client.inbox", cid)
        return await asyncio.wait_for(pending[cid], 5)

    print("sum(1, 2, 3) =", await request("sum", 1, 2, 3))
    print("max(4, 9, 2) =", await request("max", 4, 9, 2))
    results = await asyncio.gather(*(request("sum", i, i) for i in range(5)))
    print("five requests in flight at once:", results)

    client.stop()
    server.stop()
    print("stopped")


if __name__ == "__main__":
    asyncio.run(main())
