#!/usr/bin/env python3
"""A delaying FTP proxy for the benchmarks: every byte, in each direction and on
every connection, reaches the other side DELAY_MS after it arrived, so a
loopback server behaves like one a round trip of 2 x DELAY_MS away.

The control connection is relayed line by line from the server so that a 227
or 229 reply can be rewritten to a data listener of the proxy's own; the data
connection made there is relayed (and delayed) to the port the server named.
Active mode (PORT) is passed through untouched and so is not delayed: the
benchmarked clients use passive mode. Encrypted control connections cannot be
rewritten and are not supported.

Usage: delay_proxy.py UPSTREAM_HOST UPSTREAM_PORT DELAY_MS
Prints the proxy's port on the first line of standard output, then serves
until it is terminated. Loopback only.
"""
import asyncio
import re
import sys

LISTEN_HOST = "127.0.0.1"
CHUNK = 65536
PASV = re.compile(rb"^227 .*?(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)")
EPSV = re.compile(rb"^229 .*\(\|\|\|(\d+)\|\)")


class DelayedPipe:
    """Writes what it is given to `writer`, each chunk `delay` seconds after
    it was handed over, in order."""

    def __init__(self, writer, delay):
        self.writer = writer
        self.delay = delay
        self.queue = asyncio.Queue()
        self.task = asyncio.ensure_future(self._run())

    def put(self, data):
        self.queue.put_nowait((asyncio.get_running_loop().time() + self.delay, data))

    def close(self):
        self.queue.put_nowait((asyncio.get_running_loop().time() + self.delay, None))

    async def _run(self):
        loop = asyncio.get_running_loop()
        try:
            while True:
                due, data = await self.queue.get()
                wait = due - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                if data is None:
                    if self.writer.can_write_eof():
                        self.writer.write_eof()
                    await self.writer.drain()
                    return
                self.writer.write(data)
                await self.writer.drain()
        except (ConnectionError, OSError):
            pass


async def relay(reader, pipe, rewrite=None):
    """Reads until the end and hands every chunk (or, with `rewrite`, every
    line after rewriting) to `pipe`."""
    pending = b""
    try:
        while True:
            data = await reader.read(CHUNK)
            if not data:
                break
            if rewrite is None:
                pipe.put(data)
                continue
            pending += data
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                pipe.put(await rewrite(line + b"\n"))
            if len(pending) > CHUNK:  # no line end in sight: pass it on as it is
                pipe.put(pending)
                pending = b""
    except (ConnectionError, OSError):
        pass
    if pending:
        pipe.put(pending)
    pipe.close()


async def splice(client_reader, client_writer, host, port, delay, rewrite=None):
    """Connects to host:port one delay after the client came, then relays both
    ways with the delay; closes both sides when both directions ended."""
    await asyncio.sleep(delay)
    try:
        server_reader, server_writer = await asyncio.open_connection(host, port)
    except OSError:
        client_writer.close()
        return
    to_server = DelayedPipe(server_writer, delay)
    to_client = DelayedPipe(client_writer, delay)
    await asyncio.gather(relay(client_reader, to_server), relay(server_reader, to_client, rewrite))
    await asyncio.gather(to_server.task, to_client.task)
    for writer in (server_writer, client_writer):
        writer.close()


async def data_listener(host, port, delay):
    """A one-shot listener that relays its first connection to host:port."""
    served = asyncio.Event()

    async def accept(reader, writer):
        if served.is_set():
            writer.close()
            return
        served.set()
        await splice(reader, writer, host, port, delay)

    server = await asyncio.start_server(accept, LISTEN_HOST, 0)

    async def close_when_served():
        try:
            await asyncio.wait_for(served.wait(), 60)
        except asyncio.TimeoutError:
            pass
        server.close()

    asyncio.ensure_future(close_when_served())
    return server.sockets[0].getsockname()[1]


def control_session(upstream_host, delay):
    async def rewrite(line):
        match = PASV.match(line)
        if match:
            numbers = [int(n) for n in match.groups()]
            if all(0 <= n <= 255 for n in numbers):
                port = await data_listener(upstream_host, numbers[4] * 256 + numbers[5], delay)
                return b"227 Entering Passive Mode (127,0,0,1,%d,%d).\r\n" % (port // 256, port % 256)
        match = EPSV.match(line)
        if match:
            port = await data_listener(upstream_host, int(match.group(1)), delay)
            return b"229 Entering Extended Passive Mode (|||%d|).\r\n" % port
        return line

    return rewrite


async def main():
    if len(sys.argv) != 4:
        sys.exit("usage: delay_proxy.py UPSTREAM_HOST UPSTREAM_PORT DELAY_MS")
    host, port, delay = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]) / 1000.0
    rewrite = control_session(host, delay)

    async def accept(reader, writer):
        await splice(reader, writer, host, port, delay, rewrite)

    server = await asyncio.start_server(accept, LISTEN_HOST, 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
