"""A TCP proxy that stands in for a wide-area path between the launcher and its patch server
(the kernel here has no netem). Each direction is one link shared by every connection: a chunk
is put on the link's serialisation clock (bytes / rate, so N connections share the rate), then
held for the one-way delay; a connection's bytes leave in the order they came. A new
connection's first bytes count as sent one round trip after it was accepted, as a client's
request waits for the TCP handshake on a real path. The proxy splits TCP, so both ends see a
loopback connection: slow start and losses over the long path are not modelled.

Usage: delay_proxy.py --listen HOST:PORT --upstream HOST:PORT --rtt-ms 60 --rate-mbit 50
[--accepts FILE] (--rate-mbit 0: no bandwidth limit). Prints "ready" once it accepts
connections."""

import argparse
import asyncio
import collections
import sys

SLICE = 16384  # scheduling grain: one 64 KiB read would hold the link for 10 ms at 50 Mbit/s
# The loop's timers fire up to 1 ms late (epoll counts milliseconds): aiming half of that early
# keeps each slice within 0.5 ms of its time instead of adding 1 ms to every hop.
SLACK = 0.0005
READ = 65536


class Link:
    """One direction of the path: serialisation clock, then propagation delay."""

    def __init__(self, rate, delay):
        self.rate = rate  # bytes per second; 0: unlimited
        self.delay = delay
        self.free = 0.0  # when the link has sent everything given to it so far

    def release_at(self, size, sent):
        """When `size` bytes handed to the link at `sent` reach the far end."""
        if self.rate:
            start = max(sent, self.free)
            self.free = start + size / self.rate
            sent = self.free
        return sent + self.delay


class Pump:
    """One direction of one connection: reads, schedules each slice on the link, writes each
    slice at its release time. Reading pauses while `cap` bytes are held, as a receive window
    would."""

    def __init__(self, reader, writer, link, not_before, cap):
        self.reader, self.writer, self.link = reader, writer, link
        self.not_before, self.cap = not_before, cap
        self.queue = collections.deque()
        self.held = 0
        self.ended = False
        self.arrived = asyncio.Event()
        self.room = asyncio.Event()
        self.room.set()

    async def read_side(self):
        loop = asyncio.get_running_loop()
        try:
            while True:
                if self.held >= self.cap:
                    self.room.clear()
                    await self.room.wait()
                data = await self.reader.read(READ)
                if not data:
                    return
                sent = max(loop.time(), self.not_before)
                for i in range(0, len(data), SLICE):
                    piece = data[i:i + SLICE]
                    self.queue.append((self.link.release_at(len(piece), sent), piece))
                self.held += len(data)
                self.arrived.set()
        finally:
            self.ended = True
            self.arrived.set()

    async def write_side(self):
        loop = asyncio.get_running_loop()
        while True:
            if not self.queue:
                if self.ended:
                    break
                self.arrived.clear()
                await self.arrived.wait()
                continue
            wait = self.queue[0][0] - loop.time() - SLACK
            if wait > 0:
                await asyncio.sleep(wait)
            now = loop.time() + SLACK
            out = []
            while self.queue and self.queue[0][0] <= now:
                out.append(self.queue.popleft()[1])
            size = sum(map(len, out))
            self.writer.write(b"".join(out))
            await self.writer.drain()
            self.held -= size
            if self.held < self.cap:
                self.room.set()
        if self.writer.can_write_eof():
            self.writer.write_eof()

    async def run(self):
        sides = [asyncio.ensure_future(self.read_side()), asyncio.ensure_future(self.write_side())]
        try:
            done, _ = await asyncio.wait(sides, return_when=asyncio.FIRST_EXCEPTION)
        finally:
            for side in sides:
                side.cancel()
        for side in done:
            if side.exception():
                raise side.exception()


class Proxy:
    def __init__(self, upstream, rtt, rate, accepts):
        self.upstream = upstream
        self.accepts = accepts
        self.rtt = rtt
        self.up = Link(rate, rtt / 2)
        self.down = Link(rate, rtt / 2)
        # Enough held per direction to fill the link for a round trip and then some.
        self.cap = 1 << 20 if not rate else max(256 << 10, int(2 * rate * rtt))

    async def handle(self, creader, cwriter):
        accepted = asyncio.get_running_loop().time()
        if self.accepts:
            with open(self.accepts, "ab") as f:  # one byte per connection: its size counts them
                f.write(b".")
        try:
            ureader, uwriter = await asyncio.open_connection(*self.upstream)
        except OSError:
            cwriter.close()
            return
        pumps = [asyncio.ensure_future(Pump(creader, uwriter, self.up, accepted + self.rtt,
                                            self.cap).run()),
                 asyncio.ensure_future(Pump(ureader, cwriter, self.down, 0.0, self.cap).run())]
        try:
            done, pending = await asyncio.wait(pumps, return_when=asyncio.FIRST_EXCEPTION)
            for p in pending:
                p.cancel()
            for p in done:
                p.exception()  # a reset connection ends both directions; nothing to report
        finally:
            for w in (cwriter, uwriter):
                w.close()


def host_port(text):
    host, _, port = text.rpartition(":")
    return host, int(port)


async def serve(a):
    proxy = Proxy(host_port(a.upstream), a.rtt_ms / 1000.0, a.rate_mbit * 1e6 / 8, a.accepts)
    server = await asyncio.start_server(proxy.handle, *host_port(a.listen), backlog=256)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--listen", required=True)
    p.add_argument("--upstream", required=True)
    p.add_argument("--rtt-ms", type=float, default=0.0)
    p.add_argument("--rate-mbit", type=float, default=0.0)
    p.add_argument("--accepts", help="file that grows by one byte per connection accepted")
    try:
        asyncio.run(serve(p.parse_args()))
    except KeyboardInterrupt:
        sys.exit(0)


if __name__ == "__main__":
    main()
